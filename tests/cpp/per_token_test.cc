#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/engine.h"
#include "retrieval/key_view.h"
#include "retrieval/per_token.h"
#include "retrieval/per_token_kernels.h"
#include "support/engine_fixture.h"
#include "support/reference.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
using test::ref_dot;
using test::ref_top_m_mean;
using test::same_bits;
using Store = test::KeyStore;

// Pair scores in query-token-outer order, aggregated.
float ref_score(const std::vector<std::vector<float>>& q, const std::vector<float>& matrix, size_t dim,
                uint64_t top_m) {
  const float inv_sqrt = 1.0f / std::sqrt(static_cast<float>(dim));
  std::vector<float> pairs;
  for (const auto& t : q) {
    for (size_t at = 0; at + dim <= matrix.size(); at += dim) {
      pairs.push_back(ref_dot(t.data(), matrix.data() + at, std::min(t.size(), dim)) * inv_sqrt);
    }
  }
  return ref_top_m_mean(pairs, top_m);
}

std::vector<float> dequantized(const std::vector<std::vector<float>>& rows) {
  std::vector<float> out;
  for (const auto& r : rows) {
    auto v = int8_group_dequantize(int8_group_quantize(r, r.size()), r.size());
    out.insert(out.end(), v.begin(), v.end());
  }
  return out;
}

