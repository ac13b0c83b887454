#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
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

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

void expect_same(const std::vector<Candidate>& got, const std::vector<Candidate>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id) << "at " << i;
    EXPECT_EQ(got[i].owner, want[i].owner) << "at " << i;
    EXPECT_EQ(bits(got[i].score), bits(want[i].score)) << "at " << i << ": " << got[i].score
                                                       << " vs " << want[i].score;
  }
}

// Integer rows whose every row holds +-127: both int8 rules then store them
// exactly, so the index's rows equal the inserted ones and a reference can
// work from the raw values.
struct Corpus {
  std::mt19937 rng{7};
  std::map<uint64_t, std::vector<float>> keys;
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
  FnKeyFetcher fetcher() {
    return FnKeyFetcher([this](uint64_t id) -> std::optional<std::vector<float>> {
      auto it = keys.find(id);
      if (it == keys.end()) return std::nullopt;
      return it->second;
    });
  }
};

PerTokenIndex lazy() { return PerTokenIndex(true, PerTokenConfig{}, 512, 32768, false); }
PerTokenIndex eager() { return PerTokenIndex(true, PerTokenConfig{}, 512, 32768, true); }

// ---- Scalar references, written straight from the rules ----

using test::ref_dot;
using test::ref_top_m_mean;

std::vector<float> ref_mean(const Rows& inserted) {
  std::vector<float> sum(inserted[0].size(), 0.0f);
  for (const auto& r : inserted)
    for (size_t i = 0; i < sum.size(); ++i) sum[i] += r[i];
  const float inv = 1.0f / static_cast<float>(inserted.size());
  for (float& x : sum) x = x * inv;
  return sum;
}

