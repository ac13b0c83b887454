#include "engine/governance.h"

namespace qvn {

float importance_from_salience(float salience) {
  if (std::isnan(salience)) return 100.0f;
  float s = salience < 0.0f ? 0.0f : (salience > 100.0f ? 100.0f : salience);
  float v = s + 5.0f;
  return v > 100.0f ? 100.0f : v;
}

Tier tier_from_importance(float importance) {
  if (importance >= 85.0f) return Tier::Core;
  if (importance >= 65.0f) return Tier::Validated;
  return Tier::Draft;
}

Tier retier(Tier current, float importance) {
  switch (current) {
    case Tier::Draft:
      if (importance >= 85.0f) return Tier::Core;
      if (importance >= 65.0f) return Tier::Validated;
      return Tier::Draft;
    case Tier::Validated:
      if (importance >= 85.0f) return Tier::Core;
      if (importance < 35.0f) return Tier::Draft;
      return Tier::Validated;
    case Tier::Core:
      if (importance < 35.0f) return Tier::Draft;
      if (importance < 60.0f) return Tier::Validated;
      return Tier::Core;
  }
  return current;
}

void access_bump(GovernanceEntry& e) {
  float v = e.importance + 3.0f;
  // The minimum ignores a NaN operand, as at write time: a NaN importance
  // (only a stored cell can bring one in) becomes 100.
  e.importance = v < 100.0f ? v : 100.0f;
  e.tier = retier(e.tier, e.importance);
}

float decay_factor(uint32_t n) {
  float result = 1.0f;
  float base = 0.995f;
  while (n > 0) {
    if (n & 1u) result *= base;
    n >>= 1;
    if (n > 0) base *= base;
  }
  return result;
}

namespace {
uint64_t whole_days(float x) {
  if (!(x > 0.0f)) return 0;
  if (x >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<uint64_t>(x);
}
}  // namespace

void advance_entry(GovernanceEntry& e, float days) {
  float old_age = e.age_days;
  float new_age = old_age + days;
  e.age_days = new_age;
  uint64_t wo = whole_days(old_age), wn = whole_days(new_age);
  if (wn > wo) {
    uint64_t n = wn - wo;
    if (n > 10000) n = 10000;
    float v = e.importance * decay_factor(static_cast<uint32_t>(n));
    // The maximum ignores a NaN operand: a NaN importance decays to 0.
    e.importance = v > 0.0f ? v : 0.0f;
    e.tier = retier(e.tier, e.importance);
  }
}

float recency_factor(float age_days) {
  float m = age_days > 0.0f ? age_days : 0.0f;  // NaN counts as 0
  return std::exp(m / -30.0f);
}

float tier_factor(Tier t) {
  switch (t) {
    case Tier::Draft: return 1.0f;
    case Tier::Validated: return 1.1f;
    case Tier::Core: return 1.25f;
  }
  return 1.0f;
}

}  // namespace qvn
