#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
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

using test::ref_dot;
using test::ref_top_m_mean;
using test::same_bits;
using Rows = std::vector<std::vector<float>>;

// Pair scores in query-token-outer order, aggregated.
float ref_score(const Rows& q, const std::vector<float>& matrix, size_t dim, uint64_t top_m) {
  const float inv_sqrt = 1.0f / std::sqrt(static_cast<float>(dim));
  std::vector<float> pairs;
  for (const auto& t : q)
    for (size_t at = 0; at + dim <= matrix.size(); at += dim)
      pairs.push_back(ref_dot(t.data(), matrix.data() + at, dim) * inv_sqrt);
  return ref_top_m_mean(pairs, top_m);
}

std::vector<float> flat(const Rows& rows, bool dequantize = false) {
  std::vector<float> out;
  for (const auto& r : rows) {
    auto v = dequantize ? int8_group_dequantize(int8_group_quantize(r, r.size()), r.size()) : r;
    out.insert(out.end(), v.begin(), v.end());
  }
  return out;
}

PerTokenIndex lazy(uint64_t tier = 32768, uint64_t cache = 512) {
  return PerTokenIndex(true, PerTokenConfig{}, cache, tier, false);
}
PerTokenIndex eager() { return PerTokenIndex(true, PerTokenConfig{}, 512, 32768, true); }

