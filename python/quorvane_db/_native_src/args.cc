#include "args.h"

#include <cstddef>
#include <cstring>
#include <limits>

#include "frame.h"
#include "numpy_api.h"

namespace qvn::py {

namespace {

// The pending exception as one object, normalised (3.11 has no
// PyErr_GetRaisedException).
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
#endif
}

// A value beyond the C long range is as far outside the width as 65536 is
// for a u16, so it gets the same refusal rather than the interpreter's
// "too large to convert to C long".
template <class T>
bool small_unsigned(PyObject* obj, T& out) {
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(obj, &overflow);
  if (v == -1 && !overflow && PyErr_Occurred()) return false;
  if (overflow || v < 0 || static_cast<unsigned long>(v) > std::numeric_limits<T>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

bool is_numpy_bool(PyObject* obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!module || !name || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// Shared by the 1-D and 2-D array converters.
bool float32_array_of_rank(PyObject* obj, int rank, PyRef& out) {
  if (!numpy::is_array(obj)) {
    if (!PyErr_Occurred()) raise_not_instance(obj, "ndarray");
    return false;
  }
  const auto& f = numpy::fields(obj);
  if (f.nd != rank) {
    PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=%d", f.nd, rank);
    return false;
  }
  int is_f32 = numpy::is_float32(obj);
  if (is_f32 < 0) return false;
  if (!is_f32) {
    PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%S, to=float32", f.descr);
    return false;
  }
  out = PyRef::borrow(obj);
  return true;
}

}  // namespace

std::string Signature::display_name() const {
  std::string out = owner_;
  out += '.';
  out += std::strcmp(name_, owner_) == 0 ? "__new__" : name_;
  out += "()";
  return out;
}

bool from_py(PyObject* obj, uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool from_py(PyObject* obj, uint32_t& out) { return small_unsigned(obj, out); }
bool from_py(PyObject* obj, uint16_t& out) { return small_unsigned(obj, out); }
bool from_py(PyObject* obj, uint8_t& out) { return small_unsigned(obj, out); }

bool from_py(PyObject* obj, double& out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool from_py(PyObject* obj, float& out) {
  double v;
  if (!from_py(obj, v)) return false;
  out = static_cast<float>(v);
  return true;
}

bool from_py(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_not_instance(obj, "bool");
  return false;
}

bool from_py(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!utf8) return false;
  out.assign(utf8, static_cast<size_t>(len));
  return true;
}

bool from_py(PyObject* obj, PyRef& out) {
  out = PyRef::borrow(obj);
  return true;
}

size_t F32Array::size() const { return static_cast<size_t>(numpy::fields(array.get()).dimensions[0]); }

bool from_py(PyObject* obj, F32Array& out) { return float32_array_of_rank(obj, 1, out.array); }
bool from_py(PyObject* obj, F32Matrix& out) { return float32_array_of_rank(obj, 2, out.array); }

bool for_each_sequence_item(PyObject* obj, bool (*fn)(PyObject* item, void* ctx), void* ctx) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_not_instance(obj, "Sequence");
    return false;
  }
  // No reservation from the sequence's length: a __len__ may claim anything.
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!fn(item.get(), ctx)) return false;
  }
  return !PyErr_Occurred();
}

bool check_pair(PyObject* obj) {
  if (!PyTuple_Check(obj)) {
    raise_not_instance(obj, "tuple");
    return false;
  }
  Py_ssize_t n = PyTuple_GET_SIZE(obj);
  if (n != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
    return false;
  }
  return true;
}

PyObject* tuple_member(PyObject* tuple, Py_ssize_t index) {
  if (index < PyTuple_GET_SIZE(tuple)) return PyTuple_GET_ITEM(tuple, index);
  PyErr_SetString(PyExc_IndexError, "tuple index out of range");
  return nullptr;
}

bool copy_vector(const F32Array& in, std::vector<float>& out, PyObject* error_type) {
  const auto& f = numpy::fields(in.array.get());
  size_t n = static_cast<size_t>(f.dimensions[0]);
  out.clear();
  if (n == 0) return true;
  if (!(f.flags & numpy::kAligned) || !(f.flags & (numpy::kCContiguous | numpy::kFContiguous))) {
    PyErr_SetString(error_type, kNotContiguous);
    return false;
  }
  const auto* first = reinterpret_cast<const float*>(f.data);
  out.assign(first, first + n);
  return true;
}

