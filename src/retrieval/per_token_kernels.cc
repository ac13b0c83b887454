#include "retrieval/per_token_kernels.h"

#include "retrieval/int8_group.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QVN_X86 1
#endif

namespace qvn::kernels {

TransposedTokens transpose_tokens(const float* tokens, size_t n_tokens, size_t stride,
                                  size_t width) {
  TransposedTokens q;
  q.n_tokens = n_tokens;
  q.width = width;
  q.lanes = (n_tokens + LANES - 1) / LANES * LANES;
  q.qt.assign(q.lanes * width, 0.0f);
  for (size_t t = 0; t < n_tokens; ++t) {
    for (size_t i = 0; i < width; ++i) q.qt[i * q.lanes + t] = tokens[t * stride + i];
  }
  return q;
}

void token_row_dots_portable(const TransposedTokens& q, const float* rows, size_t n_rows,
                             size_t row_stride, float* dots) {
  for (size_t r = 0; r < n_rows; ++r) {
    const float* row = rows + r * row_stride;
    float* out = dots + r * q.lanes;
    for (size_t t = 0; t < q.lanes; ++t) out[t] = -0.0f;
    for (size_t i = 0; i < q.width; ++i) {
      const float* col = q.qt.data() + i * q.lanes;
      const float s = row[i];
      for (size_t t = 0; t < q.lanes; ++t) out[t] += col[t] * s;
    }
  }
}

void blocked_dots_portable(const float* q, size_t width, const float* blocks, size_t n_blocks,
                           float* out) {
  for (size_t b = 0; b < n_blocks; ++b) {
    const float* blk = blocks + b * width * LANES;
    float acc[LANES];
    for (float& a : acc) a = -0.0f;
    for (size_t i = 0; i < width; ++i) {
      for (size_t l = 0; l < LANES; ++l) acc[l] += q[i] * blk[i * LANES + l];
    }
    for (size_t l = 0; l < LANES; ++l) out[b * LANES + l] = acc[l];
  }
}

namespace {

// Inserts v after every kept value >= v; drops the last when full.
inline void keep_best(float v, size_t m, float* best, size_t& filled) {
  size_t pos;
  if (filled == m) {
    if (!(v > best[m - 1])) return;
    pos = m - 1;
  } else {
    if (v != v) return;  // NaN
    pos = filled++;
  }
  while (pos > 0 && best[pos - 1] < v) {
    best[pos] = best[pos - 1];
    --pos;
  }
  best[pos] = v;
}

}  // namespace

size_t top_pairs_portable(const float* dots, size_t rows, size_t lanes, size_t n_tokens,
                          float inv_sqrt, size_t m, float* best) {
  size_t filled = 0;
  for (size_t r = 0; r < rows; ++r) {
    for (size_t t = 0; t < n_tokens; ++t) keep_best(dots[r * lanes + t] * inv_sqrt, m, best, filled);
  }
  return filled;
}

void add_scaled_portable(float* out, float a, const float* x, size_t n) {
  for (size_t j = 0; j < n; ++j) out[j] += a * x[j];
}

void dequantize_groups_portable(const int8_t* codes, const float* scales, size_t len, float* out) {
  for (size_t i = 0; i < len; ++i) out[i] = scales[i / INT8_GROUP_SIZE] * static_cast<float>(codes[i]);
}

#ifdef QVN_X86

namespace {

// NR stored rows against NB blocks of 8 query tokens: NR * NB independent
// accumulators keep the adders busy while each lane still sums in order.
template <int NB, int NR>
__attribute__((target("avx2"))) inline void token_tile(const float* qt, size_t lanes,
                                                      size_t width, const float* rows,
                                                      size_t row_stride, float* out) {
  __m256 acc[NR][NB];
#pragma GCC unroll 8
  for (int r = 0; r < NR; ++r)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) acc[r][b] = _mm256_set1_ps(-0.0f);
  for (size_t i = 0; i < width; ++i) {
    __m256 qv[NB];
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) qv[b] = _mm256_loadu_ps(qt + i * lanes + b * LANES);
#pragma GCC unroll 8
    for (int r = 0; r < NR; ++r) {
      const __m256 s = _mm256_broadcast_ss(rows + r * row_stride + i);
#pragma GCC unroll 8
      for (int b = 0; b < NB; ++b) acc[r][b] = _mm256_add_ps(acc[r][b], _mm256_mul_ps(qv[b], s));
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < NR; ++r)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) _mm256_storeu_ps(out + r * lanes + b * LANES, acc[r][b]);
}

