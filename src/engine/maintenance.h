// The background maintenance thread: ages governance, evicts Draft packs and
// fires due scheduled actions every sweep interval, compacts every compaction
// interval. It takes the engine mutex for each step only; its counters sit
// behind a mutex of their own, never held together with the engine's.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/error.h"
#include "core/poisonable_mutex.h"

namespace qvn {

class Engine;
// The shared handle on one engine behind its mutex: the Python object, the
// heavy methods while they run and the maintenance thread each hold one.
using EngineHandle = std::shared_ptr<PoisonableMutex<Engine>>;

struct MaintenanceConfig {
  std::chrono::nanoseconds sweep_interval{std::chrono::seconds(3600)};
  std::chrono::nanoseconds compaction_interval{std::chrono::seconds(21600)};
  float eviction_threshold = 15.0f;
  float hours_per_tick = 1.0f;
  bool enabled = true;
};

struct MaintenanceStats {
  std::optional<uint64_t> last_sweep_epoch_secs;
  std::optional<uint64_t> last_compaction_epoch_secs;
  uint64_t sweep_count = 0;
  uint64_t compaction_count = 0;
  uint64_t total_packs_evicted = 0;
  uint64_t total_bytes_reclaimed = 0;
};

class MaintenanceHandle {
 public:
  explicit MaintenanceHandle(MaintenanceConfig config);
  ~MaintenanceHandle();
  MaintenanceHandle(const MaintenanceHandle&) = delete;
  MaintenanceHandle& operator=(const MaintenanceHandle&) = delete;

  // Starts the thread unless disabled or already holding one. Fails only
  // with "failed to spawn maintenance thread".
  Expected<void, std::string> start(EngineHandle engine);
  // Stops and joins the thread, then clears the stop flag so the handle can
  // start again. Never takes the engine mutex.
  void stop();
  // Whether the thread is still running.
  bool is_running() const;
  MaintenanceStats status() const;
  const MaintenanceConfig& config() const { return config_; }

 private:
  struct Shared {
    // Never held together with the engine mutex. Nothing that can throw runs
    // under it, so it cannot be left mid-update.
    std::mutex stats_mu;
    MaintenanceStats stats;
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    // Wakes the sleeping loop at once when stop is requested.
    std::mutex wake_mu;
    std::condition_variable wake;
  };

  MaintenanceConfig config_;
  std::shared_ptr<Shared> shared_;
  std::optional<std::thread> thread_;
};

}  // namespace qvn