std::vector<float> flat(const std::vector<std::vector<float>>& rows) {
  std::vector<float> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

struct Rng {
  std::mt19937 gen{12345};
  float value() {
    // Mostly ordinary values, sometimes the ones that break careless code.
    std::uniform_int_distribution<int> pick(0, 99);
    int p = pick(gen);
    if (p == 0) return -0.0f;
    if (p == 1) return 0.0f;
    if (p == 2) return 1e30f;
    return std::uniform_real_distribution<float>(-2.0f, 2.0f)(gen);
  }
  std::vector<std::vector<float>> rows(size_t n, size_t d) {
    std::vector<std::vector<float>> r(n, std::vector<float>(d));
    for (auto& row : r)
      for (float& x : row) x = value();
    return r;
  }
};

PerTokenIndex lazy(uint64_t tier = 32768, uint64_t cache = 512) {
  return PerTokenIndex(true, PerTokenConfig{}, cache, tier, false);
}
PerTokenIndex eager() { return PerTokenIndex(true, PerTokenConfig{}, 512, 32768, true); }

// ---- Kernels ----

TEST(PerTokenKernelsTest, FastPathsMatchScalarReferenceBitForBit) {
  Rng rng;
  for (size_t nq : {1u, 3u, 8u, 9u, 17u, 32u, 37u}) {
    for (size_t width : {1u, 5u, 31u, 128u}) {
      const size_t stride = width + 3;
      auto q = rng.rows(nq, stride);
      q[0][0] = NaN;
      auto flatq = flat(q);
      auto tq = kernels::transpose_tokens(flatq.data(), nq, stride, width);
      const size_t n_rows = 5;
      std::vector<float> rows(n_rows * (width + 2));
      for (float& x : rows) x = rng.value();
      rows[1] = INF;
      std::vector<float> portable(n_rows * tq.lanes), fast(n_rows * tq.lanes);
      kernels::token_row_dots_portable(tq, rows.data(), n_rows, width + 2, portable.data());
      kernels::token_row_dots(tq, rows.data(), n_rows, width + 2, fast.data());
      for (size_t m : {1u, 5u, 32u}) {
        float a[32], b[32];
        size_t fa = kernels::top_pairs(fast.data(), n_rows, tq.lanes, nq, 0.25f, m, a);
        size_t fb = kernels::top_pairs_portable(fast.data(), n_rows, tq.lanes, nq, 0.25f, m, b);
        ASSERT_EQ(fa, fb);
        for (size_t i = 0; i < fa; ++i) ASSERT_TRUE(same_bits(a[i], b[i]));
        for (size_t i = 1; i < fa; ++i) ASSERT_GE(a[i - 1], a[i]);
      }
      for (size_t r = 0; r < n_rows; ++r) {
        for (size_t t = 0; t < nq; ++t) {
          float want = ref_dot(q[t].data(), rows.data() + r * (width + 2), width);
          ASSERT_TRUE(same_bits(portable[r * tq.lanes + t], want)) << nq << " " << width;
          ASSERT_TRUE(same_bits(fast[r * tq.lanes + t], want)) << nq << " " << width;
        }
      }
    }
  }
  for (size_t n : {1u, 8u, 13u, 40u}) {
    for (size_t width : {1u, 7u, 128u}) {
      auto entries = rng.rows(n, width);
      auto q = rng.rows(1, width)[0];
      const size_t blocks = (n + 7) / 8;
      std::vector<float> table(blocks * width * 8, 0.0f);
      for (size_t e = 0; e < n; ++e)
        for (size_t i = 0; i < width; ++i) table[((e / 8) * width + i) * 8 + e % 8] = entries[e][i];
      std::vector<float> portable(blocks * 8), fast(blocks * 8);
      kernels::blocked_dots_portable(q.data(), width, table.data(), blocks, portable.data());
      kernels::blocked_dots(q.data(), width, table.data(), blocks, fast.data());
      for (size_t e = 0; e < n; ++e) {
        float want = ref_dot(q.data(), entries[e].data(), width);
        ASSERT_TRUE(same_bits(portable[e], want));
        ASSERT_TRUE(same_bits(fast[e], want));
      }
    }
  }
}

TEST(PerTokenKernelsTest, ElementwiseKernelsMatchScalarLoops) {
  Rng rng;
  for (size_t n : {0u, 1u, 7u, 8u, 31u, 32u, 33u, 70u, 128u}) {
    std::vector<float> x = rng.rows(1, n + 1)[0], base = rng.rows(1, n + 1)[0];
    const float a = rng.value();
    std::vector<float> want = base, portable = base, fast = base;
    for (size_t j = 0; j < n; ++j) want[j] += a * x[j];
    kernels::add_scaled_portable(portable.data(), a, x.data(), n);
    kernels::add_scaled(fast.data(), a, x.data(), n);
    for (size_t j = 0; j <= n; ++j) {
      ASSERT_TRUE(same_bits(portable[j], want[j]));
      ASSERT_TRUE(same_bits(fast[j], want[j])) << n << " " << j;
    }

    Int8GroupRow row = int8_group_quantize(x, x.size());
    std::vector<float> deq(x.size() + 1, 42.0f), deq_portable(x.size() + 1, 42.0f);
    kernels::dequantize_groups(row.codes.data(), row.scales.data(), x.size(), deq.data());
    kernels::dequantize_groups_portable(row.codes.data(), row.scales.data(), x.size(), deq_portable.data());
    for (size_t i = 0; i < x.size(); ++i) {
      const float w = row.scales[i / 32] * static_cast<float>(row.codes[i]);
      ASSERT_TRUE(same_bits(deq[i], w));
      ASSERT_TRUE(same_bits(deq_portable[i], w));
    }
    EXPECT_EQ(deq[x.size()], 42.0f);  // nothing written past len
  }
}

TEST(PerTokenAggregationTest, TopMMeanMatchesStableSortIncludingNaNAndSignedZeros) {
  EXPECT_EQ(top_m_mean({}, 5), -INF);
  EXPECT_EQ(top_m_mean(std::vector<float>{1.0f}, 0), -INF);
  EXPECT_EQ(top_m_mean(std::vector<float>{1.0f, 2.0f, 4.0f}, 5), 7.0f / 3.0f);
  EXPECT_EQ(max_ignoring_nan(std::vector<float>{NaN, -3.0f, NaN}), -3.0f);
  EXPECT_EQ(max_ignoring_nan({}), -INF);
  // Which of +0.0 and -0.0 is kept depends on arrival order.
  EXPECT_EQ(bits(top_m_mean(std::vector<float>{-0.0f, 0.0f}, 1)), bits(-0.0f));
  EXPECT_EQ(bits(top_m_mean(std::vector<float>{0.0f, -0.0f}, 1)), bits(0.0f));
  EXPECT_TRUE(std::isnan(top_m_mean(std::vector<float>{NaN, 1.0f}, 2)));
  EXPECT_EQ(top_m_mean(std::vector<float>{NaN, 1.0f, 3.0f}, 2), 2.0f);

  Rng rng;
  std::uniform_int_distribution<int> small(0, 6);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<float> v(1 + trial % 90);
    // Few distinct values so that ties are common.
    for (float& x : v) {
      int p = small(rng.gen);
      x = p == 0 ? NaN : p == 1 ? -0.0f : p == 2 ? 0.0f : static_cast<float>(p) * 0.1f;
    }
    for (uint64_t m : {1u, 5u, 32u, 33u, 100u}) {
      ASSERT_TRUE(same_bits(top_m_mean(v, m), ref_top_m_mean(v, m))) << trial << " m=" << m;
    }
  }
}

