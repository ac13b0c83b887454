// The exhaustive stage: the mean vector of every inserted key, scored
// against the query's mean vector by a scaled float32 dot product.
//
// No locking of its own; used only under the engine mutex.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "retrieval/vector_index.h"

namespace qvn {

class FlatIndex final : public VectorIndex {
 public:
  // Ranks entries whose vector length equals the query's mean-vector length
  // (and whose owner matches, when given) by dot / sqrt(d); stable, so equal
  // scores keep insertion order. Empty and invalid queries find nothing.
  std::vector<Candidate> search(std::span<const float> query, uint64_t k,
                                std::optional<uint64_t> owner) override;
  // Invalid keys are ignored; an id inserted twice is stored twice.
  void insert(uint64_t id, uint64_t owner, std::span<const float> key) override;
  // Removes every entry of id.
  void remove(uint64_t id) override;
  uint64_t len() const override { return count_; }
  // Exclusion and fetching do not apply to this stage.
  std::vector<Candidate> search_cascade(std::span<const float> query, uint64_t k,
                                        std::optional<uint64_t> owner, const IdSet* exclude,
                                        const KeyFetcher* fetch) override;

 private:
  // Entries of one vector length, in insertion order. Only entries of the
  // query's length are ever compared, so keeping each length contiguous
  // preserves every order a search can observe and lets rows be scored as a
  // dense matrix.
  struct Arena {
    std::vector<float> rows;  // lane-interleaved blocks (see dot_f32_interleaved)
    std::vector<uint64_t> ids;
    std::vector<uint64_t> owners;
  };

  std::map<size_t, Arena> arenas_;  // by vector length
  uint64_t count_ = 0;
};

}  // namespace qvn
