// Module definition of quorvane_db._native (multi-phase initialisation).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "retrieval/key_view.h"

namespace {

int add_public(PyObject* m, const char* name, PyObject* value) {
  if (!value) return -1;
  if (PyModule_AddObjectRef(m, name, value) < 0) {
    Py_DECREF(value);
    return -1;
  }
  Py_DECREF(value);
  PyObject* all = PyObject_GetAttrString(m, "__all__");
  if (!all) {
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyModule_AddObjectRef(m, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyObject* s = PyUnicode_FromString(name);
  int rc = s ? PyList_Append(all, s) : -1;
  Py_XDECREF(s);
  Py_DECREF(all);
  return rc;
}

int native_exec(PyObject* m) {
  if (add_public(m, "__version__", PyUnicode_FromString("0.3.0")) < 0) return -1;
  if (add_public(m, "ENCODING_HEADER_SIZE", PyLong_FromSize_t(qvn::ENCODING_HEADER_SIZE)) < 0) return -1;
  if (add_public(m, "ENCODING_SENTINEL", PyFloat_FromDouble(-1e9)) < 0) return -1;
  if (add_public(m, "ENCODING_N_TOKENS_IDX", PyLong_FromSize_t(qvn::ENCODING_N_TOKENS_IDX)) < 0) return -1;
  if (add_public(m, "ENCODING_DIM_IDX", PyLong_FromSize_t(qvn::ENCODING_DIM_IDX)) < 0) return -1;
  return 0;
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "`QuorvaneDB` \xe2\x80\x94 LLM-native database kernel for persistent KV cache memory.",
    0,
    nullptr,
    native_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&native_def); }
