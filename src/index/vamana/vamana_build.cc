#include "index/vamana/vamana_build.h"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>

#include "core/cpu.h"
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
// Fewer rows than this per thread are not worth a thread.
constexpr size_t MIN_ROWS_PER_THREAD = 1024;
constexpr float INFINITY_FLOOR = std::numeric_limits<float>::infinity();

// Runs `work` on `threads` threads, the caller's among them, and waits for all.
template <class Work>
void run_workers(size_t threads, Work& work) {
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (size_t t = 1; t < threads; ++t) pool.emplace_back([&work] { work(); });
  work();
  for (auto& th : pool) th.join();
}

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

  // The worst score of a full list, minus infinity before it is full: a
  // score strictly below it cannot enter, so offer() may be skipped for it.
  // NaN scores and NaN floors must take the exact test of offer().
  float floor(size_t i) const { return floor_[i]; }

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

// Row pointers of one tile; rows at or past `end` point at a zero row whose
// scores are computed and ignored.
struct TileRows {
  const float* ptr[TILE_ROWS];
  size_t count;
  TileRows(std::span<const std::span<const float>> vectors, size_t i0, size_t end, const float* zero) {
    count = std::min(TILE_ROWS, end - i0);
    for (size_t r = 0; r < TILE_ROWS; ++r) ptr[r] = r < count ? vectors[i0 + r].data() : zero;
  }
};

// Bit c set unless scores[c] < floors[c] (or `floor` for every c): the cheap
// rejection of BestLists::floor, branch-free over a tile row so that the
// common case (nothing enters) costs no jumps.
#if defined(__SSE2__)
// cmpnlt is "not less than", true when either side is NaN.
inline uint32_t entry_mask(const float* scores, __m128 floor0, __m128 floor1, __m128 floor2, __m128 floor3) {
  static_assert(TILE_COLS == 16);
  return static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpnlt_ps(_mm_loadu_ps(scores), floor0))) |
         static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpnlt_ps(_mm_loadu_ps(scores + 4), floor1))) << 4 |
         static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpnlt_ps(_mm_loadu_ps(scores + 8), floor2))) << 8 |
         static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpnlt_ps(_mm_loadu_ps(scores + 12), floor3))) << 12;
}
inline uint32_t entry_mask(const float* scores, float floor) {
  const __m128 f = _mm_set1_ps(floor);
  return entry_mask(scores, f, f, f, f);
}
inline uint32_t entry_mask(const float* scores, const float* floors) {
  return entry_mask(scores, _mm_loadu_ps(floors), _mm_loadu_ps(floors + 4), _mm_loadu_ps(floors + 8),
                    _mm_loadu_ps(floors + 12));
}
#else
inline uint32_t entry_mask(const float* scores, float floor) {
  uint32_t m = 0;
  for (size_t c = 0; c < TILE_COLS; ++c) m |= static_cast<uint32_t>(!(scores[c] < floor)) << c;
  return m;
}
inline uint32_t entry_mask(const float* scores, const float* floors) {
  uint32_t m = 0;
  for (size_t c = 0; c < TILE_COLS; ++c) m |= static_cast<uint32_t>(!(scores[c] < floors[c])) << c;
  return m;
}
#endif

// What the symmetric build shares between its workers.
struct PairScorer {
  std::span<const std::span<const float>> vectors;
  const Columns& cols;
  const float* zero;  // a zero row of dim floats
  TileFn tile;
  size_t chunk;  // column blocks per pass, even

