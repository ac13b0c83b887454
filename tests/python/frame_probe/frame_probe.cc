// Test-only extension `_frame_probe`: lets pytest hold an engine's mutex,
// poison it and stop maintenance without the interpreter lock, to check how
// the binding behaves around them. Never shipped: built only with
// -DQVN_BUILD_FRAME_PROBE=ON.
#include "args.h"
#include "engine_object.h"
#include "frame.h"
#include "maintenance_registry.h"
#include "objects.h"
#include "read_result.h"
#include "results.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "engine/engine.h"

namespace {

using namespace qvn::py;

// Leaves the engine mutex by an exception, as an internal failure inside an
// engine operation would; every later use of the engine must refuse.
constexpr Signature kPoison{"_frame_probe", "poison(engine)\n--\n\n"};
PyObject* poison(BoundArgs& args) {
  EngineRef engine;
  if (!args.convert(engine)) return nullptr;
  [[maybe_unused]] auto held = engine->inner->lock();
  throw std::runtime_error("failure while holding the engine mutex");
}

// hold(engine) / release(): a native thread takes the engine mutex and keeps
// it until release(), so a test can see which methods wait for the mutex
// without the interpreter lock. The holder gives up after ten seconds, so a
// method that waits with the interpreter lock held fails the test instead of
// hanging it; release() reports whether that happened.
struct Holder {
  std::mutex m;
  std::condition_variable cv;
  bool locked = false;
  bool release = false;
  bool timed_out = false;
  std::thread thread;
};
Holder g_holder;

constexpr Signature kHold{"_frame_probe", "hold(engine)\n--\n\n"};
PyObject* hold(BoundArgs& args) {
  EngineRef engine;
  if (!args.convert(engine)) return nullptr;
  EngineHandle handle = engine->inner;
  GilRelease released;
  std::unique_lock lk(g_holder.m);
  g_holder.locked = g_holder.release = g_holder.timed_out = false;
  g_holder.thread = std::thread([handle] {
    auto held = handle->lock();
    std::unique_lock inner(g_holder.m);
    g_holder.locked = true;
    g_holder.cv.notify_all();
    g_holder.timed_out =
        !g_holder.cv.wait_for(inner, std::chrono::seconds(10), [] { return g_holder.release; });
  });
  g_holder.cv.wait(lk, [] { return g_holder.locked; });
  return Py_NewRef(Py_None);
}

constexpr Signature kRelease{"_frame_probe", "release()\n--\n\n"};
PyObject* release(BoundArgs&) {
  bool timed_out = false;
  {
    GilRelease released;
    {
      std::lock_guard lk(g_holder.m);
      g_holder.release = true;
    }
    g_holder.cv.notify_all();
    g_holder.thread.join();
    timed_out = g_holder.timed_out;
  }
  return to_py_bool(timed_out).release();
}

// Whether a method of `engine` is in progress: its exclusive borrow fails.
constexpr Signature kInUse{"_frame_probe", "in_use(engine)\n--\n\n"};
PyObject* in_use(BoundArgs& args) {
  PyRef obj;
  if (!args.convert(obj)) return nullptr;
  if (extract_engine_ref(obj.get(), Borrow::Exclusive)) return to_py_bool(false).release();
  if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return nullptr;
  PyErr_Clear();
  return to_py_bool(true).release();
}

// stop_maintenance_released(engine): stops the object's maintenance thread
// as stop_maintenance does, but without the interpreter lock, so a test can
// call other methods while the join waits (as a build without the lock would).
constexpr Signature kStopReleased{"_frame_probe", "stop_maintenance_released(engine)\n--\n\n"};
PyObject* stop_maintenance_released(BoundArgs& args) {
  EngineRef engine;
  if (!args.convert(engine)) return nullptr;
  std::shared_ptr<qvn::MaintenanceHandle> handle = engine->maintenance;
  if (handle) {
    GilRelease released;
    qvn::py::maintenance::stop(*handle);
    released.reacquire();
  }
  return Py_NewRef(Py_None);
}

PyMethodDef g_functions[] = {
    static_method_def<kPoison, poison>(),
    static_method_def<kHold, hold>(),
    static_method_def<kRelease, release>(),
    static_method_def<kInUse, in_use>(),
    static_method_def<kStopReleased, stop_maintenance_released>(),
    {nullptr, nullptr, 0, nullptr},
};

int probe_exec(PyObject* m) {
  for (PyMethodDef& def : g_functions) def.ml_flags &= ~METH_STATIC;
  if (PyModule_AddFunctions(m, g_functions) < 0) return -1;
  PyTypeObject* rr = create_read_result_type();
  if (!rr || PyModule_AddObjectRef(m, "ReadResult", reinterpret_cast<PyObject*>(rr)) < 0) return -1;
  // The probe's own Engine class, so that poison() can borrow its objects.
  PyTypeObject* engine = create_engine_type();
  return engine ? PyModule_AddObjectRef(m, "Engine", reinterpret_cast<PyObject*>(engine)) : -1;
}

PyModuleDef_Slot g_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(probe_exec)}, {0, nullptr}};
PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "_frame_probe", nullptr, 0, nullptr, g_slots,
                     nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__frame_probe(void) { return PyModuleDef_Init(&g_def); }
