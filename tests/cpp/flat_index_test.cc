#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "retrieval/flat_index.h"
#include "retrieval/key_view.h"

namespace qvn {
namespace {

struct Stored {
  std::vector<float> v;
  uint64_t id, owner;
};

// Plain reference of the flat search over single-vector entries.
std::vector<Candidate> ref_search(const std::vector<Stored>& all, const std::vector<float>& q,
                                  uint64_t k, std::optional<uint64_t> owner) {
  std::vector<Candidate> out;
  const float norm = 1.0f / std::sqrt(static_cast<float>(q.size()));
  for (const auto& e : all) {
    if (e.v.size() != q.size() || (owner && e.owner != *owner)) continue;
    float dot = -0.0f;
    for (size_t i = 0; i < q.size(); ++i) dot = dot + q[i] * e.v[i];
    out.push_back({e.id, e.owner, norm * dot});
  }
  std::stable_sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.score > b.score; });
  if (out.size() > k) out.resize(k);
  return out;
}

std::vector<uint64_t> ids_of(const std::vector<Candidate>& c) {
  std::vector<uint64_t> out;
  for (const auto& x : c) out.push_back(x.id);
  return out;
}

TEST(FlatIndexTest, MatchesTheReferenceBitForBit) {
  std::mt19937 rng(21);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_int_distribution<int> small(-2, 2);  // many exact ties
  for (size_t dim : {1u, 7u, 8u, 13u, 128u}) {
    FlatIndex index;
    std::vector<Stored> all;
    for (uint64_t id = 0; id < 700; ++id) {  // several scoring chunks, odd tail
      std::vector<float> v(dim);
      for (float& x : v) x = id % 3 == 0 ? static_cast<float>(small(rng)) : u(rng) * (id % 5 == 0 ? 1e30f : 1.0f);
      if (id % 4 == 0) v[0] = -0.0f;
      v[0] = std::fabs(v[0]) >= 1e8f ? std::fabs(v[0]) : v[0];  // a large negative first element would mark the key invalid
      index.insert(id, id % 3, v);
      all.push_back({v, id, id % 3});
    }
    std::vector<float> q(dim);
    for (float& x : q) x = static_cast<float>(small(rng));
    for (std::optional<uint64_t> owner : {std::optional<uint64_t>{}, std::optional<uint64_t>{1}}) {
      for (uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{700}}) {
        auto got = index.search(q, k, owner);
        auto want = ref_search(all, q, k, owner);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
          ASSERT_EQ(got[i].id, want[i].id) << "dim " << dim << " k " << k << " at " << i;
          EXPECT_EQ(got[i].owner, want[i].owner);
          EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score));
        }
      }
    }
  }
}

// Same id twice is stored twice and removed together; removal keeps the
// insertion order among ties; NaN scores sort behind numbers.
TEST(FlatIndexTest, DuplicatesRemovalTiesAndNaN) {
  FlatIndex index;
  for (uint64_t id = 0; id < 20; ++id) index.insert(id, 0, std::vector<float>{1, 2, 3});
  index.insert(3, 0, std::vector<float>{1, 2, 3});
  for (uint64_t id = 0; id < 20; id += 3) index.remove(id);
  index.remove(99);
  EXPECT_EQ(index.len(), 13u);
  std::vector<uint64_t> want;
  for (uint64_t id = 0; id < 20; ++id)
    if (id % 3) want.push_back(id);
  EXPECT_EQ(ids_of(index.search(std::vector<float>{1, 1, 1}, 100, std::nullopt)), want);

  FlatIndex nan;
  for (float x : {NAN, -1.0f, NAN, 2.0f}) nan.insert(nan.len() + 1, 0, std::vector<float>{x});
  EXPECT_EQ(ids_of(nan.search(std::vector<float>{1.0f}, 10, std::nullopt)), (std::vector<uint64_t>{4, 2, 1, 3}));
  EXPECT_EQ(ids_of(nan.search(std::vector<float>{1.0f}, 3, std::nullopt)), (std::vector<uint64_t>{4, 2, 1}));
}

TEST(FlatIndexTest, KeysAreReducedToTheirMeanVector) {
  FlatIndex index;
  std::vector<float> bad(64 + 12, 1.0f);
  bad[0] = -1e9f;
  bad[ENCODING_DIM_IDX] = 5.0f;  // does not divide 12
  index.insert(1, 0, bad);
  EXPECT_TRUE(index.is_empty());
  index.insert(2, 0, encode_per_token_key({{1, 2}, {3, 4}}));  // stored as (2, 3)
  // Zero-width entries share one storage-less group: stored, never found.
  for (uint64_t id : {3, 4, 5}) index.insert(id, 0, std::vector<float>{});
  index.remove(4);
  EXPECT_EQ(index.len(), 3u);
  auto r = index.search(encode_per_token_key({{1, 1}, {1, 1}}), 5, std::nullopt);
  ASSERT_EQ(ids_of(r), (std::vector<uint64_t>{2}));
  EXPECT_EQ(r[0].score, 5.0f * (1.0f / std::sqrt(2.0f)));
  EXPECT_TRUE(index.search(bad, 5, std::nullopt).empty());
  EXPECT_TRUE(index.search({}, 5, std::nullopt).empty());
}

}  // namespace
}  // namespace qvn
