#include "retrieval/per_token_kernels.h"

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

#else

bool avx2_enabled() { return false; }

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