// ---- Insert, remove, len and statistics ----

TEST(PerTokenIndexTest, LenStatsAndDimensionBookkeeping) {
  for (bool is_eager : {false, true}) {
    PerTokenIndex idx = is_eager ? eager() : lazy();
    Rng rng;
    idx.insert(1, 0, encode_per_token_key(rng.rows(3, 8)));
    idx.insert(2, 0, rng.rows(1, 8)[0]);
    EXPECT_EQ(idx.len(), 4u);
    EXPECT_EQ(idx.stats().count, 4u);

    // A key of another dimension resets the statistics but not `dim`.
    idx.cache_whitening(std::vector<float>(64, 1.0f));
    idx.insert(3, 0, encode_per_token_key(rng.rows(2, 4)));
    EXPECT_EQ(idx.stats().count, 2u);
    EXPECT_FALSE(idx.stats().whitening);
    EXPECT_EQ(idx.dim(), 8u);

    // An invalid encoded key changes nothing.
    std::vector<float> broken = encode_per_token_key(rng.rows(2, 4));
    broken.push_back(1.0f);
    const uint64_t before = idx.len();
    idx.insert(4, 0, broken);
    EXPECT_EQ(idx.len(), before);
    EXPECT_EQ(idx.id_count(), 3u);

    idx.remove(1);
    EXPECT_EQ(idx.token_count(1), 0u);
    EXPECT_EQ(idx.id_count(), 2u);
  }

  // Statistics sums, in float32.
  PerTokenIndex idx = lazy();
  idx.insert(1, 0, encode_per_token_key({{1.0f, 2.0f}, {3.0f, -1.0f}}));
  EXPECT_EQ(idx.stats().sum, (std::vector<float>{4.0f, 1.0f}));
  EXPECT_EQ(idx.stats().outer, (std::vector<float>{10.0f, -1.0f, -1.0f, 5.0f}));
}

TEST(PerTokenIndexTest, LazyReinsertReplacesTierEntryButAddsToCount) {
  PerTokenIndex idx = lazy();
  idx.insert(1, 5, encode_per_token_key({{1.0f, 0.0f}, {0.0f, 1.0f}}));
  idx.insert(1, 6, encode_per_token_key({{2.0f, 2.0f}}));
  EXPECT_EQ(idx.token_count(1), 3u);
  EXPECT_EQ(idx.len(), 3u);
  auto rows = idx.int8_tier().get(1);
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 1u);
  Store store;
  FnKeyFetcher f = store.fetcher();
  auto got = idx.search_cascade(std::vector<float>{1.0f, 0.0f}, 5, std::nullopt, nullptr, &f);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].owner, 6u);  // latest insert's owner
}

TEST(PerTokenIndexTest, StatisticsRefuseHugeDimensions) {
  for (bool is_eager : {false, true}) {
    PerTokenIndex idx = is_eager ? eager() : lazy();
    idx.insert(1, 0, encode_per_token_key({{1.0f, 2.0f}}));
    EXPECT_EQ(idx.stats().count, 1u);
    // 5000 x 5000 floats would be 100 MB for one key.
    idx.insert(2, 0, encode_per_token_key({std::vector<float>(MAX_STATS_DIM + 1, 1.0f)}));
    EXPECT_EQ(idx.stats().count, 0u);
    EXPECT_TRUE(idx.stats().outer.empty());
    EXPECT_EQ(idx.token_count(2), 1u);
    idx.insert(3, 0, encode_per_token_key({std::vector<float>(MAX_STATS_DIM, 1.0f)}));
    EXPECT_EQ(idx.stats().count, 1u);
  }
}