bool copy_matrix(const F32Matrix& in, std::vector<float>& out, uint64_t& rows, uint64_t& cols) {
  const auto& f = numpy::fields(in.array.get());
  rows = static_cast<uint64_t>(f.dimensions[0]);
  cols = static_cast<uint64_t>(f.dimensions[1]);
  uint64_t total = 0;
  // A broadcast view can claim far more elements than it has memory for.
  if (__builtin_mul_overflow(rows, cols, &total) ||
      total > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max()) / sizeof(float)) {
    PyErr_SetString(PyExc_MemoryError, "query matrix too large to copy");
    return false;
  }
  out.resize(total);
  if (total == 0) return true;
  if ((f.flags & numpy::kCContiguous) && (f.flags & numpy::kAligned)) {
    std::memcpy(out.data(), f.data, total * sizeof(float));
    return true;
  }
  // Element by element in logical order; memcpy because the memory may be
  // misaligned. `data` points at element (0, 0) whatever the signs of the
  // strides.
  const Py_ssize_t s0 = f.strides[0], s1 = f.strides[1];
  float* dst = out.data();
  for (uint64_t i = 0; i < rows; ++i) {
    const char* row = f.data + static_cast<Py_ssize_t>(i) * s0;
    for (uint64_t j = 0; j < cols; ++j) {
      std::memcpy(dst++, row + static_cast<Py_ssize_t>(j) * s1, sizeof(float));
    }
  }
  return true;
}

void prefix_type_error(std::string_view name) {
  PyObject* exc = take_exception();
  if (!exc) return;
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(exc);
    return;
  }
  PyRef message = PyRef::steal(PyObject_Str(exc));
  PyRef text;
  if (message) {
    std::string prefix = "argument '" + std::string(name) + "': ";
    text = PyRef::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), message.get()));
  }
  PyRef wrapped;
  if (text) wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!wrapped) {  // raise the conversion error unprefixed rather than lose it
    PyErr_Clear();
    restore_exception(exc);
    return;
  }
  PyException_SetCause(wrapped.get(), exc);  // steals exc
  restore_exception(wrapped.release());
}

// --- binding ---------------------------------------------------------------------

namespace {

std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool equals(PyObject* name, std::string_view param) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
  if (!utf8) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, static_cast<size_t>(len)) == param;
}

}  // namespace

bool BoundArgs::bind_positional(PyObject* const* args, size_t nargs) {
  size_t max = sig_.n_params();
  if (nargs > max) {
    std::string msg = sig_.display_name() + " takes ";
    if (sig_.n_required() != max) {
      msg += "from " + std::to_string(sig_.n_required()) + " to ";
    }
    msg += std::to_string(max) + " positional arguments but " + std::to_string(nargs) +
           (nargs == 1 ? " was given" : " were given");
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
  }
  for (size_t i = 0; i < nargs; ++i) slots_[i] = args[i];
  return true;
}

bool BoundArgs::bind(PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
  if (!bind_positional(args, nargs)) return false;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<size_t>(k)])) {
        return false;
      }
    }
  }
  return check_missing();
}

bool BoundArgs::bind(PyObject* args, PyObject* kwargs) {
  if (!bind_positional(&PyTuple_GET_ITEM(args, 0), static_cast<size_t>(PyTuple_GET_SIZE(args)))) {
    return false;
  }
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(key, value)) return false;
    }
  }
  return check_missing();
}

bool BoundArgs::bind_keyword(PyObject* name, PyObject* value) {
  for (size_t i = 0; i < sig_.n_params(); ++i) {
    if (!equals(name, sig_.param(i))) continue;
    if (slots_[i]) {
      std::string msg = sig_.display_name() + " got multiple values for argument '" +
                        std::string(sig_.param(i)) + "'";
      PyErr_SetString(PyExc_TypeError, msg.c_str());
      return false;
    }
    slots_[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               sig_.display_name().c_str(), name);
  return false;
}

bool BoundArgs::check_missing() {
  std::vector<std::string_view> missing;
  for (size_t i = 0; i < sig_.n_required(); ++i) {
    if (!slots_[i]) missing.push_back(sig_.param(i));
  }
  if (missing.empty()) return true;
  std::string msg = sig_.display_name() + " missing " + std::to_string(missing.size()) +
                    " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                    quoted_list(missing);
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

}  // namespace qvn::py
