#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "retrieval/simd_distance.h"
#include "support/reference.h"

namespace qvn {
namespace {

using test::awkward;
using test::ref_dot;
using test::same_bits;

// Row-major (padded stride) and lane-interleaved float kernels, fast and
// scalar, against the index-order reference; nothing written past n_rows.
TEST(SimdDistanceTest, FloatKernelsMatchReferenceBitForBit) {
  std::mt19937 rng(7);
  for (size_t dim : {0u, 1u, 7u, 8u, 9u, 16u, 17u, 129u}) {
    for (size_t n_rows : {0u, 1u, 7u, 8u, 9u, 33u, 70u}) {
      const size_t stride = dim + (n_rows % 3);
      const size_t blocks = (n_rows + kLanes - 1) / kLanes;
      std::vector<float> q(dim), rows(n_rows * stride + 1), packed(blocks * kLanes * dim);
      for (float& x : q) x = awkward(rng);
      for (float& x : rows) x = awkward(rng);
      for (float& x : packed) x = awkward(rng);  // padding lanes hold junk too
      for (size_t r = 0; r < n_rows; ++r)
        for (size_t i = 0; i < dim; ++i)
          packed[(r / kLanes) * kLanes * dim + i * kLanes + r % kLanes] = rows[r * stride + i];
      std::vector<std::vector<float>> out(4, std::vector<float>(n_rows + 1, 42.0f));
      dot_f32_rows(q.data(), rows.data(), stride, n_rows, dim, out[0].data());
      scalar::dot_f32_rows(q.data(), rows.data(), stride, n_rows, dim, out[1].data());
      dot_f32_interleaved(q.data(), packed.data(), n_rows, dim, out[2].data());
      scalar::dot_f32_interleaved(q.data(), packed.data(), n_rows, dim, out[3].data());
      for (size_t r = 0; r < n_rows; ++r) {
        const float want = ref_dot(q.data(), rows.data() + r * stride, dim);
        ASSERT_TRUE(same_bits(dot_f32(q.data(), rows.data() + r * stride, dim), want));
        for (size_t k = 0; k < 4; ++k) ASSERT_TRUE(same_bits(out[k][r], want)) << k << " dim " << dim;
      }
      for (size_t k = 0; k < 4; ++k) EXPECT_EQ(out[k][n_rows], 42.0f);
    }
  }
}

TEST(SimdDistanceTest, Int8DotIsExactAtAnyLength) {
  std::mt19937 rng(11);
  for (size_t n : {0u, 1u, 17u, 33u, 65535u, 65553u}) {
    std::vector<int8_t> a(n), b(n);
    int64_t want = 0;
    for (size_t i = 0; i < n; ++i) {
      a[i] = static_cast<int8_t>(rng());
      b[i] = static_cast<int8_t>(rng());
      want += int64_t{a[i]} * b[i];
    }
    EXPECT_EQ(dot_i8(a.data(), b.data(), n), want) << n;
    EXPECT_EQ(scalar::dot_i8(a.data(), b.data(), n), want) << n;
  }
  // 200000 products of (-128)^2 sum beyond a 32-bit integer.
  std::vector<int8_t> m(200000, -128), p(200000, 127);
  EXPECT_EQ(dot_i8(m.data(), m.data(), m.size()), 3276800000ll);
  EXPECT_EQ(dot_i8(m.data(), p.data(), p.size()), -3251200000ll);
}

// TopK agrees with a stable descending sort of the whole stream cut to k,
// NaN behind every number, for any mix of ties, signed zeros and NaN.
TEST(SimdDistanceTest, TopKEqualsStableSortCut) {
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    const size_t n = rng() % 40;
    std::vector<std::pair<float, size_t>> all;
    for (size_t i = 0; i < n; ++i) {
      const int v = static_cast<int>(rng() % 7) - 3;
      all.push_back({v == 3 ? NAN : (v == 0 && (rng() & 1) ? -0.0f : static_cast<float>(v)), i});
    }
    for (uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{5}, uint64_t{n}, UINT64_MAX}) {
      TopK<size_t> top(k);
      for (auto& [s, i] : all) top.push(s, i, i);
      auto got = top.take_sorted();
      auto want = all;
      stable_sort_desc(want, [](const auto& e) { return e.first; });
      if (want.size() > k) want.resize(k);
      ASSERT_EQ(got.size(), want.size());
      for (size_t j = 0; j < got.size(); ++j) {
        EXPECT_EQ(got[j].value, want[j].second) << "round " << round << " k " << k;
        EXPECT_TRUE(same_bits(got[j].score, want[j].first));
      }
    }
  }
}

}  // namespace
}  // namespace qvn