template <int NB>
__attribute__((target("avx2"))) void token_rows_for_blocks(const TransposedTokens& q,
                                                           size_t block, const float* rows,
                                                           size_t n_rows, size_t row_stride,
                                                           float* dots) {
  const float* qt = q.qt.data() + block * LANES;
  size_t r = 0;
  for (; r + 2 <= n_rows; r += 2) {
    token_tile<NB, 2>(qt, q.lanes, q.width, rows + r * row_stride, row_stride,
                      dots + r * q.lanes + block * LANES);
  }
  if (r < n_rows) {
    token_tile<NB, 1>(qt, q.lanes, q.width, rows + r * row_stride, row_stride,
                      dots + r * q.lanes + block * LANES);
  }
}

template <int NB>
__attribute__((target("avx2"))) inline void blocked_tile(const float* q, size_t width,
                                                        const float* blocks, float* out) {
  __m256 acc[NB];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) acc[b] = _mm256_set1_ps(-0.0f);
  for (size_t i = 0; i < width; ++i) {
    const __m256 s = _mm256_broadcast_ss(q + i);
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
      const __m256 v = _mm256_loadu_ps(blocks + (b * width + i) * LANES);
      acc[b] = _mm256_add_ps(acc[b], _mm256_mul_ps(s, v));
    }
  }
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) _mm256_storeu_ps(out + b * LANES, acc[b]);
}

}  // namespace

__attribute__((target("avx2"))) void token_row_dots_avx2(const TransposedTokens& q,
                                                         const float* rows, size_t n_rows,
                                                         size_t row_stride, float* dots) {
  const size_t blocks = q.lanes / LANES;
  size_t b = 0;
  for (; b + 4 <= blocks; b += 4) token_rows_for_blocks<4>(q, b, rows, n_rows, row_stride, dots);
  switch (blocks - b) {
    case 3: token_rows_for_blocks<3>(q, b, rows, n_rows, row_stride, dots); break;
    case 2: token_rows_for_blocks<2>(q, b, rows, n_rows, row_stride, dots); break;
    case 1: token_rows_for_blocks<1>(q, b, rows, n_rows, row_stride, dots); break;
    default: break;
  }
}

__attribute__((target("avx2"))) void blocked_dots_avx2(const float* q, size_t width,
                                                       const float* blocks, size_t n_blocks,
                                                       float* out) {
  size_t b = 0;
  for (; b + 4 <= n_blocks; b += 4) {
    blocked_tile<4>(q, width, blocks + b * width * LANES, out + b * LANES);
  }
  for (; b < n_blocks; ++b) blocked_tile<1>(q, width, blocks + b * width * LANES, out + b * LANES);
}

__attribute__((target("avx2"))) void add_scaled_avx2(float* out, float a, const float* x,
                                                     size_t n) {
  const __m256 av = _mm256_set1_ps(a);
  size_t j = 0;
  for (; j + LANES <= n; j += LANES) {
    const __m256 o = _mm256_loadu_ps(out + j);
    _mm256_storeu_ps(out + j, _mm256_add_ps(o, _mm256_mul_ps(av, _mm256_loadu_ps(x + j))));
  }
  for (; j < n; ++j) out[j] += a * x[j];
}

__attribute__((target("avx2"))) void dequantize_groups_avx2(const int8_t* codes,
                                                            const float* scales, size_t len,
                                                            float* out) {
  size_t i = 0;
  for (; i + LANES <= len; i += LANES) {
    const __m256 s = _mm256_set1_ps(scales[i / INT8_GROUP_SIZE]);  // LANES divides the group size
    const __m128i c8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i));
    const __m256 c = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(c8));
    _mm256_storeu_ps(out + i, _mm256_mul_ps(s, c));
  }
  for (; i < len; ++i) out[i] = scales[i / INT8_GROUP_SIZE] * static_cast<float>(codes[i]);
}

