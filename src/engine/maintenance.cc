#include "engine/maintenance.h"

#include <pthread.h>

#include <system_error>

#include "core/platform.h"
#include "engine/engine.h"

namespace qvn {

namespace {

uint64_t unix_secs() { return platform::now_unix_nanos() / 1000000000ull; }

void loop(MaintenanceConfig cfg, std::shared_ptr<void> keep, std::atomic<bool>* stop,
          std::mutex* stats_mu, MaintenanceStats* stats, EngineHandle engine) {
  using clock = std::chrono::steady_clock;
  auto last_sweep = clock::now();
  auto last_compaction = last_sweep;
  const float days = cfg.hours_per_tick / 24.0f;
  auto since = [](clock::time_point mark) {
    auto d = clock::now() - mark;
    return d < clock::duration::zero() ? clock::duration::zero() : d;
  };
  // A poisoned engine mutex never heals, so a step it blocked stays due for
  // good; waiting the full second instead of retrying at once keeps the
  // loop from spinning until it is stopped.
  bool blocked = false;
  for (;;) {
    auto rs = cfg.sweep_interval - since(last_sweep);
    auto rc = cfg.compaction_interval - since(last_compaction);
    std::chrono::nanoseconds wait = std::chrono::seconds(1);
    auto zero = std::chrono::nanoseconds::zero();
    auto rs_ns = std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(rs), zero);
    auto rc_ns = std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(rc), zero);
    if (!blocked) wait = std::min({wait, rs_ns, rc_ns});
    blocked = false;
    if (wait > zero) std::this_thread::sleep_for(wait);
    if (stop->load(std::memory_order_acquire)) return;

    if (since(last_sweep) >= cfg.sweep_interval) {
      uint64_t n = 0;
      bool swept = false;
      if (auto guard = engine->lock()) {
        Engine& e = **guard;
        e.advance_days(days);
        auto evicted = e.evict_draft_packs(cfg.eviction_threshold, std::nullopt);
        n = evicted.ok() ? *evicted : 0;
        (void)e.fire_due_scheduled(platform::now_unix_nanos());
        swept = true;
      }
      // The engine mutex is released before the stats mutex is taken.
      if (swept) {
        {
          std::lock_guard<std::mutex> l(*stats_mu);
          stats->sweep_count += 1;
          stats->total_packs_evicted += n;
          stats->last_sweep_epoch_secs = unix_secs();
        }
        last_sweep = clock::now();
      } else {
        blocked = true;
      }
    }
    if (since(last_compaction) >= cfg.compaction_interval) {
      std::optional<Result<CompactionStats>> r;
      if (auto guard = engine->lock()) r.emplace((*guard)->compact());
      if (!r) {  // poisoned: the compaction stays due
        blocked = true;
        continue;
      }
      if (r->ok()) {
        std::lock_guard<std::mutex> l(*stats_mu);
        stats->compaction_count += 1;
        stats->total_bytes_reclaimed += (*r)->bytes_reclaimed;
        stats->last_compaction_epoch_secs = unix_secs();
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
        loop(cfg, shared, &shared->stop, &shared->stats_mu, &shared->stats, std::move(engine));
      } catch (...) {
        // An abort inside an engine step poisons the engine mutex (the guard
        // saw the exception); the thread itself just ends.
      }
      shared->finished.store(true);
    });
  } catch (const std::system_error&) {
    return make_unexpected(std::string("failed to spawn maintenance thread"));
  }
  return {};
}

void MaintenanceHandle::stop() {
  shared_->stop.store(true, std::memory_order_seq_cst);
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
