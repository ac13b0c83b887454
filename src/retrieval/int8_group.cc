#include "retrieval/int8_group.h"

#include <algorithm>
#include <cmath>

#include "retrieval/key_view.h"
#include "retrieval/per_token_kernels.h"

namespace qvn {

namespace {

size_t group_count(uint64_t len) { return static_cast<size_t>(len / INT8_GROUP_SIZE + (len % INT8_GROUP_SIZE != 0)); }

int8_t code_of(float x, float scale) {
  // A division, not a multiply by the reciprocal: the two differ in the last
  // bit often enough to move codes across a rounding boundary.
  float q = std::round(x / scale);  // halves away from zero
  if (std::isnan(q)) return 0;
  return static_cast<int8_t>(std::clamp(q, -127.0f, 127.0f));
}

// Requires: codes and scales cover row.len values (well_formed).
void dequantize_into(const Int8GroupRow& row, float* out) {
  kernels::dequantize_groups(row.codes.data(), row.scales.data(), static_cast<size_t>(row.len), out);
}

bool well_formed(const Int8GroupRow& row) {
  const size_t groups = group_count(row.len);
  return row.scales.size() == groups && row.codes.size() == groups * INT8_GROUP_SIZE;
}

}  // namespace

Int8GroupRow int8_group_quantize(std::span<const float> values, uint64_t expected_len) {
  Int8GroupRow row;
  if (values.size() != expected_len) return row;
  const size_t groups = group_count(values.size());
  row.codes.assign(groups * INT8_GROUP_SIZE, 0);
  row.scales.resize(groups);
  row.len = values.size();
  for (size_t g = 0; g < groups; ++g) {
    const size_t begin = g * INT8_GROUP_SIZE;
    const size_t end = std::min(values.size(), begin + INT8_GROUP_SIZE);
    // Floored so that an all-zero group still has a finite, non-zero scale.
    float absmax = 1e-12f;
    for (size_t i = begin; i < end; ++i) {
      float a = std::fabs(values[i]);
      if (a > absmax) absmax = a;  // NaN never wins
    }
    const float scale = absmax / 127.0f;
    row.scales[g] = scale;
    for (size_t i = begin; i < end; ++i) row.codes[i] = code_of(values[i], scale);
  }
  return row;
}

std::vector<float> int8_group_dequantize(const Int8GroupRow& row, uint64_t expected_len) {
  if (row.len != expected_len || !well_formed(row)) return {};
  std::vector<float> out(static_cast<size_t>(row.len));
  dequantize_into(row, out.data());
  return out;
}

void SpareMatrices::keep(SharedTokenMatrix m) {
  // A few spares cover a search: each new matrix displaces at most one.
  constexpr size_t MAX_SPARES = 4;
  if (m && m.use_count() == 1 && spares_.size() < MAX_SPARES) {
    spares_.push_back(std::const_pointer_cast<TokenMatrix>(std::move(m)));
  }
}

std::shared_ptr<TokenMatrix> SpareMatrices::take(size_t n) {
  if (spares_.empty()) return std::make_shared<TokenMatrix>(n);
  std::shared_ptr<TokenMatrix> m = std::move(spares_.back());
  spares_.pop_back();
  m->resize(n);  // fills nothing when the size stays, as it does between keys of one shape
  return m;
}

SharedTokenMatrix fetch_tokens(TokenCache& token_cache, Int8Tier& int8_tier, uint64_t id,
                               const KeyFetcher& fetch, uint64_t dim, SpareMatrices* spares) {
  auto new_matrix = [&](size_t n) {
    return spares ? spares->take(n) : std::make_shared<TokenMatrix>(n);
  };
  auto cache = [&](SharedTokenMatrix m) {
    SharedTokenMatrix displaced = token_cache.put(id, std::move(m));
    if (spares) spares->keep(std::move(displaced));
  };
  if (SharedTokenMatrix hit = token_cache.get(id)) return hit;

  // Dequantized outside the tier's mutex; the row list is immutable and ours
  // to read for as long as we hold the reference.
  if (SharedInt8Rows rows = int8_tier.get(id)) {
    const bool usable = std::all_of(rows->begin(), rows->end(), [&](const Int8GroupRow& r) {
      return r.len == dim && well_formed(r);
    });
    if (usable) {
      std::shared_ptr<TokenMatrix> matrix = new_matrix(rows->size() * dim);
      for (size_t r = 0; r < rows->size(); ++r) dequantize_into((*rows)[r], matrix->data() + r * dim);
      SharedTokenMatrix shared = std::move(matrix);
      cache(shared);
      return shared;
    }
  }

  std::optional<std::vector<float>> key = fetch.fetch(id);
  if (!key) return nullptr;
  KeyView view = KeyView::classify(*key);
  if (!view.is_encoded() || view.dim != dim) return nullptr;
  std::shared_ptr<TokenMatrix> matrix = new_matrix(view.data.size());
  std::copy(view.data.begin(), view.data.end(), matrix->begin());
  SharedTokenMatrix shared = std::move(matrix);
  cache(shared);
  return shared;
}

}  // namespace qvn
