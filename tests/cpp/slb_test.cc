#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "retrieval/slb.h"

namespace qvn {
namespace {

// Plain reference of the int8 rule and of the SLB score, written apart from
// the library so that both are held to the same bits.
struct RefQ {
  std::vector<int> codes;
  float scale;
};
RefQ ref_quantize(const std::vector<float>& v) {
  float m = 0.0f;
  for (float x : v) m = std::fmax(m, std::fabs(x));
  RefQ r;
  r.scale = m == 0.0f ? 1.0f : m / 127.0f;
  const float inv = 1.0f / r.scale;
  for (float x : v) {
    float c = std::round(x * inv);
    r.codes.push_back(std::isnan(c) ? 0 : static_cast<int>(std::fmin(std::fmax(c, -127.0f), 127.0f)));
  }
  return r;
}
float ref_score(const std::vector<float>& query, const std::vector<float>& stored) {
  RefQ q = ref_quantize(query), s = ref_quantize(stored);
  long long dot = 0;
  for (size_t i = 0; i < q.codes.size(); ++i) dot += static_cast<long long>(q.codes[i]) * s.codes[i];
  const float norm = 1.0f / std::sqrt(static_cast<float>(query.size()));
  return norm * (s.scale * (q.scale * static_cast<float>(dot)));
}

std::vector<uint64_t> ids_of(const std::vector<Candidate>& c) {
  std::vector<uint64_t> out;
  for (const auto& x : c) out.push_back(x.id);
  return out;
}

std::vector<float> one_hot(size_t dim, size_t at) {
  std::vector<float> v(dim, 0.0f);
  v[at] = 1.0f;
  return v;
}

TEST(Int8RuleTest, RoundsHalfAwayFromZeroAndNeverGivesMinus128) {
  std::vector<float> v{127.0f, 0.5f, -0.5f, -127.0f, 1.49f, NAN};
  Int8Vector q = quantize_int8(v);
  EXPECT_EQ(q.scale, 1.0f);
  EXPECT_EQ(q.codes, (std::vector<int8_t>{127, 1, -1, -127, 1, 0}));

  // A larger magnitude on the negative side still maps to -127.
  Int8Vector n = quantize_int8(std::vector<float>{-3.0f, 3.0f, -1.0f});
  EXPECT_EQ(n.codes, (std::vector<int8_t>{-127, 127, -42}));

  Int8Vector z = quantize_int8(std::vector<float>{0.0f, -0.0f, NAN});
  EXPECT_EQ(z.scale, 1.0f);
  EXPECT_EQ(z.codes, (std::vector<int8_t>{0, 0, 0}));
  EXPECT_EQ(quantize_int8({}).scale, 1.0f);

  // Infinite magnitude: every code is 0 (inf x 0 is NaN, which maps to 0).
  Int8Vector inf = quantize_int8(std::vector<float>{INFINITY, 2.0f});
  EXPECT_EQ(inf.codes, (std::vector<int8_t>{0, 0}));
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
  std::vector<float> q(dim);
  for (float& x : q) x = g(rng);
  auto got = slb.search(q, 300);
  ASSERT_EQ(got.size(), 300u);
  std::vector<std::pair<float, uint64_t>> want;
  for (uint64_t id = 0; id < 300; ++id) want.push_back({ref_score(q, stored[id]), id});
  std::stable_sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.first > b.first; });
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].second);
    EXPECT_EQ(got[i].owner, want[i].second * 10);
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].first));
  }
  // A cut keeps the best; ties at equal scores keep slot order.
  auto top = slb.search(q, 5);
  ASSERT_EQ(top.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(top[i].id, want[i].second);
}

TEST(SlbTest, UpsertRefreshesInPlaceAndKeepsTheFirstOwner) {
  SLB slb(4, 2);
  slb.upsert(9, 1, std::vector<float>{1.0f, 0.0f});
  slb.upsert(9, 2, std::vector<float>{0.0f, 1.0f});
  EXPECT_EQ(slb.occupancy(), 1u);
  auto r = slb.search(std::vector<float>{0.0f, 1.0f}, 10);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].owner, 1u);
  EXPECT_GT(r[0].score, 0.0f);  // scored with the new vector
}

TEST(SlbTest, EvictsTheCachedVictimNotTheOldestTick) {
  SLB slb(2, 2);
  slb.upsert(1, 0, one_hot(2, 0));                   // a
  slb.upsert(2, 0, one_hot(2, 1));                   // b
  auto hit = slb.search(one_hot(2, 0), 1);           // refreshes a's tick only
  ASSERT_EQ(ids_of(hit), (std::vector<uint64_t>{1}));
  slb.upsert(3, 0, one_hot(2, 0));                   // c: the cached victim is still a
  EXPECT_FALSE(slb.contains(1));
  EXPECT_TRUE(slb.contains(2));
  EXPECT_EQ(slb.occupancy(), 2u);
  slb.upsert(4, 0, one_hot(2, 0));                   // b became the victim
  EXPECT_FALSE(slb.contains(2));
  EXPECT_TRUE(slb.contains(3) && slb.contains(4));
}