__attribute__((target("avx2"))) size_t top_pairs_avx2(const float* dots, size_t rows,
                                                      size_t lanes, size_t n_tokens,
                                                      float inv_sqrt, size_t m, float* best) {
  size_t filled = 0;
  const __m256 inv = _mm256_set1_ps(inv_sqrt);
  for (size_t r = 0; r < rows; ++r) {
    const float* row = dots + r * lanes;
    for (size_t t0 = 0; t0 < n_tokens; t0 += LANES) {
      const size_t valid = n_tokens - t0 < LANES ? n_tokens - t0 : LANES;
      alignas(32) float p[LANES];
      _mm256_store_ps(p, _mm256_mul_ps(_mm256_loadu_ps(row + t0), inv));
      if (filled == m) {
        // Ordered compare: NaN lanes never pass, as in keep_best.
        const __m256 above = _mm256_cmp_ps(_mm256_load_ps(p), _mm256_set1_ps(best[m - 1]), _CMP_GT_OQ);
        unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(above)) & ((1u << valid) - 1);
        if (mask == 0) continue;
      }
      for (size_t l = 0; l < valid; ++l) keep_best(p[l], m, best, filled);
    }
  }
  return filled;
}

bool avx2_enabled() {
  static const bool enabled = __builtin_cpu_supports("avx2");
  return enabled;
}

void token_row_dots(const TransposedTokens& q, const float* rows, size_t n_rows,
                    size_t row_stride, float* dots) {
  if (avx2_enabled()) return token_row_dots_avx2(q, rows, n_rows, row_stride, dots);
  token_row_dots_portable(q, rows, n_rows, row_stride, dots);
}

void blocked_dots(const float* q, size_t width, const float* blocks, size_t n_blocks,
                  float* out) {
  if (avx2_enabled()) return blocked_dots_avx2(q, width, blocks, n_blocks, out);
  blocked_dots_portable(q, width, blocks, n_blocks, out);
}

void add_scaled(float* out, float a, const float* x, size_t n) {
  if (avx2_enabled()) return add_scaled_avx2(out, a, x, n);
  add_scaled_portable(out, a, x, n);
}

size_t top_pairs(const float* dots, size_t rows, size_t lanes, size_t n_tokens, float inv_sqrt,
                 size_t m, float* best) {
  if (avx2_enabled()) return top_pairs_avx2(dots, rows, lanes, n_tokens, inv_sqrt, m, best);
  return top_pairs_portable(dots, rows, lanes, n_tokens, inv_sqrt, m, best);
}

void dequantize_groups(const int8_t* codes, const float* scales, size_t len, float* out) {
  if (avx2_enabled()) return dequantize_groups_avx2(codes, scales, len, out);
  dequantize_groups_portable(codes, scales, len, out);
}

#else

bool avx2_enabled() { return false; }

void add_scaled(float* out, float a, const float* x, size_t n) { add_scaled_portable(out, a, x, n); }

void dequantize_groups(const int8_t* codes, const float* scales, size_t len, float* out) {
  dequantize_groups_portable(codes, scales, len, out);
}

size_t top_pairs(const float* dots, size_t rows, size_t lanes, size_t n_tokens, float inv_sqrt,
                 size_t m, float* best) {
  return top_pairs_portable(dots, rows, lanes, n_tokens, inv_sqrt, m, best);
}

void token_row_dots(const TransposedTokens& q, const float* rows, size_t n_rows,
                    size_t row_stride, float* dots) {
  token_row_dots_portable(q, rows, n_rows, row_stride, dots);
}

void blocked_dots(const float* q, size_t width, const float* blocks, size_t n_blocks,
                  float* out) {
  blocked_dots_portable(q, width, blocks, n_blocks, out);
}

#endif

}  // namespace qvn::kernels
