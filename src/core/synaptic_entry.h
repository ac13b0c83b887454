// One low-rank adapter entry as the adapter store keeps it.
#pragma once

#include <cstdint>
#include <vector>

#include "core/cell.h"

namespace qvn {

// Matrices and scale are raw IEEE half bit patterns (see core/half.h).
// Invariant: `lora_a` and `lora_b` each hold exactly `rank` x `d_model`
// values; the adapter store refuses entries that break it.
struct SynapticEntry {
  uint64_t id = 0;  // chosen by the caller; not unique
  OwnerId owner = 0;
  std::vector<uint16_t> lora_a;
  std::vector<uint16_t> lora_b;
  uint16_t scale = 0;
  uint32_t rank = 0;
  uint32_t d_model = 0;
  uint64_t last_used = 0;
  float quality = 0.0f;

  bool operator==(const SynapticEntry&) const = default;
};

}  // namespace qvn
