// The frame every Python entry point of `_native` runs in: the guard that
// keeps C++ exceptions out of the interpreter, the mapping of failures to
// Python exceptions, the borrow counter of a Python object, and the two ways
// of running an engine operation (interpreter lock held or released).
#pragma once

#include "py_ref.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "core/error.h"
#include "core/poisonable_mutex.h"

namespace qvn::py {

// --- raising -------------------------------------------------------------
// Every raise_* helper sets the Python error and returns nullptr, so a method
// can end with `return raise_...(...)`.

PyObject* raise_runtime(std::string_view message);
// RuntimeError carrying the error's display text.
PyObject* raise_engine_error(const EngineError& error);
// TypeError "'{type}' object is not an instance of '{expected}'".
PyObject* raise_not_instance(PyObject* obj, const char* expected);
// The internal-failure exception (qualified name "pyo3_runtime.PanicException",
// a BaseException subclass) with `message`.
PyObject* raise_panic(std::string_view message);

// A str from UTF-8 bytes; invalid sequences become U+FFFD, as paths and
// error texts are displayed.
PyRef str_lossy(std::string_view text);
// The type's qualified name, as error messages show it.
std::string type_name_of(PyObject* obj);

inline constexpr const char* kEngineLockPoisoned = "engine lock poisoned";

// --- entry guard -----------------------------------------------------------

// Thrown in place of std::bad_alloc once an allocation failure has poisoned
// the engine mutex.
struct AllocationPoisonedEngine : std::bad_alloc {
  const char* what() const noexcept override { return "out of memory; the engine must be reopened"; }
};

// Thrown by a write operation, in place of std::bad_alloc, from a step that
// has changed nothing of the engine (a snapshot's archive, once the write
// buffer is drained): the mutex stays usable, as for KeepUsable.
struct AllocationLeftEngineIntact : std::bad_alloc {};

// When the pending error is a MemoryError that does not name `what` (the
// interpreter's own, without a message, from building a result; NumPy's, for
// an array it could not allocate), replaces it with "{what}: out of memory"
// or "{what}: {its message}", so every MemoryError names its method.
void name_memory_error(const char* what);

// Runs `body` and converts any C++ exception into a Python error: bad_alloc
// into MemoryError (naming `what`, the entry point, when given), everything
// else into the internal-failure exception. Returns the body's result, or its
// failure value (nullptr, or -1 for the int-returning slots). Thread
// cancellation's forced unwind is rethrown: it must reach the thread's start
// routine.
template <class F>
auto guard(F&& body, const char* what = nullptr) -> decltype(body()) {
  using R = decltype(body());
  static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>, "entry points return a pointer or int");
  auto failure = []() -> R {
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  };
  try {
    R r = body();
    if (r == failure() && what) name_memory_error(what);
    return r;
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (const AllocationPoisonedEngine&) {
    if (what) {
      PyErr_Format(PyExc_MemoryError, "%s: out of memory; the engine must be reopened", what);
    } else {
      PyErr_SetString(PyExc_MemoryError, "out of memory; the engine must be reopened");
    }
    return failure();
  } catch (const std::bad_alloc&) {
    if (what) {
      PyErr_Format(PyExc_MemoryError, "%s: out of memory", what);
    } else {
      PyErr_NoMemory();
    }
    return failure();
  } catch (const std::exception& e) {
    raise_panic(e.what());
    return failure();
  } catch (...) {
    raise_panic("unknown C++ exception");
    return failure();
  }
}

// For slots that cannot report failure (deallocation): the error is written
// as unraisable instead.
template <class F>
void guard_void(F&& body) {
  if (guard([&]() -> int {
        body();
        return 0;
      }) < 0) {
    PyErr_WriteUnraisable(nullptr);
  }
}

// --- borrow counter --------------------------------------------------------

enum class Borrow { Shared, Exclusive };

// The borrow state of one Python object: the number of shared borrows, or -1
// for an exclusive one. Changed only by compare-and-swap, so borrows taken
// by threads running without the interpreter lock stay exact.
class BorrowFlag {
 public:
  bool try_acquire(Borrow kind);
  void release(Borrow kind);

