#include "engine/maintenance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/platform.h"
#include "engine/engine.h"
#include "support/engine_fixture.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using test::vec;
using test::write_pack;

int threads_named(const std::string& name) {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++n;
  }
  return n;
}

MaintenanceConfig every_second() {
  MaintenanceConfig c;
  c.sweep_interval = std::chrono::seconds(1);
  c.compaction_interval = std::chrono::seconds(3600);
  c.eviction_threshold = 15.0f;
  c.hours_per_tick = 24.0f;
  return c;
}

// Polls until `done` holds or `limit` passes; the thread runs on its own
// clock, so the test counts what it reports instead of timing it.
template <class Pred>
bool wait_for(Pred done, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// One healthy engine and one whose mutex is poisoned run side by side, so
// the whole test waits through the sweep intervals only once.
TEST(MaintenanceTest, SweepsEachIntervalAndKeepsCountersAcrossRestart) {
  test::TempDir dir;
  Engine fresh = test::open_engine(dir.file("a"));
  write_pack(fresh, 1, vec(16, 1), 0);   // 5, Draft: evicted by the first sweep
  PackId kept = write_pack(fresh, 1, vec(16, 2), 70);  // 75, Validated
  auto engine = std::make_shared<PoisonableMutex<Engine>>(std::move(fresh));
  auto broken = std::make_shared<PoisonableMutex<Engine>>(test::open_engine(dir.file("b")));
  try {
    auto guard = broken->lock();
    throw std::runtime_error("interrupted mid-update");
  } catch (const std::runtime_error&) {
  }
  ASSERT_TRUE(broken->is_poisoned());

  MaintenanceHandle h(every_second());
  MaintenanceHandle blocked(every_second());
  const uint64_t started = platform::now_unix_nanos() / 1000000000ull;
  ASSERT_TRUE(h.start(engine).ok());
  ASSERT_TRUE(h.start(engine).ok());  // already running: no second thread
  ASSERT_TRUE(blocked.start(broken).ok());
  ASSERT_TRUE(wait_for([&] { return h.status().sweep_count >= 2; }));
  EXPECT_EQ(threads_named("qvn-maintenance"), 2);
  EXPECT_TRUE(blocked.is_running());

  std::thread stopper([&] { blocked.stop(); });
  h.stop();
  stopper.join();
  EXPECT_EQ(threads_named("qvn-maintenance"), 0);
  EXPECT_EQ(blocked.status().sweep_count, 0u);

  // Stopped: the counters no longer move. One sweep per interval at most,
  // however slow the machine was.
  const MaintenanceStats s = h.status();
  const uint64_t now = platform::now_unix_nanos() / 1000000000ull;
  ASSERT_GE(s.sweep_count, 2u);
  EXPECT_LE(s.sweep_count, now - started + 1);
  EXPECT_EQ(s.total_packs_evicted, 1u);
  EXPECT_EQ(s.compaction_count, 0u);
  EXPECT_FALSE(s.last_compaction_epoch_secs.has_value());
  ASSERT_TRUE(s.last_sweep_epoch_secs.has_value());
  EXPECT_GE(*s.last_sweep_epoch_secs, started);
  EXPECT_LE(*s.last_sweep_epoch_secs, now);
  {
    // Each reported sweep aged the kept pack by one day.
    auto guard = engine->lock();
    ASSERT_TRUE(guard.has_value());
    Engine& e = **guard;
    EXPECT_EQ(e.pack_count(), 1u);
    const GovernanceEntry* g = e.governance().get(e.pack_directory().cells(kept)->front());
    float importance = 75.0f;
    for (uint64_t n = 0; n < s.sweep_count; ++n) importance = importance * 0.995f;
    EXPECT_EQ(g->age_days, static_cast<float>(s.sweep_count));
    EXPECT_EQ(g->importance, importance);
  }

  ASSERT_TRUE(h.start(engine).ok());
  EXPECT_TRUE(h.is_running());
  EXPECT_GE(h.status().sweep_count, s.sweep_count);
  EXPECT_EQ(h.status().total_packs_evicted, 1u);
}


// Zero intervals still pause between passes (the loop would otherwise spin
// on the engine mutex), and stop wakes a sleeping thread at once.
TEST(MaintenanceTest, ZeroIntervalsPauseStopIsPromptAndDisabledKeepsNothing) {
  test::TempDir dir;
  auto engine = std::make_shared<PoisonableMutex<Engine>>(test::open_engine(dir.path()));
  MaintenanceConfig off = every_second();
  off.enabled = false;
  MaintenanceHandle disabled(off);
  ASSERT_TRUE(disabled.start(engine).ok());
  EXPECT_FALSE(disabled.is_running());
  EXPECT_EQ(engine.use_count(), 1);  // the handle was dropped, not kept
  const MaintenanceStats fresh = disabled.status();
  EXPECT_FALSE(fresh.last_sweep_epoch_secs.has_value() || fresh.last_compaction_epoch_secs.has_value());
  EXPECT_EQ(fresh.sweep_count + fresh.compaction_count + fresh.total_packs_evicted, 0u);

  MaintenanceConfig busy;
  busy.sweep_interval = std::chrono::nanoseconds(0);
  busy.compaction_interval = std::chrono::nanoseconds(0);
  MaintenanceHandle h(busy);
  ASSERT_TRUE(h.start(engine).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  h.stop();
  const MaintenanceStats s = h.status();
  EXPECT_GE(s.sweep_count, 1u);
  EXPECT_LE(s.sweep_count, 60u);  // at most one pass per pause

  MaintenanceHandle idle(MaintenanceConfig{});
  ASSERT_TRUE(idle.start(engine).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto before = std::chrono::steady_clock::now();
  idle.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));  // not the hour-long interval
  EXPECT_FALSE(idle.is_running());
}

}  // namespace
}  // namespace qvn
