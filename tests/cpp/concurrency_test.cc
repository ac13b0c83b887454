// Several threads share one engine through its mutex while the maintenance
// thread sweeps and compacts at tiny intervals. Built with -fsanitize=thread
// by tests/run_tsan.sh; in the ordinary build it checks that nothing a thread
// wrote and kept is lost to the interleaving.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "engine/engine.h"
#include "engine/maintenance.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 40;
constexpr float kCore = 90.0f;   // never evicted by the sweeps
constexpr float kDraft = 0.0f;   // importance 5: every sweep may evict it

// 32 integers in -7..7 with a 7 in the group: the 4-bit codec keeps them exactly.
std::vector<float> exact(int shift) {
  std::vector<float> v(32);
  for (int i = 0; i < 32; ++i) v[i] = static_cast<float>(((i + shift) % 15) - 7);
  return v;
}

std::vector<float> key(int t, int i) {
  std::vector<float> v(16, 0.0f);
  v[(t * 5 + i) % 16] = 1.0f;
  v[(i * 3) % 16] += 0.5f;
  return v;
}

PackWriteRequest request(OwnerId owner, int t, int i, float salience) {
  return {owner, key(t, i), {{0, exact(t + i)}, {1, exact(t + i + 1)}}, salience,
          "t" + std::to_string(t) + "-" + std::to_string(i)};
}

void expect_pack(Engine& e, PackId id, const std::string& text, int shift) {
  auto hit = e.load_pack_by_id(id);
  ASSERT_TRUE(hit.ok()) << id << ": " << hit.error().to_string();
  EXPECT_EQ(hit->text, text);
  ASSERT_EQ(hit->layers.size(), 2u);
  EXPECT_EQ(hit->layers[0].data.to_vector(), exact(shift));
  EXPECT_EQ(hit->layers[1].data.to_vector(), exact(shift + 1));
}

struct Kept {
  std::string text;
  int shift;
};

// Returns the packs the thread wrote and did not delete.
std::map<PackId, Kept> work(const EngineHandle& engine, int t) {
  std::map<PackId, Kept> kept;
  const OwnerId owner = static_cast<OwnerId>(t + 1);
  std::optional<CellId> parent;
  PackId previous = 0;
  for (int i = 0; i < kRounds; ++i) {
    auto guard = engine->lock();
    if (!guard) {
      ADD_FAILURE() << "engine lock poisoned";
      return kept;
    }
    Engine& e = **guard;
    auto req = request(owner, t, i, kCore);
    std::string text = *req.text;
    auto id = e.mem_write_pack(std::move(req));
    EXPECT_TRUE(id.ok());
    if (!id.ok()) continue;
    kept[*id] = {text, t + i};

    auto cell = e.mem_write(owner, 7, key(t, i + 100), exact(i), 50.0f, parent);
    EXPECT_TRUE(cell.ok());
    if (cell.ok()) parent = *cell;

    if (i % 3 == 0) {
      EXPECT_TRUE(e.mem_write_pack(request(owner, t, i + 50, kDraft)).ok());
    }
    if (previous != 0 && kept.count(previous)) {
      EXPECT_TRUE(e.add_pack_edge(previous, *id, 1).ok());
    }
    previous = *id;

    EXPECT_TRUE(e.mem_read_pack(key(t, i), 3, owner).ok());
    EXPECT_TRUE(e.mem_read(key(t, i), 3, std::nullopt).ok());

    auto first = kept.begin();
    expect_pack(e, first->first, first->second.text, first->second.shift);
    if (i % 5 == 4) {
      EXPECT_TRUE(e.delete_pack(first->first).ok());
      kept.erase(first);
    }
    if (i % 7 == 6) {
      std::string t2 = text + "+";
      EXPECT_TRUE(e.set_pack_texts({{*id, t2}}).ok());
      kept[*id].text = t2;
    }
    if (i % 11 == 10) {
      EXPECT_TRUE(e.compact().ok());
    }
    EXPECT_EQ(e.status().pack_count, e.list_packs(std::nullopt).size());
  }
  return kept;
}

TEST(ConcurrencyTest, ThreadsAndMaintenanceShareOneEngine) {
  test::TempDir dir;
  std::string path = dir.file("db");
  auto opened = Engine::open(path, DEFAULT_VAMANA_THRESHOLD, 4096);
  ASSERT_TRUE(opened.ok()) << opened.error().to_string();
  auto engine = std::make_shared<PoisonableMutex<Engine>>(std::move(opened).value());

  MaintenanceConfig cfg;
  cfg.sweep_interval = std::chrono::milliseconds(1);
  cfg.compaction_interval = std::chrono::milliseconds(2);
  cfg.eviction_threshold = 15.0f;
  cfg.hours_per_tick = 0.001f;  // thousands of sweeps must not age Core packs into Drafts
  MaintenanceHandle maintenance(cfg);
  ASSERT_TRUE(maintenance.start(engine).ok());

  std::vector<std::map<PackId, Kept>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { kept[t] = work(engine, t); });
  }
  // Status and stats readers race the writers and the maintenance thread.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      (void)maintenance.status();
      if (auto g = engine->lock()) (void)(*g)->status();
      std::this_thread::yield();
    }
  });
  for (auto& th : threads) th.join();

  // Both steps must have run at least once next to the writers; the bound
  // only keeps a broken loop from hanging the test.
  for (int spin = 0; spin < 10000; ++spin) {
    auto s = maintenance.status();
    if (s.sweep_count > 0 && s.compaction_count > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done = true;
  reader.join();
  maintenance.stop();
  EXPECT_GT(maintenance.status().sweep_count, 0u);
  EXPECT_GT(maintenance.status().compaction_count, 0u);

  std::set<PackId> expected;
  {
    auto guard = engine->lock();
    ASSERT_TRUE(guard.has_value());
    Engine& e = **guard;
    for (int t = 0; t < kThreads; ++t) {
      for (auto& [id, k] : kept[t]) {
        expected.insert(id);
        expect_pack(e, id, k.text, k.shift);
      }
    }
    auto listed = e.list_packs(std::nullopt);
    // Draft packs the sweeps have not reached yet may still be listed; every
    // Core pack a thread kept must be.
    std::set<PackId> core;
    for (auto& p : listed) {
      EXPECT_TRUE(e.load_pack_by_id(p.pack_id).ok());
      if (p.tier == static_cast<uint8_t>(Tier::Core)) core.insert(p.pack_id);
    }
    EXPECT_EQ(core, expected);
  }
  engine.reset();

  auto again = Engine::open(path, DEFAULT_VAMANA_THRESHOLD, 4096);
  ASSERT_TRUE(again.ok()) << again.error().to_string();
  for (int t = 0; t < kThreads; ++t) {
    for (auto& [id, k] : kept[t]) expect_pack(*again, id, k.text, k.shift);
  }
}

}  // namespace
}  // namespace qvn
