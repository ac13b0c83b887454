// The Python class `Engine`: a shared handle on one core engine behind its
// poisonable mutex, the optional maintenance thread, and the borrow counter.
#pragma once

#include "objects.h"

#include <memory>

#include "core/platform.h"
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

  explicit EngineState(EngineHandle handle) noexcept
      : inner(std::move(handle)), maintenance(), opened_in_process(platform::process_id()) {}
  // The handle goes first; dropping the maintenance handle then stops and
  // joins the thread, which drops the last other reference, so the engine is
  // gone when deallocation returns.
  //
  // A copy made by fork() is abandoned instead: its mutex may be held by a
  // thread that exists only in the parent, its maintenance thread does not
  // exist here to be joined, and dropping the engine would drain its write
  // buffer into the parent's directory.
  ~EngineState() {
    if (!in_opening_process()) return;
    inner.reset();
    maintenance.reset();
    inner.~EngineHandle();
    maintenance.~shared_ptr();
  }

  bool in_opening_process() const { return platform::process_id() == opened_in_process; }
  // Refuses, with RuntimeError, every use from a process other than the one
  // that opened the engine. Checked before any lock of the object is taken.
  bool check_process() const;

  // Members of unions only so that the destructor can leave them alone.
  union {
    EngineHandle inner;
  };
  // Held through shared_ptr only for its type-erased deleter: this header
  // needs no definition of the handle. Never shared.
  union {
    std::shared_ptr<qvn::MaintenanceHandle> maintenance;
  };
  int64_t opened_in_process;
  BorrowFlag borrow;
};

using EngineRef = ObjRef<EngineState>;

inline std::optional<EngineRef> extract_engine_ref(PyObject* obj, Borrow kind) {
  return extract_ref<EngineState>(obj, kind);
}

// The body of a snapshot under the engine mutex: drains the write buffer
// (a write: an allocation failure there poisons the engine), then runs
// `archive`, which only reads the engine and its directory, so that an
// allocation failure there leaves the engine usable.
template <class E, class F>
auto drain_then_archive(E& engine, F&& archive) -> decltype(archive()) {
  if (auto drained = engine.flush_buffer(); !drained.ok()) return make_unexpected(std::move(drained).error());
  try {
    return archive();
  } catch (const std::bad_alloc&) {
    throw AllocationLeftEngineIntact();
  }
}

// An `engine` argument of another class's method (shared borrow).
bool from_py(PyObject* obj, EngineRef& out);

// A new `Engine` object around an opened engine, without maintenance.
PyRef new_engine_object(EngineHandle handle);

// Creates the class on first use (the module's exec step).
PyTypeObject* create_engine_type();

}  // namespace qvn::py
