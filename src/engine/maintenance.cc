#include "engine/maintenance.h"

#include <pthread.h>

#include <system_error>

#include "core/platform.h"
#include "engine/engine.h"

namespace qvn {

namespace {

uint64_t unix_secs() { return platform::now_unix_nanos() / 1000000000ull; }

// Shortest pause between passes, so intervals of zero never spin.
constexpr std::chrono::milliseconds MIN_PAUSE{10};

struct Shared {
  std::mutex* stats_mu;
  MaintenanceStats* stats;
  std::atomic<bool>* stop;
  std::mutex* wake_mu;
  std::condition_variable* wake;
};

// Runs one engine step under the engine mutex. Returns false when the mutex
// is poisoned (before or by this step); an exception escaping the step
// poisons the mutex through its guard and is swallowed here, so the loop
// goes on and later steps see the poison.
template <class Step>
bool run_step(const EngineHandle& engine, Step&& step) {
  try {
    auto guard = engine->lock();
    if (!guard) return false;
    step(**guard);
    return true;
  } catch (...) {
    return false;
  }
}

void loop(const MaintenanceConfig& cfg, Shared sh, const EngineHandle& engine) {
  using clock = std::chrono::steady_clock;
  auto last_sweep = clock::now();
  auto last_compaction = last_sweep;
  const float days = cfg.hours_per_tick / 24.0f;
  auto since = [](clock::time_point mark) {
    auto d = clock::now() - mark;
    return d < clock::duration::zero() ? clock::duration::zero() : d;
  };
  for (;;) {
    const auto zero = std::chrono::nanoseconds::zero();
    auto remaining = [&](std::chrono::nanoseconds interval, clock::time_point mark) {
      auto r = interval - std::chrono::duration_cast<std::chrono::nanoseconds>(since(mark));
      return std::max(r, zero);
    };
    std::chrono::nanoseconds wait = std::min<std::chrono::nanoseconds>(
        {std::chrono::seconds(1), remaining(cfg.sweep_interval, last_sweep),
         remaining(cfg.compaction_interval, last_compaction)});
    wait = std::max<std::chrono::nanoseconds>(wait, MIN_PAUSE);
    {
      std::unique_lock<std::mutex> lk(*sh.wake_mu);
      sh.wake->wait_for(lk, wait, [&] { return sh.stop->load(std::memory_order_acquire); });
    }
    if (sh.stop->load(std::memory_order_acquire)) return;

    if (since(last_sweep) >= cfg.sweep_interval) {
      uint64_t n = 0;
      const bool swept = run_step(engine, [&](Engine& e) {
        e.advance_days(days);
        auto evicted = e.evict_draft_packs(cfg.eviction_threshold, std::nullopt);
        n = evicted.ok() ? *evicted : 0;
        (void)e.fire_due_scheduled(platform::now_unix_nanos());
      });
      // The engine mutex is released before the stats mutex is taken.
      if (swept) {
        std::lock_guard<std::mutex> l(*sh.stats_mu);
        sh.stats->sweep_count += 1;
        sh.stats->total_packs_evicted += n;
        sh.stats->last_sweep_epoch_secs = unix_secs();
      }
      // A poisoned engine never heals: wait a whole interval before the
      // next attempt instead of retrying at every pass.
      last_sweep = clock::now();
    }
    if (since(last_compaction) >= cfg.compaction_interval) {
      std::optional<Result<CompactionStats>> r;
      run_step(engine, [&](Engine& e) { r.emplace(e.compact()); });
      if (r && r->ok()) {
        std::lock_guard<std::mutex> l(*sh.stats_mu);
        sh.stats->compaction_count += 1;
        sh.stats->total_bytes_reclaimed += (*r)->bytes_reclaimed;
        sh.stats->last_compaction_epoch_secs = unix_secs();
      }
      last_compaction = clock::now();
    }
  }
}

}  // namespace

MaintenanceHandle::MaintenanceHandle(MaintenanceConfig config)
    : config_(config), shared_(std::make_shared<Shared>()) {}

MaintenanceHandle::~MaintenanceHandle() { stop(); }

Expected<void, std::string> MaintenanceHandle::start(EngineHandle engine) {
  if (!config_.enabled || thread_.has_value()) return {};
  shared_->finished.store(false);
  auto shared = shared_;
  try {
    thread_.emplace([cfg = config_, shared, engine = std::move(engine)]() mutable {
      pthread_setname_np(pthread_self(), "qvn-maintenance");
      try {
        loop(cfg, {&shared->stats_mu, &shared->stats, &shared->stop, &shared->wake_mu, &shared->wake},
             engine);
      } catch (...) {
        // Only bookkeeping outside the engine steps can get here (out of
        // memory); the thread ends and reports itself finished.
      }
      engine.reset();
      shared->finished.store(true);
    });
  } catch (const std::system_error&) {
    return make_unexpected(std::string("failed to spawn maintenance thread"));
  }
  return {};
}

void MaintenanceHandle::stop() {
  {
    // Under the wake mutex, so the loop cannot miss the notification
    // between its check of the flag and its wait.
    std::lock_guard<std::mutex> l(shared_->wake_mu);
    shared_->stop.store(true, std::memory_order_seq_cst);
  }
  shared_->wake.notify_all();
  if (thread_.has_value()) {
    if (thread_->joinable()) thread_->join();
    thread_.reset();
  }
  shared_->stop.store(false, std::memory_order_seq_cst);
}

bool MaintenanceHandle::is_running() const {
  return thread_.has_value() && !shared_->finished.load();
}

MaintenanceStats MaintenanceHandle::status() const {
  std::lock_guard<std::mutex> l(shared_->stats_mu);
  return shared_->stats;
}

}  // namespace qvn
