#include "engine_methods_core.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine_object.h"
#include "read_result.h"
#include "results.h"
#include "retrieval/refinement.h"

namespace qvn::py::engine_core {

namespace {

using qvn::Engine;

// --- shared pieces -------------------------------------------------------------

// The Python object around a freshly opened engine, or the open's error.
// The engine is dropped with the Result when the object cannot be created.
PyObject* wrap_opened(Result<Engine>& opened) {
  return finish(opened, [](Engine& engine) {
    return new_engine_object(std::make_shared<PoisonableMutex<Engine>>(std::move(engine))).release();
  });
}

// Moves the layers' memory into the arrays of the dict.
PyRef pack_dict(PackHit& hit) {
  return DictBuilder()
      .u64("pack_id", hit.pack_id)
      .u64("owner", hit.owner)
      .f32("score", hit.score)
      .tier("tier", hit.tier)
      .set("layers", layers_list(hit.layers))
      .text("text", hit.text)
      .take();
}

PyObject* pack_list(std::vector<PackHit>& hits) {
  return list_of(hits, [](PackHit& hit) { return pack_dict(hit); }).release();
}

// The key and value of one cell write, in the order they are copied.
bool copy_pair(const F32Array& key, const F32Array& value, std::vector<float>& key_out,
               std::vector<float>& value_out) {
  return copy_vector(key, key_out) && copy_vector(value, value_out);
}

// The retrieval key and every payload array of a pack write, copied in
// payload order into the request.
bool copy_pack_request(const F32Array& retrieval_key,
                       const std::vector<std::pair<uint16_t, F32Array>>& payloads,
                       PackWriteRequest& out) {
  if (!copy_vector(retrieval_key, out.retrieval_key)) return false;
  out.layers.resize(payloads.size());
  for (size_t i = 0; i < payloads.size(); ++i) {
    out.layers[i].layer_idx = payloads[i].first;
    if (!copy_vector(payloads[i].second, out.layers[i].data)) return false;
  }
  return true;
}

// Hits of a cell read as ReadResult records. Requires: engine mutex held, so
// each importance is the one this read left behind.
std::vector<ReadResultState> read_records(Engine& e, std::vector<CellHit>&& hits) {
  std::vector<ReadResultState> records;
  records.reserve(hits.size());
  for (CellHit& hit : hits) {
    const GovernanceEntry* entry = e.governance().get(hit.cell.cell_id);
    float importance = entry ? entry->importance : 0.0f;
    records.push_back(ReadResultState::from_cell(std::move(hit.cell), hit.score, importance, hit.tier));
  }
  return records;
}

PyObject* record_list(std::vector<ReadResultState>& records) {
  return read_result_list(std::move(records)).release();
}

// --- construction --------------------------------------------------------------

PyObject* construct_body(PyTypeObject*, BoundArgs& args) {
  std::string path;
  std::optional<uint64_t> segment_size;
  std::optional<uint64_t> vamana_threshold;
  if (!args.convert(path, segment_size, vamana_threshold)) return nullptr;
  auto opened = without_interpreter_lock([&] {
    return Engine::open(path, vamana_threshold.value_or(DEFAULT_VAMANA_THRESHOLD), segment_size);
  });
  return wrap_opened(opened);
}

constexpr Signature kRestoreFrom{
    "Engine",
    "restore_from(in_path, target_dir)\n--\n\n"
    "Restore a snapshot archive at ``in_path`` into ``target_dir``\n"
    "and return a freshly opened :class:`Engine`.\n\n"
    "``target_dir`` must be empty or non-existent. Raises\n"
    ":py:exc:`RuntimeError` with a typed message on integrity,\n"
    "magic, version, or codec mismatch."};
PyObject* restore_from_body(BoundArgs& args) {
  std::string in_path, target_dir;
  if (!args.convert(in_path, target_dir)) return nullptr;
  auto opened = without_interpreter_lock([&] { return Engine::restore_from(in_path, target_dir); });
  return wrap_opened(opened);
}

constexpr Signature kOpenWithWriteBuffer{
    "Engine",
    "open_with_write_buffer(path, max_batch_size, max_idle_ms=0)\n--\n\n"
    "Open an engine at ``path`` with a streaming-ingest write\n"
    "buffer enabled. Buffered writes return their pack id\n"
    "synchronously and defer the fsync until the buffer reaches\n"
    "``max_batch_size`` or :py:meth:`flush_buffer` is called.\n\n"
    "``max_idle_ms`` is reserved for a future idle-timer flush\n"
    "(currently has no effect); pass ``0``."};
PyObject* open_with_write_buffer_body(BoundArgs& args) {
  std::string path;
  uint64_t max_batch_size = 0;
  uint64_t max_idle_ms = 0;
  if (!args.convert(path, max_batch_size, max_idle_ms)) return nullptr;
  auto opened =
      without_interpreter_lock([&] { return Engine::open_with_write_buffer(path, max_batch_size, max_idle_ms); });
  return wrap_opened(opened);
}

// --- persistence ----------------------------------------------------------------

constexpr Signature kFlush{
    "Engine",
    "flush($self)\n--\n\n"
    "Explicit durability checkpoint \xe2\x80\x94 ensures all components have fsynced."};
PyObject* flush_body(EngineState& self, BoundArgs&) {
  auto r = run_released<kWrite>(self.inner, [](Engine& e) { return e.flush(); });
  return r ? finish_none(*r) : nullptr;
}

constexpr Signature kFlushBuffer{
    "Engine",
    "flush_buffer($self)\n--\n\n"
    "Drain the streaming write buffer. No-op when the\n"
    "engine was opened without a buffer or when the buffer is\n"
    "already empty."};
PyObject* flush_buffer_body(EngineState& self, BoundArgs&) {
  auto r = run_released<kWrite>(self.inner, [](Engine& e) { return e.flush_buffer(); });
  return r ? finish_none(*r) : nullptr;
}

constexpr Signature kRefresh{
    "Engine",
    "refresh($self)\n--\n\n"
    "Re-sync in-memory state from disk.\n\n"
    "Use when another process or `Engine` handle has written to the same\n"
    "directory and this handle needs to see those writes. Re-applies the\n"
    "Memento pattern from `open()`: rescans segments, replays the WAL,\n"
    "refreshes governance / `pack_directory` / `text_store` / `deletion_log`.\n"
    "Idempotent and cheap when nothing changed on disk."};
PyObject* refresh_body(EngineState& self, BoundArgs&) {
  auto r = run_released<kRead>(self.inner, [](Engine& e) { return e.refresh(); });
  return r ? finish_none(*r) : nullptr;
}

constexpr Signature kSnapshot{
    "Engine",
    "snapshot($self, out_path)\n--\n\n"
    "Snapshot the engine state to a portable tar archive at\n"
    "``out_path``. Returns the manifest as a dict with keys\n"
    "``magic``, ``format_version``, ``created_at``, ``pack_count``,\n"
    "``owner_count``, ``sha256``.\n\n"
    "``out_path`` must be outside the engine's working directory \xe2\x80\x94\n"
    "otherwise the tar walker would read its own output."};
PyObject* snapshot_body(EngineState& self, BoundArgs& args) {
  std::string out_path;
  if (!args.convert(out_path)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) {
    return drain_then_archive(e, [&] { return e.snapshot(out_path); });
  });
  if (!r) return nullptr;
  return finish(*r, [](const SnapshotManifest& m) { return manifest_dict(m).release(); });
}

constexpr Signature kCompact{
    "Engine",
    "compact($self)\n--\n\n"
    "Compact storage by rewriting segments with dead cells.\n\n"
    "Returns a dict with `segments_compacted`, `cells_moved`, `bytes_reclaimed`."};
PyObject* compact_body(EngineState& self, BoundArgs&) {
  auto r = run_released<kWrite>(self.inner, [](Engine& e) { return e.compact(); });
  if (!r) return nullptr;
  return finish(*r, [](const CompactionStats& s) {
    return DictBuilder()
        .u64("segments_compacted", s.segments_compacted)
        .u64("cells_moved", s.cells_moved)
        .u64("bytes_reclaimed", s.bytes_reclaimed)
        .finish();
  });
}

// --- size and shape -------------------------------------------------------------

constexpr Signature kStatus{
    "Engine",
    "status($self)\n--\n\n"
    "Snapshot of engine state for monitoring and diagnostics.\n\n"
    "Returns a dict with keys: `cell_count`, `pack_count`, `segment_count`,\n"
    "`slb_occupancy`, `slb_capacity`, `vamana_active`, `pipeline_stages`,\n"
    "`governance_entries`, `trace_edges`, `arena_bytes`, `arena_bytes_per_cell`."};
PyObject* status_body(EngineState& self, BoundArgs&) {
  // One hold of the mutex, so the eleven values agree with each other.
  auto r = run_locked<kRead>(self.inner, [](Engine& e) { return e.status(); });
  if (!r) return nullptr;
  const EngineStatus& s = *r;
  return DictBuilder()
      .u64("cell_count", s.cell_count)
      .u64("pack_count", s.pack_count)
      .u64("segment_count", s.segment_count)
      .u64("slb_occupancy", s.slb_occupancy)
      .u64("slb_capacity", s.slb_capacity)
      .flag("vamana_active", s.vamana_active)
      .u64("pipeline_stages", s.pipeline_stages)
      .u64("governance_entries", s.governance_entries)
      .u64("trace_edges", s.trace_edges)
      .u64("arena_bytes", s.arena_bytes)
      .u64("arena_bytes_per_cell", s.arena_bytes_per_cell)
      .finish();
}

// One status counter read under the mutex.
template <class Read, class Build>
PyObject* counter(EngineState& self, Read read, Build build) {
  auto r = run_locked<kRead>(self.inner, [&](Engine& e) { return read(e); });
  return r ? build(*r).release() : nullptr;
}

constexpr Signature kCellCount{"Engine", "cell_count($self)\n--\n\nTotal number of cells in the engine."};
PyObject* cell_count_body(EngineState& self, BoundArgs&) {
  return counter(self, [](Engine& e) { return e.cell_count(); }, to_py);
}

constexpr Signature kPackCount{"Engine", "pack_count($self)\n--\n\nNumber of KV Packs stored."};
PyObject* pack_count_body(EngineState& self, BoundArgs&) {
  return counter(self, [](Engine& e) { return e.pack_count(); }, to_py);
}

constexpr Signature kHasVamana{"Engine", "has_vamana($self)\n--\n\nWhether the Vamana ANN index is active."};
PyObject* has_vamana_body(EngineState& self, BoundArgs&) {
  return counter(self, [](Engine& e) { return e.has_vamana(); }, to_py_bool);
}

constexpr Signature kPipelineStageCount{
    "Engine", "pipeline_stage_count($self)\n--\n\nNumber of stages in the retrieval pipeline."};
PyObject* pipeline_stage_count_body(EngineState& self, BoundArgs&) {
  return counter(self, [](Engine& e) { return e.pipeline_stage_count(); }, to_py);
}

// --- retrieval settings ---------------------------------------------------------

constexpr Signature kSetRefinementMode{
    "Engine",
    "set_refinement_mode($self, mode, alpha=None, beta=None, k_prime=None)\n--\n\n"
    "Configure post-retrieval refinement (vague-query rescue).\n\n"
    "`mode` selects the strategy: `\"none\"`, `\"centered\"`, `\"whitened\"` or `\"prf\"`.\n"
    "With `\"prf\"`, the optional `alpha` (default 0.7), `beta` (default 0.3)\n"
    "and `k_prime` (default 3) tune the Rocchio expansion."};
PyObject* set_refinement_mode_body(EngineState& self, BoundArgs& args) {
  std::string mode;
  std::optional<float> alpha, beta;
  std::optional<uint64_t> k_prime;
  if (!args.convert(mode, alpha, beta, k_prime)) return nullptr;
  // Parsed before the mutex: an unknown mode never touches the engine.
  std::unique_ptr<RefinementStrategy> strategy = parse_mode(mode, alpha, beta, k_prime);
  if (!strategy) {
    return raise_runtime("unknown refinement mode '" + mode +
                         "' (expected 'none', 'centered', 'prf', or 'whitened')");
  }
  auto r = run_locked<OnAllocFailure::KeepUsable>(self.inner, [&](Engine& e) {
    e.set_refinement(std::move(strategy));
    return true;
  });
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

constexpr Signature kRefinementMode{
    "Engine",
    "refinement_mode($self)\n--\n\n"
    "Currently configured refinement mode: `\"none\" | \"centered\" | \"whitened\" | \"prf\"`."};
PyObject* refinement_mode_body(EngineState& self, BoundArgs&) {
  return counter(self, [](Engine& e) { return e.refinement().name(); }, to_py_str);
}

constexpr Signature kSetTokenReweighting{
    "Engine",
    "set_token_reweighting($self, enabled)\n--\n\n"
    "Enable or disable corpus-mean distance token importance reweighting.\n\n"
    "When enabled, each per-token score is scaled by\n"
    "`1 - cosine(token, corpus_mean)` before aggregation \xe2\x80\x94 distinctive tokens\n"
    "carry more retrieval signal than tokens aligned with the mean activation."};
PyObject* set_token_reweighting_body(EngineState& self, BoundArgs& args) {
  bool enabled = false;
  if (!args.convert(enabled)) return nullptr;
  auto r = run_locked<OnAllocFailure::KeepUsable>(self.inner, [&](Engine& e) {
    e.set_token_reweighting(enabled);
    return true;
  });
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

constexpr Signature kTokenReweighting{
    "Engine",
    "token_reweighting($self)\n--\n\n"
    "Whether corpus-mean distance token importance reweighting is enabled."};
PyObject* token_reweighting_body(EngineState& self, BoundArgs&) {
  return counter(self, [](Engine& e) { return e.token_reweighting(); }, to_py_bool);
}

// --- writes ---------------------------------------------------------------------

constexpr Signature kMemWrite{
    "Engine",
    "mem_write($self, owner, layer, key, value, salience, parent_cell_id)\n--\n\n"
    "Write key/value vectors to the engine (cell-level API).\n\n"
    "**Deprecated:** Use `mem_write_pack` for new code. The Pack API is\n"
    "the canonical interface for storing multi-layer KV caches."};
PyObject* mem_write_body(EngineState& self, BoundArgs& args) {
  uint64_t owner = 0;
  uint16_t layer = 0;
  F32Array key_arr, value_arr;
  float salience = 0.0f;
  std::optional<uint64_t> parent;
  if (!args.convert(owner, layer, key_arr, value_arr, salience, parent)) return nullptr;
  std::vector<float> key, value;
  if (!copy_pair(key_arr, value_arr, key, value)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) {
    return e.mem_write(owner, layer, std::move(key), std::move(value), salience, parent);
  });
  if (!r) return nullptr;
  return finish(*r, [](CellId id) { return to_py(id).release(); });
}

// One element of `requests`. Its errors carry no argument prefix: they
// describe a member, not the parameter.
bool extract_write_request(PyObject* item, CellWriteItem& out) {
  if (!PyTuple_Check(item)) {
    raise_not_instance(item, "tuple");
    return false;
  }
  // Each member is fetched just before it is converted, so a short tuple
  // with a bad early member reports the bad member.
  auto member = [&](Py_ssize_t i, auto& out_value) {
    PyObject* m = tuple_member(item, i);
    return m && from_py(m, out_value);
  };
  F32Array key, value;
  return member(0, out.owner) && member(1, out.layer) && member(2, key) && member(3, value) &&
         member(4, out.salience) && member(5, out.parent) && copy_pair(key, value, out.key, out.value);
}

constexpr Signature kMemWriteBatch{
    "Engine",
    "mem_write_batch($self, requests)\n--\n\n"
    "Write multiple cells in a single batch with one fsync (Batch Command).\n\n"
    "Each item is a tuple of (owner, layer, key, value, salience, parent).\n"
    "Returns a list of assigned cell IDs."};
PyObject* mem_write_batch_body(EngineState& self, BoundArgs& args) {
  std::vector<PyRef> requests;
  if (!args.convert(requests)) return nullptr;
  std::vector<CellWriteItem> items(requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    if (!extract_write_request(requests[i].get(), items[i])) return nullptr;
  }
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.mem_write_batch(std::move(items)); });
  if (!r) return nullptr;
  return finish(*r, [](const std::vector<CellId>& ids) { return u64_list(ids).release(); });
}

