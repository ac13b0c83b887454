// Layout of "synaptic.qvn"; byte table in docs/formats.md.
#pragma once

#include <cstdint>

namespace qvn::synaptic_format {

inline constexpr char FILE_NAME[] = "synaptic.qvn";
// u32 body length, then the body: id u64, owner u64, rank u32, d_model u32,
// scale f16, last_used u64, quality f32, lora_a, lora_b (f16 each).
inline constexpr uint64_t LEN_PREFIX_SIZE = 4;
inline constexpr uint64_t FIXED_BODY_SIZE = 38;
inline constexpr uint64_t HEAD_SIZE = LEN_PREFIX_SIZE + FIXED_BODY_SIZE;  // 42
inline constexpr uint64_t MAX_BODY_LEN = UINT32_MAX;

}  // namespace qvn::synaptic_format
