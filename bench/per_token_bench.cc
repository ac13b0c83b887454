// Per-token fetcher search over stored keys of 32 tokens x 128 dims with a
// 32-token query and k = 10 (pre-selection keeps 640 ids above 512 stored).
// "warm": the int8 tier holds every key. "small_tier": the tier holds 64
// keys, so nearly every scored id is read back through the fetcher (an
// in-memory map here, so the figure excludes real storage reads).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "retrieval/key_view.h"
#include "retrieval/per_token.h"
#include "retrieval/per_token_kernels.h"

namespace qvn {
namespace {

constexpr size_t TOKENS = 32;
constexpr size_t DIM = 128;
constexpr uint64_t K = 10;

struct XorShift {
  uint64_t s;
  float next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<float>(static_cast<int64_t>(s >> 40) - (1 << 23)) / static_cast<float>(1 << 23);
  }
};

std::vector<float> make_key(uint64_t seed) {
  XorShift rng{seed * 0x9E3779B97F4A7C15ull + 1};
  std::vector<std::vector<float>> rows(TOKENS, std::vector<float>(DIM));
  for (auto& r : rows)
    for (float& x : r) x = rng.next();
  return encode_per_token_key(rows);
}

struct Corpus {
  std::vector<std::vector<float>> keys;
  std::unique_ptr<PerTokenIndex> warm;
  std::unique_ptr<PerTokenIndex> small_tier;
};

Corpus& corpus(size_t n) {
  static std::map<size_t, std::unique_ptr<Corpus>> all;
  auto& slot = all[n];
  if (!slot) {
    all.clear();  // one corpus in memory at a time
    auto c = std::make_unique<Corpus>();
    c->warm = std::make_unique<PerTokenIndex>(true, PerTokenConfig{}, 512, n, false);
    c->small_tier = std::make_unique<PerTokenIndex>(true, PerTokenConfig{}, 512, 64, false);
    for (uint64_t id = 0; id < n; ++id) {
      c->keys.push_back(make_key(id));
      c->warm->insert(id, 0, c->keys.back());
      c->small_tier->insert(id, 0, c->keys.back());
    }
    all[n] = std::move(c);
  }
  return *all[n];
}

void run(benchmark::State& state, bool warm) {
  const size_t n = static_cast<size_t>(state.range(0));
  Corpus& c = corpus(n);
  PerTokenIndex& idx = warm ? *c.warm : *c.small_tier;
  FnKeyFetcher fetch([&c](uint64_t id) -> std::optional<std::vector<float>> {
    if (id >= c.keys.size()) return std::nullopt;
    return c.keys[id];
  });
  std::vector<std::vector<float>> queries;
  for (uint64_t q = 0; q < 8; ++q) queries.push_back(make_key(1'000'000 + q));
  idx.search_cascade(queries[0], K, std::nullopt, nullptr, &fetch);  // warm the caches
  size_t i = 0;
  uint64_t scored = 0;
  for (auto _ : state) {
    auto out = idx.search_cascade(queries[i++ % queries.size()], K, std::nullopt, nullptr, &fetch);
    benchmark::DoNotOptimize(out.data());
    scored += idx.last_scored();
  }
  // One multiply and one add per element of every token pair.
  const double flops = 2.0 * static_cast<double>(scored) * TOKENS * TOKENS * DIM;
  state.counters["ids_scored"] = benchmark::Counter(static_cast<double>(scored) / state.iterations());
  state.counters["GFLOP/s"] = benchmark::Counter(flops / 1e9, benchmark::Counter::kIsRate);
}

void BM_PerTokenFetcherSearchWarm(benchmark::State& state) { run(state, true); }
void BM_PerTokenFetcherSearchSmallTier(benchmark::State& state) { run(state, false); }

// The pair-dot kernel alone on one cached 32 x 128 matrix: the arithmetic
// ceiling the searches above are measured against.
void BM_TokenRowDotsKernel(benchmark::State& state) {
  std::vector<float> q = make_key(1), m = make_key(2);
  auto qt = kernels::transpose_tokens(q.data() + 64, TOKENS, DIM, DIM);
  std::vector<float> dots(TOKENS * qt.lanes);
  for (auto _ : state) {
    kernels::token_row_dots(qt, m.data() + 64, TOKENS, DIM, dots.data());
    benchmark::DoNotOptimize(dots.data());
  }
  state.counters["GFLOP/s"] = benchmark::Counter(2.0 * TOKENS * TOKENS * DIM * state.iterations() / 1e9,
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TokenRowDotsKernel);

BENCHMARK(BM_PerTokenFetcherSearchWarm)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerTokenFetcherSearchSmallTier)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qvn
