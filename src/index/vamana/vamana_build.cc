#include "index/vamana/vamana_build.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "retrieval/simd_distance.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QVN_VAMANA_X86 1
#endif

namespace qvn::vamana_build {
namespace {

// Column blocks hold LANES nodes transposed, so one vector load yields element
// k of LANES different nodes and every lane keeps its own in-order sum.
constexpr size_t LANES = 8;
// A register tile: TILE_ROWS row nodes against TILE_BLOCKS adjacent blocks,
// eight independent accumulators, enough to hide the add latency.
constexpr size_t TILE_ROWS = 4;
constexpr size_t TILE_BLOCKS = 2;
constexpr size_t TILE_COLS = LANES * TILE_BLOCKS;
// Above this many neighbours per node the per-node lists of the symmetric
// build would outgrow the memory that halving the work is worth.
constexpr size_t SYMMETRIC_MAX_CAP = 64;
// Column blocks of one pass are sized to stay in a typical L2 cache.
constexpr size_t CHUNK_BYTES = 128 * 1024;

// The single order every neighbour list follows: higher score first, NaN
// behind every number, ties (including +0.0 against -0.0) by lower index.
// A strict total order on distinct indices, so selection and sorting agree
// with a stable descending sort of the scores in index order.
inline bool ranks_before(float sa, uint64_t ia, float sb, uint64_t ib) {
  const bool na = std::isnan(sa), nb = std::isnan(sb);
  if (na != nb) return nb;
  if (!na && sa != sb) return sa > sb;
  return ia < ib;
}

// out[r * TILE_COLS + c] = dot(rows[r], lane c of the two blocks at `blocks`).
using TileFn = void (*)(const float* const* rows, const float* blocks, size_t dim, float* out);

void tile_scalar(const float* const* rows, const float* blocks, size_t dim, float* out) {
  float acc[TILE_ROWS][TILE_COLS];
  for (auto& row : acc) std::fill(std::begin(row), std::end(row), -0.0f);
  const float* second = blocks + dim * LANES;
  for (size_t k = 0; k < dim; ++k) {
    const float* c0 = blocks + k * LANES;
    const float* c1 = second + k * LANES;
    for (size_t r = 0; r < TILE_ROWS; ++r) {
      const float x = rows[r][k];
      for (size_t l = 0; l < LANES; ++l) acc[r][l] += x * c0[l];
      for (size_t l = 0; l < LANES; ++l) acc[r][LANES + l] += x * c1[l];
    }
  }
  for (size_t r = 0; r < TILE_ROWS; ++r) std::copy(acc[r], acc[r] + TILE_COLS, out + r * TILE_COLS);
}

#ifdef QVN_VAMANA_X86
// Multiply, then add: never a fused multiply-add, whose single rounding would
// change the bits.
__attribute__((target("avx2"))) void tile_avx2(const float* const* rows, const float* blocks, size_t dim,
                                               float* out) {
  const float* r0 = rows[0];
  const float* r1 = rows[1];
  const float* r2 = rows[2];
  const float* r3 = rows[3];
  const float* second = blocks + dim * LANES;
  __m256 a00 = _mm256_set1_ps(-0.0f), a01 = a00, a10 = a00, a11 = a00;
  __m256 a20 = a00, a21 = a00, a30 = a00, a31 = a00;
  for (size_t k = 0; k < dim; ++k) {
    const __m256 c0 = _mm256_loadu_ps(blocks + k * LANES);
    const __m256 c1 = _mm256_loadu_ps(second + k * LANES);
    __m256 x = _mm256_broadcast_ss(r0 + k);
    a00 = _mm256_add_ps(a00, _mm256_mul_ps(x, c0));
    a01 = _mm256_add_ps(a01, _mm256_mul_ps(x, c1));
    x = _mm256_broadcast_ss(r1 + k);
    a10 = _mm256_add_ps(a10, _mm256_mul_ps(x, c0));
    a11 = _mm256_add_ps(a11, _mm256_mul_ps(x, c1));
    x = _mm256_broadcast_ss(r2 + k);
    a20 = _mm256_add_ps(a20, _mm256_mul_ps(x, c0));
    a21 = _mm256_add_ps(a21, _mm256_mul_ps(x, c1));
    x = _mm256_broadcast_ss(r3 + k);
    a30 = _mm256_add_ps(a30, _mm256_mul_ps(x, c0));
    a31 = _mm256_add_ps(a31, _mm256_mul_ps(x, c1));
  }
  _mm256_storeu_ps(out + 0 * TILE_COLS, a00);
  _mm256_storeu_ps(out + 0 * TILE_COLS + LANES, a01);
  _mm256_storeu_ps(out + 1 * TILE_COLS, a10);
  _mm256_storeu_ps(out + 1 * TILE_COLS + LANES, a11);
  _mm256_storeu_ps(out + 2 * TILE_COLS, a20);
  _mm256_storeu_ps(out + 2 * TILE_COLS + LANES, a21);
  _mm256_storeu_ps(out + 3 * TILE_COLS, a30);
  _mm256_storeu_ps(out + 3 * TILE_COLS + LANES, a31);
}
#endif

TileFn tile_fn(Kernel kernel) {
#ifdef QVN_VAMANA_X86
  if (kernel == Kernel::Avx2 && avx2_available()) return tile_avx2;
#endif
  return tile_scalar;
}

// All nodes transposed into column blocks; the block count is even so that
// every tile has both of its blocks. Padding lanes are zero and never read back.
struct Columns {
  std::vector<float> data;
  size_t blocks = 0;
  size_t dim = 0;

