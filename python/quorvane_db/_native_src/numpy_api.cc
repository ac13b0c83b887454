#include "numpy_api.h"

#include <atomic>
#include <cstring>

namespace qvn::py::numpy {

namespace {

// Table slots, identical in the 1.x and 2.x API tables.
constexpr int kSlotGetNDArrayCVersion = 0;
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotNewFromDescr = 94;
constexpr int kSlotEquivTypes = 182;

constexpr int kTypeNumFloat32 = 11;  // NPY_FLOAT

// ABI generations whose table and array layout the slots above match.
constexpr unsigned kOldestAbi = 0x01000009;  // NumPy 1.x
constexpr unsigned kNewestAbi = 0x02000000;  // NumPy 2.x

using GetVersionFn = unsigned (*)();
using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                     const Py_ssize_t*, void*, int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);

// The table is process-wide and lives as long as NumPy, which is never
// unloaded. Threads racing to load it store the same pointer.
std::atomic<void**> g_api{nullptr};

void** load_api() {
  PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
  if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();  // NumPy 1.x keeps the module under numpy.core
    module = PyRef::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
  }
  if (!module) return nullptr;
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
    return nullptr;
  }
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (!table) return nullptr;
  unsigned abi = reinterpret_cast<GetVersionFn>(table[kSlotGetNDArrayCVersion])();
  if (abi < kOldestAbi || abi > kNewestAbi) {
    PyErr_Format(PyExc_ImportError, "unsupported NumPy C ABI version 0x%x", abi);
    return nullptr;
  }
  return table;
}

void** api() {
  void** table = g_api.load(std::memory_order_acquire);
  if (table) return table;
  table = load_api();
  if (table) g_api.store(table, std::memory_order_release);
  return table;
}

PyRef float32_descr(void** table) {
  return PyRef::steal(reinterpret_cast<DescrFromTypeFn>(table[kSlotDescrFromType])(kTypeNumFloat32));
}

}  // namespace

bool is_array(PyObject* obj) {
  void** table = api();
  if (!table) return false;
  return PyObject_TypeCheck(obj, static_cast<PyTypeObject*>(table[kSlotArrayType]));
}

int is_float32(PyObject* array) {
  void** table = api();
  if (!table) return -1;
  PyRef f32 = float32_descr(table);
  if (!f32) return -1;
  return reinterpret_cast<EquivTypesFn>(table[kSlotEquivTypes])(fields(array).descr, f32.get()) ? 1
                                                                                                 : 0;
}

namespace {

// A one-dimensional float32 array of n elements: over `data` with `flags`,
// or, for null data, over fresh memory of NumPy's own.
PyRef new_float32_array(size_t n, float* data, int flags) {
  void** table = api();
  if (!table) return PyRef();
  PyRef descr = float32_descr(table);
  if (!descr) return PyRef();
  Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)};
  // NewFromDescr takes over the descriptor reference, even on failure.
  return PyRef::steal(reinterpret_cast<NewFromDescrFn>(table[kSlotNewFromDescr])(
      static_cast<PyTypeObject*>(table[kSlotArrayType]), descr.release(), 1, dims, nullptr, data,
      flags, nullptr));
}

}  // namespace

PyRef float32_array(const float* values, size_t n) {
  PyRef array = new_float32_array(n, nullptr, 0);
  if (array && n > 0) std::memcpy(fields(array.get()).data, values, n * sizeof(float));
  return array;
}

PyRef float32_array_adopting(float* values, size_t n) {
  PyRef array = new_float32_array(n, values, kCContiguous | kAligned | kWriteable);
  // What PyArray_ENABLEFLAGS does: the array now frees `values` when it dies.
  if (array) reinterpret_cast<ArrayFields*>(array.get())->flags |= kOwnData;
  return array;
}

}  // namespace qvn::py::numpy
