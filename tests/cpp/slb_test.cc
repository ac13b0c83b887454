#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "retrieval/slb.h"
#include "support/reference.h"

namespace qvn {
namespace {

std::vector<uint64_t> ids_of(const std::vector<Candidate>& c) {
  std::vector<uint64_t> out;
  for (const auto& x : c) out.push_back(x.id);
  return out;
}

TEST(SlbTest, Int8RuleRoundsHalfAwayFromZero) {
  EXPECT_EQ(quantize_int8(std::vector<float>{127.0f, 0.5f, -0.5f, -127.0f, 1.49f, NAN}).codes,
            (std::vector<int8_t>{127, 1, -1, -127, 1, 0}));
  // The larger magnitude on the negative side still maps to -127, never -128.
  EXPECT_EQ(quantize_int8(std::vector<float>{-3.0f, 3.0f, -1.0f}).codes, (std::vector<int8_t>{-127, 127, -42}));
  EXPECT_EQ(quantize_int8(std::vector<float>{0.0f, -0.0f, NAN}).scale, 1.0f);
  // x * (1 / scale) is just below 31.5 here, while x / scale is exactly 31.5:
  // the code comes from the multiply.
  EXPECT_EQ(quantize_int8(std::vector<float>{1.9229742f, 0.47695816f}).codes[1], 31);
  // Infinite magnitude: every code is 0 (inf x 0 is NaN, which maps to 0).
  EXPECT_EQ(quantize_int8(std::vector<float>{INFINITY, 2.0f}).codes, (std::vector<int8_t>{0, 0}));
}

TEST(SlbTest, ScoresMatchTheReferenceBitForBit) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 3.0f);
  const size_t dim = 37;
  SLB slb(1000, dim);
  std::vector<std::vector<float>> stored;
  for (uint64_t id = 0; id < 300; ++id) {
    std::vector<float> v(dim);
    for (float& x : v) x = g(rng) * (id % 7 == 0 ? 1e20f : 1.0f);
    if (id % 11 == 0) v[id % dim] = -0.0f;
    slb.upsert(id, id * 10, v);
    stored.push_back(v);
  }
  slb.upsert(900, 0, std::vector<float>(dim + 1, 1.0f));  // another length: never scored
  std::vector<float> q(dim);
  for (float& x : q) x = g(rng);
  std::vector<std::pair<float, uint64_t>> want;
  for (uint64_t id = 0; id < 300; ++id) want.push_back({test::ref_int8_score(q, stored[id]), id});
  std::stable_sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.first > b.first; });
  for (uint64_t k : {300u, 5u}) {
    auto got = slb.search(q, k);
    ASSERT_EQ(got.size(), k);
    for (size_t i = 0; i < k; ++i) {
      EXPECT_EQ(got[i].id, want[i].second);
      EXPECT_EQ(got[i].owner, want[i].second * 10);
      EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].first));
    }
  }
  EXPECT_TRUE(slb.search(q, 0).empty());
  EXPECT_TRUE(slb.search(std::vector<float>{1, 0}, 10).empty());
  EXPECT_TRUE(slb.search({}, 10).empty());
  // An infinite query element makes every score NaN; slot order is kept.
  q[0] = INFINITY;
  EXPECT_EQ(ids_of(slb.search(q, 3)), (std::vector<uint64_t>{0, 1, 2}));
}

// The victim is cached at eviction and rescanned (oldest tick, earliest slot
// among equals) only when it is refreshed or removed; removal compacts slots.
TEST(SlbTest, EvictionFollowsTheCachedVictim) {
  const std::vector<float> a{1.0f, 0.0f}, b{0.0f, 1.0f};
  SLB slb(2, 2);
  slb.upsert(1, 7, a);
  slb.upsert(2, 0, b);
  slb.upsert(1, 8, b);  // refreshing the victim moves it to 2; the first owner stays
  EXPECT_EQ(slb.occupancy(), 2u);
  EXPECT_EQ(slb.search(b, 1)[0].owner, 7u);  // refreshes 1 only
  slb.upsert(3, 0, a);                        // the cached victim is still 2
  EXPECT_TRUE(slb.contains(1) && !slb.contains(2));
  slb.upsert(4, 0, a);
  EXPECT_TRUE(!slb.contains(1) && slb.contains(3) && slb.contains(4));

  SLB r(3, 2);
  r.upsert(1, 0, a);
  r.upsert(2, 0, b);
  r.upsert(3, 0, std::vector<float>{0.0f, 0.0f});
  ASSERT_EQ(ids_of(r.search(b, 1)), (std::vector<uint64_t>{2}));
  r.remove(77);  // absent: nothing changes
  r.remove(1);   // the victim: the rescan sees 2's refreshed tick, so 3 is oldest
  EXPECT_EQ(r.occupancy(), 2u);
  r.upsert(4, 0, a);
  r.upsert(5, 0, a);
  EXPECT_TRUE(!r.contains(3) && r.contains(2) && r.contains(4));

  SLB many(3, 1);
  for (uint64_t id = 0; id < 5000; ++id) many.upsert(id, 0, std::vector<float>{1.0f});
  EXPECT_EQ(ids_of(many.search(std::vector<float>{1.0f}, 10)), (std::vector<uint64_t>{4997, 4998, 4999}));
  // The search refreshed all three at one tick: ties go to the earliest slot.
  many.upsert(6000, 0, std::vector<float>{1.0f});  // the victim cached before the search
  many.upsert(6001, 0, std::vector<float>{1.0f});
  EXPECT_EQ(ids_of(many.search(std::vector<float>{1.0f}, 10)), (std::vector<uint64_t>{4999, 6000, 6001}));

  SLB zero(0, 1);  // capacity 0 holds one entry
  zero.upsert(1, 0, std::vector<float>{1.0f});
  zero.upsert(2, 0, std::vector<float>{1.0f});
  EXPECT_TRUE(zero.occupancy() == 1 && zero.contains(2));
}

}  // namespace
}  // namespace qvn
