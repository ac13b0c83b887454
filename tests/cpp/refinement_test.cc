#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <bit>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <random>
#include <vector>

#include "retrieval/key_view.h"
#include "retrieval/per_token.h"
#include "retrieval/refinement.h"
#include "support/reference.h"

namespace qvn {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr size_t D = 8;
constexpr uint64_t UNKNOWN = 999;

using Rows = std::vector<std::vector<float>>;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

void expect_same(const std::vector<Candidate>& got, const std::vector<Candidate>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(got[i].id == want[i].id && got[i].owner == want[i].owner &&
                bits(got[i].score) == bits(want[i].score))
        << "at " << i << ": " << got[i].id << " " << got[i].score << " vs " << want[i].id << " " << want[i].score;
  }
}

// Integer rows whose every row holds +-127: both int8 rules then store them
// exactly, so the index's rows equal the inserted ones and a reference can
// work from the raw values.
struct Corpus : test::KeyStore {
  std::mt19937 rng{7};
  std::map<uint64_t, Rows> rows;
  Rows inserted;  // every row in insertion order, as the statistics see them

  Rows make_rows(size_t n, size_t d = D) {
    std::uniform_int_distribution<int> v(-126, 126);
    Rows r(n, std::vector<float>(d));
    for (auto& row : r) {
      for (float& x : row) x = static_cast<float>(v(rng));
      row[rng() % d] = (rng() & 1) ? 127.0f : -127.0f;
    }
    return r;
  }
  void add(PerTokenIndex& idx, uint64_t id, uint64_t owner, const Rows& r) {
    keys[id] = encode_per_token_key(r);
    rows[id] = r;
    // The statistics restart when the key dimension changes.
    if (!inserted.empty() && inserted[0].size() != r[0].size()) inserted.clear();
    inserted.insert(inserted.end(), r.begin(), r.end());
    idx.insert(id, owner, keys[id]);
  }
};

PerTokenIndex lazy() { return PerTokenIndex(true, PerTokenConfig{}, 512, 32768, false); }
PerTokenIndex eager() { return PerTokenIndex(true, PerTokenConfig{}, 512, 32768, true); }

// ---- Scalar references, written straight from the rules ----

using test::ref_dot;
using test::ref_top_m_mean;

// Row-order float32 sums; the mean multiplies by 1 / n, the covariance divides.
std::vector<float> ref_covariance(const Rows& inserted, std::vector<float>* mean = nullptr) {
  const size_t d = inserted[0].size();
  const float n = static_cast<float>(inserted.size());
  std::vector<float> sum(d, 0.0f), outer(d * d, 0.0f), cov(d * d);
  for (const auto& r : inserted)
    for (size_t i = 0; i < d; ++i) {
      sum[i] += r[i];
      for (size_t j = 0; j < d; ++j) outer[i * d + j] += r[i] * r[j];
    }
  for (size_t i = 0; i < d; ++i)
    for (size_t j = 0; j < d; ++j) cov[i * d + j] = outer[i * d + j] / n - (sum[i] / n) * (sum[j] / n);
  if (mean)
    for (float x : sum) mean->push_back(x * (1.0f / n));
  return cov;
}

// Centering, then (when w is given) u[r] = sum_j W[r][j] c[j].
std::vector<float> ref_transform(const std::vector<float>& t, const std::vector<float>& mean,
                                 const std::vector<float>* w) {
  const size_t d = mean.size();
  std::vector<float> c(d);
  for (size_t i = 0; i < d; ++i) c[i] = t[i] - mean[i];
  if (!w) return c;
  std::vector<float> u(d);
  for (size_t r = 0; r < d; ++r) u[r] = ref_dot(w->data() + r * d, c.data(), d);
  return u;
}

