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

TEST(Int8GroupTest, ShortLastGroupIsPaddedAndCutBack) {
  std::vector<float> x(33);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) - 10.0f;
  Int8GroupRow row = int8_group_quantize(x, 33);
  ASSERT_EQ(row.codes.size(), 64u);
  ASSERT_EQ(row.scales.size(), 2u);
  EXPECT_EQ(row.len, 33u);
  for (size_t i = 33; i < 64; ++i) EXPECT_EQ(row.codes[i], 0) << i;
  // Group 0 spans -10..21 (absmax 21); group 1 holds 22 alone.
  EXPECT_EQ(row.scales[0], 21.0f / 127.0f);
  EXPECT_EQ(row.scales[1], 22.0f / 127.0f);
  EXPECT_EQ(row.codes[31], 127);
  EXPECT_EQ(row.codes[32], 127);

  std::vector<float> back = int8_group_dequantize(row, 33);
  ASSERT_EQ(back.size(), 33u);
  for (size_t i = 0; i < 33; ++i) {
    EXPECT_EQ(back[i], row.scales[i / 32] * static_cast<float>(row.codes[i])) << i;
  }
  EXPECT_TRUE(int8_group_quantize({}, 0).codes.empty());
}

TEST(Int8GroupTest, CodesFollowTheGroupRule) {
  // An all-zero group keeps the floored scale and comes back as zeros.
  Int8GroupRow zero = int8_group_quantize(std::vector<float>(5, 0.0f), 5);
  EXPECT_EQ(zero.scales[0], 1e-12f / 127.0f);
  for (float v : int8_group_dequantize(zero, 5)) EXPECT_EQ(v, 0.0f);

  // Extremes map to +-127; halves round away from zero; NaN gives 0 and does
  // not take part in the maximum.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Int8GroupRow r = int8_group_quantize(std::vector<float>{127.0f, -127.0f, 0.5f, -0.5f, 2.5f, nan}, 6);
  EXPECT_EQ(r.scales[0], 1.0f);
  EXPECT_EQ(r.codes[0], 127);
  EXPECT_EQ(r.codes[1], -127);
  EXPECT_EQ(r.codes[2], 1);
  EXPECT_EQ(r.codes[3], -1);
  EXPECT_EQ(r.codes[4], 3);
  EXPECT_EQ(r.codes[5], 0);

  // value / scale is exactly 31.5 here, while value * (1 / scale) is just
  // below it: the code must come from the division.
  Int8GroupRow d = int8_group_quantize(std::vector<float>{1.9229742f, 0.47695816f}, 2);
  EXPECT_EQ(d.codes[1], 32);
}

TEST(Int8GroupTest, LengthMismatchesGiveEmpty) {
  std::vector<float> x(40, 1.0f);
  Int8GroupRow bad = int8_group_quantize(x, 41);
  EXPECT_TRUE(bad.codes.empty());
  EXPECT_TRUE(bad.scales.empty());
  EXPECT_EQ(bad.len, 0u);

  Int8GroupRow row = int8_group_quantize(x, 40);
  EXPECT_TRUE(int8_group_dequantize(row, 39).empty());
  // A row whose codes do not cover its length is refused, not overread.
  Int8GroupRow torn = row;
  torn.codes.resize(32);
  EXPECT_TRUE(int8_group_dequantize(torn, 40).empty());
  torn = row;
  torn.scales.pop_back();
  EXPECT_TRUE(int8_group_dequantize(torn, 40).empty());
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
  EXPECT_EQ(store.calls, 1);
  EXPECT_TRUE(cache.contains(7));
  EXPECT_FALSE(tier.contains(7));
  // Served from the token cache now: the same shared matrix, no storage read.
  EXPECT_EQ(fetch_tokens(cache, tier, 7, fetch, 4).get(), m.get());
  EXPECT_EQ(store.calls, 1);

  // Tier: dequantized rows, then cached.
  Int8Rows q;
  for (const auto& r : rows) q.push_back(int8_group_quantize(r, 4));
  tier.put(9, std::make_shared<const Int8Rows>(q));
  SharedTokenMatrix t = fetch_tokens(cache, tier, 9, fetch, 4);
  ASSERT_TRUE(t);
  std::vector<float> expect;
  for (const auto& r : q) {
    auto v = int8_group_dequantize(r, 4);
    expect.insert(expect.end(), v.begin(), v.end());
  }
  EXPECT_EQ(*t, expect);
  EXPECT_EQ(store.calls, 1);
  EXPECT_TRUE(cache.contains(9));

  // A tier entry of another dimension falls through to storage.
  store.keys[11] = encode_per_token_key(rows);
  tier.put(11, std::make_shared<const Int8Rows>(Int8Rows{int8_group_quantize(std::vector<float>(8, 1.0f), 8)}));
  SharedTokenMatrix s = fetch_tokens(cache, tier, 11, fetch, 4);
  ASSERT_TRUE(s);
  EXPECT_EQ(*s, rows_of(rows));
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

TEST(FetchTokensTest, StorageKeysMustBeEncodedOfTheDimension) {
  CountingStore store;
  store.keys[1] = {1.0f, 2.0f, 3.0f, 4.0f};                   // single vector
  store.keys[2] = encode_per_token_key({{1.0f, 2.0f}});       // dimension 2
  std::vector<float> broken = encode_per_token_key({{1.0f, 2.0f, 3.0f, 4.0f}});
  broken.push_back(5.0f);                                     // header no longer fits
  store.keys[3] = broken;
  FnKeyFetcher fetch = store.fetcher();
  TokenCache cache(4);
  Int8Tier tier(4);
  EXPECT_FALSE(fetch_tokens(cache, tier, 1, fetch, 4));
  EXPECT_FALSE(fetch_tokens(cache, tier, 2, fetch, 4));
  EXPECT_FALSE(fetch_tokens(cache, tier, 3, fetch, 4));
  EXPECT_FALSE(fetch_tokens(cache, tier, 4, fetch, 4));  // unknown id
  EXPECT_EQ(cache.len(), 0u);
}

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
