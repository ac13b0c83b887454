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
#include <random>
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

// The per-vector int8 rule (scale absmax / 127, NaN never the maximum, codes
// round(x * (1 / scale)) clamped to +-127, NaN to 0) and the score of a query
// against a stored vector: norm * (stored scale * (query scale * integer dot)).
inline float ref_int8_score(const std::vector<float>& query, const std::vector<float>& stored) {
  auto quantize = [](const std::vector<float>& v, std::vector<int64_t>& codes) {
    float absmax = 0.0f;
    for (float x : v)
      if (std::fabs(x) > absmax) absmax = std::fabs(x);
    const float scale = absmax == 0.0f ? 1.0f : absmax / 127.0f;
    const float inv = 1.0f / scale;
    for (float x : v) {
      const float c = std::round(x * inv);
      codes.push_back(std::isnan(c) ? 0 : static_cast<int64_t>(std::clamp(c, -127.0f, 127.0f)));
    }
    return scale;
  };
  std::vector<int64_t> q, s;
  const float qs = quantize(query, q), ss = quantize(stored, s);
  int64_t dot = 0;
  for (size_t i = 0; i < q.size(); ++i) dot += q[i] * s[i];
  const float norm = 1.0f / std::sqrt(static_cast<float>(query.size()));
  return norm * (ss * (qs * static_cast<float>(dot)));
}

// Mostly values spread over a wide range of magnitudes, so that any change
// of summation order shows in the rounding; now and then the values that
// break careless code: signed zeros, subnormals, overflow to infinity.
inline float awkward(std::mt19937& rng) {
  const float u = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
  switch (rng() % 128) {
    case 0: case 1: return -0.0f;
    case 2: case 3: return 0.0f;
    case 4: return u * 1e30f;
    case 5: return u * 1e-40f;
    default: return std::ldexp(u, static_cast<int>(rng() % 25) - 12);
  }
}
inline std::vector<std::vector<float>> awkward_rows(std::mt19937& rng, size_t n, size_t d) {
  std::vector<std::vector<float>> r(n, std::vector<float>(d));
  for (auto& row : r)
    for (float& x : row) x = awkward(rng);
  return r;
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