std::vector<Candidate> ref_rescore(const Corpus& corpus, const Rows& query,
                                   std::vector<Candidate> pool, uint64_t pool_k,
                                   const std::vector<float>* w) {
  std::vector<float> mean;
  ref_covariance(corpus.inserted, &mean);
  const size_t d = mean.size();
  const float inv_sqrt = 1.0f / std::sqrt(static_cast<float>(d));
  Rows q;
  for (const auto& t : query) q.push_back(ref_transform(t, mean, w));
  for (Candidate& c : pool) {
    std::vector<float> pairs;
    auto it = corpus.rows.find(c.id);
    if (it != corpus.rows.end()) {
      for (const auto& r : it->second) {
        if (r.size() != d) continue;
        const auto tr = ref_transform(r, mean, w);
        for (const auto& t : q) pairs.push_back(ref_dot(tr.data(), t.data(), d) * inv_sqrt);
      }
    }
    c.score = ref_top_m_mean(pairs, 5);
  }
  std::stable_sort(pool.begin(), pool.end(),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
  pool.resize(std::min<size_t>(pool.size(), pool_k));
  return pool;
}

// A fixed corpus: 12 ids of 1 to 4 tokens under two owners.
void fill(Corpus& corpus, PerTokenIndex& idx) {
  for (uint64_t id = 1; id <= 12; ++id) corpus.add(idx, id, id % 2 ? 10 : 20, corpus.make_rows(1 + id % 4));
}

std::vector<Candidate> pool_of(std::vector<uint64_t> ids) {
  std::vector<Candidate> pool;
  for (uint64_t id : ids) pool.push_back(Candidate{id, id + 100, 0.5f});
  return pool;
}

// ---- Modes ----

TEST(RefinementTest, ParseModeNamesAndRefusals) {
  const std::string prf = "LatentPrfStrategy { alpha: 0.7, beta: 0.3, k_prime: 3 }";
  for (auto [mode, name, debug] : {std::tuple<const char*, const char*, std::string>{"none", "none", "NoOpStrategy"},
                                   {"mean_centered", "centered", "MeanCenteredStrategy"},
                                   {"centered", "centered", "MeanCenteredStrategy"},
                                   {"zca", "whitened", "WhiteningStrategy"},
                                   {"whitened", "whitened", "WhiteningStrategy"},
                                   {"latent_prf", "prf", prf}, {"prf", "prf", prf}}) {
    auto s = parse_mode(mode, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(s) << mode;
    EXPECT_EQ(s->name(), name);
    EXPECT_EQ(s->debug(), debug);
  }
  for (const char* bad : {"Prf", " prf", "", "NONE", "latent-prf"}) EXPECT_FALSE(parse_mode(bad, 1.0f, 0.0f, 2)) << bad;
  // Parameters are taken without limits and printed in the debug form.
  EXPECT_EQ(parse_mode("prf", 1.0f, -0.0f, UINT64_MAX)->debug(),
            "LatentPrfStrategy { alpha: 1.0, beta: -0.0, k_prime: 18446744073709551615 }");
  EXPECT_EQ(LatentPrfStrategy(1, 2.5e20f, 1e-5f).debug(), "LatentPrfStrategy { alpha: 2.5e20, beta: 1e-5, k_prime: 1 }");
  EXPECT_EQ(LatentPrfStrategy(1, std::nanf(""), -INF).debug(), "LatentPrfStrategy { alpha: NaN, beta: -inf, k_prime: 1 }");
  EXPECT_EQ(LatentPrfStrategy(0, 123456792.0f, 0.0001f).debug(),
            "LatentPrfStrategy { alpha: 123456790.0, beta: 0.0001, k_prime: 0 }");
}

// ---- Statistics ----

TEST(RefinementTest, CovarianceAndWhiteningFormedInOrderAndCached) {
  Corpus corpus;
  PerTokenIndex idx = lazy();
  EXPECT_FALSE(whitening_matrix(idx));
  corpus.add(idx, 1, 0, corpus.make_rows(1));
  EXPECT_FALSE(covariance(idx.stats()));  // one row
  fill(corpus, idx);
  const auto cov = covariance(idx.stats());
  const auto want = ref_covariance(corpus.inserted);
  ASSERT_TRUE(cov);
  ASSERT_EQ(cov->size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(bits((*cov)[i]), bits(want[i])) << i;
  RunningStats malformed = idx.stats();
  malformed.outer.pop_back();
  EXPECT_FALSE(covariance(malformed));

  // The same decomposition, formed here term by term.
  const auto w = whitening_matrix(idx);
  ASSERT_TRUE(w);
  Eigen::MatrixXd m(D, D);
  for (size_t i = 0; i < D; ++i)
    for (size_t j = 0; j < D; ++j) m(i, j) = want[i * D + j];
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> es(m);
  const auto& u = es.eigenvectors();
  for (size_t i = 0; i < D; ++i) {
    for (size_t j = 0; j < D; ++j) {
      double acc = 0.0;
      for (size_t k = 0; k < D; ++k)
        acc += u(j, k) * (u(i, k) * (1.0 / std::sqrt(std::max(es.eigenvalues()(k), 1e-5))));
      EXPECT_EQ(bits((*w)[i * D + j]), bits(static_cast<float>(acc))) << i << "," << j;
    }
  }
  EXPECT_EQ(idx.stats().whitening, w);
  // Served from the cache while no row is added, recomputed once one is.
  const std::vector<float> marker(D * D, 0.25f);
  idx.cache_whitening(marker);
  EXPECT_EQ(whitening_matrix(idx), marker);
  corpus.add(idx, 50, 0, corpus.make_rows(1));
  const auto fresh = whitening_matrix(idx);
  ASSERT_TRUE(fresh);
  EXPECT_NE(*fresh, marker);
  EXPECT_EQ(idx.stats().whitening_count, corpus.inserted.size());
}

// ---- Rescoring ----

TEST(RefinementTest, CenteredAndWhitenedMatchScalarReference) {
  // A lazy index reads rows through the fetcher, an eager one from its arena.
  for (bool with_fetcher : {true, false}) {
    SCOPED_TRACE(with_fetcher);
    Corpus corpus;
    PerTokenIndex idx = with_fetcher ? lazy() : eager();
    fill(corpus, idx);
    FnKeyFetcher f = corpus.fetcher();
    const KeyFetcher* fetch = with_fetcher ? &f : nullptr;
    const Rows q = corpus.make_rows(3);
    const auto query = encode_per_token_key(q);
    // The unknown id has no rows: negative infinity, behind every scored id.
    const auto pool = pool_of({UNKNOWN, 3, 7, 1, 12, 5, 8, 2, 10});

    const auto centered = MeanCenteredStrategy().refine(idx, query, pool, 100, 42, fetch);
    expect_same(centered, ref_rescore(corpus, q, pool, 100, nullptr));
    EXPECT_EQ(centered.back().id, UNKNOWN);
    EXPECT_EQ(centered.back().score, -INF);
    expect_same(MeanCenteredStrategy().refine(idx, query, pool, 4, 42, fetch),
                ref_rescore(corpus, q, pool, 4, nullptr));

    const auto w = whitening_matrix(idx);
    ASSERT_TRUE(w);
    const auto whitened = WhiteningStrategy().refine(idx, query, pool, 5, 42, fetch);
    expect_same(whitened, ref_rescore(corpus, q, pool, 5, &*w));
    EXPECT_NE(bits(whitened[0].score), bits(centered[0].score));
  }
}

// Without statistics of the query's dimension the pool comes back as given,
// neither sorted nor cut; without a covariance, whitened is centered.
TEST(RefinementTest, FallbacksLeaveThePoolOrCenterIt) {
  Corpus corpus;
  PerTokenIndex idx = lazy();
  FnKeyFetcher f = corpus.fetcher();
  const Rows q = corpus.make_rows(2);
  const auto query = encode_per_token_key(q);
  std::vector<Candidate> pool = pool_of({4, 9, UNKNOWN, 1});
  pool[1].score = 3.0f;
  expect_same(WhiteningStrategy().refine(idx, query, pool, 1, std::nullopt, &f), pool);
  corpus.add(idx, 1, 0, corpus.make_rows(1));  // one row: no covariance
  const auto whitened = WhiteningStrategy().refine(idx, query, pool, 10, std::nullopt, &f);
  expect_same(whitened, ref_rescore(corpus, q, pool, 10, nullptr));
  EXPECT_FALSE(idx.stats().whitening);

  fill(corpus, idx);
  const std::vector<float> single = corpus.make_rows(1)[0];
  const auto wrong_dim = encode_per_token_key(corpus.make_rows(2, D / 2));
  for (const char* mode : {"none", "centered", "whitened", "prf"}) {
    SCOPED_TRACE(mode);
    auto s = parse_mode(mode, std::nullopt, std::nullopt, std::nullopt);
    expect_same(s->refine(idx, single, pool, 2, std::nullopt, &f), pool);
    expect_same(s->refine(idx, wrong_dim, pool, 2, std::nullopt, &f), pool);
    expect_same(s->refine(idx, query, {}, 2, std::nullopt, &f), {});
  }
  // Keys of a new dimension reset the statistics while the index keeps the
  // first one: a query of the first dimension no longer fits the statistics.
  corpus.add(idx, 30, 0, corpus.make_rows(3, D / 2));
  expect_same(MeanCenteredStrategy().refine(idx, query, pool, 2, std::nullopt, &f), pool);
  expect_same(WhiteningStrategy().refine(idx, query, pool, 2, std::nullopt, &f), pool);
}

// ---- Pseudo-relevance feedback ----

TEST(RefinementTest, PrfExpandsWithTheMeanOfTheFirstCandidates) {
  Corpus corpus;
  PerTokenIndex idx = lazy();
  fill(corpus, idx);
  FnKeyFetcher f = corpus.fetcher();
  const Rows q = corpus.make_rows(2);
  const auto query = encode_per_token_key(q);
  const float alpha = 0.6f, beta = 0.45f;

  auto expected = [&](const std::vector<uint64_t>& feedback, uint64_t pool_k) {
    std::vector<float> sum(D, 0.0f);
    float n = 0;
    for (uint64_t id : feedback) {
      for (const auto& r : corpus.rows[id]) {
        for (size_t i = 0; i < D; ++i) sum[i] += r[i];
        n += 1;
      }
    }
    const float inv = 1.0f / n;
    Rows expanded = q;
    for (auto& t : expanded)
      for (size_t i = 0; i < D; ++i) t[i] = alpha * t[i] + beta * (sum[i] * inv);
    return idx.search_cascade(encode_per_token_key(expanded), pool_k, std::nullopt, nullptr, &f);
  };

  // The unknown id feeds no rows; only the first k_prime candidates count.
  const auto pool = pool_of({3, UNKNOWN, 8, 1, 2});
  expect_same(LatentPrfStrategy(3, alpha, beta).refine(idx, query, pool, 4, std::nullopt, &f),
              expected({3, 8}, 4));
  // k_prime beyond the pool: every candidate feeds.
  expect_same(LatentPrfStrategy(50, alpha, beta).refine(idx, query, pool, 4, std::nullopt, &f),
              expected({3, 8, 1, 2}, 4));

  // No feedback rows, or k_prime 0: the pool as given, uncut.
  const auto unknown = pool_of({UNKNOWN, UNKNOWN + 1, UNKNOWN + 2});
  expect_same(LatentPrfStrategy(3, alpha, beta).refine(idx, query, unknown, 1, std::nullopt, &f),
              unknown);
  expect_same(LatentPrfStrategy(0, alpha, beta).refine(idx, query, pool, 1, std::nullopt, &f), pool);
  // A second pass that finds nothing (no such owner) leaves the pool, cut to pool_k.
  const auto cut = LatentPrfStrategy(3, alpha, beta).refine(idx, query, pool, 2, 777, &f);
  expect_same(cut, {pool[0], pool[1]});
}

}  // namespace
}  // namespace qvn