constexpr Signature kMemWritePack{
    "Engine",
    "mem_write_pack($self, owner, retrieval_key, layer_payloads, salience, text=None)\n--\n\n"
    "Store a complete multi-layer KV cache as a single atomic pack.\n\n"
    "Returns the assigned pack ID."};
PyObject* mem_write_pack_body(EngineState& self, BoundArgs& args) {
  PackWriteRequest request;
  F32Array retrieval_key;
  std::vector<std::pair<uint16_t, F32Array>> payloads;
  if (!args.convert(request.owner, retrieval_key, payloads, request.salience, request.text)) return nullptr;
  if (!copy_pack_request(retrieval_key, payloads, request)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.mem_write_pack(std::move(request)); });
  if (!r) return nullptr;
  return finish(*r, [](PackId id) { return to_py(id).release(); });
}

constexpr Signature kMemWritePackWithAutoLink{
    "Engine",
    "mem_write_pack_with_auto_link($self, owner, retrieval_key, layer_payloads, salience, "
    "auto_link_threshold=None, text=None)\n--\n\n"
    "Store a pack with automatic discovery and linking of similar existing packs.\n\n"
    "Returns a dict with `pack_id` and `linked_pack_ids`.\n"
    "Threshold defaults to [`DEFAULT_AUTO_LINK_THRESHOLD`] (250.0) when omitted."};
