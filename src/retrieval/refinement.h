// Post-retrieval refinement of the candidates of an encoded multi-token
// query. Strategies are stateless values; the per-token index owns the
// statistics they read (and the whitening cache they fill).
//
// `top_m_mean`, the aggregation both rescoring strategies use whatever the
// index's aggregation flag says, is shared with the per-token index and
// declared in per_token.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "retrieval/per_token.h"
#include "retrieval/vector_index.h"

namespace qvn {

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

// Rescores the pool with every token moved by minus the corpus mean. The
// pool comes back sorted by the new score (NaN behind every number, no usable
// rows as negative infinity) and cut to pool_k. The owner is not used.
class MeanCenteredStrategy final : public RefinementStrategy {
 public:
  std::string debug() const override { return "MeanCenteredStrategy"; }
  std::vector<Candidate> refine(PerTokenIndex& index, std::span<const float> query,
                                std::vector<Candidate> candidates, uint64_t pool_k,
                                std::optional<uint64_t> owner,
                                const KeyFetcher* fetch) const override;
  std::string name() const override { return "centered"; }
  bool is_noop() const override { return false; }
};

// As MeanCenteredStrategy, with the centered tokens also ZCA-whitened.
// Without a whitening matrix (fewer than two rows) it is exactly the
// centered strategy.
class WhiteningStrategy final : public RefinementStrategy {
 public:
  std::string debug() const override { return "WhiteningStrategy"; }
  std::vector<Candidate> refine(PerTokenIndex& index, std::span<const float> query,
                                std::vector<Candidate> candidates, uint64_t pool_k,
                                std::optional<uint64_t> owner,
                                const KeyFetcher* fetch) const override;
  std::string name() const override { return "whitened"; }
  bool is_noop() const override { return false; }
};

// Pseudo-relevance feedback: every query token becomes
// alpha x token + beta x (mean row of the first k_prime candidates), and the
// per-token index is searched again with the expanded query. Parameters are
// taken as given, without range limits.
class LatentPrfStrategy final : public RefinementStrategy {
 public:
  LatentPrfStrategy() = default;
  LatentPrfStrategy(uint64_t k_prime, float alpha, float beta)
      : k_prime(k_prime), alpha(alpha), beta(beta) {}

  // "LatentPrfStrategy { alpha: 0.7, beta: 0.3, k_prime: 3 }": floats in
  // their shortest round-trip form, always with a fraction or an exponent.
  std::string debug() const override;
  std::vector<Candidate> refine(PerTokenIndex& index, std::span<const float> query,
                                std::vector<Candidate> candidates, uint64_t pool_k,
                                std::optional<uint64_t> owner,
                                const KeyFetcher* fetch) const override;
  std::string name() const override { return "prf"; }
  bool is_noop() const override { return false; }

  uint64_t k_prime = 3;
  float alpha = 0.7f;
  float beta = 0.3f;
};

// Exact, case-sensitive mode names; absent for anything else. alpha, beta and
// k_prime matter only to "prf" / "latent_prf" (defaults 0.7, 0.3, 3).
std::unique_ptr<RefinementStrategy> parse_mode(std::string_view mode, std::optional<float> alpha,
                                               std::optional<float> beta,
                                               std::optional<uint64_t> k_prime);

// The token rows of an encoded query of dimension expected_dim; absent for a
// single vector, an invalid key or another dimension.
std::optional<std::vector<std::vector<float>>> unpack_query_tokens(std::span<const float> query,
                                                                   uint64_t expected_dim);

// Covariance of the accumulated rows, d x d row-major and exactly symmetric;
// absent with fewer than two rows, dimension 0 or a malformed outer sum.
std::optional<std::vector<float>> covariance(const RunningStats& stats);

// The ZCA whitening matrix (d x d, row-major) of the index's statistics,
// served from the index's cache while no row was added since it was built,
// otherwise recomputed and cached. Absent when there is no covariance or the
// eigendecomposition fails.
// Requires: engine mutex held (fills the cache).
std::optional<std::vector<float>> whitening_matrix(PerTokenIndex& index);

}  // namespace qvn
