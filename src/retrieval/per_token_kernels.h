// Scoring kernels of the per-token index. Every dot is a float32 sum in index
// order from -0.0; the fast paths run one lane per query token or per stored
// entry, never splitting one sum, so they give the portable path's bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvn::kernels {

inline constexpr size_t LANES = 8;

// Query tokens laid out for lane-parallel scoring: qt[i * lanes + t] is
// element i of token t; `lanes` is the token count rounded up to a multiple
// of LANES, the padding lanes zero.
struct TransposedTokens {
  std::vector<float> qt;
  size_t n_tokens = 0;
  size_t width = 0;
  size_t lanes = 0;
};

// Takes the first `width` elements of each of n_tokens rows spaced `stride`
// apart.
TransposedTokens transpose_tokens(const float* tokens, size_t n_tokens, size_t stride,
                                  size_t width);

// dots[r * q.lanes + t] = dot of token t with the first q.width elements of
// row r, for r < n_rows (rows spaced row_stride apart). Padding lanes hold
// values the caller ignores.
void token_row_dots(const TransposedTokens& q, const float* rows, size_t n_rows,
                    size_t row_stride, float* dots);
void token_row_dots_portable(const TransposedTokens& q, const float* rows, size_t n_rows,
                             size_t row_stride, float* dots);

// Mean table in blocks of LANES entries: element i of lane l of block b is at
// blocks[(b * width + i) * LANES + l]. out[b * LANES + l] = dot(q, entry).
void blocked_dots(const float* q, size_t width, const float* blocks, size_t n_blocks,
                  float* out);
void blocked_dots_portable(const float* q, size_t width, const float* blocks, size_t n_blocks,
                           float* out);

// out[j] += a * x[j] for j < n: one product and one sum per element.
void add_scaled(float* out, float a, const float* x, size_t n);
void add_scaled_portable(float* out, float a, const float* x, size_t n);

// out[i] = scales[i / 32] * codes[i] for i < len (groups of 32 codes).
void dequantize_groups(const int8_t* codes, const float* scales, size_t len, float* out);
void dequantize_groups_portable(const int8_t* codes, const float* scales, size_t len, float* out);

// Keeps in best[0..m) the m largest pair scores dots[r * lanes + t] *
// inv_sqrt (r < rows, t < n_tokens), descending, NaN skipped, visiting rows
// first. Returns how many it kept (fewer than m only when NaNs or too few
// values). Which of several equal values is kept follows the visiting order,
// so callers needing query-token order must check for a tie at +-0.0.
// Requires: 1 <= m <= MAX_FAST_TOP_M.
inline constexpr size_t MAX_FAST_TOP_M = 32;
size_t top_pairs(const float* dots, size_t rows, size_t lanes, size_t n_tokens, float inv_sqrt,
                 size_t m, float* best);
size_t top_pairs_portable(const float* dots, size_t rows, size_t lanes, size_t n_tokens,
                          float inv_sqrt, size_t m, float* best);

// True when the dispatching entry points above use the AVX2 paths.
bool avx2_enabled();

#if defined(__x86_64__) || defined(__i386__)
void token_row_dots_avx2(const TransposedTokens& q, const float* rows, size_t n_rows,
                         size_t row_stride, float* dots);
void blocked_dots_avx2(const float* q, size_t width, const float* blocks, size_t n_blocks,
                       float* out);
void add_scaled_avx2(float* out, float a, const float* x, size_t n);
size_t top_pairs_avx2(const float* dots, size_t rows, size_t lanes, size_t n_tokens,
                      float inv_sqrt, size_t m, float* best);
void dequantize_groups_avx2(const int8_t* codes, const float* scales, size_t len, float* out);
#endif

}  // namespace qvn::kernels
