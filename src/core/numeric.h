// Small arithmetic and parsing helpers shared by every layer.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qvn {

// Saturating arithmetic for sizes derived from counts read off disk or given
// by callers: an overflow becomes the largest value, never a wrap.
inline uint64_t sat_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return UINT64_MAX;
  return r;
}
inline uint64_t sat_add(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return UINT64_MAX;
  return r;
}

// An unsigned decimal: an optional leading '+', then digits only, at most
// `max`. Anything else (a sign alone, blanks, other characters, overflow)
// is no number.
inline std::optional<uint64_t> parse_decimal(std::string_view s, uint64_t max) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (max - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace qvn
