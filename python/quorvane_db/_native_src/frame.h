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
    return body();
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
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

// Runs `op(value)` under the mutex with the interpreter lock held (the road
// of every method that is not one of the heavy ones). `op` must not create
// Python objects: it copies out what the result needs.
template <class T, class F>
LockedResult<F, T> run_locked(PoisonableMutex<T>& mutex, F&& op) {
  auto held = mutex.lock();
  if (!held) {
    raise_runtime(kEngineLockPoisoned);
    return std::nullopt;
  }
  return LockedResult<F, T>(std::in_place, op(**held));
}

// What an allocation failure inside an operation means for the engine.
enum class OnAllocFailure {
  // The operation may have been interrupted half-way through a change: the
  // mutex is poisoned.
  Poison,
  // The operation leaves the engine consistent when an allocation fails (the
  // reads: they change only governance entries in place, the SLB and the
  // per-token caches, each of which either completes a change or keeps its
  // old state). The mutex stays usable; the failure still reaches the entry
  // guard as MemoryError naming the method.
  KeepUsable,
};

// The road of the heavy methods: keep an extra reference on the handle,
// release the interpreter lock, lock the mutex, run `op`, unlock, drop the
// reference, and only then retake the interpreter lock. The engine mutex is
// therefore never held while waiting for the interpreter lock. All inputs of
// `op` must already be owned C++ values. An exception from `op` is carried
// past the retake and rethrown with the interpreter lock held.
template <OnAllocFailure OnAlloc = OnAllocFailure::Poison, class T, class F>
LockedResult<F, T> run_released(const std::shared_ptr<PoisonableMutex<T>>& handle, F&& op) {
  LockedResult<F, T> out;
  bool poisoned = false;
  std::exception_ptr failure;
  {
    std::shared_ptr<PoisonableMutex<T>> keep = handle;
    GilRelease released;
    try {
      auto held = keep->lock();
      if (held) {
        if constexpr (OnAlloc == OnAllocFailure::KeepUsable) {
          try {
            out.emplace(op(**held));
          } catch (const std::bad_alloc&) {
            // Caught before the guard sees it: no poisoning.
            failure = std::current_exception();
          }
        } else {
          out.emplace(op(**held));
        }
      } else {
        poisoned = true;
      }
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
      throw;
#endif
    } catch (...) {
      failure = std::current_exception();
    }
    keep.reset();
    released.reacquire();
  }
  if (failure) std::rethrow_exception(failure);
  if (poisoned) raise_runtime(kEngineLockPoisoned);
  return out;
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
