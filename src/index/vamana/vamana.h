// The Vamana stage: a graph over one mean vector per retrieval cell, each
// node linked to its R best other nodes by raw dot product, searched by a
// greedy beam search. The graph is built once (quadratic in the node count);
// nodes added afterwards have no edges until the next build.
//
// No locking of its own. Requires: engine mutex held.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/error.h"
#include "retrieval/vector_index.h"

namespace qvn {

class VamanaIndex final : public VectorIndex {
 public:
  struct Node {
    std::vector<float> vector;
    std::vector<uint64_t> neighbours;  // node indices, best first
    uint64_t cell_id = 0;
    uint64_t owner = 0;  // not in the file: given by whoever adds or loads the node
  };

  struct ScoredNode {
    uint64_t node = 0;
    float score = 0.0f;
  };

  VamanaIndex(uint64_t dim, uint64_t r, float alpha);

  // Stage operations. Scores are raw dot products; candidates carry owner 0.
  // With an owner, the k best of that owner's nodes, found by scoring each
  // of them rather than by a walk, so other owners' nodes never take their
  // places nor change which of them are found.
  std::vector<Candidate> search(std::span<const float> query, uint64_t k, std::optional<uint64_t> owner) override;
  // Adds the key's mean vector as an edgeless node; a key whose mean vector
  // does not have length dim (an invalid key has none) is skipped, so a
  // stray key never stops the write that carried it.
  void insert(uint64_t id, uint64_t owner, std::span<const float> key) override;
  // Deleted cells stay in the graph; readers drop candidates that no longer
  // map to anything live.
  void remove(uint64_t id) override {}
  uint64_t len() const override { return nodes_.size(); }
  std::vector<Candidate> search_cascade(std::span<const float> query, uint64_t k, std::optional<uint64_t> owner,
                                        const IdSet* exclude, const KeyFetcher* fetch) override;

  // Appends an edgeless node; the entry is unchanged. Returns false and
  // changes nothing when the vector's length is not dim or the cell id is
  // already present.
  bool add_node(uint64_t cell_id, std::span<const float> vector, uint64_t owner = 0);
  // Builds every node's edges and the entry, unless some node already has
  // edges: then only the entry is recomputed.
  void rebuild();
  // The entry becomes the first node scoring highest against the centroid.
  void compute_entry();
  // (node index, score) pairs, best first, at most L of them.
  std::vector<ScoredNode> beam_search(std::span<const float> q, uint64_t L) const;

  // Replaces dir/"vamana.idx" atomically: a crash leaves the old file or the
  // new one, never a torn one.
  IoResult<void> save(const std::string& dir) const;
  // Absent when there is no file. Vectors come from `vectors` by cell id (dim
  // zeros for a missing one), owners from `owners` (0 for a missing one); a
  // damaged file is an error, never a crash.
  static IoResult<std::optional<VamanaIndex>> load(const std::string& dir,
                                                   const std::unordered_map<uint64_t, std::vector<float>>& vectors,
                                                   const std::unordered_map<uint64_t, uint64_t>& owners = {});

  uint64_t dim() const { return dim_; }
  uint64_t r() const { return r_; }
  float alpha() const { return alpha_; }
  std::optional<uint64_t> entry() const { return entry_; }
  const std::vector<Node>& nodes() const { return nodes_; }

 private:
  std::optional<uint64_t> entry_;
  std::vector<Node> nodes_;
  std::unordered_map<uint64_t, uint64_t> id_map_;
  uint64_t dim_;
  uint64_t r_;
  float alpha_;  // stored as given; no operation reads it
};

}  // namespace qvn
