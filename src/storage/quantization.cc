#include "storage/quantization.h"

#include <cstring>

#include "core/cpu.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define QVN_Q4_AVX2_PATH 1
#endif

namespace qvn {

namespace {

// Four-lane vectors through the compiler's generic vector extension: SSE2 on
// x86-64 and NEON on arm64, both part of the baseline, so no dispatch. Every
// lane does exactly the scalar operations of the codec.
typedef float f32x4 __attribute__((vector_size(16)));
typedef int32_t i32x4 __attribute__((vector_size(16)));
typedef uint32_t u32x4 __attribute__((vector_size(16)));

inline f32x4 load4(const float* p) {
  f32x4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V, class M>
inline V select(M mask, V yes, V no) {
  u32x4 m = reinterpret_cast<u32x4>(mask);
  return reinterpret_cast<V>((m & reinterpret_cast<u32x4>(yes)) | (~m & reinterpret_cast<u32x4>(no)));
}

// Largest |x| of a 32-element group, starting from 0.0, NaN never winning.
// Done on the bit patterns: for non-negative non-NaN floats the integer order
// is the float order, so the result equals the sequential float maximum.
float group_abs_max(const float* x) {
  const u32x4 abs_mask = {0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu};
  const u32x4 inf = {0x7F800000u, 0x7F800000u, 0x7F800000u, 0x7F800000u};
  u32x4 best = {0, 0, 0, 0};
  for (size_t i = 0; i < Q4_GROUP_ELEMS; i += 4) {
    u32x4 b = reinterpret_cast<u32x4>(load4(x + i)) & abs_mask;
    b = select(b > inf, u32x4{0, 0, 0, 0}, b);  // NaN
    best = select(b > best, b, best);
  }
  uint32_t m = best[0];
  for (int l = 1; l < 4; ++l) m = best[l] > m ? best[l] : m;
  float a;
  std::memcpy(&a, &m, sizeof a);
  return a;
}

// Codes of x / s rounded half away from zero, NaN giving 0, clamped to
// [-8, 7] and offset by 8. Clamping the quotient to [-9, 9] first keeps the
// integer conversion defined; rounding is monotone, so the codes equal those
// of rounding first and clamping after.
inline i32x4 codes4(f32x4 x, f32x4 s) {
  const f32x4 nine = {9.0f, 9.0f, 9.0f, 9.0f};
  const f32x4 half = {0.5f, 0.5f, 0.5f, 0.5f};
  const f32x4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
  const i32x4 hi = {7, 7, 7, 7};
  const i32x4 lo = {-8, -8, -8, -8};
  f32x4 q = x / s;
  q = select(q > nine, nine, q);
  q = select(q < -nine, -nine, q);
  q = select(q == q, q, zero);
  i32x4 t = __builtin_convertvector(q, i32x4);  // toward zero
  f32x4 frac = q - __builtin_convertvector(t, f32x4);  // exact
  t -= frac >= half;  // true lanes are -1
  t += frac <= -half;
  t = select(t > hi, hi, t);
  t = select(t < lo, lo, t);
  return t - lo;
}

// A short group is padded with zeros, whose code is 8 under any scale (0 / 0
// and 0 / inf included): that gives both the 0x80 high nibble of an odd tail
// and the 0x88 padding, and zeros never raise the maximum.
float encode_group(const float* x, uint8_t* out) {
  float a = group_abs_max(x);
  float s = a == 0.0f ? 1.0f : a / 7.0f;
  const f32x4 sv = {s, s, s, s};
  int32_t codes[Q4_GROUP_ELEMS];
  for (size_t i = 0; i < Q4_GROUP_ELEMS; i += 4) {
    i32x4 c = codes4(load4(x + i), sv);
    std::memcpy(codes + i, &c, sizeof c);
  }
  for (size_t j = 0; j < Q4_GROUP_BYTES; ++j) {
    out[j] = static_cast<uint8_t>(codes[2 * j] | (codes[2 * j + 1] << 4));
  }
  return s;
}

void decode_full_group(float s, const uint8_t* in, float* out) {
  for (size_t j = 0; j < Q4_GROUP_BYTES; ++j) {
    out[2 * j] = s * static_cast<float>(static_cast<int>(in[j] & 0x0F) - 8);
    out[2 * j + 1] = s * static_cast<float>(static_cast<int>(in[j] >> 4) - 8);
  }
}

// Every group in order, a short last group through a zero-padded copy (see
// encode_group for why zeros are neutral).
template <float (*EncodeGroup)(const float*, uint8_t*)>
inline void encode_groups(const float* values, size_t n, void* scales, uint8_t* bytes) {
  auto* scale_out = static_cast<uint8_t*>(scales);
  size_t groups = static_cast<size_t>(q4_group_count(n));
  for (size_t g = 0; g < groups; ++g) {
    const float* x = values + g * Q4_GROUP_ELEMS;
    float padded[Q4_GROUP_ELEMS];
    size_t m = n - g * Q4_GROUP_ELEMS;
    if (m < Q4_GROUP_ELEMS) {
      std::memset(padded, 0, sizeof padded);
      std::memcpy(padded, x, m * sizeof(float));
      x = padded;
    }
    float s = EncodeGroup(x, bytes + g * Q4_GROUP_BYTES);
    std::memcpy(scale_out + g * sizeof(float), &s, sizeof s);
  }
}

#if QVN_Q4_AVX2_PATH
#define QVN_Q4_AVX2 __attribute__((target("avx2")))

// |x| as bits with NaN turned into 0, as in group_abs_max.
QVN_Q4_AVX2 inline __m256i abs_bits_avx2(__m256 v) {
  const __m256i b = _mm256_and_si256(_mm256_castps_si256(v), _mm256_set1_epi32(0x7FFFFFFF));
  return _mm256_andnot_si256(_mm256_cmpgt_epi32(b, _mm256_set1_epi32(0x7F800000)), b);
}

// The codes of codes4, eight lanes at a time: the same division, NaN giving
// 0, the same exact truncation and half-away adjustment, then the clamp.
// Rounding stays in floats (an infinite quotient truncates to itself), so no
// clamp is needed before it.
QVN_Q4_AVX2 inline __m256i codes_avx2(__m256 x, __m256 s) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 half = _mm256_set1_ps(0.5f);
  __m256 q = _mm256_div_ps(x, s);
  q = _mm256_and_ps(q, _mm256_cmp_ps(q, q, _CMP_ORD_Q));
  __m256 t = _mm256_round_ps(q, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m256 frac = _mm256_sub_ps(q, t);
  t = _mm256_add_ps(t, _mm256_and_ps(_mm256_cmp_ps(frac, half, _CMP_GE_OQ), one));
  t = _mm256_sub_ps(t, _mm256_and_ps(_mm256_cmp_ps(frac, _mm256_set1_ps(-0.5f), _CMP_LE_OQ), one));
  t = _mm256_max_ps(_mm256_min_ps(t, _mm256_set1_ps(7.0f)), _mm256_set1_ps(-8.0f));
  return _mm256_cvttps_epi32(_mm256_add_ps(t, _mm256_set1_ps(8.0f)));
}

QVN_Q4_AVX2 inline __attribute__((always_inline)) float encode_group_avx2(const float* x, uint8_t* out) {
  const __m256 v0 = _mm256_loadu_ps(x), v1 = _mm256_loadu_ps(x + 8);
  const __m256 v2 = _mm256_loadu_ps(x + 16), v3 = _mm256_loadu_ps(x + 24);
  const __m256i m = _mm256_max_epi32(_mm256_max_epi32(abs_bits_avx2(v0), abs_bits_avx2(v1)),
                                     _mm256_max_epi32(abs_bits_avx2(v2), abs_bits_avx2(v3)));
  __m128i h = _mm_max_epi32(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
  h = _mm_max_epi32(h, _mm_shuffle_epi32(h, 0x4E));
  h = _mm_max_epi32(h, _mm_shuffle_epi32(h, 0xB1));
  const float a = _mm_cvtss_f32(_mm_castsi128_ps(h));
  const float s = a == 0.0f ? 1.0f : a / 7.0f;
  const __m256 sv = _mm256_set1_ps(s);
  // Codes 0..15 as 32-bit lanes, narrowed to one byte per element in element
  // order (the packs interleave 128-bit halves; the permute undoes that).
  const __m256i c01 = _mm256_packus_epi32(codes_avx2(v0, sv), codes_avx2(v1, sv));
  const __m256i c23 = _mm256_packus_epi32(codes_avx2(v2, sv), codes_avx2(v3, sv));
  const __m256i c = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(c01, c23),
                                                _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  // Each byte pair (even, odd) becomes even + 16 * odd, then one byte.
  const __m256i pairs = _mm256_maddubs_epi16(c, _mm256_set1_epi16(0x1001));
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(pairs, pairs), 0xD8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
  return s;
}

QVN_Q4_AVX2 void encode_avx2(const float* values, size_t n, void* scales, uint8_t* bytes) {
  auto* scale_out = static_cast<uint8_t*>(scales);
  const size_t full = n / Q4_GROUP_ELEMS;
  for (size_t g = 0; g < full; ++g) {
    const float s = encode_group_avx2(values + g * Q4_GROUP_ELEMS, bytes + g * Q4_GROUP_BYTES);
    std::memcpy(scale_out + g * sizeof(float), &s, sizeof s);
  }
  if (const size_t m = n - full * Q4_GROUP_ELEMS; m > 0) {
    float padded[Q4_GROUP_ELEMS] = {};
    std::memcpy(padded, values + full * Q4_GROUP_ELEMS, m * sizeof(float));
    const float s = encode_group_avx2(padded, bytes + full * Q4_GROUP_BYTES);
    std::memcpy(scale_out + full * sizeof(float), &s, sizeof s);
  }
}
#endif

#if QVN_Q4_AVX2_PATH
// Eight elements per lane group, each s * (code - 8) by one float32 product
// exactly as decode_full_group computes it: the lanes are elements.
__attribute__((target("avx2"))) void decode_groups_avx2(const uint8_t* scale_in, const uint8_t* bytes,
                                                        size_t groups, float* out) {
  const __m128i low_mask = _mm_set1_epi8(0x0F);
  const __m128i eight = _mm_set1_epi8(8);
  for (size_t g = 0; g < groups; ++g) {
    float s;
    std::memcpy(&s, scale_in + g * sizeof(float), sizeof s);
    const __m256 sv = _mm256_set1_ps(s);
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + g * Q4_GROUP_BYTES));
    const __m128i lo = _mm_and_si128(b, low_mask);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(b, 4), low_mask);
    // Element 2j is byte j's low nibble, element 2j + 1 its high one.
    const __m128i first = _mm_sub_epi8(_mm_unpacklo_epi8(lo, hi), eight);
    const __m128i second = _mm_sub_epi8(_mm_unpackhi_epi8(lo, hi), eight);
    float* o = out + g * Q4_GROUP_ELEMS;
    const __m128i parts[4] = {first, _mm_srli_si128(first, 8), second, _mm_srli_si128(second, 8)};
    for (int p = 0; p < 4; ++p) {
      const __m256 c = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(parts[p]));
      _mm256_storeu_ps(o + 8 * p, _mm256_mul_ps(sv, c));
    }
  }
}
#endif

