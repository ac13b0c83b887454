// Post-retrieval refinement of the candidates of an encoded multi-token
// query. Strategies are stateless values; the per-token index owns the
// statistics they read (and the whitening cache they fill).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "retrieval/vector_index.h"

namespace qvn {

class PerTokenIndex;

// Operations in this order: debug text, refine, name, is_noop.
class RefinementStrategy {
 public:
  virtual ~RefinementStrategy() = default;
  virtual std::string debug() const = 0;
  // Never fails: a missing prerequisite returns the candidates unchanged.
  // Requires: engine mutex held (the index's caches and whitening cache change).
  virtual std::vector<Candidate> refine(PerTokenIndex& index, std::span<const float> query,
                                        std::vector<Candidate> candidates, uint64_t pool_k,
                                        std::optional<uint64_t> owner,
                                        const KeyFetcher* fetch) const = 0;
  virtual std::string name() const = 0;
  virtual bool is_noop() const = 0;
};

class NoOpStrategy final : public RefinementStrategy {
 public:
  std::string debug() const override { return "NoOpStrategy"; }
  std::vector<Candidate> refine(PerTokenIndex&, std::span<const float>,
                                std::vector<Candidate> candidates, uint64_t,
                                std::optional<uint64_t>, const KeyFetcher*) const override {
    return candidates;
  }
  std::string name() const override { return "none"; }
  bool is_noop() const override { return true; }
};

// Exact, case-sensitive mode names; absent for anything else.
std::unique_ptr<RefinementStrategy> parse_mode(std::string_view mode, std::optional<float> alpha,
                                               std::optional<float> beta,
                                               std::optional<uint64_t> k_prime);

}  // namespace qvn