PyObject* mem_write_pack_with_auto_link_body(EngineState& self, BoundArgs& args) {
  PackWriteRequest request;
  F32Array retrieval_key;
  std::vector<std::pair<uint16_t, F32Array>> payloads;
  std::optional<float> threshold;
  if (!args.convert(request.owner, retrieval_key, payloads, request.salience, threshold, request.text)) {
    return nullptr;
  }
  if (!copy_pack_request(retrieval_key, payloads, request)) return nullptr;
  float t = threshold.value_or(DEFAULT_AUTO_LINK_THRESHOLD);
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) {
    return e.mem_write_pack_with_auto_link(std::move(request), t);
  });
  if (!r) return nullptr;
  return finish(*r, [](const std::pair<PackId, std::vector<PackId>>& out) {
    return DictBuilder().u64("pack_id", out.first).set("linked_pack_ids", u64_list(out.second)).finish();
  });
}

constexpr Signature kAddViewKeys{
    "Engine",
    "add_view_keys($self, pack_id, view_keys)\n--\n\n"
    "Register one or more view keys for an existing pack.\n\n"
    "View keys are additional retrieval keys \xe2\x80\x94 queries matching any view key\n"
    "will surface this pack during `mem_read_pack`. Returns the total number\n"
    "of view keys registered for this pack after the call."};
