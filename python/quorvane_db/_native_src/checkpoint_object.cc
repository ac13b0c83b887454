#include "checkpoint_object.h"

namespace qvn::py {

namespace {

std::atomic<PyObject*> g_type{nullptr};

constexpr Signature kNew{
    "CheckpointRepository",
    "CheckpointRepository(root)\n--\n\n"
    "Labeled checkpoint repository.\n\n"
    "Wraps `qvn_engine::checkpoint::CheckpointRepository` so consumers\n"
    "can save engine snapshots under string labels with a\n"
    "monotonically increasing sequence per label, list / find latest,\n"
    "and restore the latest into a fresh directory."};

// Touches no file: the root may not exist yet.
PyObject* construct(PyTypeObject*, BoundArgs& args) {
  std::string root;
  if (!args.convert(root)) return nullptr;
  return new_object<CheckpointRepositoryState>(CheckpointRepositoryState{std::move(root)}).release();
}

// In the order of the class's method table.
PyMethodDef g_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNew.doc())},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<kNew, construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<CheckpointRepositoryState>)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "quorvane_db._native.CheckpointRepository",
    sizeof(PyObjectWith<CheckpointRepositoryState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

}  // namespace

PyTypeObject* CheckpointRepositoryState::type() {
  return reinterpret_cast<PyTypeObject*>(g_type.load(std::memory_order_acquire));
}

PyTypeObject* create_checkpoint_repository_type() { return type_once(g_type, &g_spec); }

}  // namespace qvn::py
