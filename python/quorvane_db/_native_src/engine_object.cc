#include "engine_object.h"

#include "engine_methods_admin.h"

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
    admin::cell_importance_def(),
    admin::cell_tier_def(),
    admin::trace_ancestors_def(),
    admin::advance_days_def(),
    admin::evict_draft_packs_def(),
    admin::sweep_now_def(),
    admin::list_owners_def(),
    admin::schedule_evict_draft_def(),
    admin::cancel_scheduled_def(),
    admin::list_scheduled_def(),
    admin::fire_due_scheduled_def(),
    admin::owner_exists_def(),
    admin::delete_owner_def(),
    admin::store_synapsis_def(),
    admin::load_synapsis_def(),
    admin::start_maintenance_def(),
    admin::stop_maintenance_def(),
    admin::is_maintenance_running_def(),
    admin::maintenance_status_def(),
    admin::pack_importance_def(),
    admin::list_packs_def(),
    admin::add_pack_edge_def(),
    admin::add_pack_link_def(),
    admin::pack_links_def(),
    admin::pack_links_by_type_def(),
    admin::pack_supports_def(),
    admin::pack_contradicts_def(),
    admin::pack_text_def(),
    admin::set_pack_text_def(),
    admin::set_pack_texts_def(),
    admin::pack_exists_def(),
    admin::delete_pack_def(),
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