PyObject* add_view_keys_body(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  std::vector<F32Array> arrays;
  if (!args.convert(pack_id, arrays)) return nullptr;
  std::vector<std::vector<float>> keys(arrays.size());
  for (size_t i = 0; i < arrays.size(); ++i) {
    // A TypeError here, unlike every other array copy: callers catch it so.
    if (!copy_vector(arrays[i], keys[i], PyExc_TypeError)) return nullptr;
  }
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.add_view_keys(pack_id, keys); });
  if (!r) return nullptr;
  return finish(*r, [](uint64_t n) { return to_py(n).release(); });
}

constexpr Signature kViewCount{
    "Engine",
    "view_count($self, pack_id)\n--\n\n"
    "Return the number of view keys registered for a pack.\n\n"
    "Raises `RuntimeError` if the pack does not exist."};
PyObject* view_count_body(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  auto r = run_locked<kRead>(self.inner, [&](Engine& e) { return e.view_count(pack_id); });
  if (!r) return nullptr;
  return finish(*r, [](uint64_t n) { return to_py(n).release(); });
}

// --- reads ----------------------------------------------------------------------

constexpr Signature kMemRead{
    "Engine",
    "mem_read($self, query_key, k, owner)\n--\n\n"
    "Read the top-k most relevant cells for a query key (cell-level API).\n\n"
    "**Deprecated:** Use `mem_read_pack` for new code. The Pack API returns\n"
    "complete multi-layer KV caches ready for injection."};