  Columns(std::span<const std::span<const float>> vectors, size_t d) : dim(d) {
    const size_t n = vectors.size();
    blocks = (n + LANES - 1) / LANES;
    blocks += blocks % TILE_BLOCKS;
    data.assign(blocks * dim * LANES, 0.0f);
    if (dim == 0) return;  // no storage to address
    for (size_t j = 0; j < n; ++j) {
      float* base = data.data() + (j / LANES) * dim * LANES + j % LANES;
      for (size_t k = 0; k < dim; ++k) base[k * LANES] = vectors[j][k];
    }
  }
  const float* at(size_t b) const { return data.data() + b * dim * LANES; }
};

// Fixed-capacity best-first lists, one per node, filled in any arrival order;
// ranks_before makes the result independent of that order.
class BestLists {
 public:
  BestLists(size_t n, size_t cap)
      : cap_(cap), score_(n * cap), index_(n * cap), count_(n, 0),
        floor_(n, -std::numeric_limits<float>::infinity()) {}

  // Cheap rejection: once a list is full, a score strictly below its worst
  // cannot enter. NaN scores and NaN floors fall through to the exact test.
  bool may_enter(size_t i, float s) const { return !(s < floor_[i]); }

  void offer(size_t i, float s, uint64_t j) {
    float* sc = score_.data() + i * cap_;
    uint64_t* ix = index_.data() + i * cap_;
    size_t c = count_[i];
    if (c == cap_) {
      if (!ranks_before(s, j, sc[cap_ - 1], ix[cap_ - 1])) return;
      --c;
    }
    size_t p = c;
    while (p > 0 && ranks_before(s, j, sc[p - 1], ix[p - 1])) {
      sc[p] = sc[p - 1];
      ix[p] = ix[p - 1];
      --p;
    }
    sc[p] = s;
    ix[p] = j;
    count_[i] = c + 1;
    if (c + 1 == cap_) floor_[i] = sc[cap_ - 1];
  }

  std::vector<uint64_t> take(size_t i) const {
    const uint64_t* ix = index_.data() + i * cap_;
    return std::vector<uint64_t>(ix, ix + count_[i]);
  }

