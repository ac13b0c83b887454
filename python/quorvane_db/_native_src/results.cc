#include "results.h"

#include "frame.h"
#include "numpy_api.h"

namespace qvn::py {

PyRef to_py(uint64_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }
PyRef to_py_f32(float v) { return PyRef::steal(PyFloat_FromDouble(static_cast<double>(v))); }
PyRef to_py_f64(double v) { return PyRef::steal(PyFloat_FromDouble(v)); }
PyRef to_py_bool(bool v) { return PyRef::borrow(v ? Py_True : Py_False); }
PyRef to_py_str(std::string_view v) { return str_lossy(v); }
PyRef none() { return PyRef::borrow(Py_None); }

PyRef to_py_opt_u64(const std::optional<uint64_t>& v) { return v ? to_py(*v) : none(); }
PyRef to_py_text(const std::optional<std::string>& v) { return v ? to_py_str(*v) : none(); }

PyRef to_py_array(const std::vector<float>& v) { return numpy::float32_array(v.data(), v.size()); }

PyRef to_py_array(FloatBlock&& block) {
  if (block.empty()) return numpy::float32_array(nullptr, 0);
  PyRef array = numpy::float32_array_adopting(block.data(), block.size());
  if (array) block.release();
  return array;
}

DictBuilder::DictBuilder() : dict_(PyRef::steal(PyDict_New())) {}

DictBuilder& DictBuilder::set(const char* key, PyRef value) {
  if (!dict_) return *this;
  if (!value || PyDict_SetItemString(dict_.get(), key, value.get()) < 0) dict_ = PyRef();
  return *this;
}

}  // namespace qvn::py
