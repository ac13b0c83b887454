// Any float bytes as a key or query: classification, row access, the mean
// vector and both encoders must stay in bounds and free of UB, and what the
// writers produce must classify as the rows they were given.
#include <cstring>

#include "fuzz_support.h"
#include "retrieval/key_view.h"
#include "retrieval/simd_distance.h"

using namespace qvn;

namespace {

void check_view(std::span<const float> key) {
  const KeyView v = KeyView::classify(key);
  const std::vector<float> mean = v.mean_vector();
  switch (v.form) {
    case KeyView::Form::Single:
      QVN_FUZZ_CHECK(v.dim == key.size());
      QVN_FUZZ_CHECK(fuzz::same_bits(mean, key));
      break;
    case KeyView::Form::Invalid:
      QVN_FUZZ_CHECK(!key.empty() && key[0] <= ENCODING_SENTINEL_THRESHOLD);
      QVN_FUZZ_CHECK(mean.empty());
      break;
    case KeyView::Form::Encoded: {
      QVN_FUZZ_CHECK(key.size() >= ENCODING_HEADER_SIZE && v.dim != 0);
      QVN_FUZZ_CHECK(v.dim * v.n_tokens == key.size() - ENCODING_HEADER_SIZE);
      QVN_FUZZ_CHECK(v.data.data() == key.data() + ENCODING_HEADER_SIZE);
      QVN_FUZZ_CHECK(mean.size() == v.dim);
      // Every row lies inside the key (ASan sees a read past it).
      volatile float sink = 0.0f;
      for (size_t t = 0; t < v.n_tokens; ++t) {
        const auto r = v.row(t);
        QVN_FUZZ_CHECK(r.size() == v.dim);
        sink = sink + r[0] + r[v.dim - 1];
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized heap copy, so any read past the key is caught.
  std::vector<float> key(size / sizeof(float));
  if (!key.empty()) std::memcpy(key.data(), data, key.size() * sizeof(float));
  check_view(key);

  // The writer over rows cut from the same floats.
  const size_t d = size == 0 ? 1 : data[0] % 16 + 1;
  std::vector<std::vector<float>> rows;
  for (size_t at = 0; at + d <= key.size(); at += d) rows.emplace_back(key.begin() + at, key.begin() + at + d);
  const std::vector<float> encoded = encode_per_token_key(rows);
  check_view(encoded);
  if (rows.empty()) {
    QVN_FUZZ_CHECK(encoded.empty());
  } else {
    const KeyView v = KeyView::classify(encoded);
    QVN_FUZZ_CHECK(v.is_encoded() && v.dim == d && v.n_tokens == rows.size());
    for (size_t t = 0; t < rows.size(); ++t) QVN_FUZZ_CHECK(fuzz::same_bits(v.row(t), rows[t]));
  }

  // The matrix writer with whatever shape the bytes claim, however large.
  if (size >= 16) {
    uint64_t n, dd;
    std::memcpy(&n, data, 8);
    std::memcpy(&dd, data + 8, 8);
    const std::vector<float> m = encode_token_matrix(key, static_cast<size_t>(n), static_cast<size_t>(dd));
    const uint64_t copied = std::min<uint64_t>(sat_mul(n, dd), key.size());
    QVN_FUZZ_CHECK(m.size() == ENCODING_HEADER_SIZE + copied);
    QVN_FUZZ_CHECK(m[0] == ENCODING_SENTINEL && m[ENCODING_DIM_IDX] == static_cast<float>(dd));
    QVN_FUZZ_CHECK(fuzz::same_bits(std::span<const float>(m).subspan(ENCODING_HEADER_SIZE), std::span<const float>(key).first(copied)));
    check_view(m);
  }
  return 0;
}
