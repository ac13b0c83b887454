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

KeyView::Form form_of(const std::vector<float>& k) { return KeyView::classify(k).form; }

TEST(KeyViewTest, ConstantsHaveTheirExactValues) {
  EXPECT_EQ(ENCODING_HEADER_SIZE, 64u);
  EXPECT_EQ(ENCODING_N_TOKENS_IDX, 32u);
  EXPECT_EQ(ENCODING_DIM_IDX, 33u);
  EXPECT_EQ(std::bit_cast<uint32_t>(ENCODING_SENTINEL), 0xCE6E6B28u);
  EXPECT_EQ(std::bit_cast<uint32_t>(ENCODING_SENTINEL_THRESHOLD), 0xCCBEBC20u);
}

TEST(KeyViewTest, DimensionSlotRoundsHalfAwayFromZero) {
  auto k = encoded(-1e9f, 4.0f, 12);
  KeyView v = KeyView::classify(k);
  ASSERT_TRUE(v.is_encoded());
  EXPECT_EQ(v.n_tokens, 3u);
  EXPECT_EQ(v.dim, 4u);
  EXPECT_EQ(v.row(2)[0], 9.0f);  // rows start at element 64
  EXPECT_EQ(v.row(2).size(), 4u);

  EXPECT_EQ(form_of(encoded(-1e9f, 4.4f, 12)), KeyView::Form::Encoded);
  EXPECT_EQ(form_of(encoded(-1e9f, 4.5f, 12)), KeyView::Form::Invalid);  // 5 does not divide 12
  // 2.5 rounds to 3 (not to even 2), which divides 9.
  KeyView half = KeyView::classify(encoded(-1e9f, 2.5f, 9));
  ASSERT_TRUE(half.is_encoded());
  EXPECT_EQ(half.dim, 3u);
}

TEST(KeyViewTest, InvalidAndSingleBoundaries) {
  EXPECT_EQ(form_of(encoded(-1e9f, -4.0f, 12)), KeyView::Form::Invalid);
  EXPECT_EQ(form_of(encoded(-1e9f, NAN, 12)), KeyView::Form::Invalid);
  EXPECT_EQ(form_of(encoded(-1e9f, 24.0f, 12)), KeyView::Form::Invalid);  // d beyond the body
  EXPECT_EQ(form_of(encoded(-1e9f, 1e30f, 12)), KeyView::Form::Invalid);  // saturates, too large
  EXPECT_EQ(form_of(encoded(-1e9f, 4.0f, 0)), KeyView::Form::Invalid);    // header only
  // The threshold itself marks an attempted encoded key.
  EXPECT_EQ(form_of(encoded(-1e8f, 4.0f, 12)), KeyView::Form::Encoded);
  EXPECT_EQ(form_of(encoded(std::nextafter(-1e8f, 0.0f), 4.0f, 12)), KeyView::Form::Single);

  std::vector<float> short_key(10, 1.0f);
  short_key[0] = -1e9f;
  EXPECT_EQ(form_of(short_key), KeyView::Form::Invalid);
  short_key[0] = -9e7f;
  KeyView s = KeyView::classify(short_key);
  EXPECT_TRUE(s.is_single());
  EXPECT_EQ(s.dim, 10u);

  KeyView empty = KeyView::classify({});
  EXPECT_TRUE(empty.is_single());
  EXPECT_EQ(empty.dim, 0u);
  EXPECT_TRUE(empty.mean_vector().empty());
}

TEST(KeyViewTest, NanInElementZero) {
  EXPECT_EQ(form_of(encoded(NAN, 4.0f, 12)), KeyView::Form::Encoded);
  EXPECT_EQ(form_of(encoded(NAN, 5.0f, 12)), KeyView::Form::Single);
}

TEST(KeyViewTest, RoundToU64Saturates) {
  EXPECT_EQ(round_to_u64_saturating(2.5f), 3u);
  EXPECT_EQ(round_to_u64_saturating(0.49f), 0u);
  EXPECT_EQ(round_to_u64_saturating(-7.0f), 0u);
  EXPECT_EQ(round_to_u64_saturating(NAN), 0u);
  EXPECT_EQ(round_to_u64_saturating(INFINITY), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(round_to_u64_saturating(1.8446744e19f), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(round_to_u64_saturating(9.223372e18f), 9223372036854775808ull);
}

TEST(KeyViewTest, MeanVector) {
  auto rows = encode_per_token_key({{1.0f, 2.0f}, {3.0f, 4.0f}});
  EXPECT_EQ(KeyView::classify(rows).mean_vector(), (std::vector<float>{2.0f, 3.0f}));

  // Sequential sums, then one multiply by the float32 reciprocal of n: with
  // n = 3 the reciprocal is inexact, so a per-element division would differ.
  auto three = encode_per_token_key({{2.0f}, {2.0f}, {1.0f}});
  const float inv3 = 1.0f / 3.0f;
  EXPECT_EQ(KeyView::classify(three).mean_vector()[0], 5.0f * inv3);
  EXPECT_NE(5.0f * inv3, 5.0f / 3.0f);

  // Row order of the sum matters in float32: 1e8 + 1 - 1e8 is 0, not 1.
  auto order = encode_per_token_key({{1e8f}, {1.0f}, {-1e8f}});
  EXPECT_EQ(KeyView::classify(order).mean_vector()[0], 0.0f);

  auto one = encode_per_token_key({{-0.0f, 5.0f}});
  auto m = KeyView::classify(one).mean_vector();
  EXPECT_FALSE(std::signbit(m[0]));  // the accumulator starts at +0.0
  EXPECT_EQ(m[1], 5.0f);

  std::vector<float> single{0.5f, -2.0f};
  EXPECT_EQ(KeyView::classify(single).mean_vector(), single);
  EXPECT_TRUE(KeyView::classify(encoded(-1e9f, 5.0f, 12)).mean_vector().empty());
}

TEST(KeyViewTest, WritersBuildTheHeader) {
  EXPECT_TRUE(encode_per_token_key({}).empty());
  auto k = encode_per_token_key({{1, 2, 3, 4}, {5, 6, 7, 8}});
  ASSERT_EQ(k.size(), 64u + 8u);
  EXPECT_EQ(std::bit_cast<uint32_t>(k[0]), 0xCE6E6B28u);
  EXPECT_EQ(k[ENCODING_DIM_IDX], 4.0f);
  for (size_t i = 1; i < 64; ++i) {
    if (i != ENCODING_DIM_IDX) {
      EXPECT_EQ(std::bit_cast<uint32_t>(k[i]), 0u) << i;
    }
  }
  EXPECT_EQ(k[64 + 4], 5.0f);

  std::vector<float> m{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(encode_token_matrix(m, 3, 2), encode_per_token_key({{1, 2}, {3, 4}, {5, 6}}));
  // Counts that claim more values than were given copy only what exists.
  auto over = encode_token_matrix(m, SIZE_MAX, SIZE_MAX);
  EXPECT_EQ(over.size(), 64u + 6u);
}

}  // namespace
}  // namespace qvn