// Every fast kernel and its portable twin against the scalar reading.
TEST(PerTokenKernelsTest, KernelsMatchScalarReferenceBitForBit) {
  std::mt19937 rng(12345);
  for (size_t nq : {1u, 8u, 9u, 17u, 37u}) {
    for (size_t width : {1u, 5u, 128u}) {
      const size_t stride = width + 3, row_stride = width + 2;
      auto q = test::awkward_rows(rng, nq, stride);
      q[0][0] = NaN;
      auto flatq = flat(q);
      auto tq = kernels::transpose_tokens(flatq.data(), nq, stride, width);
      for (size_t n_rows : {4u, 5u}) {  // pairs of rows and a lone last row
        std::vector<float> rows(n_rows * row_stride);
        for (float& x : rows) x = test::awkward(rng);
        rows[1] = INF;
        std::vector<float> portable(n_rows * tq.lanes), fast(n_rows * tq.lanes);
        kernels::token_row_dots_portable(tq, rows.data(), n_rows, row_stride, portable.data());
        kernels::token_row_dots(tq, rows.data(), n_rows, row_stride, fast.data());
        for (size_t r = 0; r < n_rows; ++r) {
          for (size_t t = 0; t < nq; ++t) {
            const float want = ref_dot(q[t].data(), rows.data() + r * row_stride, width);
            ASSERT_TRUE(same_bits(portable[r * tq.lanes + t], want)) << nq << " " << width;
            ASSERT_TRUE(same_bits(fast[r * tq.lanes + t], want)) << nq << " " << width << " " << r;
          }
        }
        for (size_t m : {1u, 5u, 32u}) {
          float a[32], b[32];
          const size_t fa = kernels::top_pairs(fast.data(), n_rows, tq.lanes, nq, 0.25f, m, a);
          const size_t fb = kernels::top_pairs_portable(fast.data(), n_rows, tq.lanes, nq, 0.25f, m, b);
          // Rows visited first, NaN skipped, equal values in visiting order.
          std::vector<float> pairs;
          for (size_t r = 0; r < n_rows; ++r)
            for (size_t t = 0; t < nq; ++t)
              if (!std::isnan(fast[r * tq.lanes + t] * 0.25f)) pairs.push_back(fast[r * tq.lanes + t] * 0.25f);
          std::stable_sort(pairs.begin(), pairs.end(), [](float x, float y) { return x > y; });
          ASSERT_EQ(fa, std::min(m, pairs.size()));
          ASSERT_EQ(fb, fa);
          for (size_t i = 0; i < fa; ++i) ASSERT_TRUE(same_bits(a[i], pairs[i]) && same_bits(b[i], pairs[i]));
        }
      }
    }
  }
  for (size_t n : {1u, 8u, 13u, 40u}) {
    for (size_t width : {1u, 7u, 128u}) {
      auto entries = test::awkward_rows(rng, n, width);
      auto q = test::awkward_rows(rng, 1, width)[0];
      const size_t blocks = (n + 7) / 8;
      std::vector<float> table(blocks * width * 8, 0.0f), portable(blocks * 8), fast(blocks * 8);
      for (size_t e = 0; e < n; ++e)
        for (size_t i = 0; i < width; ++i) table[((e / 8) * width + i) * 8 + e % 8] = entries[e][i];
      kernels::blocked_dots_portable(q.data(), width, table.data(), blocks, portable.data());
      kernels::blocked_dots(q.data(), width, table.data(), blocks, fast.data());
      for (size_t e = 0; e < n; ++e) {
        const float want = ref_dot(q.data(), entries[e].data(), width);
        ASSERT_TRUE(same_bits(portable[e], want) && same_bits(fast[e], want)) << n << " " << width;
      }
    }
  }
  for (size_t n : {0u, 1u, 7u, 8u, 31u, 33u, 70u}) {
    auto x = test::awkward_rows(rng, 1, n + 1)[0], base = test::awkward_rows(rng, 1, n + 1)[0];
    const float a = test::awkward(rng);
    std::vector<float> want = base, portable = base, fast = base;
    for (size_t j = 0; j < n; ++j) want[j] += a * x[j];
    kernels::add_scaled_portable(portable.data(), a, x.data(), n);
    kernels::add_scaled(fast.data(), a, x.data(), n);
    for (size_t j = 0; j <= n; ++j) ASSERT_TRUE(same_bits(portable[j], want[j]) && same_bits(fast[j], want[j]));

    Int8GroupRow row = int8_group_quantize(x, x.size());
    std::vector<float> deq(x.size() + 1, 42.0f), deq_portable(x.size() + 1, 42.0f);
    kernels::dequantize_groups(row.codes.data(), row.scales.data(), x.size(), deq.data());
    kernels::dequantize_groups_portable(row.codes.data(), row.scales.data(), x.size(), deq_portable.data());
    for (size_t i = 0; i < x.size(); ++i) {
      const float w = row.scales[i / 32] * static_cast<float>(row.codes[i]);
      ASSERT_TRUE(same_bits(deq[i], w) && same_bits(deq_portable[i], w));
    }
    EXPECT_EQ(deq[x.size()], 42.0f);
  }
}

TEST(PerTokenAggregationTest, TopMMeanMatchesStableSortIncludingNaNAndSignedZeros) {
  EXPECT_EQ(max_ignoring_nan(std::vector<float>{NaN, -3.0f, NaN}), -3.0f);
  EXPECT_EQ(max_ignoring_nan({}), -INF);
  std::mt19937 rng(5);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<float> v(trial % 90);
    // Few distinct values so that ties are common.
    for (float& x : v) {
      const int p = static_cast<int>(rng() % 7);
      x = p == 0 ? NaN : p == 1 ? -0.0f : p == 2 ? 0.0f : static_cast<float>(p) * 0.1f;
    }
    for (uint64_t m : {0u, 1u, 5u, 33u, 100u}) {
      ASSERT_TRUE(same_bits(top_m_mean(v, m), ref_top_m_mean(v, m))) << trial << " m=" << m;
    }
  }
}

