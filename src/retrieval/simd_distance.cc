#include "retrieval/simd_distance.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define QVN_HAVE_AVX2_PATH 1
#endif

namespace qvn {

namespace scalar {

void dot_f32_rows(const float* q, const float* rows, size_t stride, size_t n_rows, size_t dim,
                  float* out) {
  for (size_t r = 0; r < n_rows; ++r) out[r] = dot_f32(q, rows + r * stride, dim);
}

void dot_f32_interleaved(const float* q, const float* blocks, size_t n_rows, size_t dim, float* out) {
  // Zero-width rows may come with no storage at all: never offset a null base.
  if (dim == 0) {
    for (size_t r = 0; r < n_rows; ++r) out[r] = -0.0f;
    return;
  }
  for (size_t r = 0; r < n_rows; ++r) {
    const float* lane = blocks + (r / kLanes) * kLanes * dim + r % kLanes;
    float s = -0.0f;
    for (size_t i = 0; i < dim; ++i) s += q[i] * lane[i * kLanes];
    out[r] = s;
  }
}

int64_t dot_i8(const int8_t* a, const int8_t* b, size_t n) {
  int64_t s = 0;
  for (size_t i = 0; i < n; ++i) s += int64_t{a[i]} * int64_t{b[i]};
  return s;
}

}  // namespace scalar

#if QVN_HAVE_AVX2_PATH
namespace {

// No "fma" in the target list: a fused multiply-add would round once where
// the scalar reference rounds twice.
#define QVN_AVX2 __attribute__((target("avx2")))

QVN_AVX2 inline void transpose8(__m256& r0, __m256& r1, __m256& r2, __m256& r3, __m256& r4,
                                __m256& r5, __m256& r6, __m256& r7) {
  __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
  __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
  __m256 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5);
  __m256 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
  __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r0 = _mm256_permute2f128_ps(s0, s4, 0x20);
  r1 = _mm256_permute2f128_ps(s1, s5, 0x20);
  r2 = _mm256_permute2f128_ps(s2, s6, 0x20);
  r3 = _mm256_permute2f128_ps(s3, s7, 0x20);
  r4 = _mm256_permute2f128_ps(s0, s4, 0x31);
  r5 = _mm256_permute2f128_ps(s1, s5, 0x31);
  r6 = _mm256_permute2f128_ps(s2, s6, 0x31);
  r7 = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// Lane j carries row j's running sum; each step adds q[i] * row_j[i] with the
// multiply and the add rounded separately, exactly as dot_f32 does.
QVN_AVX2 inline __m256 step(__m256 acc, float qi, __m256 col) {
  return _mm256_add_ps(acc, _mm256_mul_ps(_mm256_set1_ps(qi), col));
}

QVN_AVX2 void dot_f32_rows_avx2(const float* q, const float* rows, size_t stride, size_t n_rows,
                                size_t dim, float* out) {
  size_t r = 0;
  for (; r + 8 <= n_rows; r += 8) {
    const float* p0 = rows + r * stride;
    const float *p1 = p0 + stride, *p2 = p1 + stride, *p3 = p2 + stride, *p4 = p3 + stride,
                *p5 = p4 + stride, *p6 = p5 + stride, *p7 = p6 + stride;
    __m256 acc = _mm256_set1_ps(-0.0f);
    size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
      __m256 c0 = _mm256_loadu_ps(p0 + i), c1 = _mm256_loadu_ps(p1 + i);
      __m256 c2 = _mm256_loadu_ps(p2 + i), c3 = _mm256_loadu_ps(p3 + i);
      __m256 c4 = _mm256_loadu_ps(p4 + i), c5 = _mm256_loadu_ps(p5 + i);
      __m256 c6 = _mm256_loadu_ps(p6 + i), c7 = _mm256_loadu_ps(p7 + i);
      transpose8(c0, c1, c2, c3, c4, c5, c6, c7);
      acc = step(acc, q[i + 0], c0);
      acc = step(acc, q[i + 1], c1);
      acc = step(acc, q[i + 2], c2);
      acc = step(acc, q[i + 3], c3);
      acc = step(acc, q[i + 4], c4);
      acc = step(acc, q[i + 5], c5);
      acc = step(acc, q[i + 6], c6);
      acc = step(acc, q[i + 7], c7);
    }
    for (; i < dim; ++i) {
      acc = step(acc, q[i], _mm256_setr_ps(p0[i], p1[i], p2[i], p3[i], p4[i], p5[i], p6[i], p7[i]));
    }
    _mm256_storeu_ps(out + r, acc);
  }
  scalar::dot_f32_rows(q, rows + r * stride, stride, n_rows - r, dim, out + r);
}

// Four blocks in flight: four independent add chains hide the add latency,
// while each lane still sums its own row in index order.
QVN_AVX2 void dot_f32_interleaved_avx2(const float* q, const float* blocks, size_t n_rows,
                                       size_t dim, float* out) {
  static_assert(kLanes == 8);
  const size_t block_floats = kLanes * dim;
  const size_t full = n_rows / kLanes;
  size_t b = 0;
  for (; b + 4 <= full; b += 4) {
    const float* p = blocks + b * block_floats;
    __m256 a0 = _mm256_set1_ps(-0.0f), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i < dim; ++i) {
      const __m256 qi = _mm256_set1_ps(q[i]);
      const float* e = p + i * kLanes;
      a0 = _mm256_add_ps(a0, _mm256_mul_ps(qi, _mm256_loadu_ps(e)));
      a1 = _mm256_add_ps(a1, _mm256_mul_ps(qi, _mm256_loadu_ps(e + block_floats)));
      a2 = _mm256_add_ps(a2, _mm256_mul_ps(qi, _mm256_loadu_ps(e + 2 * block_floats)));
      a3 = _mm256_add_ps(a3, _mm256_mul_ps(qi, _mm256_loadu_ps(e + 3 * block_floats)));
    }
    _mm256_storeu_ps(out + b * kLanes, a0);
    _mm256_storeu_ps(out + (b + 1) * kLanes, a1);
    _mm256_storeu_ps(out + (b + 2) * kLanes, a2);
    _mm256_storeu_ps(out + (b + 3) * kLanes, a3);
  }
  const size_t blocks_total = (n_rows + kLanes - 1) / kLanes;
  for (; b < blocks_total; ++b) {
    const float* p = blocks + b * block_floats;
    __m256 acc = _mm256_set1_ps(-0.0f);
    for (size_t i = 0; i < dim; ++i) acc = step(acc, q[i], _mm256_loadu_ps(p + i * kLanes));
    alignas(32) float lanes[kLanes];
    _mm256_store_ps(lanes, acc);
    const size_t n = std::min(kLanes, n_rows - b * kLanes);
    std::copy_n(lanes, n, out + b * kLanes);
  }
}

