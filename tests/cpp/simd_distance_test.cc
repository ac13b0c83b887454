#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "retrieval/simd_distance.h"
#include "support/reference.h"

namespace qvn {
namespace {

using test::ref_dot;
using test::same_bits;

int64_t ref_dot_i8(const int8_t* a, const int8_t* b, size_t n) {
  int64_t s = 0;
  for (size_t i = 0; i < n; ++i) s += static_cast<int64_t>(a[i]) * b[i];
  return s;
}

// Values that expose any reordering or contraction: cancellation across
// magnitudes, signed zeros, subnormals and overflow to infinity.
float awkward(std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  switch (pick(rng)) {
    case 0: return -0.0f;
    case 1: return 0.0f;
    case 2: return unit(rng) * 1e30f;
    case 3: return unit(rng) * 1e-40f;  // subnormal
    case 4: return unit(rng) * 1e8f;
    default: return unit(rng);
  }
}

TEST(SimdDistanceTest, RowKernelMatchesReferenceBitForBit) {
  std::mt19937 rng(7);
  for (size_t dim : {0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 128u, 131u}) {
    for (size_t n_rows : {0u, 1u, 7u, 8u, 9u, 17u, 64u}) {
      const size_t stride = dim + (n_rows % 3);  // padded rows too
      std::vector<float> q(dim), rows(n_rows * stride + 1);
      for (float& x : q) x = awkward(rng);
      for (float& x : rows) x = awkward(rng);
      std::vector<float> fast(n_rows + 1, 42.0f), slow(n_rows + 1, 42.0f);
      dot_f32_rows(q.data(), rows.data(), stride, n_rows, dim, fast.data());
      scalar::dot_f32_rows(q.data(), rows.data(), stride, n_rows, dim, slow.data());
      for (size_t r = 0; r < n_rows; ++r) {
        const float want = ref_dot(q.data(), rows.data() + r * stride, dim);
        ASSERT_TRUE(same_bits(fast[r], want)) << "dim " << dim << " row " << r;
        ASSERT_TRUE(same_bits(slow[r], want)) << "dim " << dim << " row " << r;
        ASSERT_TRUE(same_bits(dot_f32(q.data(), rows.data() + r * stride, dim), want));
      }
      EXPECT_EQ(fast[n_rows], 42.0f);  // nothing written past n_rows
    }
  }
}

TEST(SimdDistanceTest, InterleavedKernelMatchesReferenceBitForBit) {
  std::mt19937 rng(9);
  for (size_t dim : {0u, 1u, 5u, 8u, 13u, 128u, 129u}) {
    for (size_t n_rows : {0u, 1u, 7u, 8u, 9u, 31u, 32u, 33u, 70u}) {
      const size_t blocks = (n_rows + kLanes - 1) / kLanes;
      std::vector<float> q(dim), packed(blocks * kLanes * dim);
      std::vector<std::vector<float>> rows(n_rows, std::vector<float>(dim));
      for (float& x : q) x = awkward(rng);
      for (float& x : packed) x = awkward(rng);  // padding lanes hold junk too
      for (size_t r = 0; r < n_rows; ++r) {
        for (size_t i = 0; i < dim; ++i) {
          float x = awkward(rng);
          rows[r][i] = x;
          packed[(r / kLanes) * kLanes * dim + i * kLanes + r % kLanes] = x;
        }
      }
      std::vector<float> fast(n_rows + 1, 42.0f), slow(n_rows + 1, 42.0f);
      dot_f32_interleaved(q.data(), packed.data(), n_rows, dim, fast.data());
      scalar::dot_f32_interleaved(q.data(), packed.data(), n_rows, dim, slow.data());
      for (size_t r = 0; r < n_rows; ++r) {
        const float want = ref_dot(q.data(), rows[r].data(), dim);
        ASSERT_TRUE(same_bits(fast[r], want)) << "dim " << dim << " row " << r;
        ASSERT_TRUE(same_bits(slow[r], want)) << "dim " << dim << " row " << r;
      }
      EXPECT_EQ(fast[n_rows], 42.0f);
      EXPECT_EQ(slow[n_rows], 42.0f);
    }
  }
}

TEST(SimdDistanceTest, RowKernelKeepsIndexOrderAndSignOfZero) {
  // In index order 1e8 + 1 - 1e8 + 1 = 1; any other order gives 0 or 2.
  std::vector<float> q{1e8f, 1.0f, -1e8f, 1.0f, 0, 0, 0, 0, 0};
  std::vector<float> rows(9 * 9, 1.0f);
  std::vector<float> out(9);
  dot_f32_rows(q.data(), rows.data(), 9, 9, 9, out.data());
  for (float s : out) EXPECT_EQ(s, 1.0f);
  // All products -0.0 sum to -0.0 from a -0.0 start; an empty sum is -0.0.
  std::vector<float> negz(8 * 3, -0.0f), pos(3, 1.0f);
  dot_f32_rows(pos.data(), negz.data(), 3, 8, 3, out.data());
  for (size_t r = 0; r < 8; ++r) EXPECT_TRUE(std::signbit(out[r]));
  dot_f32_rows(pos.data(), negz.data(), 3, 8, 0, out.data());
  for (size_t r = 0; r < 8; ++r) EXPECT_TRUE(std::signbit(out[r]) && out[r] == 0.0f);
}

TEST(SimdDistanceTest, Int8DotIsExactAtAnyLength) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> code(-128, 127);
  for (size_t n : {0u, 1u, 15u, 16u, 17u, 33u, 128u, 65535u, 65536u, 65553u, 140000u}) {
    std::vector<int8_t> a(n), b(n);
    for (size_t i = 0; i < n; ++i) {
      a[i] = static_cast<int8_t>(code(rng));
      b[i] = static_cast<int8_t>(code(rng));
    }
    EXPECT_EQ(dot_i8(a.data(), b.data(), n), ref_dot_i8(a.data(), b.data(), n)) << n;
    EXPECT_EQ(scalar::dot_i8(a.data(), b.data(), n), ref_dot_i8(a.data(), b.data(), n)) << n;
  }
  // 200000 products of (-128)^2 sum to 3276800000, beyond a 32-bit integer.
  std::vector<int8_t> m(200000, -128);
  EXPECT_EQ(dot_i8(m.data(), m.data(), m.size()), 3276800000ll);
  std::vector<int8_t> p(200000, 127);
  EXPECT_EQ(dot_i8(m.data(), p.data(), p.size()), -3251200000ll);
}

TEST(SimdDistanceTest, SaturatingSizes) {
  EXPECT_EQ(sat_mul(UINT64_MAX / 2 + 1, 2), UINT64_MAX);
  EXPECT_EQ(sat_mul(3, 4), 12u);
  EXPECT_EQ(sat_add(UINT64_MAX, 1), UINT64_MAX);
}

// TopK must agree with a stable descending sort of the whole stream cut to
// k, NaN behind every number, for any mix of ties, signed zeros and NaN.
TEST(SimdDistanceTest, TopKEqualsStableSortCut) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> val(-3, 3);
  for (int round = 0; round < 200; ++round) {
    const size_t n = rng() % 40;
    std::vector<std::pair<float, size_t>> all;
    for (size_t i = 0; i < n; ++i) {
      int v = val(rng);
      float s = v == 3 ? NAN : (v == 0 && (rng() & 1) ? -0.0f : static_cast<float>(v));
      all.push_back({s, i});
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
