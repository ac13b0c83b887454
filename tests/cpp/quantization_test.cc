#include "storage/quantization.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace qvn {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// The codec as defined, one element at a time: the fast encoder must match it
// bit for bit.
Q4Vector reference_encode(const std::vector<float>& x) {
  Q4Vector q;
  q.len = x.size();
  for (size_t g0 = 0; g0 < x.size(); g0 += 32) {
    size_t m = std::min<size_t>(32, x.size() - g0);
    float a = 0.0f;
    for (size_t i = 0; i < m; ++i) {
      float v = std::fabs(x[g0 + i]);
      if (v > a) a = v;
    }
    float s = a == 0.0f ? 1.0f : a / 7.0f;
    q.scales.push_back(s);
    std::vector<int> c(m);
    for (size_t i = 0; i < m; ++i) {
      float r = std::round(x[g0 + i] / s);
      int64_t qi = std::isnan(r) ? 0 : r >= 2147483647.0f ? 2147483647 : r <= -2147483648.0f ? INT32_MIN
                                                                                               : (int64_t)r;
      qi = std::clamp<int64_t>(qi, -128, 127);
      c[i] = (int)std::clamp<int64_t>(qi + 8, 0, 15);
    }
    for (size_t i = 0; i < m; i += 2) {
      q.bytes.push_back(i + 1 < m ? uint8_t(c[i] | (c[i + 1] << 4)) : uint8_t(c[i] | 0x80));
    }
    while (q.bytes.size() % 16) q.bytes.push_back(0x88);
  }
  return q;
}

std::vector<uint8_t> pad(std::vector<uint8_t> head) {
  head.resize(16, 0x88);
  return head;
}

TEST(Q4CodecTest, GoldenGroups) {
  Q4Vector empty = q4_encode({});
  EXPECT_TRUE(empty.bytes.empty());
  EXPECT_TRUE(empty.scales.empty());
  EXPECT_EQ(empty.len, 0u);
  EXPECT_TRUE(q4_decode(empty).empty());

  Q4Vector zeros = q4_encode(std::vector<float>(32, 0.0f));
  EXPECT_EQ(zeros.scales, std::vector<float>{1.0f});
  EXPECT_EQ(zeros.bytes, std::vector<uint8_t>(16, 0x88));

  std::vector<float> g(32, 0.0f);
  g[0] = 7.0f, g[1] = -7.0f, g[2] = 3.5f;
  Q4Vector q = q4_encode(g);
  EXPECT_EQ(q.scales, std::vector<float>{1.0f});
  EXPECT_EQ(q.bytes, pad({0x1F, 0x8C}));

  // Ties round away from zero: 2.5 -> 3, -2.5 -> -3, 0.5 -> 1, -0.5 -> -1.
  q = q4_encode({7.0f, 2.5f, -2.5f, 0.5f, -0.5f, 1.49f});
  EXPECT_EQ(q.bytes, pad({0xBF, 0x95, 0x97}));

  // 33 elements: the second group holds one element, an odd tail.
  std::vector<float> v(33, 1.0f);
  v[32] = -3.0f;
  q = q4_encode(v);
  ASSERT_EQ(q.scales.size(), 2u);
  ASSERT_EQ(q.bytes.size(), 32u);
  EXPECT_EQ(q.scales[1], 3.0f / 7.0f);
  EXPECT_EQ(std::vector<uint8_t>(q.bytes.begin() + 16, q.bytes.end()), pad({0x81}));
}

TEST(Q4CodecTest, NonFiniteAndSubnormalGroups) {
  // NaN gets code 8 and never raises the maximum.
  Q4Vector q = q4_encode({kNaN, 3.5f, -7.0f});
  EXPECT_EQ(q.scales[0], 1.0f);
  EXPECT_EQ(q.bytes, pad({0xC8, 0x81}));
  EXPECT_EQ(q4_encode({kNaN, 0.0f}).scales[0], 1.0f);

  // +inf: infinite scale, every code 8, every element decodes to NaN.
  q = q4_encode({1.0f, kInf, -2.0f});
  EXPECT_EQ(q.scales[0], kInf);
  EXPECT_EQ(q.bytes, pad({0x88, 0x88}));
  for (float f : q4_decode(q)) EXPECT_TRUE(std::isnan(f));

  // The smallest subnormal: the scale rounds to 0, quotients hit the clamps.
  float tiny = std::numeric_limits<float>::denorm_min();
  q = q4_encode({tiny, -tiny, 0.0f});
  EXPECT_EQ(q.scales[0], 0.0f);
  EXPECT_EQ(q.bytes, pad({0x0F, 0x88}));
  for (float f : q4_decode(q)) EXPECT_EQ(f, 0.0f);
}

