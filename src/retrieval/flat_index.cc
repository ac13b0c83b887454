#include "retrieval/flat_index.h"

#include <cmath>

#include "retrieval/key_view.h"
#include "retrieval/simd_distance.h"

namespace qvn {

namespace {
// Rows scored per kernel call (whole blocks); the scores live on the stack.
constexpr size_t kScoreChunk = 32 * kLanes;

float* lane_of(std::vector<float>& rows, size_t dim, size_t r) {
  // Zero-width entries (empty keys) have no storage: never offset a null base.
  if (dim == 0) return rows.data();
  return rows.data() + (r / kLanes) * kLanes * dim + r % kLanes;
}
}  // namespace

void FlatIndex::insert(uint64_t id, uint64_t owner, std::span<const float> key) {
  const KeyView view = KeyView::classify(key);
  if (view.is_invalid()) return;
  const std::vector<float> mean = view.mean_vector();
  const size_t dim = mean.size();
  Arena& a = arenas_[dim];
  const size_t r = a.ids.size();
  if (r % kLanes == 0) a.rows.resize(a.rows.size() + kLanes * dim, 0.0f);
  float* lane = lane_of(a.rows, dim, r);
  for (size_t i = 0; i < dim; ++i) lane[i * kLanes] = mean[i];
  a.ids.push_back(id);
  a.owners.push_back(owner);
  ++count_;
}

void FlatIndex::remove(uint64_t id) {
  for (auto it = arenas_.begin(); it != arenas_.end();) {
    const size_t dim = it->first;
    Arena& a = it->second;
    size_t w = 0;
    for (size_t r = 0; r < a.ids.size(); ++r) {
      if (a.ids[r] == id) continue;
      if (w != r) {
        a.ids[w] = a.ids[r];
        a.owners[w] = a.owners[r];
        const float* from = lane_of(a.rows, dim, r);
        float* to = lane_of(a.rows, dim, w);
        for (size_t i = 0; i < dim; ++i) to[i * kLanes] = from[i * kLanes];
      }
      ++w;
    }
    count_ -= a.ids.size() - w;
    if (w == 0) {
      it = arenas_.erase(it);
      continue;
    }
    a.ids.resize(w);
    a.owners.resize(w);
    const size_t blocks = (w + kLanes - 1) / kLanes;
    a.rows.resize(blocks * kLanes * dim);
    for (size_t r = w; r < blocks * kLanes; ++r) {
      float* lane = lane_of(a.rows, dim, r);
      for (size_t i = 0; i < dim; ++i) lane[i * kLanes] = 0.0f;
    }
    ++it;
  }
}

std::vector<Candidate> FlatIndex::search(std::span<const float> query, uint64_t k,
                                         std::optional<uint64_t> owner) {
  if (query.empty()) return {};
  const KeyView view = KeyView::classify(query);
  if (view.is_invalid()) return {};
  const std::vector<float> q = view.mean_vector();
  const size_t d = q.size();
  auto it = arenas_.find(d);
  if (it == arenas_.end()) return {};
  const Arena& a = it->second;

  const float norm = 1.0f / std::sqrt(static_cast<float>(d));
  TopK<size_t> top(k);
  float dots[kScoreChunk];
  for (size_t base = 0; base < a.ids.size(); base += kScoreChunk) {
    const size_t n = std::min(kScoreChunk, a.ids.size() - base);
    dot_f32_interleaved(q.data(), a.rows.data() + base * d, n, d, dots);
    for (size_t j = 0; j < n; ++j) {
      const size_t r = base + j;
      if (owner && a.owners[r] != *owner) continue;
      top.push(norm * dots[j], r, r);
    }
  }
  std::vector<Candidate> out;
  for (const auto& b : top.take_sorted()) out.push_back(Candidate{a.ids[b.value], a.owners[b.value], b.score});
  return out;
}

std::vector<Candidate> FlatIndex::search_cascade(std::span<const float> query, uint64_t k,
                                                 std::optional<uint64_t> owner, const IdSet*,
                                                 const KeyFetcher*) {
  return search(query, k, owner);
}

}  // namespace qvn