std::vector<float> ref_covariance(const Rows& inserted) {
  const size_t d = inserted[0].size();
  std::vector<float> sum(d, 0.0f), outer(d * d, 0.0f);
  for (const auto& r : inserted) {
    for (size_t i = 0; i < d; ++i) sum[i] += r[i];
    for (size_t i = 0; i < d; ++i)
      for (size_t j = 0; j < d; ++j) outer[i * d + j] += r[i] * r[j];
  }
  const float n = static_cast<float>(inserted.size());
  std::vector<float> cov(d * d);
  for (size_t i = 0; i < d; ++i)
    for (size_t j = 0; j < d; ++j)
      cov[i * d + j] = outer[i * d + j] / n - (sum[i] / n) * (sum[j] / n);
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
  const std::vector<float> mean = ref_mean(corpus.inserted);
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

// The two ways strategies read rows: a lazy index through the fetcher, or an
// eager one from its arena without a fetcher.
struct Filled {
  explicit Filled(bool with_fetcher)
      : trace(__FILE__, __LINE__, with_fetcher ? "lazy, fetcher" : "eager, no fetcher"),
        idx(with_fetcher ? lazy() : eager()),
        f(corpus.fetcher()) {
    fill(corpus, idx);
    fetch = with_fetcher ? &f : nullptr;
  }
  testing::ScopedTrace trace;
  Corpus corpus;
  PerTokenIndex idx;
  const KeyFetcher* fetch = nullptr;

 private:
  FnKeyFetcher f;
};

std::vector<Candidate> pool_of(std::vector<uint64_t> ids) {
  std::vector<Candidate> pool;
  for (uint64_t id : ids) pool.push_back(Candidate{id, id + 100, 0.5f});
  return pool;
}

// ---- Modes ----

TEST(RefinementTest, ParseModeNamesAndRefusals) {
  struct Case {
    const char* mode;
    const char* name;
    const char* debug;
  };
  for (const Case& c : {Case{"none", "none", "NoOpStrategy"},
                        Case{"centered", "centered", "MeanCenteredStrategy"},
                        Case{"mean_centered", "centered", "MeanCenteredStrategy"},
                        Case{"whitened", "whitened", "WhiteningStrategy"},
                        Case{"zca", "whitened", "WhiteningStrategy"},
                        Case{"prf", "prf", "LatentPrfStrategy { alpha: 0.7, beta: 0.3, k_prime: 3 }"},
                        Case{"latent_prf", "prf",
                             "LatentPrfStrategy { alpha: 0.7, beta: 0.3, k_prime: 3 }"}}) {
    auto s = parse_mode(c.mode, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(s) << c.mode;
    EXPECT_EQ(s->name(), c.name);
    EXPECT_EQ(s->debug(), c.debug);
    EXPECT_EQ(s->is_noop(), std::string(c.mode) == "none");
  }
  for (const char* bad : {"Prf", " prf", "prf ", "", "NONE", "whiten", "latent-prf", "zca\n"}) {
    EXPECT_FALSE(parse_mode(bad, 1.0f, 0.0f, 2)) << '"' << bad << '"';
  }
  // Parameters are taken without limits and printed in the debug form.
  auto prf = parse_mode("prf", 1.0f, -0.0f, 0);
  EXPECT_EQ(prf->debug(), "LatentPrfStrategy { alpha: 1.0, beta: -0.0, k_prime: 0 }");
  EXPECT_EQ(parse_mode("latent_prf", 1e-5f, 123456792.0f, UINT64_MAX)->debug(),
            "LatentPrfStrategy { alpha: 1e-5, beta: 123456790.0, k_prime: 18446744073709551615 }");
  EXPECT_EQ(LatentPrfStrategy(1, 2.5e20f, 0.0001f).debug(),
            "LatentPrfStrategy { alpha: 2.5e20, beta: 0.0001, k_prime: 1 }");
  EXPECT_EQ(LatentPrfStrategy(1, std::nanf(""), -INF).debug(),
            "LatentPrfStrategy { alpha: NaN, beta: -inf, k_prime: 1 }");
}

TEST(RefinementTest, UnpackQueryTokensOnlyForEncodedKeysOfTheDimension) {
  const Rows rows = {{1, 2, 3, 4}, {5, 6, 7, 8}};
  const auto key = encode_per_token_key(rows);
  EXPECT_EQ(unpack_query_tokens(key, 4), rows);
  EXPECT_FALSE(unpack_query_tokens(key, 2));
  EXPECT_FALSE(unpack_query_tokens(std::vector<float>{1, 2, 3, 4}, 4));
  std::vector<float> invalid = key;
  invalid.push_back(0.0f);
  EXPECT_FALSE(unpack_query_tokens(invalid, 4));
}

// ---- Statistics ----

TEST(RefinementTest, CovarianceMatchesScalarReferenceAndIsSymmetric) {
  Corpus corpus;
  PerTokenIndex idx = lazy();
  corpus.add(idx, 1, 0, corpus.make_rows(1));
  EXPECT_FALSE(covariance(idx.stats()));  // one row
  corpus.add(idx, 2, 0, corpus.make_rows(6));
  const auto cov = covariance(idx.stats());
  ASSERT_TRUE(cov);
  const auto want = ref_covariance(corpus.inserted);
  ASSERT_EQ(cov->size(), want.size());
  for (size_t i = 0; i < D; ++i) {
    for (size_t j = 0; j < D; ++j) {
      EXPECT_EQ(bits((*cov)[i * D + j]), bits(want[i * D + j]));
      EXPECT_EQ(bits((*cov)[i * D + j]), bits((*cov)[j * D + i]));
    }
  }
  RunningStats malformed = idx.stats();
  malformed.outer.pop_back();
  EXPECT_FALSE(covariance(malformed));
}

TEST(RefinementTest, WhiteningMatrixFormedInOrderAndCached) {
  Corpus corpus;
  PerTokenIndex idx = lazy();
  EXPECT_FALSE(whitening_matrix(idx));
  fill(corpus, idx);
  const auto w = whitening_matrix(idx);
  ASSERT_TRUE(w);
  ASSERT_EQ(w->size(), D * D);

  // The same decomposition, formed here term by term.
  const auto cov = ref_covariance(corpus.inserted);
  Eigen::MatrixXd m(D, D);
  for (size_t i = 0; i < D; ++i)
    for (size_t j = 0; j < D; ++j) m(i, j) = cov[i * D + j];
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
  // It whitens: W C W is the identity (the covariance has full rank here).
  for (size_t i = 0; i < D; ++i) {
    for (size_t j = 0; j < D; ++j) {
      double s = 0;
      for (size_t a = 0; a < D; ++a)
        for (size_t b = 0; b < D; ++b) s += double((*w)[i * D + a]) * cov[a * D + b] * (*w)[b * D + j];
      EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-3);
    }
  }
  EXPECT_EQ(idx.stats().whitening, w);
  EXPECT_EQ(idx.stats().whitening_count, idx.stats().count);

  // Served from the cache while no row is added...
  const std::vector<float> marker(D * D, 0.25f);
  idx.cache_whitening(marker);
  EXPECT_EQ(whitening_matrix(idx), marker);
  // ...and recomputed once one is.
  corpus.add(idx, 50, 0, corpus.make_rows(1));
  const auto fresh = whitening_matrix(idx);
  ASSERT_TRUE(fresh);
  EXPECT_NE(*fresh, marker);
  EXPECT_EQ(idx.stats().whitening, fresh);
  EXPECT_EQ(idx.stats().whitening_count, corpus.inserted.size());
}

// ---- Rescoring ----

TEST(RefinementTest, CenteredAndWhitenedMatchScalarReference) {
  for (bool with_fetcher : {true, false}) {
    Filled filled(with_fetcher);
    Corpus& corpus = filled.corpus;
    PerTokenIndex& idx = filled.idx;
    const KeyFetcher* fetch = filled.fetch;
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

TEST(RefinementTest, WhitenedIsCenteredWithoutAWhiteningMatrix) {
  Corpus corpus;
  PerTokenIndex idx = lazy();
  FnKeyFetcher f = corpus.fetcher();
  const Rows q = corpus.make_rows(2);
  const auto query = encode_per_token_key(q);
  const auto pool = pool_of({UNKNOWN, 1});

  // No statistics at all: unchanged by both.
  expect_same(WhiteningStrategy().refine(idx, query, pool, 1, std::nullopt, &f), pool);

  corpus.add(idx, 1, 0, corpus.make_rows(1));  // one row: no covariance
  const auto whitened = WhiteningStrategy().refine(idx, query, pool, 10, std::nullopt, &f);
  expect_same(whitened, MeanCenteredStrategy().refine(idx, query, pool, 10, std::nullopt, &f));
  expect_same(whitened, ref_rescore(corpus, q, pool, 10, nullptr));
  EXPECT_FALSE(idx.stats().whitening);

  // With an identity matrix cached for the current count, too.
  corpus.add(idx, 2, 0, corpus.make_rows(3));
  std::vector<float> identity(D * D, 0.0f);
  for (size_t i = 0; i < D; ++i) identity[i * D + i] = 1.0f;
  idx.cache_whitening(identity);
  const auto pool2 = pool_of({2, UNKNOWN, 1});
  expect_same(WhiteningStrategy().refine(idx, query, pool2, 10, std::nullopt, &f),
              MeanCenteredStrategy().refine(idx, query, pool2, 10, std::nullopt, &f));
}

TEST(RefinementTest, PoolUnchangedWithoutAnEncodedQueryOfTheStatisticsDimension) {
  Corpus corpus;
  PerTokenIndex idx = lazy();
  fill(corpus, idx);
  FnKeyFetcher f = corpus.fetcher();
  // More than pool_k candidates, out of score order: nothing may sort or cut them.
  std::vector<Candidate> pool = pool_of({4, 9, 2, 11});
  pool[1].score = 3.0f;
  const std::vector<float> single = corpus.make_rows(1)[0];
  const auto wrong_dim = encode_per_token_key(corpus.make_rows(2, D / 2));
  for (const char* mode : {"none", "centered", "whitened", "prf"}) {
    SCOPED_TRACE(mode);
    auto s = parse_mode(mode, std::nullopt, std::nullopt, std::nullopt);
    expect_same(s->refine(idx, single, pool, 2, std::nullopt, &f), pool);
    expect_same(s->refine(idx, wrong_dim, pool, 2, std::nullopt, &f), pool);
    expect_same(s->refine(idx, encode_per_token_key(corpus.make_rows(2)), {}, 2, std::nullopt, &f),
                {});
  }

  // Keys of a new dimension reset the statistics while the index keeps the
  // first one: a query of the first dimension no longer fits the statistics.
  corpus.add(idx, 30, 0, corpus.make_rows(3, D / 2));
  ASSERT_EQ(idx.stats().dim(), D / 2);
  const auto first_dim = encode_per_token_key(corpus.make_rows(2));
  expect_same(MeanCenteredStrategy().refine(idx, first_dim, pool, 2, std::nullopt, &f), pool);
  expect_same(WhiteningStrategy().refine(idx, first_dim, pool, 2, std::nullopt, &f), pool);
}

// ---- Pseudo-relevance feedback ----

TEST(RefinementTest, PrfWithAlphaOneBetaZeroIsTheIndexSearch) {
  for (bool with_fetcher : {true, false}) {
    Filled filled(with_fetcher);
    Corpus& corpus = filled.corpus;
    PerTokenIndex& idx = filled.idx;
    const KeyFetcher* fetch = filled.fetch;
    const auto query = encode_per_token_key(corpus.make_rows(2));
    const auto pool = pool_of({UNKNOWN, 5, 6});
    for (std::optional<uint64_t> owner : {std::optional<uint64_t>{}, std::optional<uint64_t>{20}}) {
      const auto own = idx.search_cascade(query, 6, owner, nullptr, fetch);
      ASSERT_FALSE(own.empty());
      expect_same(LatentPrfStrategy(2, 1.0f, 0.0f).refine(idx, query, pool, 6, owner, fetch), own);
    }
  }
}

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
