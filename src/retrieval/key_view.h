// The one rule by which every reader classifies a key: a single vector, an
// encoded multi-token key (64-float header, then n rows of d floats), or an
// invalid key (sentinel present, header inconsistent with the length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qvn {

inline constexpr size_t ENCODING_HEADER_SIZE = 64;
inline constexpr float ENCODING_SENTINEL = -1e9f;
inline constexpr size_t ENCODING_N_TOKENS_IDX = 32;
inline constexpr size_t ENCODING_DIM_IDX = 33;
// Any element 0 at or below this marks an attempted encoded key.
inline constexpr float ENCODING_SENTINEL_THRESHOLD = -1e8f;

// Rounds half away from zero and converts to u64 with saturation
// (negative and NaN give 0).
uint64_t round_to_u64_saturating(float x);

// A borrowed view into a caller's key; never owns data.
struct KeyView {
  enum class Form : uint8_t { Single, Encoded, Invalid };

  Form form = Form::Single;
  std::span<const float> data;  // Single: the whole key; Encoded: the rows
  size_t n_tokens = 0;          // Encoded only
  size_t dim = 0;               // Single: length; Encoded: d

  static KeyView classify(std::span<const float> key);

  bool is_single() const { return form == Form::Single; }
  bool is_encoded() const { return form == Form::Encoded; }
  bool is_invalid() const { return form == Form::Invalid; }

  // Row t of an encoded key (t < n_tokens).
  std::span<const float> row(size_t t) const { return data.subspan(t * dim, dim); }

  // The vector itself, or the mean of the rows (sequential float32 sums, then
  // one multiply by the float32 reciprocal of n). Empty for an invalid key.
  std::vector<float> mean_vector() const;
};

// Builds an encoded key from token rows; no rows gives the empty key.
std::vector<float> encode_per_token_key(const std::vector<std::vector<float>>& rows);

// The same header over an (n, d) row-major matrix; copies no more than the
// values given, whatever n and d say.
std::vector<float> encode_token_matrix(std::span<const float> values, size_t n, size_t d);

}  // namespace qvn
