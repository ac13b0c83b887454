#include "retrieval/per_token.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "retrieval/key_view.h"
#include "retrieval/per_token_kernels.h"
#include "retrieval/simd_distance.h"
#include "retrieval/slb.h"

namespace qvn {

namespace {

constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

float inv_sqrt_of(uint64_t d) { return 1.0f / std::sqrt(static_cast<float>(d)); }

// Pre-selection order: score descending, NaN behind every number, ties and
// NaNs by ascending id. A strict total order, so selection is well defined.
bool coarse_before(const ScoredId& a, const ScoredId& b) {
  const bool an = std::isnan(a.score), bn = std::isnan(b.score);
  if (an != bn) return bn;
  if (!an && a.score != b.score) return a.score > b.score;
  return a.id < b.id;
}

}  // namespace

float top_m_mean(std::span<const float> values, uint64_t top_m) {
  const size_t m = static_cast<size_t>(std::min<uint64_t>(top_m, values.size()));
  if (m == 0) return NEG_INF;
  constexpr size_t SMALL = 32;
  float sum = -0.0f;
  if (m <= SMALL) {
    // The m best in the order a stable descending sort with NaN last gives:
    // a later value never passes an equal earlier one.
    float best[SMALL];
    size_t filled = 0;
    for (float v : values) {
      size_t pos;
      if (filled == m) {
        if (!(v > best[m - 1])) continue;  // also drops NaN
        pos = m - 1;
      } else {
        if (std::isnan(v)) continue;
        pos = filled++;
      }
      while (pos > 0 && best[pos - 1] < v) {
        best[pos] = best[pos - 1];
        --pos;
      }
      best[pos] = v;
    }
    for (size_t i = 0; i < filled; ++i) sum += best[i];
    // Fewer numbers than m: NaNs fill the rest of the selection.
    if (filled < m) sum += std::numeric_limits<float>::quiet_NaN();
  } else {
    std::vector<float> sorted(values.begin(), values.end());
    stable_sort_desc(sorted, [](float v) { return v; });
    for (size_t i = 0; i < m; ++i) sum += sorted[i];
  }
  return sum / static_cast<float>(m);
}

float max_ignoring_nan(std::span<const float> values) {
  float best = NEG_INF;
  for (float v : values) {
    if (v > best) best = v;
  }
  return best;
}

// ---- MeanTable ----

void MeanTable::set_width(size_t width) {
  if (width_ == 0) width_ = width;
}

void MeanTable::write_lane(size_t slot, const float* mean) {
  float* blk = blocks_.data() + (slot / kernels::LANES) * width_ * kernels::LANES;
  const size_t lane = slot % kernels::LANES;
  for (size_t i = 0; i < width_; ++i) blk[i * kernels::LANES + lane] = mean[i];
}

void MeanTable::put(uint64_t id, uint64_t owner, std::vector<float> mean) {
  erase(id);
  if (width_ == 0 || mean.size() != width_) {
    other_[id] = Other{std::move(mean), owner};
    return;
  }
  const size_t slot = ids_.size();
  if (slot % kernels::LANES == 0) blocks_.resize(blocks_.size() + width_ * kernels::LANES, 0.0f);
  ids_.push_back(id);
  owners_.push_back(owner);
  write_lane(slot, mean.data());
  slot_[id] = slot;
}

void MeanTable::erase(uint64_t id) {
  auto it = slot_.find(id);
  if (it == slot_.end()) {
    other_.erase(id);
    return;
  }
  const size_t slot = it->second;
  const size_t last = ids_.size() - 1;
  slot_.erase(it);
  if (slot != last) {
    std::vector<float> moved(width_);
    const float* blk = blocks_.data() + (last / kernels::LANES) * width_ * kernels::LANES;
    for (size_t i = 0; i < width_; ++i) moved[i] = blk[i * kernels::LANES + last % kernels::LANES];
    write_lane(slot, moved.data());
    ids_[slot] = ids_[last];
    owners_[slot] = owners_[last];
    slot_[ids_[slot]] = slot;
  }
  ids_.pop_back();
  owners_.pop_back();
  const size_t blocks = (ids_.size() + kernels::LANES - 1) / kernels::LANES;
  blocks_.resize(blocks * width_ * kernels::LANES);
}

std::optional<uint64_t> MeanTable::owner_of(uint64_t id) const {
  if (auto it = slot_.find(id); it != slot_.end()) return owners_[it->second];
  if (auto it = other_.find(id); it != other_.end()) return it->second.owner;
  return std::nullopt;
}

void MeanTable::score(std::span<const float> q, float inv_sqrt, std::optional<uint64_t> owner,
                      std::vector<ScoredId>& out) const {
  if (width_ != 0 && q.size() == width_ && !ids_.empty()) {
    const size_t blocks = (ids_.size() + kernels::LANES - 1) / kernels::LANES;
    std::vector<float> dots(blocks * kernels::LANES);
    kernels::blocked_dots(q.data(), width_, blocks_.data(), blocks, dots.data());
    for (size_t s = 0; s < ids_.size(); ++s) {
      if (owner && owners_[s] != *owner) continue;
      out.push_back(ScoredId{ids_[s], owners_[s], dots[s] * inv_sqrt});
    }
  }
  for (const auto& [id, e] : other_) {
    if (e.mean.size() != q.size() || (owner && e.owner != *owner)) continue;
    out.push_back(ScoredId{id, e.owner, dot_f32(q.data(), e.mean.data(), q.size()) * inv_sqrt});
  }
}

void MeanTable::ids(std::optional<uint64_t> owner, std::vector<ScoredId>& out) const {
  for (size_t s = 0; s < ids_.size(); ++s) {
    if (!owner || owners_[s] == *owner) out.push_back(ScoredId{ids_[s], owners_[s], 0.0f});
  }
  for (const auto& [id, e] : other_) {
    if (!owner || e.owner == *owner) out.push_back(ScoredId{id, e.owner, 0.0f});
  }
}

// ---- PerTokenIndex ----

PerTokenIndex::PerTokenIndex(bool aggregate_top_m_mean, PerTokenConfig config,
                             uint64_t cache_capacity, uint64_t tier_capacity, bool eager)
    : config_(config),
      aggregate_top_m_mean_(aggregate_top_m_mean),
      eager_(eager),
      token_cache_(static_cast<size_t>(cache_capacity)),
      int8_tier_(static_cast<size_t>(tier_capacity)) {}

void PerTokenIndex::reset_stats(size_t d) {
  stats_ = RunningStats{};
  if (d > MAX_STATS_DIM) return;
  stats_.sum.assign(d, 0.0f);
  stats_.outer.assign(d * d, 0.0f);
}

void PerTokenIndex::accumulate_stats(std::span<const float> row) {
  const size_t d = stats_.dim();
  if (row.size() != d) return;  // refused dimension: statistics stay empty
  for (size_t i = 0; i < d; ++i) stats_.sum[i] += row[i];
  stats_.count += 1;
  for (size_t i = 0; i < d; ++i) kernels::add_scaled(stats_.outer.data() + i * d, row[i], row.data(), d);
}

void PerTokenIndex::append_arena_row(uint64_t id, uint64_t owner, std::span<const float> row) {
  // The arena addresses rows by one width: a row of any other length would
  // shift every later row, and an empty row cannot fix the width.
  if (row.empty()) return;
  if (arena_.row_width == 0) arena_.row_width = row.size();
  if (row.size() != arena_.row_width) return;
  const size_t at = arena_.codes.size();
  arena_.codes.resize(at + row.size());
  arena_.scales.push_back(quantize_int8_into(row, arena_.codes.data() + at));
  arena_.ids.push_back(id);
  arena_.owners.push_back(owner);
}

void PerTokenIndex::insert(uint64_t id, uint64_t owner, std::span<const float> key) {
  const KeyView view = KeyView::classify(key);
  if (view.is_invalid()) return;
  const size_t d = view.is_encoded() ? view.dim : key.size();
  const size_t n = view.is_encoded() ? view.n_tokens : 1;

  // An empty key would pin the dimension at 0 and blind the fetcher search.
  if (!dim_ && d != 0) {
    dim_ = d;
    means_.set_width(d);
  }
  if (stats_.dim() != d) reset_stats(d);

  Int8Rows group_rows;
  for (size_t t = 0; t < n; ++t) {
    std::span<const float> row = view.is_encoded() ? view.row(t) : key;
    accumulate_stats(row);
    if (eager_) {
      append_arena_row(id, owner, row);
    } else if (view.is_encoded()) {
      group_rows.push_back(int8_group_quantize(row, row.size()));
    }
  }
  if (!eager_ && view.is_encoded()) {
    int8_tier_.put(id, std::make_shared<const Int8Rows>(std::move(group_rows)));
  }

  token_counts_[id] += n;
  total_tokens_ += n;
  means_.put(id, owner, view.mean_vector());
}

void PerTokenIndex::remove(uint64_t id) {
  if (eager_ && arena_.row_width > 0) {
    const size_t w = arena_.row_width;
    size_t kept = 0;
    for (size_t r = 0; r < arena_.rows(); ++r) {
      if (arena_.ids[r] == id) continue;
      if (kept != r) {
        std::copy_n(arena_.codes.begin() + r * w, w, arena_.codes.begin() + kept * w);
        arena_.scales[kept] = arena_.scales[r];
        arena_.ids[kept] = arena_.ids[r];
        arena_.owners[kept] = arena_.owners[r];
      }
      ++kept;
    }
    arena_.codes.resize(kept * w);
    arena_.scales.resize(kept);
    arena_.ids.resize(kept);
    arena_.owners.resize(kept);
  }
  int8_tier_.pop(id);
  if (auto it = token_counts_.find(id); it != token_counts_.end()) {
    total_tokens_ -= it->second;
    token_counts_.erase(it);
  }
  means_.erase(id);
}

uint64_t PerTokenIndex::len() const { return eager_ ? arena_.rows() : total_tokens_; }

uint64_t PerTokenIndex::token_count(uint64_t id) const {
  auto it = token_counts_.find(id);
  return it == token_counts_.end() ? 0 : it->second;
}

float PerTokenIndex::aggregate(std::span<const float> pair_scores) const {
  return aggregate_top_m_mean_ ? top_m_mean(pair_scores, config_.top_m)
                               : max_ignoring_nan(pair_scores);
}

float PerTokenIndex::aggregate_dots(const float* dots, size_t rows, size_t lanes, size_t nq,
                                    float inv_sqrt, std::vector<float>& scratch) const {
  const uint64_t total = sat_mul(rows, nq);
  const size_t m = static_cast<size_t>(std::min<uint64_t>(config_.top_m, total));
  if (aggregate_top_m_mean_ && m >= 1 && m <= kernels::MAX_FAST_TOP_M) {
    // The kept values do not depend on visiting order unless the cut falls
    // on a zero, where +0.0 and -0.0 are equal yet change the sum's sign.
    float best[kernels::MAX_FAST_TOP_M];
    const size_t filled = kernels::top_pairs(dots, rows, lanes, nq, inv_sqrt, m, best);
    if (filled < m) return std::numeric_limits<float>::quiet_NaN();  // NaNs join the selection
    if (best[m - 1] != 0.0f) {
      float sum = -0.0f;
      for (size_t i = 0; i < m; ++i) sum += best[i];
      return sum / static_cast<float>(m);
    }
  }
  // Query token outer, stored row inner: the arrival order decides which of
  // several equal pair scores the selection keeps.
  scratch.clear();
  for (size_t t = 0; t < nq; ++t) {
    for (size_t r = 0; r < rows; ++r) scratch.push_back(dots[r * lanes + t] * inv_sqrt);
  }
  return aggregate(scratch);
}

bool PerTokenIndex::coarse_select(std::span<const float> query, uint64_t k,
                                  std::optional<uint64_t> owner, std::vector<ScoredId>& out) const {
  out.clear();
  if (token_counts_.size() <= config_.coarse_threshold) return false;
  const KeyView view = KeyView::classify(query);
  if (view.is_invalid()) return false;
  const std::vector<float> mean = view.mean_vector();
  if (mean.empty()) return false;

  means_.score(mean, inv_sqrt_of(mean.size()), owner, out);
  // For one owner, only that owner's own count may make the selection
  // narrow: other owners' keys must not cut the search over this owner's.
  // Below the threshold the selection is every id of the owner, as with no
  // selection at all.
  if (owner && out.size() <= config_.coarse_threshold) {
    out.clear();
    means_.ids(owner, out);
    return true;
  }
  const uint64_t want = std::max(sat_mul(config_.coarse_per_k, k), config_.coarse_min);
  const size_t keep = static_cast<size_t>(
      std::min<uint64_t>({want, token_counts_.size(), out.size()}));
  // Only membership matters, so a selection replaces the full sort.
  if (keep < out.size()) {
    std::nth_element(out.begin(), out.begin() + keep, out.end(), coarse_before);
  }
  out.resize(keep);
  return true;
}

std::optional<std::vector<uint64_t>> PerTokenIndex::coarse_candidates(
    std::span<const float> query, uint64_t k, std::optional<uint64_t> owner) const {
  std::vector<ScoredId> kept;
  if (!coarse_select(query, k, owner, kept)) return std::nullopt;
  std::vector<uint64_t> ids;
  ids.reserve(kept.size());
  for (const ScoredId& s : kept) ids.push_back(s.id);
  return ids;
}

std::vector<Candidate> PerTokenIndex::search(std::span<const float> query, uint64_t k,
                                             std::optional<uint64_t> owner) {
  if (query.empty() || arena_.rows() == 0) return {};
  const KeyView view = KeyView::classify(query);
  if (view.is_invalid()) return {};
  const size_t nq = view.is_encoded() ? view.n_tokens : 1;
  const size_t width = view.is_encoded() ? view.dim : query.size();
  if (arena_.row_width != width) return {};
  std::optional<std::unordered_set<uint64_t>> preselected;
  if (view.is_encoded()) {
    if (auto ids = coarse_candidates(query, k, owner)) preselected.emplace(ids->begin(), ids->end());
  }

  std::vector<int8_t> qcodes(nq * width);
  std::vector<float> qscales(nq);
  for (size_t t = 0; t < nq; ++t) {
    std::span<const float> tok = view.is_encoded() ? view.row(t) : query;
    qscales[t] = quantize_int8_into(tok, qcodes.data() + t * width);
  }
  const float inv_sqrt = dim_ && *dim_ != 0 ? inv_sqrt_of(*dim_) : 1.0f;

  struct PerId {
    uint64_t id;
    uint64_t owner;
    std::vector<float> pairs;
  };
  std::vector<PerId> per_id;
  std::unordered_map<uint64_t, size_t> slot;
  for (size_t r = 0; r < arena_.rows(); ++r) {
    const uint64_t id = arena_.ids[r];
    if (owner && arena_.owners[r] != *owner) continue;
    if (preselected && !preselected->count(id)) continue;
    auto [it, fresh] = slot.try_emplace(id, per_id.size());
    if (fresh) per_id.push_back(PerId{id, arena_.owners[r], {}});
    PerId& entry = per_id[it->second];
    const int8_t* codes = arena_.codes.data() + r * width;
    for (size_t t = 0; t < nq; ++t) {
      const int64_t dot = dot_i8(qcodes.data() + t * width, codes, width);
      entry.pairs.push_back(inv_sqrt * (arena_.scales[r] * (qscales[t] * static_cast<float>(dot))));
    }
  }
  last_scored_ = per_id.size();

  std::vector<Candidate> out;
  out.reserve(per_id.size());
  for (const PerId& e : per_id) out.push_back(Candidate{e.id, e.owner, aggregate(e.pairs)});
  stable_sort_desc(out, [](const Candidate& c) { return c.score; });
  if (out.size() > k) out.resize(static_cast<size_t>(k));
  return out;
}

std::vector<Candidate> PerTokenIndex::search_cascade(std::span<const float> query, uint64_t k,
                                                     std::optional<uint64_t> owner,
                                                     const IdSet* exclude,
                                                     const KeyFetcher* fetch) {
  if (!fetch) return search(query, k, owner);
  if (query.empty() || means_.empty()) return {};
  const KeyView view = KeyView::classify(query);
  if (view.is_invalid()) return {};
  const size_t nq = view.is_encoded() ? view.n_tokens : 1;
  const size_t qdim = view.is_encoded() ? view.dim : query.size();
  if (!dim_ || *dim_ == 0) return {};
  const size_t dim = static_cast<size_t>(*dim_);
  const float inv_sqrt = inv_sqrt_of(dim);

  // Each candidate comes with the owner of its mean entry, so scoring needs
  // no second lookup per id.
  std::vector<ScoredId> ids;
  if (!coarse_select(query, k, owner, ids)) means_.ids(owner, ids);
  if (exclude && !exclude->empty()) {
    std::erase_if(ids, [&](const ScoredId& c) { return exclude->count(c.id) != 0; });
  }

  const kernels::TransposedTokens qt =
      kernels::transpose_tokens(view.data.data(), nq, qdim, std::min(qdim, dim));
  std::vector<float> dots;
  std::vector<float> pairs;
  std::vector<Candidate> out;
  out.reserve(ids.size());
  for (const auto& [id, id_owner, unused] : ids) {
    const SharedTokenMatrix matrix = fetch_tokens(id, *fetch, dim);
    if (!matrix) continue;
    float score = NEG_INF;
    if (matrix->size() >= dim) {
      const size_t rows = matrix->size() / dim;
      dots.resize(rows * qt.lanes);
      kernels::token_row_dots(qt, matrix->data(), rows, dim, dots.data());
      score = aggregate_dots(dots.data(), rows, qt.lanes, nq, inv_sqrt, pairs);
    }
    out.push_back(Candidate{id, id_owner, score});
  }
  last_scored_ = out.size();
  stable_sort_desc(out, [](const Candidate& c) { return c.score; });
  if (out.size() > k) out.resize(static_cast<size_t>(k));
  return out;
}

std::vector<OwnedTokenRow> PerTokenIndex::token_rows(uint64_t id, const KeyFetcher* fetch) {
  std::vector<OwnedTokenRow> rows;
  if (fetch && dim_ && *dim_ > 0) {
    const size_t dim = static_cast<size_t>(*dim_);
    const SharedTokenMatrix matrix = fetch_tokens(id, *fetch, dim);
    const std::optional<uint64_t> owner = means_.owner_of(id);
    if (matrix && owner) {
      for (size_t at = 0; at + dim <= matrix->size(); at += dim) {
        rows.push_back(OwnedTokenRow{{matrix->begin() + at, matrix->begin() + at + dim}, *owner});
      }
      return rows;
    }
  }
  const size_t w = arena_.row_width;
  for (size_t r = 0; r < arena_.rows(); ++r) {
    if (arena_.ids[r] != id) continue;
    OwnedTokenRow row{std::vector<float>(w), arena_.owners[r]};
    for (size_t i = 0; i < w; ++i) {
      row.row[i] = static_cast<float>(arena_.codes[r * w + i]) * arena_.scales[r];
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace qvn
