#include "frame.h"

#include <chrono>
#include <thread>

namespace qvn::py {

namespace {

// Created on first use and kept for the life of the process. Two threads may
// race to create it without the interpreter lock; the loser drops its copy.
std::atomic<PyObject*> g_panic_type{nullptr};

constexpr const char* kPanicDoc =
    "Raised when the native engine aborts an operation on an internal failure.\n\n"
    "It derives from BaseException, not Exception, so that ordinary handlers\n"
    "do not swallow it.";

PyObject* panic_type() {
  PyObject* t = g_panic_type.load(std::memory_order_acquire);
  if (t) return t;
  PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
  if (!created) return nullptr;
  PyObject* expected = nullptr;
  if (!g_panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

// Exit protocol between the exit hook and threads coming back from native
// work (a Dekker pair, hence sequentially consistent): a returning thread
// counts itself in `g_retaking`, then reads `g_exiting`; the hook sets
// `g_exiting`, then waits for `g_retaking` to drain. Either the thread sees
// the flag and parks, or the hook sees the thread and lets it through first.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_retaking{0};
std::atomic<PyThreadState*> g_exit_thread{nullptr};

[[noreturn]] void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

void retake_interpreter_lock(PyThreadState* state) {
  g_retaking.fetch_add(1);
  if (g_exiting.load() && state != g_exit_thread.load()) {
    g_retaking.fetch_sub(1);
    // Nothing is held here but Python references, which the interpreter
    // does not need back: the process is about to end.
    park_forever();
  }
  PyEval_RestoreThread(state);
  g_retaking.fetch_sub(1);
}

void begin_interpreter_exit() {
  g_exit_thread.store(PyThreadState_Get());
  g_exiting.store(true);
  if (g_retaking.load() == 0) return;
  // Threads in the window wait for the interpreter lock: give it up so they
  // get through, and take it back when they have.
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (g_retaking.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_END_ALLOW_THREADS
}

void name_memory_error(const char* what) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_MemoryError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef text = value ? PyRef::steal(PyObject_Str(value)) : PyRef();
  if (!text) PyErr_Clear();
  PyRef prefix = PyRef::steal(PyUnicode_FromFormat("%s: ", what));
  if (!prefix) PyErr_Clear();
  if (text && prefix && PyUnicode_Tailmatch(text.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1) == 1) {
    PyErr_Restore(type, value, traceback);  // named already
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  // Formatting needs a little memory of its own; failing that, the bare
  // MemoryError it raises is all there is to say.
  if (text && PyUnicode_GetLength(text.get()) > 0) {
    PyErr_Format(PyExc_MemoryError, "%s: %U", what, text.get());
  } else {
    PyErr_Format(PyExc_MemoryError, "%s: out of memory", what);
  }
}

PyRef str_lossy(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

std::string type_name_of(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t len = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &len) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return std::string(utf8, static_cast<size_t>(len));
}

PyObject* raise_runtime(std::string_view message) {
  PyRef text = str_lossy(message);
  if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
  return nullptr;
}

PyObject* raise_engine_error(const EngineError& error) { return raise_runtime(error.to_string()); }

PyObject* raise_not_instance(PyObject* obj, const char* expected) {
  std::string name = type_name_of(obj);
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), expected);
  return nullptr;
}

PyObject* raise_panic(std::string_view message) {
  PyObject* type = panic_type();
  if (!type) return nullptr;
  PyRef text = str_lossy(message);
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

bool BorrowFlag::try_acquire(Borrow kind) {
  intptr_t current = state_.load(std::memory_order_relaxed);
  if (kind == Borrow::Exclusive) {
    return current == 0 &&
           state_.compare_exchange_strong(current, -1, std::memory_order_acquire);
  }
  while (current >= 0) {
    if (state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

void BorrowFlag::release(Borrow kind) {
  if (kind == Borrow::Exclusive) {
    state_.store(0, std::memory_order_release);
  } else {
    state_.fetch_sub(1, std::memory_order_release);
  }
}

std::optional<BorrowGuard> BorrowGuard::acquire(BorrowFlag& flag, Borrow kind) {
  if (!flag.try_acquire(kind)) {
    raise_runtime(kind == Borrow::Shared ? "Already mutably borrowed" : "Already borrowed");
    return std::nullopt;
  }
  return BorrowGuard(&flag, kind);
}

}  // namespace qvn::py