  // Scores every pair (i, j) with i in [r0, r1), j in [c0, c1) and j > i, and
  // offers each score to both ends. Each pair is scored once (dot(a, b) and
  // dot(b, a) are the same products summed in the same order). r0 is a
  // multiple of TILE_ROWS and c0 of TILE_COLS; only lists of rows in
  // [r0, r1) and [c0, c1) change.
  void run(size_t r0, size_t r1, size_t c0, size_t c1, BestLists& best) const {
    const size_t cb_begin = c0 / LANES;
    const size_t cb_end = std::min(cols.blocks, (c1 + LANES - 1) / LANES);
    float out[TILE_ROWS * TILE_COLS];
    float floors[TILE_COLS];
    for (size_t cb0 = cb_begin; cb0 < cb_end; cb0 += chunk) {
      const size_t cb1 = std::min(cb_end, cb0 + chunk);
      const size_t jend = std::min(c1, cb1 * LANES);
      for (size_t i0 = r0; i0 < std::min(r1, jend); i0 += TILE_ROWS) {
        const TileRows rows(vectors, i0, r1, zero);
        // The first tile holding a column above row i0.
        size_t b = std::max(cb0, (i0 / TILE_COLS) * TILE_BLOCKS);
        for (; b < cb1; b += TILE_BLOCKS) {
          tile(rows.ptr, cols.at(b), cols.dim, out);
          const size_t j0 = b * LANES;
          const size_t cend = std::min(TILE_COLS, c1 - j0);  // c1 <= n and j0 < c1
          for (size_t c = 0; c < TILE_COLS; ++c) floors[c] = c < cend ? best.floor(j0 + c) : INFINITY_FLOOR;
          for (size_t r = 0; r < rows.count; ++r) {
            const size_t i = i0 + r;
            const float* sc = out + r * TILE_COLS;
            // Columns at or below the diagonal and past the end never count.
            const size_t cfirst = i >= j0 ? i - j0 + 1 : 0;
            const uint32_t valid = cfirst >= cend ? 0u : ((1u << cend) - 1u) & ~((1u << cfirst) - 1u);
            uint32_t to_i = entry_mask(sc, best.floor(i)) & valid;
            uint32_t to_j = entry_mask(sc, floors) & valid;
            for (; to_i; to_i &= to_i - 1) {
              const size_t c = static_cast<size_t>(std::countr_zero(to_i));
              best.offer(i, sc[c], j0 + c);
            }
            for (; to_j; to_j &= to_j - 1) {
              const size_t c = static_cast<size_t>(std::countr_zero(to_j));
              best.offer(j0 + c, sc[c], i);
              floors[c] = best.floor(j0 + c);
            }
          }
        }
      }
    }
  }
};

// The pairs of node blocks as rounds of disjoint tasks (a round-robin
// tournament), so that workers of one round never touch the same lists.
// Round 0 holds every block with itself; each later round pairs every block
// with one other. Blocks are `width` nodes wide, a multiple of TILE_COLS.
std::vector<std::vector<std::pair<size_t, size_t>>> block_rounds(size_t blocks) {
  std::vector<std::vector<std::pair<size_t, size_t>>> rounds(1);
  for (size_t b = 0; b < blocks; ++b) rounds[0].emplace_back(b, b);
  const size_t slots = blocks + blocks % 2;  // an odd count gets a resting slot
  std::vector<size_t> pos(slots);
  for (size_t k = 0; k < slots; ++k) pos[k] = k;
  for (size_t t = 0; t + 1 < slots; ++t) {
    std::vector<std::pair<size_t, size_t>> round;
    for (size_t k = 0; k < slots / 2; ++k) {
      const size_t a = pos[k], b = pos[slots - 1 - k];
      if (a < blocks && b < blocks) round.emplace_back(std::min(a, b), std::max(a, b));
    }
    rounds.push_back(std::move(round));
    // Circle method: the first slot stays, the others turn by one.
    std::rotate(pos.begin() + 1, pos.end() - 1, pos.end());
  }
  return rounds;
}

