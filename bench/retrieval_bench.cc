// SLB search at 4096 x 128 and flat search at 100k x 128, k = 10, with the
// bare kernels alongside so the stage overhead can be read off.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "retrieval/flat_index.h"
#include "retrieval/simd_distance.h"
#include "retrieval/slb.h"

namespace qvn {
namespace {

constexpr size_t kDim = 128;

std::vector<float> random_vector(std::mt19937& rng) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> v(kDim);
  for (float& x : v) x = g(rng);
  return v;
}

void BM_SlbSearch(benchmark::State& state) {
  std::mt19937 rng(1);
  SLB slb(4096, kDim);
  for (uint64_t id = 0; id < 4096; ++id) slb.upsert(id, 0, random_vector(rng));
  const auto q = random_vector(rng);
  for (auto _ : state) benchmark::DoNotOptimize(slb.search(q, 10));
  state.SetItemsProcessed(state.iterations() * 4096);
  state.SetBytesProcessed(state.iterations() * 4096 * kDim);
}
BENCHMARK(BM_SlbSearch);

void BM_FlatSearch(benchmark::State& state) {
  std::mt19937 rng(2);
  const size_t n = static_cast<size_t>(state.range(0));
  FlatIndex index;
  for (uint64_t id = 0; id < n; ++id) index.insert(id, id % 4, random_vector(rng));
  const auto q = random_vector(rng);
  for (auto _ : state) benchmark::DoNotOptimize(index.search(q, 10, std::nullopt));
  state.SetItemsProcessed(state.iterations() * n);
  state.SetBytesProcessed(state.iterations() * n * kDim * sizeof(float));
}
BENCHMARK(BM_FlatSearch)->Arg(100000)->Unit(benchmark::kMicrosecond);

template <bool kScalar>
void BM_DotRows(benchmark::State& state) {
  std::mt19937 rng(3);
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<float> rows;
  for (size_t r = 0; r < n; ++r) {
    auto v = random_vector(rng);
    rows.insert(rows.end(), v.begin(), v.end());
  }
  const auto q = random_vector(rng);
  std::vector<float> out(n);
  for (auto _ : state) {
    if (kScalar) {
      scalar::dot_f32_rows(q.data(), rows.data(), kDim, n, kDim, out.data());
    } else {
      dot_f32_rows(q.data(), rows.data(), kDim, n, kDim, out.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.SetBytesProcessed(state.iterations() * n * kDim * sizeof(float));
}
BENCHMARK(BM_DotRows<false>)->Arg(4096)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DotRows<true>)->Arg(4096)->Arg(100000)->Unit(benchmark::kMicrosecond);

template <bool kScalar>
void BM_DotI8(benchmark::State& state) {
  std::vector<int8_t> a(kDim, 3), b(kDim, -5);
  for (auto _ : state) {
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(kScalar ? scalar::dot_i8(a.data(), b.data(), kDim)
                                     : dot_i8(a.data(), b.data(), kDim));
  }
  state.SetBytesProcessed(state.iterations() * kDim);
}
BENCHMARK(BM_DotI8<false>);
BENCHMARK(BM_DotI8<true>);

}  // namespace
}  // namespace qvn
