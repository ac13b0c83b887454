#include "engine_object.h"

namespace qvn::py {

namespace {

std::atomic<PyObject*> g_engine_type{nullptr};

constexpr const char kEngineDoc[] =
    "Engine(path, segment_size=None, vamana_threshold=None)\n--\n\n"
    "`QuorvaneDB` engine \xe2\x80\x94 persistent KV cache memory for LLM agents.\n\n"
    "The engine is thread-safe: it sits behind a shared, reference-counted,\n"
    "mutex-protected handle, so the interpreter lock is released during engine\n"
    "operations and several Python threads can share one instance.";

// In the order of the class's method table.
PyMethodDef g_engine_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<EngineState>)},
    {Py_tp_methods, g_engine_methods},
    {0, nullptr},
};

PyType_Spec g_engine_spec = {
    "quorvane_db._native.Engine",
    sizeof(PyObjectWith<EngineState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_engine_slots,
};

}  // namespace

PyTypeObject* EngineState::type() {
  return reinterpret_cast<PyTypeObject*>(g_engine_type.load(std::memory_order_acquire));
}

PyTypeObject* create_engine_type() { return type_once(g_engine_type, &g_engine_spec); }

PyRef new_engine_object(EngineHandle handle) {
  // Qualified: ADL on the handle would instantiate the mutex over an incomplete engine.
  return py::new_object<EngineState>(std::move(handle));
}

bool from_py(PyObject* obj, EngineRef& out) {
  auto ref = extract_engine_ref(obj, Borrow::Shared);
  if (!ref) return false;
  out = std::move(*ref);
  return true;
}

}  // namespace qvn::py
