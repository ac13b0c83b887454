#include "engine_object.h"

#include "engine_methods_admin.h"
#include "engine_methods_core.h"
#include "interpreter_exit.h"

namespace qvn::py {

namespace {

std::atomic<PyObject*> g_engine_type{nullptr};

// In the order of the class's method table.
PyMethodDef g_engine_methods[] = {
    engine_core::mem_write(),
    engine_core::mem_write_batch(),
    engine_core::mem_read(),
    engine_core::mem_read_tokens(),
    engine_core::set_refinement_mode(),
    engine_core::refinement_mode(),
    engine_core::set_token_reweighting(),
    engine_core::token_reweighting(),
    admin::cell_importance_def(),
    admin::cell_tier_def(),
    engine_core::cell_count(),
    admin::trace_ancestors_def(),
    engine_core::has_vamana(),
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
    engine_core::snapshot(),
    engine_core::restore_from(),
    engine_core::open_with_write_buffer(),
    engine_core::flush_buffer(),
    engine_core::pipeline_stage_count(),
    admin::store_synapsis_def(),
    admin::load_synapsis_def(),
    engine_core::status(),
    engine_core::compact(),
    admin::start_maintenance_def(),
    admin::stop_maintenance_def(),
    admin::is_maintenance_running_def(),
    admin::maintenance_status_def(),
    engine_core::mem_write_pack(),
    engine_core::add_view_keys(),
    engine_core::view_count(),
    engine_core::mem_write_pack_with_auto_link(),
    engine_core::mem_read_pack(),
    engine_core::pack_count(),
    engine_core::refresh(),
    admin::pack_importance_def(),
    admin::list_packs_def(),
    engine_core::load_pack_by_id(),
    admin::add_pack_edge_def(),
    admin::add_pack_link_def(),
    admin::pack_links_def(),
    admin::pack_links_by_type_def(),
    admin::pack_supports_def(),
    admin::pack_contradicts_def(),
    engine_core::mem_read_pack_with_trace_boost(),
    engine_core::mem_read_pack_with_trace_boost_and_follow(),
    admin::pack_text_def(),
    admin::set_pack_text_def(),
    admin::set_pack_texts_def(),
    admin::pack_exists_def(),
    admin::delete_pack_def(),
    engine_core::flush(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEngineNew.doc())},
    {Py_tp_new, reinterpret_cast<void*>(&engine_core::construct)},
    {Py_tp_repr, reinterpret_cast<void*>(&engine_core::repr)},
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

bool EngineState::check_process() const {
  if (in_opening_process()) return true;
  PyErr_Format(PyExc_RuntimeError,
               "this Engine was opened in process %lld and cannot be used in process %lld "
               "(a copy made by fork()); open a new Engine in this process",
               static_cast<long long>(opened_in_process), static_cast<long long>(platform::process_id()));
  return false;
}

PyTypeObject* EngineState::type() {
  return reinterpret_cast<PyTypeObject*>(g_engine_type.load(std::memory_order_acquire));
}

PyTypeObject* create_engine_type() { return type_once(g_engine_type, &g_engine_spec); }

PyRef new_engine_object(EngineHandle handle) {
  py::track_engine(handle);
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