PyObject* mem_read_body(EngineState& self, BoundArgs& args) {
  F32Array query_arr;
  uint64_t k = 0;
  std::optional<uint64_t> owner;
  if (!args.convert(query_arr, k, owner)) return nullptr;
  std::vector<float> query;
  if (!copy_vector(query_arr, query)) return nullptr;
  auto r = run_released<kRead>(self.inner, [&](Engine& e) -> Result<std::vector<ReadResultState>> {
    QVN_TRY(auto hits, e.mem_read(query, k, owner));
    return read_records(e, std::move(hits));
  });
  if (!r) return nullptr;
  return finish(*r, record_list);
}

constexpr Signature kMemReadTokens{
    "Engine",
    "mem_read_tokens($self, query_tokens, k, owner)\n--\n\n"
    "Read top-k cells using a raw per-token query matrix (Direct Token Query API).\n\n"
    "Accepts a 2-D NumPy array of shape (`n_tokens`, `dim`) directly. This skips the\n"
    "Python-side `encode_per_token` step (building the header, flattening the matrix,\n"
    "copying it into the native layer and parsing the header again): the engine builds\n"
    "the encoded key in one allocation and delegates to `mem_read`."};
PyObject* mem_read_tokens_body(EngineState& self, BoundArgs& args) {
  F32Matrix tokens;
  uint64_t k = 0;
  std::optional<uint64_t> owner;
  if (!args.convert(tokens, k, owner)) return nullptr;
  std::vector<float> rows;
  uint64_t n_tokens = 0, dim = 0;
  if (!copy_matrix(tokens, rows, n_tokens, dim)) return nullptr;
  auto r = run_released<kRead>(self.inner, [&](Engine& e) -> Result<std::vector<ReadResultState>> {
    QVN_TRY(auto hits, e.mem_read_tokens(rows, n_tokens, dim, k, owner));
    return read_records(e, std::move(hits));
  });
  if (!r) return nullptr;
  return finish(*r, record_list);
}