TEST(PerTokenIndexTest, ZeroLengthKeyDoesNotFixDimension) {
  PerTokenIndex idx = lazy();
  idx.insert(1, 0, std::vector<float>{});
  EXPECT_FALSE(idx.dim());
  Rng rng;
  auto rows = rng.rows(2, 4);
  idx.insert(2, 0, encode_per_token_key(rows));
  EXPECT_EQ(idx.dim(), 4u);
  Store store;
  FnKeyFetcher f = store.fetcher();
  auto got = idx.search_cascade(encode_per_token_key({rows[0]}), 5, std::nullopt, nullptr, &f);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 2u);

  PerTokenIndex e = eager();
  e.insert(1, 0, std::vector<float>{});
  e.insert(2, 0, std::vector<float>{1.0f, 2.0f});
  EXPECT_EQ(e.arena().row_width, 2u);
  EXPECT_EQ(e.arena().rows(), 1u);
}

// ---- Eager arena and the integer search ----

TEST(PerTokenIndexTest, EagerArenaRefusesRowsOfAnotherWidth) {
  PerTokenIndex idx = eager();
  idx.insert(1, 0, encode_per_token_key({{1.0f, 2.0f, 3.0f}, {0.0f, 1.0f, 0.0f}}));
  idx.insert(2, 0, encode_per_token_key({{1.0f, 2.0f}}));      // width 2: refused
  idx.insert(3, 0, std::vector<float>{0.0f, 0.0f, 9.0f});
  EXPECT_EQ(idx.arena().rows(), 3u);
  EXPECT_EQ(idx.token_count(2), 1u);
  // Row 2 (id 3) is addressed correctly: its code 127 sits at its last element.
  EXPECT_EQ(idx.arena().codes[8], 127);
  auto got = idx.search(std::vector<float>{0.0f, 0.0f, 1.0f}, 1, std::nullopt);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 3u);

  idx.remove(1);
  EXPECT_EQ(idx.arena().rows(), 1u);
  EXPECT_EQ(idx.arena().ids[0], 3u);
  EXPECT_EQ(idx.arena().codes, (std::vector<int8_t>{0, 0, 127}));
}

// The int8 rule per vector and the integer pair score, from the rules.
struct RefQuant {
  std::vector<int64_t> codes;
  float scale;
};
RefQuant ref_quantize(const std::vector<float>& x) {
  float absmax = 0.0f;
  for (float v : x)
    if (std::fabs(v) > absmax) absmax = std::fabs(v);
  RefQuant q{{}, absmax == 0.0f ? 1.0f : absmax / 127.0f};
  const float inv = 1.0f / q.scale;
  for (float v : x) {
    float c = std::round(v * inv);
    q.codes.push_back(std::isnan(c) ? 0 : static_cast<int64_t>(std::clamp(c, -127.0f, 127.0f)));
  }
  return q;
}

