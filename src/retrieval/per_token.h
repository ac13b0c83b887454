// The per-token stage: scores a query token by token against every stored
// key's token rows and aggregates the pair scores (mean of the top_m best, or
// the best). Lazy mode keeps rows in the int8 tier and reads evicted keys back
// through the fetcher; eager mode keeps every row in an int8 arena.
//
// Requires: engine mutex held for every call. The two caches take their own
// mutexes inside, one at a time, so searches may update them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "retrieval/int8_group.h"
#include "retrieval/vector_index.h"

namespace qvn {

struct PerTokenConfig {
  uint64_t coarse_threshold = 512;  // pre-select only above this many ids
  uint64_t coarse_min = 256;        // least number of ids pre-selection keeps
  uint64_t coarse_per_k = 64;       // ids kept per requested result
  uint64_t top_m = 5;               // best pair scores averaged; at least 1
};

// Running statistics keep a d x d matrix; above this dimension they are not
// kept at all (count stays 0), rather than allocating gigabytes for one key.
inline constexpr size_t MAX_STATS_DIM = 4096;

// Sum and sum of outer products of every token row inserted since the last
// change of key dimension, plus the whitening matrix cached by refinement.
struct RunningStats {
  std::vector<float> sum;    // length = stats dimension
  std::vector<float> outer;  // dimension squared, row-major
  uint64_t count = 0;
  std::optional<std::vector<float>> whitening;  // dimension squared
  uint64_t whitening_count = 0;                 // `count` when whitening was built

  size_t dim() const { return sum.size(); }
};

// Eager-mode rows, int8 with one scale per row, in four parallel columns.
// Row i occupies codes[i * row_width, (i + 1) * row_width); every row has
// exactly row_width codes.
struct TokenArena {
  std::vector<int8_t> codes;
  std::vector<float> scales;
  std::vector<uint64_t> ids;
  std::vector<uint64_t> owners;
  uint64_t row_width = 0;  // 0 until the first row is appended

  size_t rows() const { return ids.size(); }
};

struct OwnedTokenRow {
  std::vector<float> row;
  uint64_t owner = 0;
};

// Mean of the min(top_m, n) largest values (NaN behind every number, equal
// values in arrival order), summed from -0.0 and divided by that count;
// negative infinity for no values or top_m 0.
float top_m_mean(std::span<const float> values, uint64_t top_m);
// The largest value ignoring NaN; negative infinity when there is none.
float max_ignoring_nan(std::span<const float> values);

struct ScoredId {
  uint64_t id;
  uint64_t owner;
  float score;
};

// Id -> {mean vector, owner}. Means of the table width live in blocks of
// kernels::LANES entries for lane-parallel scoring; any other length aside.
class MeanTable {
 public:
  // Fixes the blocked width; entries put earlier stay aside.
  void set_width(size_t width);
  void put(uint64_t id, uint64_t owner, std::vector<float> mean);
  void erase(uint64_t id);
  std::optional<uint64_t> owner_of(uint64_t id) const;
  size_t size() const { return ids_.size() + other_.size(); }
  bool empty() const { return size() == 0; }

  // Appends {id, owner, dot(q, mean) * inv_sqrt} for every entry whose mean
  // has q's length and, when owner is given, whose owner matches.
  void score(std::span<const float> q, float inv_sqrt, std::optional<uint64_t> owner,
             std::vector<ScoredId>& out) const;
  // Every {id, owner} (owner-filtered when given), in table order.
  void ids(std::optional<uint64_t> owner, std::vector<ScoredId>& out) const;

 private:
  struct Other {
    std::vector<float> mean;
    uint64_t owner;
  };
  void write_lane(size_t slot, const float* mean);

  size_t width_ = 0;  // 0: no blocked table yet
  std::vector<uint64_t> ids_;
  std::vector<uint64_t> owners_;
  std::vector<float> blocks_;
  std::unordered_map<uint64_t, size_t> slot_;
  std::unordered_map<uint64_t, Other> other_;
};

class PerTokenIndex final : public VectorIndex {
 public:
  // Capacities of 0 are taken as 1.
  PerTokenIndex(bool aggregate_top_m_mean, PerTokenConfig config, uint64_t cache_capacity,
                uint64_t tier_capacity, bool eager);

