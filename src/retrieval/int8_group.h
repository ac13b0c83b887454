// Int8 quantization with one scale per group of 32 values, the int8 tier that
// holds the lazy per-token index's rows in that form, the token cache of
// dequantized matrices, and the lookup that walks token cache, tier and
// storage in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "retrieval/lru_cache.h"
#include "retrieval/vector_index.h"

namespace qvn {

inline constexpr size_t INT8_GROUP_SIZE = 32;

// One quantized token row. `codes` holds 32 codes per group (a short last
// group is padded with zero codes), `scales` one scale per group, `len` the
// number of values before quantization.
struct Int8GroupRow {
  std::vector<int8_t> codes;
  std::vector<float> scales;
  uint64_t len = 0;
};

// Gives the empty row when values.size() != expected_len.
Int8GroupRow int8_group_quantize(std::span<const float> values, uint64_t expected_len);

// Gives an empty vector when row.len != expected_len or the row's codes and
// scales do not match its length.
std::vector<float> int8_group_dequantize(const Int8GroupRow& row, uint64_t expected_len);

// A key's token rows concatenated, row-major (n x dim values).
using TokenMatrix = std::vector<float>;
using SharedTokenMatrix = std::shared_ptr<const TokenMatrix>;
using Int8Rows = std::vector<Int8GroupRow>;
using SharedInt8Rows = std::shared_ptr<const Int8Rows>;

using TokenCache = GuardedLru<uint64_t, TokenMatrix>;
using Int8Tier = GuardedLru<uint64_t, Int8Rows>;

// Token matrices that left the token cache with nobody else holding them,
// kept so that the next matrix the cache takes refills one instead of
// allocating and zero-filling another: a search scoring more ids than the
// cache holds then allocates nothing per id.
// Requires: engine mutex held.
class SpareMatrices {
 public:
  // Keeps `m` when this is its last reference. Every matrix the token cache
  // holds is built as a non-const TokenMatrix, so its last holder may reuse it.
  void keep(SharedTokenMatrix m);
  // A matrix of `n` floats whose contents the caller overwrites.
  std::shared_ptr<TokenMatrix> take(size_t n);

 private:
  std::vector<std::shared_ptr<TokenMatrix>> spares_;
};

// The token matrix of `id`: from the token cache, else dequantized from the
// tier (and cached), else read through `fetch` (and cached; the tier is not
// refilled). Only an encoded stored key of dimension `dim` is accepted from
// storage; a tier entry whose rows are not `dim` long falls through to
// storage. Never holds both cache mutexes at once. New matrices come from
// `spares` when given, and what the cache lets go returns there.
// Requires: engine mutex held (the caches' own mutexes are taken inside).
SharedTokenMatrix fetch_tokens(TokenCache& token_cache, Int8Tier& int8_tier, uint64_t id,
                               const KeyFetcher& fetch, uint64_t dim,
                               SpareMatrices* spares = nullptr);

}  // namespace qvn