// Keys that fix no dimension or are invalid change nothing; a key whose
// outer product would take 100 MB resets the statistics instead.
TEST(PerTokenIndexTest, KeysThatMustNotShapeTheIndex) {
  for (bool is_eager : {false, true}) {
    PerTokenIndex idx = is_eager ? eager() : lazy();
    idx.insert(9, 0, std::vector<float>{});
    EXPECT_FALSE(idx.dim());
    idx.remove(9);
    idx.insert(1, 0, encode_per_token_key({{1.0f, 2.0f}, {3.0f, -1.0f}}));
    std::vector<float> broken = encode_per_token_key({{1.0f, 2.0f}});
    broken.push_back(1.0f);
    idx.insert(2, 0, broken);
    EXPECT_TRUE(idx.len() == 2 && idx.dim() == 2u && idx.stats().count == 2);
    idx.insert(5, 0, encode_per_token_key({std::vector<float>(MAX_STATS_DIM + 1, 1.0f)}));
    EXPECT_TRUE(idx.stats().count == 0 && idx.stats().outer.empty());
    idx.insert(6, 0, encode_per_token_key({std::vector<float>(MAX_STATS_DIM, 1.0f)}));
    EXPECT_EQ(idx.stats().count, 1u);
    EXPECT_EQ(idx.dim(), 2u);
  }
}

// The eager arena holds rows of one width; search scores them with the
// integer rule, owner filter first.
TEST(PerTokenIndexTest, EagerSearchMatchesIntegerReference) {
  std::mt19937 rng(2);
  PerTokenIndex idx = eager();
  std::map<uint64_t, Rows> stored;
  for (uint64_t id = 0; id < 20; ++id) {
    stored[id] = test::awkward_rows(rng, 1 + id % 4, 16);
    idx.insert(id, id % 3, encode_per_token_key(stored[id]));
  }
  idx.insert(99, 1, encode_per_token_key({{1.0f, 2.0f}}));  // width 2: refused by the arena
  EXPECT_EQ(idx.token_count(99), 1u);
  auto q = test::awkward_rows(rng, 3, 16);
  auto got = idx.search(encode_per_token_key(q), 100, std::optional<uint64_t>(1));
  ASSERT_EQ(got.size(), 7u);  // ids 1, 4, ..., 19
  EXPECT_EQ(idx.last_scored(), 7u);
  for (size_t i = 0; i < got.size(); ++i) {
    const Candidate& c = got[i];
    EXPECT_EQ(c.owner, 1u);
    std::vector<float> pairs;
    for (const auto& row : stored[c.id])
      for (const auto& t : q) pairs.push_back(test::ref_int8_score(t, row));
    EXPECT_TRUE(same_bits(c.score, ref_top_m_mean(pairs, 5))) << c.id;
    if (i > 0) {
      EXPECT_GE(got[i - 1].score, c.score);
    }
  }
  idx.remove(1);
  EXPECT_EQ(idx.search(encode_per_token_key(q), 100, std::optional<uint64_t>(1)).size(), 6u);
  // Width mismatch with the arena and lazy mode both find nothing.
  EXPECT_TRUE(idx.search(std::vector<float>(15, 1.0f), 5, std::nullopt).empty());
  PerTokenIndex l = lazy();
  l.insert(1, 0, encode_per_token_key(stored[1]));
  EXPECT_TRUE(l.search(encode_per_token_key(q), 5, std::nullopt).empty());
  EXPECT_TRUE(l.search_cascade(encode_per_token_key(q), 5, std::nullopt, nullptr, nullptr).empty());
}

