// The Python class `Engine`: a shared handle on one core engine behind its
// poisonable mutex, the optional maintenance thread, and the borrow counter.
#pragma once

#include "objects.h"

#include <memory>

#include "core/poisonable_mutex.h"

namespace qvn {
class Engine;
class MaintenanceHandle;
}  // namespace qvn

namespace qvn::py {

// The engine as every holder shares it: Python objects, heavy methods in
// flight on other threads, and the maintenance thread.
using EngineHandle = std::shared_ptr<PoisonableMutex<qvn::Engine>>;

// The class doc, text signature first; the constructor's binder reads its
// parameters from it.
inline constexpr Signature kEngineNew{
    "Engine",
    "Engine(path, segment_size=None, vamana_threshold=None)\n--\n\n"
    "`QuorvaneDB` engine \xe2\x80\x94 persistent KV cache memory for LLM agents.\n\n"
    "The engine is thread-safe: it sits behind a shared, reference-counted,\n"
    "mutex-protected handle, so that the interpreter lock can be released during\n"
    "engine operations and several Python threads can share one instance."};

struct EngineState {
  static constexpr const char* kTypeName = "Engine";
  static PyTypeObject* type();

  explicit EngineState(EngineHandle handle) noexcept : inner(std::move(handle)) {}
  // The handle goes first; dropping the maintenance handle then stops and
  // joins the thread, which drops the last other reference, so the engine is
  // gone when deallocation returns.
  ~EngineState() {
    inner.reset();
    maintenance.reset();
  }

  EngineHandle inner;
  // Held through shared_ptr only for its type-erased deleter: this header
  // needs no definition of the handle. Never shared.
  std::shared_ptr<qvn::MaintenanceHandle> maintenance;
  BorrowFlag borrow;
};

using EngineRef = ObjRef<EngineState>;

inline std::optional<EngineRef> extract_engine_ref(PyObject* obj, Borrow kind) {
  return extract_ref<EngineState>(obj, kind);
}

// An `engine` argument of another class's method (shared borrow).
bool from_py(PyObject* obj, EngineRef& out);

// A new `Engine` object around an opened engine, without maintenance.
PyRef new_engine_object(EngineHandle handle);

// Creates the class on first use (the module's exec step).
PyTypeObject* create_engine_type();

}  // namespace qvn::py
