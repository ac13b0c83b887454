#include "frame.h"

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

}  // namespace

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
