// The few NumPy C API entries the binding uses, reached at run time through
// NumPy's `_ARRAY_API` capsule, so the extension builds without NumPy and runs
// with NumPy 1.24 and 2.x. Only table slots and array fields whose positions
// are the same in both ABI generations are used; the dtype structure, whose
// layout changed in 2.0, is never read directly.
#pragma once

#include "py_ref.h"

#include <cstddef>

namespace qvn::py::numpy {

// The leading fields of every ndarray object (unchanged since NumPy 1.7).
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline constexpr int kCContiguous = 0x0001;
inline constexpr int kFContiguous = 0x0002;
inline constexpr int kOwnData = 0x0004;
inline constexpr int kAligned = 0x0100;
inline constexpr int kWriteable = 0x0400;

inline const ArrayFields& fields(PyObject* array) {
  return *reinterpret_cast<const ArrayFields*>(array);
}

// Whether `obj` is an ndarray (or a subclass). False with an ImportError set
// when NumPy cannot be loaded; callers check PyErr_Occurred() on false.
bool is_array(PyObject* obj);

// Whether the array's dtype is equivalent to float32 by NumPy's own test
// (so a byte-swapped float32 is not). -1 with an error set on failure.
int is_float32(PyObject* array);

// A new one-dimensional, C-contiguous, writeable float32 array holding a
// copy of `n` floats.
PyRef float32_array(const float* values, size_t n);

// The same kind of array around `values`, `n` > 0 floats from malloc, which
// it takes over without a copy: it owns the memory and frees it with free(),
// as NumPy does for memory that arrives without an allocation policy of its
// own. On failure (null) the caller still owns `values`.
PyRef float32_array_adopting(float* values, size_t n);

}  // namespace qvn::py::numpy
