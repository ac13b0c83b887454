// Durable pack writes (32 layers x 8192 floats, 128-float key) against their
// floor, a raw write + full sync of the same bytes through the platform layer,
// in the same process and directory:
//   WritePack        Engine::mem_write_pack, one pack per iteration; its CPU
//                    column is the thread's CPU time per pack (the wait for
//                    the device is not CPU time)
//   WriteSyncFloor   one append of the bytes a pack takes, then a full sync
// Each run uses a fresh directory under $QVN_BENCH_DIR (default
// /work/bench-tmp), removed afterwards.
//
//   build/.../bench/write_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/platform.h"
#include "engine/engine.h"

namespace qvn {
namespace {

constexpr size_t kDim = 128;
constexpr uint16_t kLayers = 32;
constexpr size_t kLayerFloats = 2 * 4096;

struct ScratchDir {
  ScratchDir() {
    const char* root = std::getenv("QVN_BENCH_DIR");
    std::filesystem::path base = root ? root : "/work/bench-tmp";
    std::filesystem::create_directories(base);
    std::string tmpl = (base / "qvn-write-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) path = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

std::vector<float> normals(std::mt19937& rng, size_t n) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = g(rng);
  return v;
}

// Eight distinct layer arrays reused across packs, as bench/e2e.py does.
PackWriteRequest pack_request(uint64_t i) {
  static const std::vector<std::vector<float>> pool = [] {
    std::mt19937 rng(7);
    std::vector<std::vector<float>> p;
    for (int j = 0; j < 8; ++j) p.push_back(normals(rng, kLayerFloats));
    return p;
  }();
  std::mt19937 rng(static_cast<uint32_t>(i));
  PackWriteRequest r;
  r.owner = 1;
  r.retrieval_key = normals(rng, kDim);
  for (uint16_t l = 0; l < kLayers; ++l) r.layers.push_back({l, pool[(i + l) % pool.size()]});
  r.salience = 50.0f;
  return r;
}

void BM_WritePack(benchmark::State& state) {
  ScratchDir dir;
  auto engine = Engine::open(dir.path, 10000, std::nullopt);
  if (!engine.ok()) {
    state.SkipWithError(engine.error().to_string().c_str());
    return;
  }
  uint64_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    PackWriteRequest req = pack_request(i++);  // the binding's copy, not timed
    state.ResumeTiming();
    auto r = engine->mem_write_pack(std::move(req));
    if (!r.ok()) state.SkipWithError(r.error().to_string().c_str());
  }
  state.counters["packs/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

BENCHMARK(BM_WritePack)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_WriteSyncFloor(benchmark::State& state) {
  ScratchDir dir;
  // A pack's record bytes: per cell 91 fixed bytes plus 20 per 32 floats.
  const size_t key_q4 = kDim / 32 * 20, layer_q4 = kLayerFloats / 32 * 20;
  const size_t bytes = (4 + 87 + key_q4) + kLayers * (4 + 87 + key_q4 + layer_q4);
  std::vector<uint8_t> buf(bytes, 0x5A);
  auto f = platform::File::open(platform::join(dir.path, "floor"), platform::Access::Append,
                                platform::Create::IfMissing);
  if (!f.ok()) {
    state.SkipWithError("open failed");
    return;
  }
  for (auto _ : state) {
    if (!f->write_all(buf.data(), buf.size()).ok() || !f->sync().ok()) state.SkipWithError("write failed");
  }
  state.counters["packs/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WriteSyncFloor)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace qvn
