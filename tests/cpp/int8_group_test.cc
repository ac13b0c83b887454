#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <vector>

#include "retrieval/int8_group.h"
#include "retrieval/key_view.h"
#include "support/reference.h"

namespace qvn {
namespace {

TEST(Int8GroupTest, CodesFollowTheGroupRule) {
  // Halves round away from zero; NaN gives 0 and never wins the maximum.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Int8GroupRow r = int8_group_quantize(std::vector<float>{127.0f, -127.0f, 0.5f, -0.5f, 2.5f, nan}, 6);
  EXPECT_EQ(r.scales, (std::vector<float>{1.0f}));
  EXPECT_EQ(std::vector<int8_t>(r.codes.begin(), r.codes.begin() + 6), (std::vector<int8_t>{127, -127, 1, -1, 3, 0}));
  // value / scale is exactly 31.5 here, while value * (1 / scale) is just
  // below it: the code must come from the division.
  EXPECT_EQ(int8_group_quantize(std::vector<float>{1.9229742f, 0.47695816f}, 2).codes[1], 32);
  // An all-zero group keeps the floored scale.
  EXPECT_EQ(int8_group_quantize(std::vector<float>(5, 0.0f), 5).scales[0], 1e-12f / 127.0f);

  // A short last group is padded with zero codes and cut back on the way out.
  std::vector<float> x(33);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) - 10.0f;
  Int8GroupRow row = int8_group_quantize(x, 33);
  ASSERT_EQ(row.codes.size(), 64u);
  EXPECT_EQ(row.scales, (std::vector<float>{21.0f / 127.0f, 22.0f / 127.0f}));
  for (size_t i = 33; i < 64; ++i) EXPECT_EQ(row.codes[i], 0) << i;
  std::vector<float> back = int8_group_dequantize(row, 33);
  ASSERT_EQ(back.size(), 33u);
  for (size_t i = 0; i < 33; ++i) EXPECT_EQ(back[i], row.scales[i / 32] * static_cast<float>(row.codes[i])) << i;

  // Length mismatches and rows whose codes or scales do not cover their
  // length give nothing rather than an overread.
  EXPECT_TRUE(int8_group_quantize(x, 34).codes.empty());
  EXPECT_TRUE(int8_group_dequantize(row, 32).empty());
  Int8GroupRow torn = row;
  torn.codes.resize(32);
  EXPECT_TRUE(int8_group_dequantize(torn, 33).empty());
  torn = row;
  torn.scales.pop_back();
  EXPECT_TRUE(int8_group_dequantize(torn, 33).empty());
}

using CountingStore = test::KeyStore;

std::vector<float> rows_of(const std::vector<std::vector<float>>& rows) {
  std::vector<float> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

TEST(FetchTokensTest, LooksInTokenCacheThenTierThenStorage) {
  const std::vector<std::vector<float>> rows = {{1.0f, 2.0f, 3.0f, 4.0f}, {-1.0f, 0.5f, 0.25f, 8.0f}};
  CountingStore store;
  store.keys[7] = encode_per_token_key(rows);
  FnKeyFetcher fetch = store.fetcher();
  TokenCache cache(4);
  Int8Tier tier(4);

  // Storage: the stored rows exactly, cached, tier left alone.
  SharedTokenMatrix m = fetch_tokens(cache, tier, 7, fetch, 4);
  ASSERT_TRUE(m);
  EXPECT_EQ(*m, rows_of(rows));
  EXPECT_TRUE(cache.contains(7) && !tier.contains(7));
  // Served from the token cache now: the same shared matrix, no storage read.
  EXPECT_EQ(fetch_tokens(cache, tier, 7, fetch, 4).get(), m.get());
  EXPECT_EQ(store.calls, 1);

  // A tier entry of another dimension falls through to storage.
  store.keys[11] = encode_per_token_key(rows);
  tier.put(11, std::make_shared<const Int8Rows>(Int8Rows{int8_group_quantize(std::vector<float>(8, 1.0f), 8)}));
  EXPECT_EQ(*fetch_tokens(cache, tier, 11, fetch, 4), rows_of(rows));
  EXPECT_EQ(store.calls, 2);

  // Storage keys must be encoded keys of the dimension.
  std::vector<float> broken = encode_per_token_key({{1.0f, 2.0f, 3.0f, 4.0f}});
  broken.push_back(5.0f);
  store.keys = {{1, {1.0f, 2.0f, 3.0f, 4.0f}}, {2, encode_per_token_key({{1.0f, 2.0f}})}, {3, broken}};
  for (uint64_t id : {1, 2, 3, 4}) EXPECT_FALSE(fetch_tokens(cache, tier, id, fetch, 4)) << id;
  EXPECT_EQ(cache.len(), 2u);
}

TEST(FetchTokensTest, RecycledMatricesAreOnlyThoseNobodyHolds) {
  // Ids 1..4 in the tier, a cache of 2: every further fetch evicts a matrix,
  // which the next one reuses unless someone still holds it.
  CountingStore store;
  FnKeyFetcher fetch = store.fetcher();
  TokenCache cache(2);
  Int8Tier tier(8);
  SpareMatrices spares;
  std::vector<std::vector<float>> want(5);
  for (uint64_t id = 1; id <= 4; ++id) {
    Int8Rows q;
    for (int r = 0; r < 3; ++r) {
      q.push_back(int8_group_quantize(std::vector<float>{float(id), float(r), -2.0f * id, 0.5f}, 4));
      auto v = int8_group_dequantize(q.back(), 4);
      want[id].insert(want[id].end(), v.begin(), v.end());
    }
    tier.put(id, std::make_shared<const Int8Rows>(q));
  }
  SharedTokenMatrix held = fetch_tokens(cache, tier, 1, fetch, 4, &spares);
  for (int round = 0; round < 6; ++round) {
    for (uint64_t id = 1; id <= 4; ++id) {
      SharedTokenMatrix m = fetch_tokens(cache, tier, id, fetch, 4, &spares);
      ASSERT_TRUE(m);
      EXPECT_EQ(*m, want[id]);
    }
    EXPECT_EQ(*held, want[1]);
  }
  EXPECT_EQ(store.calls, 0);
}

// A poisoned tier or cache is skipped, never fatal: the rows come from storage.
TEST(FetchTokensTest, PoisonedCachesAreSkipped) {
  CountingStore store;
  store.keys[1] = encode_per_token_key({{1.0f, 2.0f}});
  FnKeyFetcher fetch = store.fetcher();
  TokenCache cache(4);
  Int8Tier tier(4);
  tier.put(1, std::make_shared<const Int8Rows>(Int8Rows{int8_group_quantize(std::vector<float>{3.0f, 4.0f}, 2)}));
  auto poison = [](auto& c) {
    EXPECT_THROW(c.locked([](auto&) -> int { throw std::runtime_error("x"); }, 0), std::runtime_error);
  };
  poison(tier);
  SharedTokenMatrix m = fetch_tokens(cache, tier, 1, fetch, 2);
  ASSERT_TRUE(m);
  EXPECT_EQ(*m, (std::vector<float>{1.0f, 2.0f}));  // storage, not the tier
  poison(cache);
  EXPECT_TRUE(fetch_tokens(cache, tier, 1, fetch, 2));
  EXPECT_EQ(store.calls, 2);
}

}  // namespace
}  // namespace qvn
