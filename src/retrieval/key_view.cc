#include "retrieval/key_view.h"

#include <cmath>
#include <limits>

#include "retrieval/simd_distance.h"

namespace qvn {

uint64_t round_to_u64_saturating(float x) {
  if (!(x > 0.0f)) return 0;  // NaN, zero and negatives
  float r = std::round(x);    // halves away from zero
  if (r >= 18446744073709551616.0f) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(r);
}

KeyView KeyView::classify(std::span<const float> key) {
  const size_t len = key.size();
  // Negated greater-than: a NaN in element 0 also takes this branch.
  if (len >= ENCODING_HEADER_SIZE && !(key[0] > ENCODING_SENTINEL_THRESHOLD)) {
    uint64_t d = round_to_u64_saturating(key[ENCODING_DIM_IDX]);
    uint64_t body = len - ENCODING_HEADER_SIZE;
    if (d != 0 && d <= body && body % d == 0) {
      KeyView v;
      v.form = Form::Encoded;
      v.data = key.subspan(ENCODING_HEADER_SIZE);
      v.dim = static_cast<size_t>(d);
      v.n_tokens = static_cast<size_t>(body / d);
      return v;
    }
  }
  if (len >= 1 && key[0] <= ENCODING_SENTINEL_THRESHOLD) {
    KeyView v;
    v.form = Form::Invalid;
    v.data = key;
    return v;
  }
  KeyView v;
  v.form = Form::Single;
  v.data = key;
  v.dim = len;
  return v;
}

std::vector<float> KeyView::mean_vector() const {
  switch (form) {
    case Form::Invalid: return {};
    case Form::Single: return std::vector<float>(data.begin(), data.end());
    case Form::Encoded: break;
  }
  std::vector<float> acc(dim, 0.0f);
  for (size_t t = 0; t < n_tokens; ++t) {
    const float* r = data.data() + t * dim;
    for (size_t i = 0; i < dim; ++i) acc[i] += r[i];
  }
  const float inv = 1.0f / static_cast<float>(n_tokens);
  for (float& x : acc) x *= inv;
  return acc;
}

namespace {
void write_header(std::vector<float>& out, size_t d) {
  out.assign(ENCODING_HEADER_SIZE, 0.0f);
  out[0] = ENCODING_SENTINEL;
  out[ENCODING_DIM_IDX] = static_cast<float>(d);
}
}  // namespace

std::vector<float> encode_per_token_key(const std::vector<std::vector<float>>& rows) {
  if (rows.empty()) return {};
  const size_t d = rows.front().size();
  std::vector<float> out;
  write_header(out, d);
  size_t total = 0;
  for (const auto& r : rows) total += r.size();
  out.reserve(ENCODING_HEADER_SIZE + total);
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

std::vector<float> encode_token_matrix(std::span<const float> values, size_t n, size_t d) {
  // n and d come from the caller: never read past the values actually given.
  const size_t count = static_cast<size_t>(std::min<uint64_t>(sat_mul(n, d), values.size()));
  std::vector<float> out;
  write_header(out, d);
  out.insert(out.end(), values.begin(), values.begin() + static_cast<ptrdiff_t>(count));
  return out;
}

}  // namespace qvn