void decode_full_groups(const uint8_t* scale_in, const uint8_t* bytes, size_t groups, float* out) {
#if QVN_Q4_AVX2_PATH
  if (cpu_has_avx2()) return decode_groups_avx2(scale_in, bytes, groups, out);
#endif
  for (size_t g = 0; g < groups; ++g) {
    float s;
    std::memcpy(&s, scale_in + g * sizeof(float), sizeof s);
    decode_full_group(s, bytes + g * Q4_GROUP_BYTES, out + g * Q4_GROUP_ELEMS);
  }
}

}  // namespace

namespace portable {
void q4_encode_into(const float* values, size_t n, void* scales, uint8_t* bytes) {
  encode_groups<encode_group>(values, n, scales, bytes);
}
}  // namespace portable

bool q4_avx2_active() {
#if QVN_Q4_AVX2_PATH
  return cpu_has_avx2();
#else
  return false;
#endif
}

void q4_encode_into(const float* values, size_t n, void* scales, uint8_t* bytes) {
#if QVN_Q4_AVX2_PATH
  if (cpu_has_avx2()) return encode_avx2(values, n, scales, bytes);
#endif
  portable::q4_encode_into(values, n, scales, bytes);
}

Q4Vector q4_encode(const float* values, size_t n) {
  Q4Vector q;
  size_t groups = static_cast<size_t>(q4_group_count(n));
  q.scales.resize(groups);
  q.bytes.resize(groups * Q4_GROUP_BYTES);
  q.len = n;
  q4_encode_into(values, n, q.scales.data(), q.bytes.data());
  return q;
}