 private:
  size_t cap_;
  std::vector<float> score_;
  std::vector<uint64_t> index_;
  std::vector<size_t> count_;
  std::vector<float> floor_;
};

// Row pointers of one tile; rows past the end point at a zero row whose
// scores are computed and ignored.
struct TileRows {
  const float* ptr[TILE_ROWS];
  size_t count;
  TileRows(std::span<const std::span<const float>> vectors, size_t i0, const float* zero) {
    count = std::min(TILE_ROWS, vectors.size() - i0);
    for (size_t r = 0; r < TILE_ROWS; ++r) ptr[r] = r < count ? vectors[i0 + r].data() : zero;
  }
};

// Each pair is scored once (dot(a, b) and dot(b, a) are the same products
// summed in the same order) and offered to both ends.
std::vector<std::vector<uint64_t>> symmetric_build(std::span<const std::span<const float>> vectors, size_t dim,
                                                   size_t cap, TileFn tile) {
  const size_t n = vectors.size();
  const Columns cols(vectors, dim);
  const std::vector<float> zero(dim, 0.0f);
  BestLists best(n, cap);
  const size_t block_bytes = std::max<size_t>(1, dim * LANES * sizeof(float));
  size_t chunk = std::max<size_t>(TILE_BLOCKS, CHUNK_BYTES / block_bytes);
  chunk -= chunk % TILE_BLOCKS;
  float out[TILE_ROWS * TILE_COLS];
  for (size_t cb0 = 0; cb0 < cols.blocks; cb0 += chunk) {
    const size_t cb1 = std::min(cols.blocks, cb0 + chunk);
    const size_t jend = std::min(n, cb1 * LANES);
    for (size_t i0 = 0; i0 < jend; i0 += TILE_ROWS) {
      const TileRows rows(vectors, i0, zero.data());
      // The first tile holding a column above row i0.
      size_t b = std::max(cb0, (i0 / TILE_COLS) * TILE_BLOCKS);
      for (; b < cb1; b += TILE_BLOCKS) {
        tile(rows.ptr, cols.at(b), dim, out);
        const size_t j0 = b * LANES;
        for (size_t r = 0; r < rows.count; ++r) {
          const size_t i = i0 + r;
          const size_t cfirst = i >= j0 ? i - j0 + 1 : 0;
          const size_t cend = std::min(TILE_COLS, n - std::min(n, j0));
          for (size_t c = cfirst; c < cend; ++c) {
            const float s = out[r * TILE_COLS + c];
            const size_t j = j0 + c;
            if (best.may_enter(i, s)) best.offer(i, s, j);
            if (best.may_enter(j, s)) best.offer(j, s, i);
          }
        }
      }
    }
  }
  std::vector<std::vector<uint64_t>> result(n);
  for (size_t i = 0; i < n; ++i) result[i] = best.take(i);
  return result;
}

// The best `cap` of one node's scored others, in the order of ranks_before.
std::vector<uint64_t> select_best(std::vector<std::pair<float, uint64_t>>& scored, size_t cap) {
  auto before = [](const std::pair<float, uint64_t>& a, const std::pair<float, uint64_t>& b) {
    return ranks_before(a.first, a.second, b.first, b.second);
  };
  const size_t m = std::min(cap, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(m), scored.end(), before);
  std::vector<uint64_t> out(m);
  for (size_t t = 0; t < m; ++t) out[t] = scored[t].second;
  return out;
}

// Long neighbour lists: every row scored in full (twice the work of the
// symmetric build, but memory stays at one row of scores).
std::vector<std::vector<uint64_t>> row_build(std::span<const std::span<const float>> vectors, size_t dim,
                                             size_t cap, TileFn tile) {
  const size_t n = vectors.size();
  const Columns cols(vectors, dim);
  const std::vector<float> zero(dim, 0.0f);
  const size_t width = cols.blocks * LANES;
  std::vector<float> row_scores(TILE_ROWS * width);
  std::vector<std::pair<float, uint64_t>> scored;
  std::vector<std::vector<uint64_t>> result(n);
  float out[TILE_ROWS * TILE_COLS];
  for (size_t i0 = 0; i0 < n; i0 += TILE_ROWS) {
    const TileRows rows(vectors, i0, zero.data());
    for (size_t b = 0; b < cols.blocks; b += TILE_BLOCKS) {
      tile(rows.ptr, cols.at(b), dim, out);
      for (size_t r = 0; r < TILE_ROWS; ++r) {
        std::copy(out + r * TILE_COLS, out + (r + 1) * TILE_COLS, row_scores.data() + r * width + b * LANES);
      }
    }
    for (size_t r = 0; r < rows.count; ++r) {
      const size_t i = i0 + r;
      scored.clear();
      for (size_t j = 0; j < n; ++j) {
        if (j != i) scored.emplace_back(row_scores[r * width + j], j);
      }
      result[i] = select_best(scored, cap);
    }
  }
  return result;
}

// Vectors of unequal length (only a loaded graph can hold them): plain
// per-pair dot products over the common prefix.
std::vector<std::vector<uint64_t>> ragged_build(std::span<const std::span<const float>> vectors, size_t cap) {
  const size_t n = vectors.size();
  std::vector<std::pair<float, uint64_t>> scored;
  std::vector<std::vector<uint64_t>> result(n);
  for (size_t i = 0; i < n; ++i) {
    scored.clear();
    for (size_t j = 0; j < n; ++j) {
      if (j == i) continue;
      const size_t len = std::min(vectors[i].size(), vectors[j].size());
      scored.emplace_back(dot_f32(vectors[i].data(), vectors[j].data(), len), j);
    }
    result[i] = select_best(scored, cap);
  }
  return result;
}

}  // namespace

bool avx2_available() {
#ifdef QVN_VAMANA_X86
  static const bool ok = __builtin_cpu_supports("avx2");
  return ok;
#else
  return false;
#endif
}

Kernel best_kernel() { return avx2_available() ? Kernel::Avx2 : Kernel::Scalar; }

std::vector<std::vector<uint64_t>> exhaustive_neighbours(std::span<const std::span<const float>> vectors,
                                                         size_t cap, Kernel kernel) {
  const size_t n = vectors.size();
  if (n == 0) return {};
  cap = std::min(cap, n - 1);
  if (cap == 0) return std::vector<std::vector<uint64_t>>(n);
  const size_t dim = vectors[0].size();
  for (const auto& v : vectors) {
    if (v.size() != dim) return ragged_build(vectors, cap);
  }
  const TileFn tile = tile_fn(kernel);
  if (cap <= SYMMETRIC_MAX_CAP) return symmetric_build(vectors, dim, cap, tile);
  return row_build(vectors, dim, cap, tile);
}

}  // namespace qvn::vamana_build