constexpr Signature kMemReadPack{
    "Engine",
    "mem_read_pack($self, query_key, k, owner)\n--\n\n"
    "Retrieve the top-k KV Packs matching a query key.\n\n"
    "Returns list of dicts with pack ID, owner, score, tier, and layers."};
PyObject* mem_read_pack_body(EngineState& self, BoundArgs& args) {
  F32Array query_arr;
  uint64_t k = 0;
  std::optional<uint64_t> owner;
  if (!args.convert(query_arr, k, owner)) return nullptr;
  std::vector<float> query;
  if (!copy_vector(query_arr, query)) return nullptr;
  auto r = run_released<kRead>(self.inner, [&](Engine& e) { return e.mem_read_pack(query, k, owner); });
  if (!r) return nullptr;
  return finish(*r, pack_list);
}

// Both boosted reads: the same arguments, one engine operation apart.
using BoostedRead = Result<std::vector<PackHit>> (Engine::*)(std::span<const float>, uint64_t,
                                                             std::optional<OwnerId>, float);
template <BoostedRead Op>
PyObject* boosted_read_body(EngineState& self, BoundArgs& args) {
  F32Array query_arr;
  uint64_t k = 0;
  std::optional<uint64_t> owner;
  float boost_factor = 0.0f;
  if (!args.convert(query_arr, k, owner, boost_factor)) return nullptr;
  std::vector<float> query;
  if (!copy_vector(query_arr, query)) return nullptr;
  auto r = run_released<kRead>(self.inner, [&](Engine& e) { return (e.*Op)(query, k, owner, boost_factor); });
  if (!r) return nullptr;
  return finish(*r, pack_list);
}

constexpr Signature kMemReadPackWithTraceBoost{
    "Engine",
    "mem_read_pack_with_trace_boost($self, query_key, k, owner, boost_factor)\n--\n\n"
    "Retrieve packs with trace-boosted scoring."};

constexpr Signature kMemReadPackWithTraceBoostAndFollow{
    "Engine",
    "mem_read_pack_with_trace_boost_and_follow($self, query_key, k, owner, boost_factor)\n--\n\n"
    "Retrieve packs with trace-boosted scoring and automatic link traversal."};

