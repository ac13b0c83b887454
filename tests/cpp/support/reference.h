// Scalar readings of the arithmetic the kernels must reproduce bit for bit,
// and a key store for the searches that fetch keys by id.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <vector>

#include "retrieval/vector_index.h"

namespace qvn::test {

// Same bits, or both NaN (NaN payloads are not part of any contract).
inline bool same_bits(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// Index order from -0.0, multiply and add rounded separately.
inline float ref_dot(const float* a, const float* b, size_t n) {
  float s = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float p = a[i] * b[i];
    s = s + p;
  }
  return s;
}

// Mean of the m best values of a stable descending sort, NaN behind every
// number; -inf when there is nothing to take.
inline float ref_top_m_mean(const std::vector<float>& v, uint64_t top_m) {
  const size_t m = static_cast<size_t>(std::min<uint64_t>(top_m, v.size()));
  if (m == 0) return -std::numeric_limits<float>::infinity();
  std::vector<size_t> idx(v.size());
  std::iota(idx.begin(), idx.end(), 0);
  std::stable_sort(idx.begin(), idx.end(), [&](size_t a, size_t b) {
    const bool an = std::isnan(v[a]), bn = std::isnan(v[b]);
    if (an || bn) return !an && bn;
    return v[a] > v[b];
  });
  float s = -0.0f;
  for (size_t i = 0; i < m; ++i) s += v[idx[i]];
  return s / static_cast<float>(m);
}

// Keys by id, counting the fetches.
struct KeyStore {
  std::map<uint64_t, std::vector<float>> keys;
  mutable int calls = 0;
  FnKeyFetcher fetcher() const {
    return FnKeyFetcher([this](uint64_t id) -> std::optional<std::vector<float>> {
      ++calls;
      auto it = keys.find(id);
      if (it == keys.end()) return std::nullopt;
      return it->second;
    });
  }
};

}  // namespace qvn::test
