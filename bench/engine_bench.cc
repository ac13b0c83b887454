// Pack reads (k = 10) at 1k and 10k packs of 32 layers x 8192 floats, split
// into candidate search and layer read-back from the outside:
//   ReadPack   mem_read_pack: candidate search + read-back of the 10 packs
//   LoadPacks  load_pack_by_id of the same 10 packs: read-back alone
//   ReadCells  mem_read: candidate search + reading only the hit cells
// Candidate search ~= ReadPack - LoadPacks. Arg 0 is the key kind (0: single
// 128-float vectors, 1: 32-token encoded keys; queries of the same kind), arg
// 1 the pack count. Engines are built once per (kind, count) under
// $QVN_BENCH_DIR (default /work/bench-tmp) and removed at exit.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "retrieval/key_view.h"

namespace qvn {
namespace {

constexpr size_t kDim = 128;
constexpr size_t kTokens = 32;
constexpr uint16_t kLayers = 32;
constexpr size_t kLayerFloats = 2 * 4096;
constexpr uint64_t kK = 10;
constexpr size_t kQueries = 64;

std::vector<float> normals(std::mt19937& rng, size_t n) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = g(rng);
  return v;
}

// Single vector (kind 0) or 32-token encoded key (kind 1) of pack i.
std::vector<float> pack_key(int kind, uint64_t i) {
  std::mt19937 rng(static_cast<uint32_t>(i * 2 + static_cast<uint64_t>(kind)));
  if (kind == 0) return normals(rng, kDim);
  return encode_token_matrix(normals(rng, kTokens * kDim), kTokens, kDim);
}

std::vector<float> noisy_query(int kind, uint64_t i, std::mt19937& rng) {
  std::mt19937 key_rng(static_cast<uint32_t>(i * 2 + static_cast<uint64_t>(kind)));
  std::vector<float> rows = normals(key_rng, kind == 0 ? kDim : kTokens * kDim);
  std::normal_distribution<float> g(0.0f, 0.3f);
  for (float& x : rows) x += g(rng);
  return kind == 0 ? rows : encode_token_matrix(rows, kTokens, kDim);
}

struct Fixture {
  std::string dir;
  std::unique_ptr<Engine> engine;
  std::vector<std::vector<float>> queries;
  std::vector<std::vector<PackId>> hits;  // mem_read_pack result of each query
};

std::string bench_root() {
  const char* d = std::getenv("QVN_BENCH_DIR");
  return d ? d : "/work/bench-tmp";
}

struct Fixtures {
  std::map<std::pair<int, uint64_t>, Fixture> by_key;
  ~Fixtures() {
    for (auto& [key, f] : by_key) {
      f.engine.reset();
      std::filesystem::remove_all(f.dir);
    }
  }
};

Fixtures& fixtures() {
  static Fixtures all;
  return all;
}

Fixture& fixture(int kind, uint64_t n) {
  auto& all = fixtures().by_key;
  if (auto it = all.find({kind, n}); it != all.end()) return it->second;
  Fixture f;
  f.dir = bench_root() + "/engine_bench-" + std::to_string(kind) + "-" + std::to_string(n) + "-" +
          std::to_string(::getpid());
  std::filesystem::remove_all(f.dir);
  std::filesystem::create_directories(bench_root());
  {
    // The write buffer batches the syncs; the reading engine reopens the
    // directory so it starts from what a fresh process would see.
    auto writer = Engine::open_with_write_buffer(f.dir, 256, 0);
    if (!writer.ok()) std::abort();
    std::mt19937 rng(11);
    std::vector<std::vector<float>> layer_pool;
    for (int i = 0; i < 8; ++i) layer_pool.push_back(normals(rng, kLayerFloats));
    for (uint64_t i = 0; i < n; ++i) {
      PackWriteRequest req;
      req.owner = 1;
      req.retrieval_key = pack_key(kind, i);
      req.salience = 50.0f;
      for (uint16_t l = 0; l < kLayers; ++l) {
        req.layers.push_back(LayerPayload{l, layer_pool[(i + l) % layer_pool.size()]});
      }
      if (!writer->mem_write_pack(std::move(req)).ok()) std::abort();
    }
    if (!writer->flush().ok()) std::abort();
  }
  auto opened = Engine::open(f.dir, DEFAULT_VAMANA_THRESHOLD, std::nullopt);
  if (!opened.ok()) std::abort();
  f.engine = std::make_unique<Engine>(std::move(*opened));
  std::mt19937 rng(5);
  std::uniform_int_distribution<uint64_t> pick(0, n - 1);
  for (size_t q = 0; q < kQueries; ++q) {
    f.queries.push_back(noisy_query(kind, pick(rng), rng));
    auto r = f.engine->mem_read_pack(f.queries.back(), kK, std::nullopt);
    if (!r.ok()) std::abort();
    std::vector<PackId> ids;
    for (const PackHit& h : *r) ids.push_back(h.pack_id);
    f.hits.push_back(std::move(ids));
  }
  return all.emplace(std::make_pair(kind, n), std::move(f)).first->second;
}

void label(benchmark::State& state, const Fixture& f) {
  state.counters["vamana"] = f.engine->has_vamana() ? 1 : 0;
  state.SetLabel(state.range(0) == 0 ? "single-vector" : "32-token");
}

void BM_ReadPack(benchmark::State& state) {
  Fixture& f = fixture(static_cast<int>(state.range(0)), static_cast<uint64_t>(state.range(1)));
  size_t q = 0;
  for (auto _ : state) {
    auto r = f.engine->mem_read_pack(f.queries[q++ % kQueries], kK, std::nullopt);
    benchmark::DoNotOptimize(r);
  }
  label(state, f);
}

void BM_LoadPacks(benchmark::State& state) {
  Fixture& f = fixture(static_cast<int>(state.range(0)), static_cast<uint64_t>(state.range(1)));
  size_t q = 0;
  for (auto _ : state) {
    for (PackId id : f.hits[q++ % kQueries]) {
      auto r = f.engine->load_pack_by_id(id);
      benchmark::DoNotOptimize(r);
    }
  }
  label(state, f);
}

void BM_ReadCells(benchmark::State& state) {
  Fixture& f = fixture(static_cast<int>(state.range(0)), static_cast<uint64_t>(state.range(1)));
  size_t q = 0;
  for (auto _ : state) {
    auto r = f.engine->mem_read(f.queries[q++ % kQueries], kK, std::nullopt);
    benchmark::DoNotOptimize(r);
  }
  label(state, f);
}

// Registration order is run order: mem_read feeds the SLB, which then answers
// single-vector pack reads ahead of the pipeline, so cell reads run last.
void sizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"kind", "packs"})->Unit(benchmark::kMicrosecond);
  for (int kind : {0, 1}) {
    for (int64_t n : {1000, 10000}) b->Args({kind, n});
  }
}
BENCHMARK(BM_ReadPack)->Apply(sizes);
BENCHMARK(BM_LoadPacks)->Apply(sizes);
BENCHMARK(BM_ReadCells)->Apply(sizes);

}  // namespace
}  // namespace qvn
