#include "maintenance_registry.h"

#include <mutex>
#include <unordered_set>

namespace qvn::py::maintenance {

namespace {

struct Registry {
  std::mutex mu;
  std::unordered_set<MaintenanceHandle*> live;
  // Set by the exit hook: no thread may start after the hook has run.
  bool closed = false;
};

// Never destroyed: handles may be released during static destruction.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

void release(MaintenanceHandle* handle) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.live.erase(handle);
  delete handle;  // stops and joins
}

PyObject* stop_all(PyObject*, PyObject*) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.closed = true;
  for (MaintenanceHandle* handle : r.live) handle->stop();
  Py_RETURN_NONE;
}

PyMethodDef g_stop_all_def = {"_stop_maintenance_threads", &stop_all, METH_NOARGS,
                              "Stop and join every maintenance thread (run at interpreter exit)."};

}  // namespace

std::shared_ptr<MaintenanceHandle> make_handle(const MaintenanceConfig& config) {
  auto owned = std::make_unique<MaintenanceHandle>(config);
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mu);
    r.live.insert(owned.get());
  }
  // From here `release` owns it: shared_ptr calls the deleter itself when
  // its own allocation fails.
  return std::shared_ptr<MaintenanceHandle>(owned.release(), &release);
}

Expected<void, std::string> start(MaintenanceHandle& handle, EngineHandle engine) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (r.closed) return make_unexpected(std::string("maintenance cannot start while the interpreter exits"));
  return handle.start(std::move(engine));
}

void stop(MaintenanceHandle& handle) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  handle.stop();
}

bool is_running(const MaintenanceHandle& handle) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return handle.is_running();
}

bool register_exit_hook() {
  PyRef fn = PyRef::steal(PyCFunction_New(&g_stop_all_def, nullptr));
  if (!fn) return false;
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  return static_cast<bool>(done);
}

}  // namespace qvn::py::maintenance
