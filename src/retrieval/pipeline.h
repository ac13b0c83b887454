// The cascade of retrieval stages: each non-empty stage in order is asked for
// overfetch x k candidates, skipping ids already found, until k are found.
//
// No locking of its own; used only under the engine mutex. The per-token
// stage guards its caches itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "retrieval/vector_index.h"

namespace qvn {

class RetrievalPipeline {
 public:
  static constexpr uint64_t kOverfetch = 2;

  // Stages are appended, never removed, while an engine is open.
  void add_stage(std::unique_ptr<VectorIndex> stage) { stages_.push_back(std::move(stage)); }

  // The engine inserts into and removes from every stage itself, in order.
  const std::vector<std::unique_ptr<VectorIndex>>& stages() const { return stages_; }

  // The first k distinct ids, best first. A repeated id keeps the score of its
  // first occurrence; equal scores keep arrival order (earlier stage first).
  // Scores of different stages are compared as they are.
  std::vector<Candidate> search(std::span<const float> query, uint64_t k,
                                std::optional<uint64_t> owner, const KeyFetcher& fetch);

 private:
  std::vector<std::unique_ptr<VectorIndex>> stages_;
};

}  // namespace qvn
