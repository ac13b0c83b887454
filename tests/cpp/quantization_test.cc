#include "storage/quantization.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace qvn {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// The codec as defined, one element at a time: groups of 32, scale = max |x|
// / 7 (NaN never wins; 1 for an all-zero group), code = round(x / s) clamped
// to -8..7 plus 8 (NaN: 8), two codes a byte low first, groups padded with
// 0x88 to 16 bytes.
Q4Vector reference_encode(const std::vector<float>& x) {
  Q4Vector q;
  q.len = x.size();
  for (size_t g0 = 0; g0 < x.size(); g0 += 32) {
    const size_t m = std::min<size_t>(32, x.size() - g0);
    float a = 0.0f;
    for (size_t i = 0; i < m; ++i) a = std::fabs(x[g0 + i]) > a ? std::fabs(x[g0 + i]) : a;
    const float s = a == 0.0f ? 1.0f : a / 7.0f;
    q.scales.push_back(s);
    std::vector<int> c(m + 1, 8);
    for (size_t i = 0; i < m; ++i) {
      const float r = std::round(x[g0 + i] / s);
      c[i] = std::isnan(r) ? 8 : static_cast<int>(std::clamp(r, -8.0f, 7.0f)) + 8;
    }
    for (size_t i = 0; i < m; i += 2) q.bytes.push_back(static_cast<uint8_t>(c[i] | (c[i + 1] << 4)));
    while (q.bytes.size() % 16) q.bytes.push_back(0x88);
  }
  return q;
}

std::vector<uint8_t> pad(std::vector<uint8_t> head) {
  head.resize(16, 0x88);
  return head;
}

// Golden groups: exact codes, ties away from zero, NaN as code 8 that never
// raises the maximum, an infinite scale decoding to NaN, a subnormal scale
// rounding to 0, an odd tail.
TEST(Q4CodecTest, GoldenGroups) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  struct Case {
    std::vector<float> x;
    float scale;
    std::vector<uint8_t> head;
  };
  const Case cases[] = {
      {std::vector<float>(32, 0.0f), 1.0f, {}},
      {{7.0f, -7.0f, 3.5f}, 1.0f, {0x1F, 0x8C}},
      {{7.0f, 2.5f, -2.5f, 0.5f, -0.5f, 1.49f}, 1.0f, {0xBF, 0x95, 0x97}},
      {{kNaN, 3.5f, -7.0f}, 1.0f, {0xC8, 0x81}},
      {{1.0f, kInf, -2.0f}, kInf, {0x88, 0x88}},
      {{tiny, -tiny, 0.0f}, 0.0f, {0x0F, 0x88}},
      {{-3.0f}, 3.0f / 7.0f, {0x81}},
  };
  for (const Case& c : cases) {
    Q4Vector q = q4_encode(c.x);
    EXPECT_EQ(q.scales, std::vector<float>{c.scale});
    EXPECT_EQ(q.bytes, pad(c.head));
  }
  for (float f : q4_decode(q4_encode({1.0f, kInf}))) EXPECT_TRUE(std::isnan(f));
  EXPECT_TRUE(q4_encode({}).bytes.empty());
}

// Decoding follows the codes: scale x (code - 8), element by element.
void expect_decodes_by_code(const Q4Vector& q) {
  const std::vector<float> dec = q4_decode(q);
  ASSERT_EQ(dec.size(), q.len);
  for (size_t i = 0; i < dec.size(); ++i) {
    const uint8_t b = q.bytes[(i / 32) * 16 + (i % 32) / 2];
    const int c = (i % 2) ? b >> 4 : b & 15;
    ASSERT_EQ(bits(dec[i]), bits(q.scales[i / 32] * float(c - 8))) << i;
  }
}

