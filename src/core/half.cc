#include "core/half.h"

#include <bit>

namespace qvn {

uint16_t f32_to_f16(float f) {
  const uint32_t x = std::bit_cast<uint32_t>(f);
  const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
  const uint32_t exp = (x >> 23) & 0xFFu;
  const uint32_t man = x & 0x7FFFFFu;

  if (exp == 0xFF) {
    if (man == 0) return sign | 0x7C00u;
    return static_cast<uint16_t>(sign | 0x7E00u | (man >> 13));
  }

  // Unbiased exponent e: the value is 1.man x 2^e (float32 subnormals are far
  // below the smallest half subnormal and fall into the flush-to-zero arm).
  const int e = static_cast<int>(exp) - 127;
  if (e > 15) return sign | 0x7C00u;

  uint32_t sig;    // the kept bits
  uint32_t shift;  // how many low bits of the 24-bit significand are dropped
  uint32_t head;   // exponent field of the result before rounding
  const uint32_t full = man | 0x800000u;
  if (e >= -14) {
    sig = full;
    shift = 13;
    head = static_cast<uint32_t>(e + 15) << 10;
    sig &= 0x7FFFFFu;  // the implicit bit lives in the exponent field
  } else {
    // Subnormal half: 2^-24 is the unit of the ten-bit field.
    if (e < -25) return sign;
    sig = full;
    shift = static_cast<uint32_t>(13 + (-14 - e));
    head = 0;
  }
  uint32_t kept = sig >> shift;
  const uint32_t rest = sig & ((1u << shift) - 1);
  const uint32_t halfway = 1u << (shift - 1);
  // A carry out of the mantissa correctly bumps the exponent field, up to
  // infinity at the top of the range.
  uint32_t out = head + kept;
  if (rest > halfway || (rest == halfway && (kept & 1u))) ++out;
  return static_cast<uint16_t>(sign | out);
}

float f16_to_f32(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t exp = (h >> 10) & 0x1Fu;
  uint32_t man = h & 0x3FFu;
  if (exp == 0x1F) {
    if (man == 0) return std::bit_cast<float>(sign | 0x7F800000u);
    // Quieted, as a hardware conversion does; the payload is kept.
    return std::bit_cast<float>(sign | 0x7FC00000u | (man << 13));
  }
  if (exp != 0) return std::bit_cast<float>(sign | ((exp + 112) << 23) | (man << 13));
  if (man == 0) return std::bit_cast<float>(sign);
  // Subnormal half: normalise into a float32 normal.
  int e = -14;
  while ((man & 0x400u) == 0) {
    man <<= 1;
    --e;
  }
  man &= 0x3FFu;
  return std::bit_cast<float>(sign | (static_cast<uint32_t>(e + 127) << 23) | (man << 13));
}

}  // namespace qvn