// Random vectors of many lengths (every tail size of a group), mixing normal
// values, specials (NaN, infinities, signed zeros, subnormals, extremes),
// tiny groups whose scale is subnormal or zero, and groups of exact rounding
// ties (k + 0.5) * 2^e and their float neighbours. Every encoder path must
// match the reference bit for bit, and decoding must follow the codes.
TEST(Q4CodecTest, EveryEncoderMatchesReferenceBitForBit) {
  using Encoder = void (*)(const float*, size_t, void*, uint8_t*);
  const std::pair<const char*, Encoder> encoders[] = {{"dispatch", q4_encode_into},
                                                      {"portable", portable::q4_encode_into}};
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 3.0f);
  std::uniform_int_distribution<int> pick(0, 99);
  std::uniform_int_distribution<int> tie_k(-8, 7);
  std::uniform_int_distribution<int> exponent(-20, 20);
  float specials[] = {kNaN, kInf, -kInf, 0.0f, -0.0f, std::numeric_limits<float>::denorm_min(),
                      std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                      -std::numeric_limits<float>::max(), 1e-42f, -kNaN};
  std::vector<size_t> lengths = {1, 2, 5, 31, 32, 33, 63, 64, 65, 100, 128, 1000, 4096, 8192 + 17};
  for (size_t t = 1; t < 32; ++t) lengths.push_back(64 + t);
  for (size_t n : lengths) {
    for (int round = 0; round < 12; ++round) {
      std::vector<float> x(n);
      for (size_t g0 = 0; g0 < n; g0 += 32) {
        const size_t m = std::min<size_t>(32, n - g0);
        const int kind = pick(rng) % 4;  // 0, 1: mixed; 2: ties; 3: subnormal-scale
        const float unit = std::ldexp(1.0f, exponent(rng));
        for (size_t i = 0; i < m; ++i) {
          float& f = x[g0 + i];
          const int r = pick(rng);
          if (kind == 2) {
            // The scale is exactly `unit` when some element is +-7 unit.
            f = i == 0 ? (r % 2 ? 7.0f : -7.0f) * unit : (static_cast<float>(tie_k(rng)) + 0.5f) * unit;
            if (r < 20) f = std::nextafter(f, kInf);
            else if (r < 40) f = std::nextafter(f, -kInf);
          } else if (kind == 3) {
            f = normal(rng) * 1e-40f;
          } else {
            f = r < 5 ? specials[pick(rng) % std::size(specials)] : normal(rng);
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
      const Q4Vector got = q4_encode(x);
      std::vector<float> dec = q4_decode(got);
      ASSERT_EQ(dec.size(), n);
      for (size_t i = 0; i < n; ++i) {
        uint8_t b = got.bytes[(i / 32) * 16 + (i % 32) / 2];
        int c = (i % 2) ? b >> 4 : b & 15;
        float want_f = got.scales[i / 32] * float(c - 8);
        ASSERT_EQ(bits(dec[i]), bits(want_f)) << i;
      }
    }
  }
  // Decoding arbitrary codes (every nibble, not only what the encoder makes)
  // under every kind of scale.
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t n : {32u, 33u, 96u, 257u}) {
    Q4Vector q;
    q.len = n;
    for (size_t g = 0; g < (n + 31) / 32; ++g) {
      int r = pick(rng);
      q.scales.push_back(r < 20 ? specials[r % 9] : r < 25 ? -normal(rng) : normal(rng));
      for (int j = 0; j < 16; ++j) q.bytes.push_back(static_cast<uint8_t>(byte(rng)));
    }
    std::vector<float> dec = q4_decode(q);
    ASSERT_EQ(dec.size(), n);
    for (size_t i = 0; i < n; ++i) {
      uint8_t b = q.bytes[(i / 32) * 16 + (i % 32) / 2];
      int c = (i % 2) ? b >> 4 : b & 15;
      ASSERT_EQ(bits(dec[i]), bits(q.scales[i / 32] * float(c - 8))) << i;
    }
  }
}

TEST(Q4CodecTest, RoundTripStaysWithinHalfAScale) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-50.0f, 50.0f);
  std::vector<float> x(4096);
  for (float& f : x) f = u(rng);
  Q4Vector q = q4_encode(x);
  std::vector<float> d = q4_decode(q);
  for (size_t i = 0; i < x.size(); ++i) {
    float s = q.scales[i / 32];
    EXPECT_LE(std::fabs(d[i] - x[i]), s / 2 * 1.0001f) << i;
  }
  // The group maximum comes back as exactly +-7 s.
  Q4Vector m = q4_encode({-9.0f, 4.0f});
  EXPECT_EQ(q4_decode(m)[0], -7.0f * m.scales[0]);
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
