// Vamana graph build (quadratic, exhaustive) and beam search on random
// 128-dimensional data, with recall@10 of the beam search against exact
// search on the same data.
//   Build            VamanaIndex::rebuild with every core
//   BuildThreads     the neighbour lists at 10k and 80k nodes on 1, 2, 4 and
//                    8 threads (the same lists on each)
//   BuildScalarKernel  the portable kernel, single thread
//
//   build/dev/bench/vamana_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <unordered_set>

#include "index/vamana/vamana.h"
#include "index/vamana/vamana_build.h"
#include "retrieval/simd_distance.h"

namespace qvn {
namespace {

constexpr size_t DIM = 128;
constexpr uint64_t R = 16;  // what the engine uses
constexpr size_t K = 10;
constexpr size_t RECALL_QUERIES = 200;

std::vector<std::vector<float>> random_vectors(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> v(n, std::vector<float>(DIM));
  for (auto& row : v) {
    for (float& x : row) x = normal(rng);
  }
  return v;
}

const std::vector<std::vector<float>>& data(size_t n) {
  static std::map<size_t, std::vector<std::vector<float>>> cache;
  auto it = cache.find(n);
  if (it == cache.end()) it = cache.emplace(n, random_vectors(n, 42)).first;
  return it->second;
}

std::unique_ptr<VamanaIndex> build(size_t n) {
  auto idx = std::make_unique<VamanaIndex>(DIM, R, 1.2f);
  const auto& v = data(n);
  for (size_t i = 0; i < n; ++i) idx->add_node(i, v[i]);
  idx->rebuild();
  return idx;
}

// One build per size, shared by the search benchmarks.
std::map<size_t, std::unique_ptr<VamanaIndex>>& graphs() {
  static std::map<size_t, std::unique_ptr<VamanaIndex>> g;
  return g;
}

void BM_Build(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  data(n);
  for (auto _ : state) graphs()[n] = build(n);
  state.counters["nodes"] = static_cast<double>(n);
  state.counters["pairs/s"] =
      benchmark::Counter(static_cast<double>(n) * static_cast<double>(n - 1) / 2, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Build)->Arg(10000)->Arg(80000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_BuildThreads(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const size_t threads = static_cast<size_t>(state.range(1));
  const auto& v = data(n);
  std::vector<std::span<const float>> spans(v.begin(), v.end());
  for (auto _ : state) {
    benchmark::DoNotOptimize(vamana_build::exhaustive_neighbours(spans, R, vamana_build::best_kernel(), threads));
  }
  state.counters["pairs/s"] =
      benchmark::Counter(static_cast<double>(n) * static_cast<double>(n - 1) / 2, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BuildThreads)
    ->ArgsProduct({{10000, 80000}, {1, 2, 4, 8}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// The same neighbour lists with the portable kernel, for the dispatch gain.
void BM_BuildScalarKernel(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto& v = data(n);
  std::vector<std::span<const float>> spans(v.begin(), v.end());
  for (auto _ : state) {
    benchmark::DoNotOptimize(vamana_build::exhaustive_neighbours(spans, R, vamana_build::Kernel::Scalar, 1));
  }
}
BENCHMARK(BM_BuildScalarKernel)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

std::vector<uint64_t> exact_top(const std::vector<std::vector<float>>& v, const std::vector<float>& q) {
  std::vector<std::pair<uint64_t, float>> scored;
  scored.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) scored.emplace_back(i, dot_f32(q.data(), v[i].data(), DIM));
  stable_sort_desc(scored, [](const auto& p) { return p.second; });
  std::vector<uint64_t> out;
  for (size_t t = 0; t < K; ++t) out.push_back(scored[t].first);
  return out;
}

void BM_Search(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  auto& g = graphs()[n];
  if (!g) g = build(n);
  const auto queries = random_vectors(RECALL_QUERIES, 7);
  size_t q = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(g->search(queries[q], K, std::nullopt));
    q = (q + 1) % queries.size();
  }
  double hits = 0;
  for (const auto& query : queries) {
    const auto want = exact_top(data(n), query);
    const std::unordered_set<uint64_t> truth(want.begin(), want.end());
    for (const Candidate& c : g->search(query, K, std::nullopt)) hits += truth.count(c.id);
  }
  state.counters["recall@10"] = hits / static_cast<double>(K * queries.size());
}
BENCHMARK(BM_Search)->Arg(10000)->Arg(80000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qvn