TEST(PerTokenIndexTest, EagerSearchMatchesIntegerReference) {
  Rng rng;
  PerTokenIndex idx = eager();
  std::map<uint64_t, std::vector<std::vector<float>>> stored;
  for (uint64_t id = 0; id < 20; ++id) {
    stored[id] = rng.rows(1 + id % 4, 16);
    idx.insert(id, id % 3, encode_per_token_key(stored[id]));
  }
  auto q = rng.rows(3, 16);
  auto got = idx.search(encode_per_token_key(q), 100, std::optional<uint64_t>(1));
  const float inv_sqrt = 1.0f / std::sqrt(16.0f);
  ASSERT_EQ(got.size(), 7u);  // ids 1, 4, ..., 19
  EXPECT_EQ(idx.last_scored(), 7u);
  for (const Candidate& c : got) {
    EXPECT_EQ(c.owner, 1u);
    std::vector<float> pairs;
    for (const auto& row : stored[c.id]) {
      RefQuant r = ref_quantize(row);
      for (const auto& t : q) {
        RefQuant qq = ref_quantize(t);
        int64_t dot = 0;
        for (size_t i = 0; i < 16; ++i) dot += qq.codes[i] * r.codes[i];
        pairs.push_back(inv_sqrt * (r.scale * (qq.scale * static_cast<float>(dot))));
      }
    }
    EXPECT_TRUE(same_bits(c.score, ref_top_m_mean(pairs, 5))) << c.id;
  }
  for (size_t i = 1; i < got.size(); ++i) EXPECT_GE(got[i - 1].score, got[i].score);

  // Width mismatch with the arena and lazy mode both find nothing.
  EXPECT_TRUE(idx.search(std::vector<float>(15, 1.0f), 5, std::nullopt).empty());
  PerTokenIndex l = lazy();
  l.insert(1, 0, encode_per_token_key(stored[1]));
  EXPECT_TRUE(l.search(encode_per_token_key(q), 5, std::nullopt).empty());
  EXPECT_TRUE(l.search_cascade(encode_per_token_key(q), 5, std::nullopt, nullptr, nullptr).empty());
}

TEST(PerTokenIndexTest, IntegerDotDoesNotOverflowOnLongRows) {
  // 140000 x 127 x 127 exceeds 2^31: a 32-bit accumulator would wrap.
  const size_t n = 140000;
  PerTokenIndex idx = eager();
  idx.insert(1, 0, std::vector<float>(n, 1.0f));
  auto got = idx.search(std::vector<float>(n, 1.0f), 1, std::nullopt);
  ASSERT_EQ(got.size(), 1u);
  const int64_t dot = int64_t{127} * 127 * static_cast<int64_t>(n);
  const float scale = 1.0f / 127.0f;
  const float inv_sqrt = 1.0f / std::sqrt(static_cast<float>(n));
  EXPECT_EQ(got[0].score, inv_sqrt * (scale * (scale * static_cast<float>(dot))));
}

// ---- Fetcher search ----

TEST(PerTokenIndexTest, FetcherSearchMatchesScalarReferenceFromTierAndStorage) {
  Rng rng;
  Store store;
  std::map<uint64_t, std::vector<std::vector<float>>> stored;
  // Tier capacity 10: the 10 latest ids come dequantized from the tier, the
  // rest from storage; dimensions not a multiple of the lane count.
  PerTokenIndex idx = lazy(10, 4);
  for (uint64_t id = 0; id < 40; ++id) {
    stored[id] = rng.rows(1 + id % 6, 19);
    store.keys[id] = encode_per_token_key(stored[id]);
    idx.insert(id, id % 2, store.keys[id]);
  }
  FnKeyFetcher f = store.fetcher();
  for (size_t nq : {1u, 9u}) {
    auto q = rng.rows(nq, 19);
    auto got = idx.search_cascade(encode_per_token_key(q), 1000, std::nullopt, nullptr, &f);
    ASSERT_EQ(got.size(), 40u);
    EXPECT_EQ(idx.last_scored(), 40u);
    for (const Candidate& c : got) {
      EXPECT_EQ(c.owner, c.id % 2);
      // Token-cache hits hold what the id's own source gave the first time.
      const bool from_tier = c.id >= 30;
      std::vector<float> m = from_tier ? dequantized(stored[c.id]) : flat(stored[c.id]);
      ASSERT_TRUE(same_bits(c.score, ref_score(q, m, 19, 5))) << c.id;
    }
  }
}

