#include "retrieval/refinement.h"

#include <Eigen/Eigenvalues>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "retrieval/key_view.h"
#include "retrieval/simd_distance.h"

namespace qvn {
namespace {

// Eigenvalues below this (and NaN ones) are floored before the inverse
// square root, so near-singular directions are not blown up.
constexpr double EIGEN_FLOOR = 1e-5;

// Corpus mean as the sum times the float32 reciprocal of the count.
std::vector<float> corpus_mean(const RunningStats& stats) {
  const float inv = 1.0f / static_cast<float>(stats.count);
  std::vector<float> mean(stats.sum.size());
  for (size_t i = 0; i < mean.size(); ++i) mean[i] = stats.sum[i] * inv;
  return mean;
}

// A token transform over rows of exactly d floats: `out` has d slots.
struct CenterTransform {
  const std::vector<float>& mean;
  void operator()(std::span<const float> t, float* out) const {
    for (size_t i = 0; i < mean.size(); ++i) out[i] = t[i] - mean[i];
  }
};

struct WhitenTransform {
  const std::vector<float>& mean;
  const std::vector<float>& w;  // d x d, row-major
  mutable std::vector<float> centered;
  void operator()(std::span<const float> t, float* out) const {
    const size_t d = mean.size();
    centered.resize(d);
    CenterTransform{mean}(t, centered.data());
    // out[r] = sum over j of W[r][j] x c[j], from -0.0 in order of j.
    dot_f32_rows(centered.data(), w.data(), d, d, d, out);
  }
};

// The scoring both rescoring strategies share; the pool comes back sorted by
// the new scores and cut to pool_k.
template <class Transform>
std::vector<Candidate> rescore(PerTokenIndex& index, std::span<const float> query,
                               std::vector<Candidate> candidates, uint64_t pool_k,
                               const KeyFetcher* fetch, size_t d, const Transform& transform) {
  const auto tokens = unpack_query_tokens(query, d);
  if (!tokens) return candidates;
  const size_t nq = tokens->size();
  std::vector<float> q(nq * d);
  for (size_t t = 0; t < nq; ++t) transform((*tokens)[t], q.data() + t * d);

  const float inv_sqrt = 1.0f / std::sqrt(static_cast<float>(d));
  const uint64_t top_m = index.config().top_m;
  std::vector<float> row(d), dots(nq), pairs;
  for (Candidate& c : candidates) {
    pairs.clear();
    for (const OwnedTokenRow& r : index.token_rows(c.id, fetch)) {
      if (r.row.size() != d) continue;
      transform(r.row, row.data());
      // Transformed row outer, query token inner.
      dot_f32_rows(row.data(), q.data(), d, nq, d, dots.data());
      for (float dot : dots) pairs.push_back(dot * inv_sqrt);
    }
    c.score = top_m_mean(pairs, top_m);  // no pairs: negative infinity
  }
  // Ties keep pool order; a NaN score goes behind every number.
  stable_sort_desc(candidates, [](const Candidate& c) { return c.score; });
  if (candidates.size() > pool_k) candidates.resize(static_cast<size_t>(pool_k));
  return candidates;
}

// The debug form of a float: shortest round-trip digits, exponent form below
// 1e-4 and from 1e16 on ("1e-5", "1.5e20"), otherwise a plain decimal that
// always shows a fraction ("1.0", "-0.0"). The decimal is laid out from the
// shortest digits, zero-padded ("123456790.0"), never the exact binary value.
std::string debug_f32(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string s(buf, res.ptr);  // "-d.ddde-05"
  const size_t e = s.find('e');
  const int exp = std::atoi(s.c_str() + e + 1);
  const float a = std::fabs(v);
  if (a != 0.0f && (a < 1e-4f || a >= 1e16f)) return s.substr(0, e) + "e" + std::to_string(exp);

  const bool negative = s[0] == '-';
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < e; ++i) {
    if (s[i] != '.') digits += s[i];
  }
  std::string out = negative ? "-" : "";
  if (exp < 0) {
    out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  } else {
    const size_t int_len = static_cast<size_t>(exp) + 1;
    if (digits.size() <= int_len) {
      out += digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  return out;
}

}  // namespace

std::optional<std::vector<std::vector<float>>> unpack_query_tokens(std::span<const float> query,
                                                                   uint64_t expected_dim) {
  const KeyView view = KeyView::classify(query);
  if (!view.is_encoded() || view.dim != expected_dim) return std::nullopt;
  std::vector<std::vector<float>> rows;
  rows.reserve(view.n_tokens);  // bounded by the query's own length
  for (size_t t = 0; t < view.n_tokens; ++t) {
    const auto r = view.row(t);
    rows.emplace_back(r.begin(), r.end());
  }
  return rows;
}

std::optional<std::vector<float>> covariance(const RunningStats& stats) {
  const size_t d = stats.dim();
  if (stats.count < 2 || d == 0 || stats.outer.size() != d * d) return std::nullopt;
  const float n = static_cast<float>(stats.count);
  std::vector<float> mean(d);
  for (size_t i = 0; i < d; ++i) mean[i] = stats.sum[i] / n;
  std::vector<float> cov(d * d);
  for (size_t i = 0; i < d; ++i) {
    for (size_t j = 0; j < d; ++j) cov[i * d + j] = stats.outer[i * d + j] / n - mean[i] * mean[j];
  }
  return cov;
}

std::optional<std::vector<float>> whitening_matrix(PerTokenIndex& index) {
  const RunningStats& stats = index.stats();
  const size_t d = stats.dim();
  if (stats.whitening && stats.whitening_count == stats.count && stats.whitening->size() == d * d) {
    return stats.whitening;
  }
  const auto cov = covariance(stats);
  if (!cov || d == 0 || cov->size() != d * d) return std::nullopt;

  Eigen::MatrixXd m(d, d);
  for (size_t i = 0; i < d; ++i) {
    for (size_t j = 0; j < d; ++j) m(i, j) = static_cast<double>((*cov)[i * d + j]);
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(m, Eigen::ComputeEigenvectors);
  if (solver.info() != Eigen::Success) return std::nullopt;
  const Eigen::VectorXd& l = solver.eigenvalues();
  const Eigen::MatrixXd& u = solver.eigenvectors();  // u(i, k): component i of vector k

  std::vector<double> s(d);
  for (size_t k = 0; k < d; ++k) {
    // A comparison that fails for NaN, so NaN takes the floor too.
    const double lk = l(k) > EIGEN_FLOOR ? l(k) : EIGEN_FLOOR;
    s[k] = 1.0 / std::sqrt(lk);
  }
  // W = U diag(s) U^T formed here, term by term in order of k, so the result
  // does not depend on how the library would order a matrix product.
  std::vector<float> w(d * d);
  for (size_t i = 0; i < d; ++i) {
    for (size_t j = 0; j < d; ++j) {
      double acc = 0.0;
      for (size_t k = 0; k < d; ++k) acc += u(j, k) * (u(i, k) * s[k]);
      w[i * d + j] = static_cast<float>(acc);
    }
  }
  index.cache_whitening(w);
  return w;
}

std::vector<Candidate> MeanCenteredStrategy::refine(PerTokenIndex& index,
                                                    std::span<const float> query,
                                                    std::vector<Candidate> candidates,
                                                    uint64_t pool_k, std::optional<uint64_t>,
                                                    const KeyFetcher* fetch) const {
  const RunningStats& stats = index.stats();
  const size_t d = stats.dim();
  if (candidates.empty() || stats.count == 0 || d == 0) return candidates;
  const std::vector<float> mean = corpus_mean(stats);
  return rescore(index, query, std::move(candidates), pool_k, fetch, d, CenterTransform{mean});
}

std::vector<Candidate> WhiteningStrategy::refine(PerTokenIndex& index, std::span<const float> query,
                                                 std::vector<Candidate> candidates,
                                                 uint64_t pool_k, std::optional<uint64_t> owner,
                                                 const KeyFetcher* fetch) const {
  if (candidates.empty()) return candidates;
  const auto w = whitening_matrix(index);
  if (!w) {
    return MeanCenteredStrategy().refine(index, query, std::move(candidates), pool_k, owner, fetch);
  }
  const RunningStats& stats = index.stats();
  const size_t d = stats.dim();
  if (stats.count == 0 || d == 0) return candidates;
  const std::vector<float> mean = corpus_mean(stats);
  return rescore(index, query, std::move(candidates), pool_k, fetch, d,
                 WhitenTransform{mean, *w, {}});
}

std::string LatentPrfStrategy::debug() const {
  return "LatentPrfStrategy { alpha: " + debug_f32(alpha) + ", beta: " + debug_f32(beta) +
         ", k_prime: " + std::to_string(k_prime) + " }";
}

std::vector<Candidate> LatentPrfStrategy::refine(PerTokenIndex& index, std::span<const float> query,
                                                 std::vector<Candidate> candidates,
                                                 uint64_t pool_k, std::optional<uint64_t> owner,
                                                 const KeyFetcher* fetch) const {
  const std::optional<uint64_t> dim = index.dim();
  if (k_prime == 0 || candidates.empty() || !dim) return candidates;
  const auto tokens = unpack_query_tokens(query, *dim);
  if (!tokens) return candidates;
  const size_t d = static_cast<size_t>(*dim);  // an encoded query holds d floats per row

  std::vector<float> sum(d, 0.0f);
  uint64_t summed = 0;
  const size_t feedback = static_cast<size_t>(std::min<uint64_t>(k_prime, candidates.size()));
  for (size_t c = 0; c < feedback; ++c) {
    for (const OwnedTokenRow& r : index.token_rows(candidates[c].id, fetch)) {
      if (r.row.size() != d) continue;
      for (size_t i = 0; i < d; ++i) sum[i] += r.row[i];
      ++summed;
    }
  }
  if (summed == 0) return candidates;
  const float inv = 1.0f / static_cast<float>(summed);
  std::vector<float> mean(d);
  for (size_t i = 0; i < d; ++i) mean[i] = sum[i] * inv;

  std::vector<std::vector<float>> expanded;
  expanded.reserve(tokens->size());
  for (const auto& t : *tokens) {
    std::vector<float> e(std::min(d, t.size()));
    for (size_t i = 0; i < e.size(); ++i) {
      const float a = alpha * t[i];
      const float b = beta * mean[i];
      e[i] = a + b;
    }
    expanded.push_back(std::move(e));
  }
  const std::vector<float> key = encode_per_token_key(expanded);

  std::vector<Candidate> second = fetch ? index.search_cascade(key, pool_k, owner, nullptr, fetch)
                                        : index.search(key, pool_k, owner);
  if (!second.empty()) return second;
  if (candidates.size() > pool_k) candidates.resize(static_cast<size_t>(pool_k));
  return candidates;
}

std::unique_ptr<RefinementStrategy> parse_mode(std::string_view mode, std::optional<float> alpha,
                                               std::optional<float> beta,
                                               std::optional<uint64_t> k_prime) {
  if (mode == "none") return std::make_unique<NoOpStrategy>();
  if (mode == "prf" || mode == "latent_prf") {
    return std::make_unique<LatentPrfStrategy>(k_prime.value_or(3), alpha.value_or(0.7f),
                                               beta.value_or(0.3f));
  }
  if (mode == "centered" || mode == "mean_centered") return std::make_unique<MeanCenteredStrategy>();
  if (mode == "whitened" || mode == "zca") return std::make_unique<WhiteningStrategy>();
  return nullptr;
}

}  // namespace qvn
