#include "interpreter_exit.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "core/platform.h"
#include "engine/engine.h"
#include "frame.h"
#include "maintenance_registry.h"

namespace qvn::py {

namespace {

struct Tracked {
  std::weak_ptr<PoisonableMutex<Engine>> engine;
  int64_t process;  // that opened it
};

struct Engines {
  std::mutex mu;
  std::vector<Tracked> open;
};

// Never destroyed: engines may be released during static destruction.
Engines& engines() {
  static Engines* e = new Engines;
  return *e;
}

std::vector<EngineHandle> live_engines() {
  Engines& e = engines();
  std::lock_guard<std::mutex> lock(e.mu);
  std::vector<EngineHandle> out;
  // A copy made by fork() is never drained here: its mutex may be held by a
  // thread that exists only in the parent, and its buffered packs are the
  // parent's to write.
  const int64_t here = platform::process_id();
  for (const auto& t : e.open) {
    if (t.process != here) continue;
    if (EngineHandle h = t.engine.lock()) out.push_back(std::move(h));
  }
  return out;
}

PyObject* on_exit(PyObject*, PyObject*) {
  return guard([]() -> PyObject* {
    maintenance::stop_all();
    begin_interpreter_exit();
    // With the interpreter lock held: no holder of the engine mutex needs it
    // (a method holds the mutex with the interpreter lock only while it has
    // that lock, which this thread has now), so a daemon thread inside an
    // engine operation releases the mutex and then stays parked.
    for (const EngineHandle& handle : live_engines()) {
      if (auto held = handle->lock()) {
        // A failed drain keeps its requests buffered; the engine's own
        // destructor tries once more if it still runs.
        (void)(*held)->flush_buffer();
      }
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef g_on_exit_def = {"_on_interpreter_exit", &on_exit, METH_NOARGS,
                             "Stop maintenance threads and drain write buffers (run at interpreter exit)."};

}  // namespace

void track_engine(const EngineHandle& engine) {
  Engines& e = engines();
  std::lock_guard<std::mutex> lock(e.mu);
  std::erase_if(e.open, [](const Tracked& t) { return t.engine.expired(); });
  e.open.push_back(Tracked{engine, platform::process_id()});
}

bool register_exit_hook() {
  PyRef fn = PyRef::steal(PyCFunction_New(&g_on_exit_def, nullptr));
  if (!fn) return false;
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  return static_cast<bool>(done);
}

}  // namespace qvn::py
