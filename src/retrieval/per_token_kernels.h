// Scoring kernels of the per-token index. Every dot is a float32 sum in index
// order from -0.0; the fast paths run one lane per query token or per stored
// entry, never splitting one sum, so they give the portable path's bits.
#pragma once

#include <cstddef>
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

// True when the dispatching entry points above use the AVX2 paths.
bool avx2_enabled();

#if defined(__x86_64__) || defined(__i386__)
void token_row_dots_avx2(const TransposedTokens& q, const float* rows, size_t n_rows,
                         size_t row_stride, float* dots);
void blocked_dots_avx2(const float* q, size_t width, const float* blocks, size_t n_blocks,
                       float* out);
#endif

}  // namespace qvn::kernels
