// Ownership wrappers for PyObject pointers. Every Python object the binding
// creates is held in a PyRef until it is handed to the interpreter, so an
// early return or a C++ exception can never leak or double-free it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qvn::py {

// An owned (strong) reference. Null means "no object"; in the binding that
// always comes with a Python error set by whoever produced the null.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (the result of a C API call that returns one).
  static PyRef steal(PyObject* p) { return PyRef(p); }
  // Adds a reference to a borrowed pointer.
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller (usually the interpreter).
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace qvn::py