TEST(PerTokenIndexTest, FetcherSearchQueryForms) {
  Rng rng;
  Store store;
  PerTokenIndex idx = lazy();
  for (uint64_t id = 0; id < 6; ++id) {
    store.keys[id] = encode_per_token_key(rng.rows(4, 8));
    idx.insert(id, 0, store.keys[id]);
  }
  FnKeyFetcher f = store.fetcher();
  auto token = rng.rows(1, 8)[0];
  auto single = idx.search_cascade(token, 6, std::nullopt, nullptr, &f);
  auto encoded = idx.search_cascade(encode_per_token_key({token}), 6, std::nullopt, nullptr, &f);
  ASSERT_EQ(single.size(), 6u);
  ASSERT_EQ(encoded.size(), 6u);
  for (size_t i = 0; i < single.size(); ++i) {
    EXPECT_EQ(single[i].id, encoded[i].id);
    EXPECT_TRUE(same_bits(single[i].score, encoded[i].score));
  }

  // Invalid and empty queries find nothing.
  std::vector<float> broken = encode_per_token_key({token});
  broken.push_back(0.0f);
  EXPECT_TRUE(idx.search_cascade(broken, 6, std::nullopt, nullptr, &f).empty());
  EXPECT_TRUE(idx.search_cascade({}, 6, std::nullopt, nullptr, &f).empty());
}

TEST(PerTokenIndexTest, PairScoresArriveQueryTokenFirst) {
  // Pair scores -0.0, -0.0 (token 0) then +0.0, +0.0 (token 1): the best two
  // in arrival order are both -0.0. Row-first order would give -0.0 and +0.0,
  // whose sum is +0.0.
  PerTokenConfig cfg;
  cfg.top_m = 2;
  PerTokenIndex idx(true, cfg, 512, 32768, false);
  Store store;
  store.keys[1] = encode_per_token_key({{-1.0f, -1.0f}, {-1.0f, -1.0f}});
  idx.insert(1, 0, store.keys[1]);
  FnKeyFetcher f = store.fetcher();
  auto got = idx.search_cascade(encode_per_token_key({{0.0f, 0.0f}, {-0.0f, -0.0f}}), 1, std::nullopt,
                                nullptr, &f);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(bits(got[0].score), bits(-0.0f));
}

TEST(PerTokenIndexTest, ExcludedAndRemovedIdsAreNeverCandidates) {
  Rng rng;
  Store store;
  PerTokenIndex idx = lazy();
  for (uint64_t id = 0; id < 5; ++id) {
    store.keys[id] = encode_per_token_key(rng.rows(2, 8));
    idx.insert(id, 0, store.keys[id]);
  }
  FnKeyFetcher f = store.fetcher();
  auto q = encode_per_token_key(rng.rows(2, 8));
  // Scoring once puts every matrix in the token cache.
  ASSERT_EQ(idx.search_cascade(q, 10, std::nullopt, nullptr, &f).size(), 5u);
  IdSet exclude{1, 3};
  auto got = idx.search_cascade(q, 10, std::nullopt, &exclude, &f);
  ASSERT_EQ(got.size(), 3u);
  for (const Candidate& c : got) EXPECT_TRUE(c.id != 1 && c.id != 3);

  idx.remove(2);
  EXPECT_TRUE(idx.token_cache().contains(2));
  got = idx.search_cascade(q, 10, std::nullopt, nullptr, &f);
  ASSERT_EQ(got.size(), 4u);
  for (const Candidate& c : got) EXPECT_NE(c.id, 2u);
  EXPECT_FALSE(idx.int8_tier().contains(2));
}

TEST(PerTokenIndexTest, EvictedKeysAreScoredThroughStorageAndSinglesNever) {
  Rng rng;
  Store store;
  PerTokenIndex idx = lazy(/*tier=*/1, /*cache=*/1);
  auto a = rng.rows(3, 8), b = rng.rows(3, 8);
  store.keys[1] = encode_per_token_key(a);
  store.keys[2] = encode_per_token_key(b);
  idx.insert(1, 0, store.keys[1]);
  idx.insert(2, 0, store.keys[2]);
  EXPECT_FALSE(idx.int8_tier().contains(1));
  FnKeyFetcher f = store.fetcher();
  auto got = idx.search_cascade(encode_per_token_key({a[0]}), 5, std::nullopt, nullptr, &f);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(store.calls, 1);  // only id 1 needed storage
  for (const Candidate& c : got) {
    if (c.id == 1) {
      EXPECT_TRUE(same_bits(c.score, ref_score({a[0]}, flat(a), 8, 5)));
    }
  }

  // Single-vector keys count in len but are never found by the fetcher search.
  Store singles;
  PerTokenIndex s = lazy();
  for (uint64_t id = 0; id < 3; ++id) {
    singles.keys[id] = rng.rows(1, 8)[0];
    s.insert(id, 0, singles.keys[id]);
  }
  EXPECT_EQ(s.len(), 3u);
  FnKeyFetcher fs = singles.fetcher();
  EXPECT_TRUE(s.search_cascade(singles.keys[0], 5, std::nullopt, nullptr, &fs).empty());
  PerTokenIndex e = eager();
  for (uint64_t id = 0; id < 3; ++id) e.insert(id, 0, singles.keys[id]);
  EXPECT_EQ(e.search(singles.keys[0], 5, std::nullopt).size(), 3u);
}