// Random vectors of every tail length, mixing normal values, specials,
// groups whose scale is subnormal, and groups of exact rounding ties
// (k + 0.5) * 2^e with their neighbours: every encoder path matches the
// reference bit for bit. Then arbitrary codes under every kind of scale.
TEST(Q4CodecTest, EveryEncoderMatchesReferenceBitForBit) {
  using Encoder = void (*)(const float*, size_t, void*, uint8_t*);
  const std::pair<const char*, Encoder> encoders[] = {{"dispatch", q4_encode_into},
                                                      {"portable", portable::q4_encode_into}};
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 3.0f);
  std::uniform_int_distribution<int> pick(0, 99), tie_k(-8, 7), exponent(-20, 20), byte(0, 255);
  const float specials[] = {kNaN, kInf, -kInf, 0.0f, -0.0f, std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(), 1e-42f, -kNaN};
  std::vector<size_t> lengths = {1, 2, 5, 32, 100, 1000, 8192 + 17};
  for (size_t t = 0; t < 32; ++t) lengths.push_back(64 + t);
  for (size_t n : lengths) {
    for (int round = 0; round < 12; ++round) {
      std::vector<float> x(n);
      for (size_t g0 = 0; g0 < n; g0 += 32) {
        const int kind = pick(rng) % 4;  // 0, 1: mixed; 2: ties; 3: subnormal scale
        const float unit = std::ldexp(1.0f, exponent(rng));
        for (size_t i = 0; i < std::min<size_t>(32, n - g0); ++i) {
          float& f = x[g0 + i];
          const int r = pick(rng);
          if (kind == 2) {  // the scale is exactly `unit` when some element is +-7 unit
            f = i == 0 ? (r % 2 ? 7.0f : -7.0f) * unit : (static_cast<float>(tie_k(rng)) + 0.5f) * unit;
            if (r < 40) f = std::nextafter(f, r < 20 ? kInf : -kInf);
          } else {
            f = kind == 3 ? normal(rng) * 1e-40f : r < 5 ? specials[pick(rng) % std::size(specials)] : normal(rng);
          }
        }
      }
      const Q4Vector want = reference_encode(x);
      for (const auto& [name, encode] : encoders) {
        std::vector<float> scales(want.scales.size());
        std::vector<uint8_t> bytes(want.bytes.size());
        encode(x.data(), n, scales.data(), bytes.data());
        ASSERT_EQ(bytes, want.bytes) << name << " n=" << n;
        for (size_t i = 0; i < scales.size(); ++i) ASSERT_EQ(bits(scales[i]), bits(want.scales[i])) << name;
      }
      expect_decodes_by_code(q4_encode(x));
    }
  }
  for (size_t n : {32u, 33u, 96u, 257u}) {
    Q4Vector q;
    q.len = n;
    for (size_t g = 0; g < (n + 31) / 32; ++g) {
      const int r = pick(rng);
      q.scales.push_back(r < 20 ? specials[r % 9] : r < 25 ? -normal(rng) : normal(rng));
      for (int j = 0; j < 16; ++j) q.bytes.push_back(static_cast<uint8_t>(byte(rng)));
    }
    expect_decodes_by_code(q);
  }
}

TEST(Q4CodecTest, DecodeStopsAtLenAndAtShortArrays) {
  std::vector<float> x(64);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i % 15) - 7.0f;
  Q4Vector q = q4_encode(x);
  std::vector<float> full = q4_decode(q);

  Q4Vector part = q;
  part.len = 40;
  std::vector<float> d = q4_decode(part);
  EXPECT_EQ(d, std::vector<float>(full.begin(), full.begin() + 40));

  // Counts that disagree never read past the arrays; the output ends with
  // the last element both a scale and a code byte exist for.
  part = q;
  part.scales.resize(1);
  EXPECT_EQ(q4_decode(part), std::vector<float>(full.begin(), full.begin() + 32));
  part = q;
  part.bytes.resize(20);
  EXPECT_EQ(q4_decode(part), std::vector<float>(full.begin(), full.begin() + 40));
  part.bytes.clear();
  EXPECT_TRUE(q4_decode(part).empty());
  EXPECT_EQ(q4_decoded_len(UINT64_MAX, UINT64_MAX, 3), 6u);
}

}  // namespace
}  // namespace qvn