constexpr Signature kLoadPackById{
    "Engine",
    "load_pack_by_id($self, pack_id)\n--\n\n"
    "Load a pack by ID without retrieval scoring."};
PyObject* load_pack_by_id_body(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  auto r = run_released<kRead>(self.inner, [&](Engine& e) { return e.load_pack_by_id(pack_id); });
  if (!r) return nullptr;
  return finish(*r, [](PackHit& hit) { return pack_dict(hit).release(); });
}

template <const Signature& Sig, MethodBody<EngineState> Body>
PyMethodDef def() {
  return method_def<EngineState, Sig, Body>();
}

}  // namespace

// --- slots and table entries ------------------------------------------------------

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_entry<kEngineNew, construct_body>(type, args, kwargs);
}

PyObject* repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    auto ref = extract_engine_ref(self, Borrow::Shared);
    if (!ref) return nullptr;
    auto text = run_locked<kRead>((*ref)->inner, [](Engine& e) {
      return "Engine(path='" + e.path() + "', cells=" + std::to_string(e.cell_count()) + ")";
    });
    return text ? str_lossy(*text).release() : nullptr;
  }, "__repr__");
}

PyMethodDef restore_from() { return static_method_def<kRestoreFrom, restore_from_body>(); }
PyMethodDef open_with_write_buffer() {
  return static_method_def<kOpenWithWriteBuffer, open_with_write_buffer_body>();
}
PyMethodDef flush() { return def<kFlush, flush_body>(); }
PyMethodDef flush_buffer() { return def<kFlushBuffer, flush_buffer_body>(); }
PyMethodDef refresh() { return def<kRefresh, refresh_body>(); }
PyMethodDef snapshot() { return def<kSnapshot, snapshot_body>(); }
PyMethodDef compact() { return def<kCompact, compact_body>(); }
PyMethodDef status() { return def<kStatus, status_body>(); }
PyMethodDef cell_count() { return def<kCellCount, cell_count_body>(); }
PyMethodDef pack_count() { return def<kPackCount, pack_count_body>(); }
PyMethodDef has_vamana() { return def<kHasVamana, has_vamana_body>(); }
PyMethodDef pipeline_stage_count() { return def<kPipelineStageCount, pipeline_stage_count_body>(); }
PyMethodDef set_refinement_mode() { return def<kSetRefinementMode, set_refinement_mode_body>(); }
PyMethodDef refinement_mode() { return def<kRefinementMode, refinement_mode_body>(); }
PyMethodDef set_token_reweighting() { return def<kSetTokenReweighting, set_token_reweighting_body>(); }
PyMethodDef token_reweighting() { return def<kTokenReweighting, token_reweighting_body>(); }
PyMethodDef mem_write() { return def<kMemWrite, mem_write_body>(); }
PyMethodDef mem_write_batch() { return def<kMemWriteBatch, mem_write_batch_body>(); }
PyMethodDef mem_write_pack() { return def<kMemWritePack, mem_write_pack_body>(); }
PyMethodDef mem_write_pack_with_auto_link() {
  return def<kMemWritePackWithAutoLink, mem_write_pack_with_auto_link_body>();
}
PyMethodDef add_view_keys() { return def<kAddViewKeys, add_view_keys_body>(); }
PyMethodDef view_count() { return def<kViewCount, view_count_body>(); }
PyMethodDef mem_read() { return def<kMemRead, mem_read_body>(); }
PyMethodDef mem_read_tokens() { return def<kMemReadTokens, mem_read_tokens_body>(); }
PyMethodDef mem_read_pack() { return def<kMemReadPack, mem_read_pack_body>(); }
PyMethodDef mem_read_pack_with_trace_boost() {
  return def<kMemReadPackWithTraceBoost, boosted_read_body<&Engine::mem_read_pack_with_trace_boost>>();
}
PyMethodDef mem_read_pack_with_trace_boost_and_follow() {
  return def<kMemReadPackWithTraceBoostAndFollow,
             boosted_read_body<&Engine::mem_read_pack_with_trace_boost_and_follow>>();
}
PyMethodDef load_pack_by_id() { return def<kLoadPackById, load_pack_by_id_body>(); }

}  // namespace qvn::py::engine_core