// Each pair is offered to both ends. The lists are filled in an order that
// depends on the schedule, but a list's content does not depend on the order
// of its offers, so every thread count gives the same lists.
std::vector<std::vector<uint64_t>> symmetric_build(std::span<const std::span<const float>> vectors, size_t dim,
                                                   size_t cap, TileFn tile, size_t threads) {
  const size_t n = vectors.size();
  const Columns cols(vectors, dim);
  const std::vector<float> zero(dim, 0.0f);
  BestLists best(n, cap);
  const size_t block_bytes = std::max<size_t>(1, dim * LANES * sizeof(float));
  size_t chunk = std::max<size_t>(TILE_BLOCKS, CHUNK_BYTES / block_bytes);
  chunk -= chunk % TILE_BLOCKS;
  const PairScorer scorer{vectors, cols, zero.data(), tile, chunk};

  // About four blocks per thread keeps every round's tasks balanced; a
  // single thread takes the whole triangle as one block.
  const size_t want = threads == 1 ? 1 : 4 * threads;
  size_t width = (n + want - 1) / want;
  width = (width + TILE_COLS - 1) / TILE_COLS * TILE_COLS;
  const size_t blocks = (n + width - 1) / width;
  const auto rounds = block_rounds(blocks);
  auto run_task = [&](std::pair<size_t, size_t> t) {
    scorer.run(t.first * width, std::min(n, (t.first + 1) * width), t.second * width,
               std::min(n, (t.second + 1) * width), best);
  };
  if (threads == 1) {
    for (const auto& round : rounds) {
      for (const auto& t : round) run_task(t);
    }
  } else {
    // Tasks of a round are drawn from its own counter; nobody starts a round
    // before every task of the previous one has finished.
    std::unique_ptr<std::atomic<size_t>[]> next(new std::atomic<size_t>[rounds.size()]);
    for (size_t r = 0; r < rounds.size(); ++r) next[r].store(0, std::memory_order_relaxed);
    std::barrier sync(static_cast<std::ptrdiff_t>(threads));
    auto worker = [&] {
      for (size_t r = 0; r < rounds.size(); ++r) {
        for (size_t k; (k = next[r].fetch_add(1, std::memory_order_relaxed)) < rounds[r].size();) {
          run_task(rounds[r][k]);
        }
        sync.arrive_and_wait();
      }
    };
    run_workers(threads, worker);
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
// symmetric build, but memory stays at one row of scores per thread). Rows
// are independent, so threads take slices of them.
std::vector<std::vector<uint64_t>> row_build(std::span<const std::span<const float>> vectors, size_t dim,
                                             size_t cap, TileFn tile, size_t threads) {
  const size_t n = vectors.size();
  const Columns cols(vectors, dim);
  const std::vector<float> zero(dim, 0.0f);
  const size_t width = cols.blocks * LANES;
  std::vector<std::vector<uint64_t>> result(n);
  constexpr size_t SLICE = 16 * TILE_ROWS;
  std::atomic<size_t> next{0};
  auto worker = [&] {
    std::vector<float> row_scores(TILE_ROWS * width);
    std::vector<std::pair<float, uint64_t>> scored;
    float out[TILE_ROWS * TILE_COLS];
    for (size_t a; (a = next.fetch_add(SLICE, std::memory_order_relaxed)) < n;) {
      for (size_t i0 = a; i0 < std::min(n, a + SLICE); i0 += TILE_ROWS) {
        const TileRows rows(vectors, i0, n, zero.data());
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
    }
  };
  run_workers(threads, worker);
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

bool avx2_available() { return cpu_has_avx2(); }

Kernel best_kernel() { return avx2_available() ? Kernel::Avx2 : Kernel::Scalar; }

std::vector<std::vector<uint64_t>> exhaustive_neighbours(std::span<const std::span<const float>> vectors,
                                                         size_t cap, Kernel kernel, size_t threads) {
  const size_t n = vectors.size();
  if (n == 0) return {};
  if (threads == 0) {
    threads = std::min<size_t>(std::thread::hardware_concurrency(), n / MIN_ROWS_PER_THREAD);
  }
  threads = std::max<size_t>(threads, 1);
  cap = std::min(cap, n - 1);
  if (cap == 0) return std::vector<std::vector<uint64_t>>(n);
  const size_t dim = vectors[0].size();
  for (const auto& v : vectors) {
    if (v.size() != dim) return ragged_build(vectors, cap);
  }
  const TileFn tile = tile_fn(kernel);
  if (cap <= SYMMETRIC_MAX_CAP) return symmetric_build(vectors, dim, cap, tile, threads);
  return row_build(vectors, dim, cap, tile, threads);
}

}  // namespace qvn::vamana_build
