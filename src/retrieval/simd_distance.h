// Dot products and orderings shared by every scoring path. Every dot product
// is a float32 sum in index order starting from -0.0; fast paths must give
// the same bits (vectorise across rows, never inside one sum).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvn {

inline float dot_f32(const float* a, const float* b, size_t n) {
  float s = -0.0f;
  for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

// Saturating arithmetic for sizes derived from caller-given counts.
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

// Stable sort by descending score. A NaN score never reaches the comparator
// as an ordering question: NaN entries are moved behind every number, keeping
// their own arrival order.
template <class T, class ScoreFn>
void stable_sort_desc(std::vector<T>& v, ScoreFn score) {
  auto mid = std::stable_partition(v.begin(), v.end(),
                                   [&](const T& x) { return !std::isnan(score(x)); });
  std::stable_sort(v.begin(), mid, [&](const T& a, const T& b) { return score(a) > score(b); });
}

}  // namespace qvn