TEST(SlbTest, RefreshingOrRemovingTheVictimRescansByTick) {
  SLB slb(2, 2);
  slb.upsert(1, 0, one_hot(2, 0));
  slb.upsert(2, 0, one_hot(2, 1));
  slb.upsert(1, 0, one_hot(2, 1));  // refreshing the victim moves it to 2
  slb.upsert(3, 0, one_hot(2, 0));
  EXPECT_TRUE(slb.contains(1));
  EXPECT_FALSE(slb.contains(2));

  SLB r(3, 2);
  r.upsert(1, 0, one_hot(2, 0));
  r.upsert(2, 0, one_hot(2, 1));
  r.upsert(3, 0, std::vector<float>{0.0f, 0.0f});
  ASSERT_EQ(ids_of(r.search(one_hot(2, 1), 1)), (std::vector<uint64_t>{2}));
  r.remove(77);  // absent: nothing changes
  EXPECT_EQ(r.occupancy(), 3u);
  r.remove(1);   // the victim: the rescan sees 2's refreshed tick, so 3 is oldest
  EXPECT_EQ(r.occupancy(), 2u);
  r.upsert(4, 0, one_hot(2, 0));
  r.upsert(5, 0, one_hot(2, 0));
  EXPECT_FALSE(r.contains(3));
  EXPECT_TRUE(r.contains(2));
  EXPECT_EQ(r.occupancy(), 3u);
}

TEST(SlbTest, CapacityZeroHoldsOneEntry) {
  SLB slb(0, 1);
  slb.upsert(1, 0, std::vector<float>{1.0f});
  slb.upsert(2, 0, std::vector<float>{1.0f});
  EXPECT_EQ(slb.occupancy(), 1u);
  EXPECT_TRUE(slb.contains(2));
  EXPECT_FALSE(slb.contains(1));
}

TEST(SlbTest, SearchEdges) {
  SLB slb(8, 3);
  EXPECT_TRUE(slb.search(std::vector<float>{1, 2, 3}, 5).empty());
  slb.upsert(1, 0, std::vector<float>{0, 0, 0});
  slb.upsert(2, 0, std::vector<float>{1, 2, 3, 4});  // another length: never scored
  slb.upsert(3, 0, std::vector<float>{1, 0, 0});
  auto r = slb.search(std::vector<float>{-5, 2, 1}, 10);
  ASSERT_EQ(ids_of(r), (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(r[0].score, 0.0f);  // all-zero entry scores 0 against anything
  EXPECT_LT(r[1].score, 0.0f);
  EXPECT_TRUE(slb.search(std::vector<float>{1, 0, 0}, 0).empty());
  // A query of another length, including the empty mean vector of an
  // invalid key, finds nothing.
  EXPECT_TRUE(slb.search(std::vector<float>{1, 0}, 10).empty());
  EXPECT_TRUE(slb.search({}, 10).empty());
}

TEST(SlbTest, EqualAndNanScoresKeepSlotOrder) {
  SLB slb(8, 2);
  for (uint64_t id = 10; id < 15; ++id) slb.upsert(id, 0, std::vector<float>{1.0f, 1.0f});
  EXPECT_EQ(ids_of(slb.search(std::vector<float>{1, 1}, 3)), (std::vector<uint64_t>{10, 11, 12}));
  EXPECT_EQ(ids_of(slb.search(std::vector<float>{1, 1}, 1)), (std::vector<uint64_t>{10}));
  // An infinite query element makes the query scale infinite and every score
  // NaN; the selection must stay defined and keep slot order.
  auto nan = slb.search(std::vector<float>{INFINITY, 1}, 10);
  ASSERT_EQ(ids_of(nan), (std::vector<uint64_t>{10, 11, 12, 13, 14}));
  EXPECT_TRUE(std::isnan(nan[0].score));
}

TEST(SlbTest, ManyEvictionsKeepCreationOrderAndTheOldestVictim) {
  SLB slb(3, 1);
  for (uint64_t id = 0; id < 5000; ++id) slb.upsert(id, 0, std::vector<float>{1.0f});
  EXPECT_EQ(slb.occupancy(), 3u);
  EXPECT_EQ(ids_of(slb.search(std::vector<float>{1.0f}, 10)), (std::vector<uint64_t>{4997, 4998, 4999}));
  // The search refreshed all three at one tick: ties go to the earliest slot.
  slb.upsert(6000, 0, std::vector<float>{1.0f});  // the victim cached before the search
  EXPECT_FALSE(slb.contains(4997));
  slb.upsert(6001, 0, std::vector<float>{1.0f});
  EXPECT_FALSE(slb.contains(4998));
  EXPECT_EQ(ids_of(slb.search(std::vector<float>{1.0f}, 10)), (std::vector<uint64_t>{4999, 6000, 6001}));
}

}  // namespace
}  // namespace qvn