// Products of sign-extended int8 values are at most 128 * 128 = 2^14 in
// magnitude, so a block of 2^16 elements sums to at most 2^30 in total, and
// every 32-bit lane (and their sum) stays below 2^31 within one block. Blocks
// are folded into a 64-bit total.
constexpr size_t kI8Block = size_t{1} << 16;

QVN_AVX2 int64_t dot_i8_avx2(const int8_t* a, const int8_t* b, size_t n) {
  int64_t total = 0;
  size_t i = 0;
  while (n - i >= 16) {
    const size_t end = i + std::min((n - i) & ~size_t{15}, kI8Block);
    __m256i acc = _mm256_setzero_si256();
    for (; i < end; i += 16) {
      __m256i va = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
      __m256i vb = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(va, vb));
    }
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    total += _mm_cvtsi128_si32(s);
  }
  return total + scalar::dot_i8(a + i, b + i, n - i);
}

// Function-local so that a caller running during static initialisation
// still gets a probed answer.
bool avx2() {
  static const bool on = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return on;
}

}  // namespace
#endif

bool simd_avx2_active() {
#if QVN_HAVE_AVX2_PATH
  return avx2();
#else
  return false;
#endif
}

void dot_f32_rows(const float* q, const float* rows, size_t stride, size_t n_rows, size_t dim,
                  float* out) {
#if QVN_HAVE_AVX2_PATH
  if (avx2()) return dot_f32_rows_avx2(q, rows, stride, n_rows, dim, out);
#endif
  scalar::dot_f32_rows(q, rows, stride, n_rows, dim, out);
}

void dot_f32_interleaved(const float* q, const float* blocks, size_t n_rows, size_t dim, float* out) {
#if QVN_HAVE_AVX2_PATH
  if (avx2()) return dot_f32_interleaved_avx2(q, blocks, n_rows, dim, out);
#endif
  scalar::dot_f32_interleaved(q, blocks, n_rows, dim, out);
}

int64_t dot_i8(const int8_t* a, const int8_t* b, size_t n) {
#if QVN_HAVE_AVX2_PATH
  if (avx2()) return dot_i8_avx2(a, b, n);
#endif
  return scalar::dot_i8(a, b, n);
}

}  // namespace qvn