TEST(PerTokenIndexTest, FetcherSearchMatchesScalarReferenceFromTierAndStorage) {
  std::mt19937 rng(3);
  test::KeyStore store;
  std::map<uint64_t, Rows> stored;
  // Tier capacity 10: the 10 latest ids come dequantized from the tier, the
  // rest from storage; dimensions not a multiple of the lane count.
  PerTokenIndex idx = lazy(10, 4);
  for (uint64_t id = 0; id < 40; ++id) {
    stored[id] = test::awkward_rows(rng, 1 + id % 6, 19);
    store.keys[id] = encode_per_token_key(stored[id]);
    idx.insert(id, id % 2, store.keys[id]);
  }
  FnKeyFetcher f = store.fetcher();
  for (size_t nq : {1u, 9u}) {
    auto q = test::awkward_rows(rng, nq, 19);
    // A lone token and its encoded form are the same query.
    auto query = nq == 1 ? q[0] : encode_per_token_key(q);
    auto got = idx.search_cascade(query, 1000, std::nullopt, nullptr, &f);
    ASSERT_EQ(got.size(), 40u);
    EXPECT_EQ(idx.last_scored(), 40u);
    for (const Candidate& c : got) {
      EXPECT_EQ(c.owner, c.id % 2);
      ASSERT_TRUE(same_bits(c.score, ref_score(q, flat(stored[c.id], c.id >= 30), 19, 5))) << c.id;
    }
  }
  // Invalid and empty queries find nothing.
  std::vector<float> broken = store.keys[1];
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
  test::KeyStore store;
  store.keys[1] = encode_per_token_key({{-1.0f, -1.0f}, {-1.0f, -1.0f}});
  idx.insert(1, 0, store.keys[1]);
  FnKeyFetcher f = store.fetcher();
  auto got = idx.search_cascade(encode_per_token_key({{0.0f, 0.0f}, {-0.0f, -0.0f}}), 1, std::nullopt,
                                nullptr, &f);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(std::bit_cast<uint32_t>(got[0].score), std::bit_cast<uint32_t>(-0.0f));
}

TEST(PerTokenIndexTest, ExcludedRemovedEvictedAndSingleKeys) {
  std::mt19937 rng(4);
  test::KeyStore store;
  PerTokenIndex idx = lazy(/*tier=*/1, /*cache=*/8);
  for (uint64_t id = 0; id < 5; ++id) {
    store.keys[id] = encode_per_token_key(test::awkward_rows(rng, 2, 8));
    idx.insert(id, 0, store.keys[id]);
  }
  FnKeyFetcher f = store.fetcher();
  auto q = encode_per_token_key(test::awkward_rows(rng, 2, 8));
  ASSERT_EQ(idx.search_cascade(q, 10, std::nullopt, nullptr, &f).size(), 5u);
  EXPECT_EQ(store.calls, 4);  // only the newest id sits in the tier
  store.keys[7] = test::awkward_rows(rng, 1, 8)[0];
  idx.insert(7, 0, store.keys[7]);  // a single vector: counted, never found
  EXPECT_EQ(idx.len(), 11u);
  IdSet exclude{1, 3};
  auto got = idx.search_cascade(q, 10, std::nullopt, &exclude, &f);
  ASSERT_EQ(got.size(), 3u);
  for (const Candidate& c : got) EXPECT_TRUE(c.id != 1 && c.id != 3);
  idx.remove(4);  // still in the token cache, no longer a candidate
  got = idx.search_cascade(q, 10, std::nullopt, nullptr, &f);
  ASSERT_EQ(got.size(), 4u);
  for (const Candidate& c : got) EXPECT_NE(c.id, 4u);
}

