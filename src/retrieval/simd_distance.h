// Dot products and orderings shared by every scoring path. Every dot product
// is a float32 sum in index order starting from -0.0; fast paths must give
// the same bits (vectorise across rows, never inside one sum).
#pragma once

#include "core/numeric.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace qvn {

inline float dot_f32(const float* a, const float* b, size_t n) {
  float s = -0.0f;
  for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

// One query against many rows: out[r] = dot_f32(q, rows + r * stride, dim)
// for r < n_rows, bit for bit. Rows may be padded (stride >= dim).
void dot_f32_rows(const float* q, const float* rows, size_t stride, size_t n_rows, size_t dim,
                  float* out);

// Lane-interleaved row storage: rows are grouped in blocks of kLanes, and
// element i of row b * kLanes + j sits at b * kLanes * dim + i * kLanes + j,
// so one vector load fetches element i of a whole block. A partial last block
// is padded to full size. out[r] = dot_f32(q, row r, dim) bit for bit, for
// r < n_rows; `blocks` must hold ceil(n_rows / kLanes) full blocks.
inline constexpr size_t kLanes = 8;
void dot_f32_interleaved(const float* q, const float* blocks, size_t n_rows, size_t dim, float* out);

// Exact integer dot product of two int8 vectors. Accumulates in 64 bits, so
// any length is safe.
int64_t dot_i8(const int8_t* a, const int8_t* b, size_t n);

// The portable paths behind the two kernels above; the dispatching entry
// points use them when the CPU lacks AVX2. Exposed so tests can hold every
// path to the same results.
namespace scalar {
void dot_f32_rows(const float* q, const float* rows, size_t stride, size_t n_rows, size_t dim,
                  float* out);
void dot_f32_interleaved(const float* q, const float* blocks, size_t n_rows, size_t dim, float* out);
int64_t dot_i8(const int8_t* a, const int8_t* b, size_t n);
}  // namespace scalar

// True when the dispatching kernels run their AVX2 paths.
bool simd_avx2_active();

// Stable sort by descending score. A NaN score never reaches the comparator
// as an ordering question: NaN entries are moved behind every number, keeping
// their own arrival order.
template <class T, class ScoreFn>
void stable_sort_desc(std::vector<T>& v, ScoreFn score) {
  auto mid = std::stable_partition(v.begin(), v.end(),
                                   [&](const T& x) { return !std::isnan(score(x)); });
  std::stable_sort(v.begin(), mid, [&](const T& a, const T& b) { return score(a) > score(b); });
}

// Keeps the k best of a stream of items: the same items, in the same order,
// as a stable descending sort of the whole stream cut to k, with NaN scores
// behind every number. Items must arrive in stream order (their pos strictly
// increasing); ties at the cut keep the earliest. Holds at most k items and
// never reserves from k, so any k is safe.
template <class T>
class TopK {
 public:
  struct Item {
    float score;
    uint64_t pos;
    T value;
  };

  explicit TopK(uint64_t k) : k_(k) {}

  // Cheap reject first: most items of a long stream lose to the current worst.
  void push(float score, uint64_t pos, T value) {
    if (k_ == 0) return;
    Item it{score, pos, std::move(value)};
    if (heap_.size() < k_) {
      heap_.push_back(std::move(it));
      std::push_heap(heap_.begin(), heap_.end(), better);
      return;
    }
    if (!better(it, heap_.front())) return;
    std::pop_heap(heap_.begin(), heap_.end(), better);
    heap_.back() = std::move(it);
    std::push_heap(heap_.begin(), heap_.end(), better);
  }

  // Best first; leaves the accumulator empty.
  std::vector<Item> take_sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), better);
    return std::move(heap_);
  }

 private:
  // A strict total order (NaN is ranked, never compared), so the heap
  // algorithms stay defined whatever the scores are.
  static bool better(const Item& a, const Item& b) {
    const bool an = std::isnan(a.score), bn = std::isnan(b.score);
    if (an != bn) return bn;
    if (!an && a.score != b.score) return a.score > b.score;
    return a.pos < b.pos;
  }

  uint64_t k_;
  std::vector<Item> heap_;  // max-heap under `better`: front is the worst kept
};

}  // namespace qvn
