#include "checkpoint_object.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/checkpoint.h"
#include "engine/engine.h"
#include "engine_object.h"
#include "results.h"

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

PyRef checkpoint_dict(const CheckpointEntry& entry) {
  return DictBuilder()
      .str("label", entry.label)
      .u64("seq", entry.seq)
      .str("path", entry.path)
      .set("manifest", manifest_dict(entry.manifest))
      .take();
}

constexpr Signature kSave{"CheckpointRepository",
                          "save($self, engine, label)\n--\n\n"
                          "Save ``engine``'s current state under ``label``. Returns a\n"
                          "dict with ``label``, ``seq``, ``path``, and ``manifest``."};
// The snapshot runs under the saved engine's mutex, without the interpreter
// lock (it may wait for the directory's writer lock): the engine's other
// users, and its maintenance thread, wait meanwhile.
PyObject* save(CheckpointRepositoryState& self, BoundArgs& args) {
  EngineRef engine;
  std::string label;
  if (!args.convert(engine, label)) return nullptr;
  const CheckpointRepository repo(self.root);
  auto r = run_released<kWrite>(engine->inner, [&](Engine& e) {
    return drain_then_archive(e, [&] {
      return repo.save([&e](const std::string& out_path) { return e.snapshot(out_path); }, label);
    });
  });
  if (!r) return nullptr;
  return finish(*r, [](const CheckpointEntry& entry) { return checkpoint_dict(entry).release(); });
}

constexpr Signature kList{"CheckpointRepository",
                          "list($self, label=None)\n--\n\n"
                          "Return all checkpoints, optionally filtered by ``label``."};
PyObject* list(CheckpointRepositoryState& self, BoundArgs& args) {
  std::optional<std::string> label;
  if (!args.convert(label)) return nullptr;
  auto r = CheckpointRepository(self.root).list(label);
  return finish(r, [](const std::vector<CheckpointEntry>& entries) {
    return list_of(entries, checkpoint_dict).release();
  });
}

constexpr Signature kLatest{"CheckpointRepository",
                            "latest($self, label)\n--\n\n"
                            "Latest checkpoint for ``label`` or ``None`` if none exist."};
PyObject* latest(CheckpointRepositoryState& self, BoundArgs& args) {
  std::string label;
  if (!args.convert(label)) return nullptr;
  auto r = CheckpointRepository(self.root).latest(label);
  return finish(r, [](const std::optional<CheckpointEntry>& entry) {
    return (entry ? checkpoint_dict(*entry) : none()).release();
  });
}

constexpr Signature kRestoreLatest{"CheckpointRepository",
                                   "restore_latest($self, label, target_dir)\n--\n\n"
                                   "Restore the latest checkpoint for ``label`` into ``target_dir``."};
// The new engine gets its own mutex and no maintenance thread, as an engine
// restored by Engine.restore_from does.
PyObject* restore_latest(CheckpointRepositoryState& self, BoundArgs& args) {
  std::string label, target_dir;
  if (!args.convert(label, target_dir)) return nullptr;
  auto opened = without_interpreter_lock([&]() -> Result<Engine> {
    QVN_TRY_VOID(CheckpointRepository(self.root).restore_latest(label, target_dir));
    return Engine::open(target_dir, DEFAULT_VAMANA_THRESHOLD, std::nullopt);
  });
  return finish(opened, [](Engine& engine) {
    return new_engine_object(std::make_shared<PoisonableMutex<Engine>>(std::move(engine))).release();
  });
}

// In the order of the class's method table.
PyMethodDef g_methods[] = {
    method_def<CheckpointRepositoryState, kSave, save>(),
    method_def<CheckpointRepositoryState, kList, list>(),
    method_def<CheckpointRepositoryState, kLatest, latest>(),
    method_def<CheckpointRepositoryState, kRestoreLatest, restore_latest>(),
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
