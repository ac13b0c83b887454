// IEEE-754 binary16 ("half") conversions. Halves travel as their raw 16-bit
// patterns; these are the only conversions to and from float32.
#pragma once

#include <cstdint>

namespace qvn {

// Rounds to nearest, ties to even. Magnitudes past the half range become
// infinities, tiny values become subnormal halves or signed zero, and a NaN
// stays a NaN: quiet, with the top ten bits of its payload kept.
uint16_t f32_to_f16(float f);

// Exact: every half value is a float32 value. A NaN comes back quiet with
// its payload kept.
float f16_to_f32(uint16_t h);

}  // namespace qvn
