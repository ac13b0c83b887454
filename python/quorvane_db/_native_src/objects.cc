#include "objects.h"

namespace qvn::py {

PyTypeObject* type_once(std::atomic<PyObject*>& slot, PyType_Spec* spec) {
  PyObject* existing = slot.load(std::memory_order_acquire);
  if (existing) return reinterpret_cast<PyTypeObject*>(existing);
  PyObject* created = PyType_FromSpec(spec);
  if (!created) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return reinterpret_cast<PyTypeObject*>(expected);
  }
  return reinterpret_cast<PyTypeObject*>(created);
}

}  // namespace qvn::py
