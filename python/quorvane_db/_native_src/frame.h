// The frame every Python entry point of `_native` runs in: the guard that
// keeps C++ exceptions out of the interpreter, the mapping of failures to
// Python exceptions, the borrow counter of a Python object, and the two ways
// of running an engine operation (interpreter lock held or released).
#pragma once

#include "py_ref.h"

#include <atomic>
#include <cstdint>
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
// into MemoryError, everything else into the internal-failure exception.
// Returns the body's result, or its failure value (nullptr, or -1 for the
// int-returning slots). Thread cancellation's forced unwind is rethrown: it
// must reach the thread's start routine.
template <class F>
auto guard(F&& body) -> decltype(body()) {
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
    PyErr_NoMemory();
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

// Detaches the calling thread from the interpreter for its scope. Nothing in
// that scope may touch a Python object.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

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

// The road of the heavy methods: keep an extra reference on the handle,
// release the interpreter lock, lock the mutex, run `op`, unlock, drop the
// reference, and only then retake the interpreter lock. The engine mutex is
// therefore never held while waiting for the interpreter lock. All inputs of
// `op` must already be owned C++ values.
template <class T, class F>
LockedResult<F, T> run_released(const std::shared_ptr<PoisonableMutex<T>>& handle, F&& op) {
  LockedResult<F, T> out;
  bool poisoned = false;
  {
    std::shared_ptr<PoisonableMutex<T>> keep = handle;
    GilRelease released;
    {
      auto held = keep->lock();
      if (held) {
        out.emplace(op(**held));
      } else {
        poisoned = true;
      }
    }
    keep.reset();
  }
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
