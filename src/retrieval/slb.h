// A small fixed-capacity buffer of recently written or read keys, held as
// int8 codes with one float scale each and scored in the integer domain.
// Eviction drops the cached victim: the entry whose tick was oldest when the
// victim was last computed (searches refresh ticks but not the victim).
//
// No locking of its own; the engine uses it only under the engine mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "retrieval/vector_index.h"

namespace qvn {

// The int8 rule per vector: scale = absmax / 127 (1.0 when absmax is 0),
// codes = x * (1 / scale) rounded half away from zero, clamped to
// [-127, 127]; NaN elements give 0 and are ignored by absmax.
struct Int8Vector {
  std::vector<int8_t> codes;
  float scale = 1.0f;
};
Int8Vector quantize_int8(std::span<const float> v);
// The same rule into caller-owned codes (v.size() of them); returns the scale.
float quantize_int8_into(std::span<const float> v, int8_t* codes);

class SLB {
 public:
  SLB(uint64_t capacity, uint64_t dim);

  // Stores or refreshes the entry of id; any vector length is accepted. A
  // refresh keeps the owner first given.
  void upsert(uint64_t id, uint64_t owner, std::span<const float> vector);

  // The k best entries, best first; with an owner, the k best of that
  // owner's entries, so other owners' entries never take their places. A
  // query whose length is not dim finds nothing and leaves the buffer
  // untouched; entries of another length are never scored.
  std::vector<Candidate> search(std::span<const float> query, uint64_t k,
                                std::optional<uint64_t> owner = std::nullopt);

  void remove(uint64_t id);

  bool contains(uint64_t id) const { return ids_.contains(id); }
  uint64_t occupancy() const { return occupancy_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t dim() const { return dim_; }

 private:
  struct Slot {
    std::vector<int8_t> codes;
    float scale = 1.0f;
    uint64_t id = 0;
    uint64_t owner = 0;
    uint64_t tick = 0;
    bool occupied = false;
  };

  void vacate(size_t s);
  void rescan_victim();
  void compact_if_sparse();

  std::optional<size_t> victim_;
  std::vector<Slot> slots_;  // creation order; emptied slots are never reused
  std::unordered_map<uint64_t, size_t> ids_;
  uint64_t capacity_;
  uint64_t dim_;
  uint64_t tick_ = 0;
  uint64_t occupancy_ = 0;
};

}  // namespace qvn