TEST(PerTokenIndexTest, PoisonedTierDegradesToStorage) {
  Rng rng;
  Store store;
  PerTokenIndex idx = lazy();
  auto rows = rng.rows(2, 8);
  store.keys[1] = encode_per_token_key(rows);
  EXPECT_THROW(idx.int8_tier().locked([](auto&) -> int { throw std::runtime_error("x"); }, 0),
               std::runtime_error);
  idx.insert(1, 0, store.keys[1]);  // tier skipped, insert goes on
  EXPECT_EQ(idx.len(), 2u);
  FnKeyFetcher f = store.fetcher();
  auto got = idx.search_cascade(encode_per_token_key({rows[1]}), 5, std::nullopt, nullptr, &f);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(store.calls, 1);
  idx.remove(1);
  EXPECT_EQ(idx.len(), 0u);
}

// ---- Pre-selection ----

TEST(PerTokenIndexTest, PreselectionThresholdAndSize) {
  Rng rng;
  Store store;
  PerTokenIndex idx = lazy();
  for (uint64_t id = 0; id < 513; ++id) {
    store.keys[id] = encode_per_token_key(rng.rows(1, 4));
    idx.insert(id, 0, store.keys[id]);
    if (id == 511) {
      FnKeyFetcher f = store.fetcher();
      idx.search_cascade(store.keys[0], 1, std::nullopt, nullptr, &f);
      EXPECT_EQ(idx.last_scored(), 512u);
      EXPECT_FALSE(idx.coarse_candidates(store.keys[0], 1, std::nullopt));
    }
  }
  FnKeyFetcher f = store.fetcher();
  idx.search_cascade(store.keys[0], 1, std::nullopt, nullptr, &f);
  EXPECT_EQ(idx.last_scored(), 256u);
  idx.search_cascade(store.keys[0], 5, std::nullopt, nullptr, &f);
  EXPECT_EQ(idx.last_scored(), 320u);
  idx.search_cascade(store.keys[0], 10, std::nullopt, nullptr, &f);
  EXPECT_EQ(idx.last_scored(), 513u);
  // 64 k saturates instead of wrapping to a small number; nothing is
  // reserved from k.
  auto all = idx.search_cascade(store.keys[0], UINT64_MAX, std::nullopt, nullptr, &f);
  EXPECT_EQ(all.size(), 513u);
  EXPECT_EQ(idx.coarse_candidates(store.keys[0], (UINT64_MAX / 64) + 2, std::nullopt)->size(), 513u);
  // Owner filter applies before the cut.
  auto none = idx.coarse_candidates(store.keys[0], 1, std::optional<uint64_t>(9));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(PerTokenIndexTest, PreselectionTiesGoToLowerIdsAndNaNGoesLast) {
  PerTokenIndex idx = lazy();
  // Ids inserted in descending order so that table order is not id order.
  for (uint64_t id = 600; id-- > 0;) {
    std::vector<float> key = id < 50 ? std::vector<float>{NaN, 1.0f} : std::vector<float>{1.0f, 1.0f};
    idx.insert(id, 0, encode_per_token_key({key}));
  }
  auto ids = idx.coarse_candidates(encode_per_token_key({{1.0f, 1.0f}}), 1, std::nullopt);
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids->size(), 256u);
  std::sort(ids->begin(), ids->end());
  for (size_t i = 0; i < 256; ++i) EXPECT_EQ((*ids)[i], 50 + i);

  // After removals the table compacts; the survivors are still all scored.
  for (uint64_t id = 50; id < 400; ++id) idx.remove(id);
  ids = idx.coarse_candidates(encode_per_token_key({{1.0f, 1.0f}}), 1, std::nullopt);
  EXPECT_FALSE(ids);  // 250 ids left: below the threshold
}

