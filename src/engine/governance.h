// Importance, age and tier of each indexed cell. Entries live only in memory:
// a reopened engine starts every cell at age 0 with its importance as written.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include "core/cell.h"

namespace qvn {

struct GovernanceEntry {
  float importance = 0.0f;  // 0 to 100
  float age_days = 0.0f;
  Tier tier = Tier::Draft;
};

// Importance at write time: min(clamp(salience, 0, 100) + 5, 100); NaN gives
// 100. Written with explicit comparisons because std::clamp keeps NaN.
float importance_from_salience(float salience);
// Tier at write time: Core from 85, Validated from 65, else Draft.
Tier tier_from_importance(float importance);
// Tier after a change of importance, with hysteresis.
Tier retier(Tier current, float importance);
// The +3 access bump of reads, then re-tier.
void access_bump(GovernanceEntry& e);
// 0.995^n by float32 square-and-multiply, so every step rounds as an
// integer power does.
float decay_factor(uint32_t n);
// Ages one entry by `days`, decaying once per whole day crossed (at most
// 10000 days at a time).
void advance_entry(GovernanceEntry& e, float days);

// Recency factor exp(-max(age, 0) / 30); a NaN age counts as 0.
float recency_factor(float age_days);
// Draft 1.0, Validated 1.1f, Core 1.25.
float tier_factor(Tier t);

class Governance {
 public:
  const GovernanceEntry* get(CellId id) const {
    auto it = map_.find(id);
    return it == map_.end() ? nullptr : &it->second;
  }
  GovernanceEntry* get_mut(CellId id) {
    auto it = map_.find(id);
    return it == map_.end() ? nullptr : &it->second;
  }
  bool contains(CellId id) const { return map_.count(id) != 0; }
  void insert(CellId id, GovernanceEntry e) { map_[id] = e; }
  void erase(CellId id) { map_.erase(id); }
  size_t size() const { return map_.size(); }
  void advance_days(float days) {
    for (auto& [id, e] : map_) advance_entry(e, days);
  }
  const std::unordered_map<CellId, GovernanceEntry>& entries() const { return map_; }

 private:
  std::unordered_map<CellId, GovernanceEntry> map_;
};

}  // namespace qvn
