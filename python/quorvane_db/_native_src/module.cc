// Module definition of quorvane_db._native (multi-phase initialisation). The
// module has no state of its own: its classes are created once per process
// and shared by every import.
#include "checkpoint_object.h"
#include "engine_object.h"
#include "frame.h"
#include "interpreter_exit.h"
#include "py_ref.h"
#include "read_result.h"
#include "retrieval/key_view.h"

namespace {

using qvn::py::PyRef;

// Adds `value` as attribute `name` and appends the name to `__all__`,
// creating the list on the first addition.
int add_public(PyObject* m, const char* name, PyRef value) {
  if (!value || PyModule_AddObjectRef(m, name, value.get()) < 0) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(m, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(m, "__all__", all.get()) < 0) return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  return text ? PyList_Append(all.get(), text.get()) : -1;
}

int add_class(PyObject* m, const char* name, PyTypeObject* (*create)()) {
  return add_public(m, name, PyRef::borrow(reinterpret_cast<PyObject*>(create())));
}

// Stops at the first failure; attributes added before it stay.
int native_exec(PyObject* m) {
  return qvn::py::guard([&]() -> int {
    if (!PyModule_Check(m)) {
      PyErr_SetString(PyExc_TypeError, "the exec step expects a module object");
      return -1;
    }
    if (add_public(m, "__version__", PyRef::steal(PyUnicode_FromString("0.3.0"))) < 0 ||
        add_class(m, "Engine", qvn::py::create_engine_type) < 0 ||
        add_class(m, "ReadResult", qvn::py::create_read_result_type) < 0 ||
        add_class(m, "CheckpointRepository", qvn::py::create_checkpoint_repository_type) < 0 ||
        add_public(m, "ENCODING_HEADER_SIZE", PyRef::steal(PyLong_FromSize_t(qvn::ENCODING_HEADER_SIZE))) < 0 ||
        add_public(m, "ENCODING_SENTINEL", PyRef::steal(PyFloat_FromDouble(-1e9))) < 0 ||
        add_public(m, "ENCODING_N_TOKENS_IDX", PyRef::steal(PyLong_FromSize_t(qvn::ENCODING_N_TOKENS_IDX))) < 0 ||
        add_public(m, "ENCODING_DIM_IDX", PyRef::steal(PyLong_FromSize_t(qvn::ENCODING_DIM_IDX))) < 0 ||
        !qvn::py::register_exit_hook()) {
      return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The classes are process-wide objects; another interpreter must not
    // share them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
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
