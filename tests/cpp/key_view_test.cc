#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "retrieval/key_view.h"

namespace qvn {
namespace {

std::vector<float> encoded(float elem0, float dim_slot, size_t body) {
  std::vector<float> k(ENCODING_HEADER_SIZE + body, 0.0f);
  k[0] = elem0;
  k[ENCODING_DIM_IDX] = dim_slot;
  for (size_t i = 0; i < body; ++i) k[ENCODING_HEADER_SIZE + i] = static_cast<float>(i + 1);
  return k;
}

TEST(KeyViewTest, ClassifyBoundaries) {
  using F = KeyView::Form;
  struct Case {
    float elem0, dim_slot;
    size_t body;
    F form;
    size_t dim;
  };
  for (const Case& c : {Case{-1e9f, 4.0f, 12, F::Encoded, 4}, Case{-1e9f, 4.4f, 12, F::Encoded, 4},
                        Case{-1e9f, 4.5f, 12, F::Invalid, 0},  // rounds to 5, which does not divide 12
                        Case{-1e9f, 2.5f, 9, F::Encoded, 3},   // half away from zero, not to even
                        Case{-1e9f, -4.0f, 12, F::Invalid, 0}, Case{-1e9f, NAN, 12, F::Invalid, 0},
                        Case{-1e9f, 24.0f, 12, F::Invalid, 0}, Case{-1e9f, 1e30f, 12, F::Invalid, 0},
                        Case{-1e9f, 4.0f, 0, F::Invalid, 0},
                        // The threshold itself marks an attempted encoded key, and so does NaN.
                        Case{-1e8f, 4.0f, 12, F::Encoded, 4}, Case{NAN, 4.0f, 12, F::Encoded, 4},
                        Case{NAN, 5.0f, 12, F::Single, 76},
                        Case{std::nextafter(-1e8f, 0.0f), 4.0f, 12, F::Single, 76}}) {
    KeyView v = KeyView::classify(encoded(c.elem0, c.dim_slot, c.body));
    EXPECT_EQ(v.form, c.form) << c.elem0 << " " << c.dim_slot << " " << c.body;
    if (c.form != F::Invalid) {
      EXPECT_EQ(v.dim, c.dim) << c.elem0 << " " << c.dim_slot;
    }
  }
  const std::vector<float> three_tokens = encoded(-1e9f, 4.0f, 12);  // the view borrows it
  KeyView v = KeyView::classify(three_tokens);
  EXPECT_EQ(v.n_tokens, 3u);
  EXPECT_EQ(v.row(2)[0], 9.0f);  // rows start at element 64
  std::vector<float> short_key(10, 1.0f);
  short_key[0] = -1e9f;
  EXPECT_EQ(KeyView::classify(short_key).form, F::Invalid);
  short_key[0] = -9e7f;
  EXPECT_TRUE(KeyView::classify(short_key).is_single());
  EXPECT_TRUE(KeyView::classify({}).is_single());
  EXPECT_EQ(round_to_u64_saturating(INFINITY), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(round_to_u64_saturating(9.223372e18f), 9223372036854775808ull);
}

TEST(KeyViewTest, MeanVector) {
  // Sequential sums from +0.0, then one multiply by the float32 reciprocal of
  // n: with n = 3 the reciprocal is inexact, so a division would differ; and
  // in row order 1e8 + 1 - 1e8 is 0, not 1.
  auto three = encode_per_token_key({{2.0f, 1e8f, -0.0f}, {2.0f, 1.0f, -0.0f}, {1.0f, -1e8f, -0.0f}});
  const auto m = KeyView::classify(three).mean_vector();
  EXPECT_EQ(m, (std::vector<float>{5.0f * (1.0f / 3.0f), 0.0f, 0.0f}));
  EXPECT_NE(m[0], 5.0f / 3.0f);
  EXPECT_FALSE(std::signbit(m[2]));
  std::vector<float> single{0.5f, -2.0f};
  EXPECT_EQ(KeyView::classify(single).mean_vector(), single);
  EXPECT_TRUE(KeyView::classify(encoded(-1e9f, 5.0f, 12)).mean_vector().empty());
  EXPECT_TRUE(KeyView::classify({}).mean_vector().empty());
}

// The encoded layout: sentinel, token count slot zero, dimension at 33, rows from 64.
TEST(KeyViewTest, WritersBuildTheHeader) {
  EXPECT_TRUE(encode_per_token_key({}).empty());
  auto k = encode_per_token_key({{1, 2, 3, 4}, {5, 6, 7, 8}});
  ASSERT_EQ(k.size(), 64u + 8u);
  EXPECT_EQ(std::bit_cast<uint32_t>(k[0]), 0xCE6E6B28u);
  for (size_t i = 1; i < 64; ++i) EXPECT_EQ(std::bit_cast<uint32_t>(k[i]), i == 33 ? std::bit_cast<uint32_t>(4.0f) : 0u) << i;
  EXPECT_EQ(k[64 + 4], 5.0f);
  std::vector<float> m{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(encode_token_matrix(m, 3, 2), encode_per_token_key({{1, 2}, {3, 4}, {5, 6}}));
  // Counts that claim more values than were given copy only what exists.
  EXPECT_EQ(encode_token_matrix(m, SIZE_MAX, SIZE_MAX).size(), 64u + 6u);
}

}  // namespace
}  // namespace qvn
