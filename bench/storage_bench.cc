// Q4 codec throughput and synced appends of the block pool.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/platform.h"
#include "storage/block_pool.h"
#include "storage/quantization.h"

namespace qvn {
namespace {

// A scratch directory for one benchmark run, removed afterwards.
struct ScratchDir {
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qvn-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) path = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

std::vector<float> random_vector(size_t n) {
  std::mt19937 rng(42);
  std::normal_distribution<float> d(0.0f, 1.0f);
  std::vector<float> v(n);
  for (float& f : v) f = d(rng);
  return v;
}

void BM_Q4Encode(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  std::vector<float> x = random_vector(n);
  Q4Vector q;
  q.scales.resize(q4_group_count(n));
  q.bytes.resize(q.scales.size() * Q4_GROUP_BYTES);
  for (auto _ : state) {
    q4_encode_into(x.data(), n, q.scales.data(), q.bytes.data());
    benchmark::DoNotOptimize(q.bytes.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n * sizeof(float)));
}
BENCHMARK(BM_Q4Encode)->Arg(128)->Arg(4096);

void BM_Q4Decode(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  Q4Vector q = q4_encode(random_vector(n));
  std::vector<float> out(n);
  for (auto _ : state) {
    q4_decode_into(q.scales.data(), q.bytes.data(), n, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n * sizeof(float)));
}
BENCHMARK(BM_Q4Decode)->Arg(128)->Arg(4096);

Cell bench_cell(CellId id) {
  static const std::vector<float> key = random_vector(128);
  Cell c;
  c.cell_id = id;
  c.key = key;
  c.value = key;
  c.created_at_ns = c.stamp_ns = id;
  return c;
}

// Cells per iteration: 1 for single appends, else one batch of that size.
void BM_AppendSynced(benchmark::State& state) {
  size_t batch = static_cast<size_t>(state.range(0));
  ScratchDir dir;
  auto pool = BlockPool::open(dir.path, 256ull << 20);
  if (!pool.ok()) {
    state.SkipWithError(pool.error().to_string().c_str());
    return;
  }
  CellId next = 0;
  std::vector<Cell> cells;
  for (auto _ : state) {
    state.PauseTiming();
    cells.clear();
    for (size_t i = 0; i < batch; ++i) cells.push_back(bench_cell(next++));
    state.ResumeTiming();
    bool ok = batch == 1 ? pool->append_cell(cells[0]).ok() : pool->append_cells(cells).ok();
    if (!ok) state.SkipWithError("append failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
}
BENCHMARK(BM_AppendSynced)->Arg(1)->Arg(32)->UseRealTime();

void BM_ReadCell(benchmark::State& state) {
  ScratchDir dir;
  auto pool = BlockPool::open(dir.path, 256ull << 20);
  std::vector<Cell> cells;
  for (CellId id = 0; id < 1024; ++id) cells.push_back(bench_cell(id));
  if (!pool.ok() || !pool->append_cells(cells).ok()) {
    state.SkipWithError("setup failed");
    return;
  }
  CellId id = 0;
  for (auto _ : state) {
    auto c = pool->read_cell(id++ % 1024);
    benchmark::DoNotOptimize(c);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ReadCell)->UseRealTime();

}  // namespace
}  // namespace qvn