 private:
  std::atomic<intptr_t> state_{0};
};

// Holds one borrow until destroyed. `acquire` raises "Already mutably
// borrowed" (shared wanted) or "Already borrowed" (exclusive wanted).
class BorrowGuard {
 public:
  static std::optional<BorrowGuard> acquire(BorrowFlag& flag, Borrow kind);
  BorrowGuard(BorrowGuard&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)), kind_(o.kind_) {}
  BorrowGuard& operator=(BorrowGuard&& o) noexcept {
    if (this != &o) {
      if (flag_) flag_->release(kind_);
      flag_ = std::exchange(o.flag_, nullptr);
      kind_ = o.kind_;
    }
    return *this;
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (flag_) flag_->release(kind_);
  }

 private:
  BorrowGuard(BorrowFlag* flag, Borrow kind) : flag_(flag), kind_(kind) {}
  BorrowFlag* flag_;
  Borrow kind_;
};

// --- interpreter lock ------------------------------------------------------

// Retakes the interpreter lock given up by PyEval_SaveThread. Once the
// interpreter has begun to exit (see begin_interpreter_exit), every thread
// but the exiting one blocks here for good instead: the interpreter would
// end it with a forced unwind through native frames that hold Python
// references and no interpreter lock (or, from a destructor, std::terminate).
void retake_interpreter_lock(PyThreadState* state);

// Run by the exit hook before the interpreter finalizes, on the exiting
// thread with the interpreter lock held: from here on other threads that
// come back from native work never retake the lock. Returns once no thread is
// between its check and the retake, so none can be caught there by the
// finalization (bounded: a thread that never gets the lock is not waited for
// past a few seconds).
void begin_interpreter_exit();

// Detaches the calling thread from the interpreter until `reacquire` (or the
// end of the scope). Nothing in between may touch a Python object.
//
// Retake the lock with `reacquire` in the normal flow: an interpreter that is
// finalizing may end the thread with a forced unwind right there, which must
// not start inside a destructor (implicitly noexcept) or during another
// unwinding. The destructor is the fallback for exceptional exits.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { reacquire(); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  void reacquire() {
    if (state_) retake_interpreter_lock(std::exchange(state_, nullptr));
  }

 private:
  PyThreadState* state_;
};

// --- engine operations -----------------------------------------------------

// Result of running an operation under a poisonable mutex: nullopt when the
// mutex was poisoned, in which case "engine lock poisoned" has been raised.
template <class F, class T>
using LockedResult = std::optional<std::invoke_result_t<F&, T&>>;

// What an allocation failure inside an operation means for the engine.
enum class OnAllocFailure {
  // The operation may have been interrupted half-way through a change (the
  // writes): the mutex is poisoned, and the MemoryError says that the engine
  // must be reopened.
  Poison,
  // The operation leaves the engine consistent when an allocation fails: the
  // queries change only governance entries in place, the SLB and the
  // per-token caches, each of which either completes a change or keeps its
  // old state; refresh builds its new state aside and installs it by moves.
  // The mutex stays usable; the failure still reaches the entry guard as
  // MemoryError naming the method.
  KeepUsable,
};
inline constexpr OnAllocFailure kRead = OnAllocFailure::KeepUsable;
inline constexpr OnAllocFailure kWrite = OnAllocFailure::Poison;

// Runs `op`, pure C++ touching no Python object and no engine mutex (an
// open), without the interpreter lock; an exception is carried past the
// retake and rethrown with the lock held.
template <class F>
std::invoke_result_t<F&> without_interpreter_lock(F&& op) {
  std::optional<std::invoke_result_t<F&>> out;
  std::exception_ptr failure;
  {
    GilRelease released;
    try {
      out.emplace(op());
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
      throw;
#endif
    } catch (...) {
      failure = std::current_exception();
    }
    released.reacquire();
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*out);
}

