#include "maintenance_registry.h"

#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/platform.h"

namespace qvn::py::maintenance {

namespace {

struct Slot {
  explicit Slot(const MaintenanceConfig& config) : handle(config) {}
  // Held for every start, stop, join and running test of `handle`.
  std::mutex mu;
  MaintenanceHandle handle;
  // A copy made by fork() has no thread to join: only the process that made
  // the slot stops it.
  int64_t process = platform::process_id();
};

struct Registry {
  std::mutex mu;
  std::unordered_map<const MaintenanceHandle*, std::shared_ptr<Slot>> live;
  // Set by the exit hook: no thread may start after the hook has run.
  bool closed = false;
};

// Never destroyed: handles may be released during static destruction.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

std::shared_ptr<Slot> slot_of(const MaintenanceHandle& handle) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.live.find(&handle);
  return it == r.live.end() ? nullptr : it->second;
}

// The deleter of the handed-out reference. The exit hook may still hold the
// slot; whoever drops it last frees it, with the thread already joined.
struct Release {
  std::shared_ptr<Slot> slot;
  void operator()(MaintenanceHandle*) const {
    {
      Registry& r = registry();
      std::lock_guard<std::mutex> lock(r.mu);
      r.live.erase(&slot->handle);
    }
    std::lock_guard<std::mutex> lock(slot->mu);
    slot->handle.stop();
  }
};

}  // namespace

std::shared_ptr<MaintenanceHandle> make_handle(const MaintenanceConfig& config) {
  auto slot = std::make_shared<Slot>(config);
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mu);
    r.live.emplace(&slot->handle, slot);
  }
  // From here `Release` owns the registration: shared_ptr calls the deleter
  // itself when its own allocation fails.
  MaintenanceHandle* handle = &slot->handle;
  return std::shared_ptr<MaintenanceHandle>(handle, Release{std::move(slot)});
}

Expected<void, std::string> start(MaintenanceHandle& handle, EngineHandle engine) {
  std::shared_ptr<Slot> slot = slot_of(handle);
  if (!slot) return make_unexpected(std::string("maintenance cannot start while the interpreter exits"));
  // The handle's mutex is taken before the closed mark is read, so the exit
  // hook, which sets the mark first, stops whatever starts here.
  std::lock_guard<std::mutex> own(slot->mu);
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.closed) return make_unexpected(std::string("maintenance cannot start while the interpreter exits"));
  }
  return handle.start(std::move(engine));
}

void stop(MaintenanceHandle& handle) {
  std::shared_ptr<Slot> slot = slot_of(handle);
  if (!slot) {
    handle.stop();
    return;
  }
  std::lock_guard<std::mutex> own(slot->mu);
  handle.stop();
}

bool is_running(MaintenanceHandle& handle) {
  std::shared_ptr<Slot> slot = slot_of(handle);
  if (!slot) return handle.is_running();
  std::lock_guard<std::mutex> own(slot->mu);
  return handle.is_running();
}

void stop_all() {
  std::vector<std::shared_ptr<Slot>> slots;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.closed = true;
    for (auto& entry : r.live) {
      if (entry.second->process == platform::process_id()) slots.push_back(entry.second);
    }
  }
  for (auto& slot : slots) {
    std::lock_guard<std::mutex> own(slot->mu);
    slot->handle.stop();
  }
}

}  // namespace qvn::py::maintenance