// Pre-selection by mean vector from 512 ids on: at least 256, else 64 k;
// ties go to lower ids, NaN last; the owner filter applies before the cut.
TEST(PerTokenIndexTest, PreselectionSizeTiesAndOwner) {
  PerTokenIndex idx = lazy();
  test::KeyStore store;
  // Ids inserted in descending order so that table order is not id order.
  for (uint64_t id = 600; id-- > 0;) {
    store.keys[id] = encode_per_token_key({id < 50 ? std::vector<float>{NaN, 1.0f} : std::vector<float>{1.0f, 1.0f}});
    idx.insert(id, 0, store.keys[id]);
  }
  const auto q = encode_per_token_key({{1.0f, 1.0f}});
  auto ids = idx.coarse_candidates(q, 1, std::nullopt);
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids->size(), 256u);
  std::sort(ids->begin(), ids->end());
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ((*ids)[i], 50 + i);
  FnKeyFetcher f = store.fetcher();
  // 64 k saturates instead of wrapping to a small number.
  for (auto [k, scored] : {std::pair<uint64_t, uint64_t>{1, 256}, {5, 320}, {10, 600}, {UINT64_MAX / 64 + 2, 600}}) {
    idx.search_cascade(q, k, std::nullopt, nullptr, &f);
    EXPECT_EQ(idx.last_scored(), scored) << k;
  }
  EXPECT_TRUE(idx.coarse_candidates(q, 1, std::optional<uint64_t>(9))->empty());
  // Removals compact the table; at 512 ids every survivor is scored.
  for (uint64_t id = 513; id < 600; ++id) idx.remove(id);
  EXPECT_EQ(idx.coarse_candidates(q, 1, std::nullopt)->size(), 256u);
  idx.remove(512);
  EXPECT_FALSE(idx.coarse_candidates(q, 1, std::nullopt));
  idx.search_cascade(q, 1, std::nullopt, nullptr, &f);
  EXPECT_EQ(idx.last_scored(), 512u);
}

// Other owners' ids push the total past the pre-selection threshold, but an
// owner with few keys is still scored whole: its best key by token pairs
// (whose mean is zero) is not cut by a selection by mean. Lazy and eager.
TEST(PerTokenIndexTest, OtherOwnersNeverNarrowAnOwnersSearch) {
  const std::vector<float> u = {1.0f, 0.5f, 0.25f, -1.0f};
  const auto times = [&](float by) {
    std::vector<float> v = u;
    for (float& x : v) x *= by;
    return v;
  };
  const PerTokenConfig config{/*coarse_threshold=*/4, /*coarse_min=*/1, /*coarse_per_k=*/1, /*top_m=*/1};
  const auto q = encode_per_token_key({u});
  for (bool eager_rows : {false, true}) {
    std::vector<Candidate> runs[2];
    for (bool crowded : {false, true}) {
      SCOPED_TRACE(std::string(eager_rows ? "eager" : "lazy") + (crowded ? " crowded" : " alone"));
      PerTokenIndex idx(true, config, 512, 32768, eager_rows);
      test::KeyStore store;
      store.keys[1] = encode_per_token_key({u, times(-1.0f)});        // mean zero, best pair
      store.keys[2] = encode_per_token_key({times(0.5f), times(0.5f)});  // best mean
      for (uint64_t id = 3; crowded && id < 9; ++id) {
        store.keys[id] = encode_per_token_key({times(0.1f * static_cast<float>(id))});
      }
      for (const auto& [id, key] : store.keys) idx.insert(id, id < 3 ? 1 : 2, key);
      FnKeyFetcher f = store.fetcher();
      runs[crowded] = idx.search_cascade(q, 1, uint64_t{1}, nullptr, eager_rows ? nullptr : &f);
      ASSERT_EQ(runs[crowded].size(), 1u);
      EXPECT_EQ(runs[crowded][0].id, 1u);
    }
    EXPECT_TRUE(same_bits(runs[0][0].score, runs[1][0].score));
  }
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
    uint64_t n_tokens;
    std::optional<OwnerId> owner;
    size_t hits;
  };
  for (const Case& c : {Case{1, std::nullopt, 3}, Case{1, 1, 2}, Case{1, 2, 1}, Case{1, 3, 0},
                        Case{(uint64_t{1} << 63) + 1, std::nullopt, 0}}) {  // product wraps to 2
    auto got = e.mem_read_tokens(row, c.n_tokens, 2, 10, c.owner);
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got->size(), c.hits) << c.n_tokens << " owner " << c.owner.value_or(0);
    for (const CellHit& h : *got) EXPECT_EQ(h.cell.owner, c.owner.value_or(h.cell.owner));
  }
}

}  // namespace
}  // namespace qvn