TEST(PerTokenIndexTest, MeanTableSurvivesChurn) {
  MeanTable t;
  t.set_width(3);
  std::map<uint64_t, std::vector<float>> ref;
  Rng rng;
  for (int step = 0; step < 300; ++step) {
    uint64_t id = rng.gen() % 40;
    if (rng.gen() % 3 == 0) {
      t.erase(id);
      ref.erase(id);
    } else {
      auto v = rng.rows(1, rng.gen() % 5 == 0 ? 2 : 3)[0];
      t.put(id, id + 100, v);
      ref[id] = v;
    }
  }
  ASSERT_EQ(t.size(), ref.size());
  auto q = rng.rows(1, 3)[0];
  std::vector<ScoredId> scored;
  t.score(q, 0.5f, std::nullopt, scored);
  size_t width3 = 0;
  for (auto& [id, v] : ref) width3 += v.size() == 3;
  ASSERT_EQ(scored.size(), width3);
  for (auto& [id, owner, s] : scored) {
    EXPECT_TRUE(same_bits(s, ref_dot(q.data(), ref[id].data(), 3) * 0.5f));
    EXPECT_EQ(t.owner_of(id), id + 100);
    EXPECT_EQ(owner, id + 100);
  }
}

// ---- Token rows for refinement ----

TEST(PerTokenIndexTest, TokenRowsFromFetcherOrArena) {
  Store store;
  PerTokenIndex idx = lazy();
  std::vector<std::vector<float>> rows = {{1.0f, 2.0f}, {3.0f, 4.0f}};
  store.keys[1] = encode_per_token_key(rows);
  idx.insert(1, 7, store.keys[1]);
  FnKeyFetcher f = store.fetcher();
  auto got = idx.token_rows(1, &f);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].owner, 7u);
  EXPECT_EQ(got[1].row, int8_group_dequantize(int8_group_quantize(rows[1], 2), 2));
  EXPECT_TRUE(idx.token_rows(1, nullptr).empty());  // lazy: no arena
  EXPECT_TRUE(idx.token_rows(2, &f).empty());

  PerTokenIndex e = eager();
  e.insert(1, 7, encode_per_token_key({{127.0f, -1.0f}}));
  auto er = e.token_rows(1, nullptr);
  ASSERT_EQ(er.size(), 1u);
  EXPECT_EQ(er[0].row, (std::vector<float>{127.0f, -1.0f}));
}

// Token reads through the engine: the owner filter holds and a token count
// times a dimension that wraps around 64 bits is refused, not read as the
// small product it wraps to.
TEST(PerTokenEngineTest, TokenReadsFilterOwnersAndRefuseOverflowingShapes) {
  test::TempDir dir;
  Engine e = test::open_engine(dir.path());
  const std::vector<float> row = {1.0f, 0.5f};
  for (OwnerId owner : {1u, 2u, 1u}) {
    ASSERT_TRUE(e.mem_write(owner, 0, encode_per_token_key({row}), {1.0f}, 50.0f, std::nullopt).ok());
  }
  struct Case {
    uint64_t n_tokens, dim;
    std::optional<OwnerId> owner;
    size_t hits;
  };
  const Case cases[] = {
      {1, 2, std::nullopt, 3},
      {1, 2, 1, 2},
      {1, 2, 2, 1},
      {1, 2, 3, 0},
      {(uint64_t{1} << 63) + 1, 2, std::nullopt, 0},  // product wraps to 2
  };
  for (const Case& c : cases) {
    auto got = e.mem_read_tokens(row, c.n_tokens, c.dim, 10, c.owner);
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got->size(), c.hits) << c.n_tokens << " owner " << c.owner.value_or(0);
    for (const CellHit& h : *got) EXPECT_EQ(h.cell.owner, c.owner.value_or(h.cell.owner));
  }
}

}  // namespace
}  // namespace qvn