uint64_t q4_decoded_len(uint64_t len, uint64_t n_scales, uint64_t n_bytes) {
  uint64_t by_scales = n_scales > UINT64_MAX / Q4_GROUP_ELEMS ? UINT64_MAX : n_scales * Q4_GROUP_ELEMS;
  // Each code byte carries two elements.
  uint64_t by_bytes = n_bytes > UINT64_MAX / 2 ? UINT64_MAX : n_bytes * 2;
  uint64_t n = len < by_scales ? len : by_scales;
  return n < by_bytes ? n : by_bytes;
}

void q4_decode_into(const void* scales, const uint8_t* bytes, size_t out_len, float* out) {
  const auto* scale_in = static_cast<const uint8_t*>(scales);
  size_t full = out_len / Q4_GROUP_ELEMS;
  decode_full_groups(scale_in, bytes, full, out);
  size_t tail = out_len - full * Q4_GROUP_ELEMS;
  if (tail > 0) {
    float s;
    std::memcpy(&s, scale_in + full * sizeof(float), sizeof s);
    const uint8_t* in = bytes + full * Q4_GROUP_BYTES;
    float* o = out + full * Q4_GROUP_ELEMS;
    for (size_t i = 0; i < tail; ++i) {
      uint8_t b = in[i / 2];
      int c = (i % 2 == 0) ? (b & 0x0F) : (b >> 4);
      o[i] = s * static_cast<float>(c - 8);
    }
  }
}

std::vector<float> q4_decode(const Q4Vector& q) {
  uint64_t n = q4_decoded_len(q.len, q.scales.size(), q.bytes.size());
  std::vector<float> out(static_cast<size_t>(n));
  q4_decode_into(q.scales.data(), q.bytes.data(), out.size(), out.data());
  return out;
}

}  // namespace qvn