namespace detail {

enum class Taken { Ran, Busy, Poisoned };

// Takes the mutex (waiting for it, or only when free) and runs `op` under
// it, applying the allocation-failure policy. Touches no Python object.
template <OnAllocFailure OnAlloc, class T, class F>
Taken lock_and_run(PoisonableMutex<T>& mutex, bool wait, F& op, LockedResult<F, T>& out) {
  std::exception_ptr kept;  // an allocation failure that left the engine usable
  try {
    bool busy = false;
    auto held = wait ? mutex.lock() : mutex.try_lock(&busy);
    if (!held) return busy ? Taken::Busy : Taken::Poisoned;
    try {
      out.emplace(op(**held));
    } catch (const AllocationLeftEngineIntact&) {
      kept = std::current_exception();
    } catch (const std::bad_alloc&) {
      // Caught while the guard still holds the mutex: no poisoning.
      if constexpr (OnAlloc == OnAllocFailure::KeepUsable) {
        kept = std::current_exception();
      } else {
        throw;
      }
    }
  } catch (const std::bad_alloc&) {
    // Rethrown above: the guard has poisoned the mutex on the way out.
    throw AllocationPoisonedEngine();
  }
  if (kept) std::rethrow_exception(kept);
  return Taken::Ran;
}

// Gives up the interpreter lock, waits for the mutex, runs `op`, unlocks,
// drops `keep` (an extra reference on the handle) and only then retakes the
// interpreter lock, so the engine mutex is never held while waiting for it.
// An exception from `op` is carried past the retake and rethrown with the
// interpreter lock held.
template <OnAllocFailure OnAlloc, class T, class F>
LockedResult<F, T> run_without_interpreter_lock(std::shared_ptr<PoisonableMutex<T>> keep, F& op) {
  LockedResult<F, T> out;
  const Taken taken = without_interpreter_lock([&] {
    // Dropped on the way out of this body, failure or not: before the retake.
    const std::shared_ptr<PoisonableMutex<T>> held = std::move(keep);
    return lock_and_run<OnAlloc>(*held, true, op, out);
  });
  if (taken == Taken::Poisoned) raise_runtime(kEngineLockPoisoned);
  return out;
}

}  // namespace detail

// The road of the light methods: when the engine mutex is free, `op` runs
// under it with the interpreter lock held. When another thread holds it,
// that thread may be waiting for the directory's writer lock, which another
// process can hold for as long as its write takes: the call then waits, and
// runs, without the interpreter lock, as the heavy methods do, so that other
// Python threads keep running. `op` must not create Python objects: it
// copies out what the result needs.
template <OnAllocFailure OnAlloc, class T, class F>
LockedResult<F, T> run_locked(const std::shared_ptr<PoisonableMutex<T>>& handle, F&& op) {
  LockedResult<F, T> out;
  switch (detail::lock_and_run<OnAlloc>(*handle, false, op, out)) {
    case detail::Taken::Ran: return out;
    case detail::Taken::Poisoned: raise_runtime(kEngineLockPoisoned); return out;
    case detail::Taken::Busy: break;
  }
  return detail::run_without_interpreter_lock<OnAlloc>(handle, op);
}

// The road of every method that may wait for the directory's writer lock
// (writes, deletions, schedules, compaction, snapshots, refresh, flushes) and
// of the heavy reads: keep an extra reference on the handle, release the
// interpreter lock, lock the mutex, run `op`, unlock, drop the reference,
// and only then retake the interpreter lock. All inputs of `op` must already
// be owned C++ values.
template <OnAllocFailure OnAlloc, class T, class F>
LockedResult<F, T> run_released(const std::shared_ptr<PoisonableMutex<T>>& handle, F&& op) {
  return detail::run_without_interpreter_lock<OnAlloc>(handle, op);
}


// Converts an engine result: the value through `build` (which returns a new
// reference or nullptr with an error set), or the error as RuntimeError.
template <class V, class Build>
PyObject* finish(Expected<V, EngineError>& result, Build&& build) {
  if (!result.ok()) return raise_engine_error(result.error());
  if constexpr (std::is_void_v<V>) {
    return build();
  } else {
    return build(result.value());
  }
}

// For operations whose Python result is None.
inline PyObject* finish_none(Expected<void, EngineError>& result) {
  return finish(result, [] { Py_RETURN_NONE; });
}

}  // namespace qvn::py