  // Without a fetcher: eager arena only, integer arithmetic; nothing in lazy mode.
  std::vector<Candidate> search(std::span<const float> query, uint64_t k,
                                std::optional<uint64_t> owner) override;
  void insert(uint64_t id, uint64_t owner, std::span<const float> key) override;
  void remove(uint64_t id) override;
  // Eager: arena rows. Lazy: token rows inserted and not removed.
  uint64_t len() const override;
  PerTokenIndex* as_per_token() override { return this; }
  // With a fetcher, scores token matrices from token cache, tier or storage;
  // ids in `exclude` are never candidates. Without one, `search`.
  std::vector<Candidate> search_cascade(std::span<const float> query, uint64_t k,
                                        std::optional<uint64_t> owner, const IdSet* exclude,
                                        const KeyFetcher* fetch) override;

  // Ids kept by the mean-vector pre-selection; absent when it does not run.
  std::optional<std::vector<uint64_t>> coarse_candidates(std::span<const float> query,
                                                         uint64_t k,
                                                         std::optional<uint64_t> owner) const;

  // An id's token rows: through the fetcher when given (paired with its
  // mean entry's owner), else the eager arena's rows dequantized.
  std::vector<OwnedTokenRow> token_rows(uint64_t id, const KeyFetcher* fetch);

  SharedTokenMatrix fetch_tokens(uint64_t id, const KeyFetcher& fetch, uint64_t dim) {
    return qvn::fetch_tokens(token_cache_, int8_tier_, id, fetch, dim, &spare_matrices_);
  }

  // Read by refinement.
  std::optional<uint64_t> dim() const { return dim_; }
  const PerTokenConfig& config() const { return config_; }
  const RunningStats& stats() const { return stats_; }
  // Stores a whitening matrix computed from the current statistics.
  void cache_whitening(std::vector<float> whitening) {
    stats_.whitening = std::move(whitening);
    stats_.whitening_count = stats_.count;
  }

  bool eager() const { return eager_; }
  bool aggregate_top_m_mean() const { return aggregate_top_m_mean_; }
  uint64_t last_scored() const { return last_scored_; }
  const TokenArena& arena() const { return arena_; }
  uint64_t token_count(uint64_t id) const;
  size_t id_count() const { return token_counts_.size(); }
  TokenCache& token_cache() { return token_cache_; }
  Int8Tier& int8_tier() { return int8_tier_; }

 private:
  void reset_stats(size_t d);
  void accumulate_stats(std::span<const float> row);
  void append_arena_row(uint64_t id, uint64_t owner, std::span<const float> row);
  float aggregate(std::span<const float> pair_scores) const;
  // The pre-selection's {id, owner} pairs (in no particular order) in `out`;
  // false when it does not run.
  bool coarse_select(std::span<const float> query, uint64_t k, std::optional<uint64_t> owner,
                     std::vector<ScoredId>& out) const;
  // aggregate() of the pair scores held as kernel dot products (row-major,
  // `lanes` apart), without materialising them where order cannot matter.
  float aggregate_dots(const float* dots, size_t rows, size_t lanes, size_t nq, float inv_sqrt,
                       std::vector<float>& scratch) const;

  std::optional<uint64_t> dim_;
  PerTokenConfig config_;
  bool aggregate_top_m_mean_;
  bool eager_;
  TokenArena arena_;
  std::unordered_map<uint64_t, uint64_t> token_counts_;
  uint64_t total_tokens_ = 0;  // sum of token_counts_ values
  MeanTable means_;
  RunningStats stats_;
  uint64_t last_scored_ = 0;
  TokenCache token_cache_;
  Int8Tier int8_tier_;
  SpareMatrices spare_matrices_;
};

}  // namespace qvn
