#include "engine_methods_admin.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/half.h"
#include "core/platform.h"
#include "engine/engine.h"
#include "engine/maintenance.h"
#include "engine/trace.h"
#include "engine_object.h"
#include "maintenance_registry.h"
#include "results.h"

namespace qvn::py::admin {

namespace {

// Storage layers report IoError; Python sees it as the engine's StorageIo.
template <class T>
Result<T> as_engine(IoResult<T>&& r) {
  if (!r.ok()) return make_unexpected(EngineError(std::move(r).error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(r).value();
  }
}

template <const Signature& Sig, MethodBody<EngineState> Body, Borrow Kind = Borrow::Shared>
PyMethodDef def() {
  return method_def<EngineState, Sig, Body, Kind>();
}

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

// A float as Python's repr shows it, for messages about a float argument.
std::string float_repr(double v) {
  char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (!text) {
    PyErr_Clear();
    return std::to_string(v);
  }
  std::string out(text);
  PyMem_Free(text);
  return out;
}

PyRef half_array(const std::vector<uint16_t>& halves) {
  std::vector<float> widened(halves.size());
  for (size_t i = 0; i < halves.size(); ++i) widened[i] = f16_to_f32(halves[i]);
  return to_py_array(widened);
}

std::vector<uint16_t> to_halves(const std::vector<float>& values) {
  std::vector<uint16_t> out(values.size());
  for (size_t i = 0; i < values.size(); ++i) out[i] = f32_to_f16(values[i]);
  return out;
}

// ============================================================================
// Adapter and text methods

constexpr Signature kStoreSynapsis{
    "Engine",
    "store_synapsis($self, id, owner, lora_a, lora_b, scale, rank, d_model, last_used=None, quality=None)\n--\n\n"
    "Store a `LoRA` adapter entry. Arrays are f32 in Python, converted to f16 internally."};
PyObject* store_synapsis(EngineState& self, BoundArgs& args) {
  uint64_t id = 0, owner = 0;
  F32Array lora_a, lora_b;
  float scale = 0.0f;
  uint32_t rank = 0, d_model = 0;
  std::optional<uint64_t> last_used;
  std::optional<float> quality;
  if (!args.convert(id, owner, lora_a, lora_b, scale, rank, d_model, last_used, quality)) return nullptr;
  std::vector<float> a, b;
  if (!copy_vector(lora_a, a) || !copy_vector(lora_b, b)) return nullptr;
  // Exact: both factors are below 2^32.
  const uint64_t n = static_cast<uint64_t>(rank) * d_model;
  auto length_error = [&](const char* name, size_t len) {
    return raise_value_error(std::string(name) + " length " + std::to_string(len) + " != rank(" +
                             std::to_string(rank) + ") * d_model(" + std::to_string(d_model) +
                             ") = " + std::to_string(n));
  };
  if (a.size() != n) return length_error("lora_a", a.size());
  if (b.size() != n) return length_error("lora_b", b.size());
  SynapticEntry entry;
  entry.id = id;
  entry.owner = owner;
  entry.lora_a = to_halves(a);
  entry.lora_b = to_halves(b);
  entry.scale = f32_to_f16(scale);
  entry.rank = rank;
  entry.d_model = d_model;
  entry.last_used = last_used.value_or(0);
  entry.quality = quality.value_or(0.0f);
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.store_adapter(entry); });
  if (!r) return nullptr;
  return finish_none(*r);
}

constexpr Signature kLoadSynapsis{
    "Engine",
    "load_synapsis($self, owner)\n--\n\n"
    "Load all `LoRA` adapter entries for an owner.\n\n"
    "Returns a list of dicts. Arrays are f16 internally, converted to f32 numpy arrays on return."};
PyObject* load_synapsis(EngineState& self, BoundArgs& args) {
  uint64_t owner = 0;
  if (!args.convert(owner)) return nullptr;
  auto r = run_released<kRead>(self.inner,
                               [&](Engine& e) { return as_engine(e.synaptic().load_for_owner(owner)); });
  if (!r) return nullptr;
  return finish(*r, [](const std::vector<SynapticEntry>& entries) {
    return list_of(entries, [](const SynapticEntry& s) {
             return DictBuilder()
                 .u64("id", s.id)
                 .u64("owner", s.owner)
                 .u64("rank", s.rank)
                 .u64("d_model", s.d_model)
                 .f32("scale", f16_to_f32(s.scale))
                 .u64("last_used", s.last_used)
                 .f32("quality", s.quality)
                 .set("lora_a", half_array(s.lora_a))
                 .set("lora_b", half_array(s.lora_b))
                 .take();
           })
        .release();
  });
}

constexpr Signature kPackText{"Engine",
                              "pack_text($self, pack_id)\n--\n\nGet the stored text for a pack, if any."};
PyObject* pack_text(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  auto r = run_locked<kRead>(self.inner, [&](Engine& e) -> std::optional<std::string> {
    const std::string* text = e.text_store().get(pack_id);
    if (!text) return std::nullopt;
    return *text;
  });
  if (!r) return nullptr;
  return to_py_text(*r).release();
}

constexpr Signature kSetPackText{
    "Engine", "set_pack_text($self, pack_id, text)\n--\n\nSet or update the stored text for an existing pack."};
PyObject* set_pack_text(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  std::string text;
  if (!args.convert(pack_id, text)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) -> Result<void> {
    std::vector<std::pair<PackId, std::string>> one;
    one.emplace_back(pack_id, std::move(text));
    return e.set_pack_texts(one);
  });
  if (!r) return nullptr;
  return finish_none(*r);
}

constexpr Signature kSetPackTexts{
    "Engine", "set_pack_texts($self, entries)\n--\n\nSet or update text for many packs in a single batched fsync."};
PyObject* set_pack_texts(EngineState& self, BoundArgs& args) {
  std::vector<std::pair<uint64_t, std::string>> entries;
  if (!args.convert(entries)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.set_pack_texts(entries); });
  if (!r) return nullptr;
  return finish_none(*r);
}

// ============================================================================
// Governance methods

constexpr Signature kCellImportance{
    "Engine", "cell_importance($self, cell_id)\n--\n\nGet the current importance score of a cell."};
PyObject* cell_importance(EngineState& self, BoundArgs& args) {
  uint64_t cell_id = 0;
  if (!args.convert(cell_id)) return nullptr;
  auto r = run_locked<kRead>(self.inner, [&](Engine& e) -> std::optional<float> {
    const GovernanceEntry* g = e.governance().get(cell_id);
    if (!g) return std::nullopt;
    return g->importance;
  });
  if (!r) return nullptr;
  return (*r ? to_py_f32(**r) : none()).release();
}

constexpr Signature kCellTier{
    "Engine",
    "cell_tier($self, cell_id)\n--\n\nGet the current tier of a cell (0=Draft, 1=Validated, 2=Core)."};
PyObject* cell_tier(EngineState& self, BoundArgs& args) {
  uint64_t cell_id = 0;
  if (!args.convert(cell_id)) return nullptr;
  auto r = run_locked<kRead>(self.inner, [&](Engine& e) -> std::optional<uint64_t> {
    const GovernanceEntry* g = e.governance().get(cell_id);
    if (!g) return std::nullopt;
    return tier_byte(g->tier);
  });
  if (!r) return nullptr;
  return to_py_opt_u64(*r).release();
}

constexpr Signature kAdvanceDays{
    "Engine",
    "advance_days($self, days)\n--\n\nSimulate passage of time for governance decay (testing utility)."};
PyObject* advance_days(EngineState& self, BoundArgs& args) {
  float days = 0.0f;
  if (!args.convert(days)) return nullptr;
  auto r = run_locked<OnAllocFailure::KeepUsable>(self.inner, [&](Engine& e) {
    e.advance_days(days);
    return 0;
  });
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

PyObject* count_result(Result<uint64_t>& r) {
  return finish(r, [](uint64_t n) { return to_py(n).release(); });
}

constexpr Signature kEvictDraftPacks{
    "Engine",
    "evict_draft_packs($self, importance_threshold, owner=None)\n--\n\n"
    "Evict Draft-tier packs below the importance threshold."};
PyObject* evict_draft_packs(EngineState& self, BoundArgs& args) {
  float threshold = 0.0f;
  std::optional<uint64_t> owner;
  if (!args.convert(threshold, owner)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.evict_draft_packs(threshold, owner); });
  if (!r) return nullptr;
  return count_result(*r);
}

constexpr Signature kSweepNow{
    "Engine",
    "sweep_now($self, hours=0.0, eviction_threshold=15.0)\n--\n\n"
    "Run a governance sweep synchronously.\n\n"
    "Advances importance decay by ``hours`` and evicts Draft-tier\n"
    "packs that fall below ``eviction_threshold``. Returns the\n"
    "number of packs evicted. Use after a known event when you\n"
    "want tier transitions visible before the next read."};
PyObject* sweep_now(EngineState& self, BoundArgs& args) {
  float hours = 0.0f;
  float threshold = 15.0f;
  if (!args.convert(hours, threshold)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) {
    if (hours > 0.0f) e.advance_days(hours / 24.0f);  // NaN and negatives do not age
    return e.evict_draft_packs(threshold, std::nullopt);
  });
  if (!r) return nullptr;
  return count_result(*r);
}

constexpr Signature kListOwners{
    "Engine",
    "list_owners($self)\n--\n\n"
    "Enumerate every owner with at least one pack stored.\n\n"
    "Returns owners in ascending order."};
PyObject* list_owners(EngineState& self, BoundArgs&) {
  auto r = run_locked<kRead>(self.inner, [](Engine& e) {
    std::set<OwnerId> owners = e.owners();
    return std::vector<uint64_t>(owners.begin(), owners.end());
  });
  if (!r) return nullptr;
  return u64_list(*r).release();
}

constexpr Signature kOwnerExists{
    "Engine",
    "owner_exists($self, owner)\n--\n\nReturn ``True`` iff the engine has at least one pack for ``owner``."};
PyObject* owner_exists(EngineState& self, BoundArgs& args) {
  uint64_t owner = 0;
  if (!args.convert(owner)) return nullptr;
  auto r = run_locked<kRead>(self.inner, [&](Engine& e) { return e.owners().count(owner) != 0; });
  if (!r) return nullptr;
  return to_py_bool(*r).release();
}

constexpr Signature kDeleteOwner{
    "Engine",
    "delete_owner($self, owner)\n--\n\n"
    "Delete every pack belonging to ``owner``; return the count\n"
    "deleted. Unlike :py:meth:`evict_draft_packs`, this is\n"
    "unconditional \xe2\x80\x94 validated and core-tier packs are removed\n"
    "too. Returns ``0`` when the owner has no packs."};
PyObject* delete_owner(EngineState& self, BoundArgs& args) {
  uint64_t owner = 0;
  if (!args.convert(owner)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.delete_owner(owner); });
  if (!r) return nullptr;
  return count_result(*r);
}

constexpr Signature kPackImportance{
    "Engine", "pack_importance($self, pack_id)\n--\n\nGet the importance score of a pack."};
PyObject* pack_importance(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  auto r = run_locked<kRead>(self.inner, [&](Engine& e) -> std::optional<float> {
    const std::vector<CellId>* cells = e.pack_directory().cells(pack_id);
    if (!cells || cells->empty()) return std::nullopt;
    const GovernanceEntry* g = e.governance().get(cells->front());
    if (!g) return std::nullopt;
    return g->importance;
  });
  if (!r) return nullptr;
  return (*r ? to_py_f32(**r) : none()).release();
}

constexpr Signature kListPacks{
    "Engine",
    "list_packs($self, owner=None)\n--\n\n"
    "Enumerate all packs, optionally filtered by owner.\n\n"
    "Returns a list of dicts with keys: `pack_id`, owner, tier, importance, text.\n"
    "Sorted by importance descending. Draft packs included (caller filters)."};
PyObject* list_packs(EngineState& self, BoundArgs& args) {
  std::optional<uint64_t> owner;
  if (!args.convert(owner)) return nullptr;
  using Row = std::pair<PackSummary, std::optional<std::string>>;
  auto r = run_locked<kRead>(self.inner, [&](Engine& e) {
    std::vector<Row> rows;
    for (PackSummary& s : e.list_packs(owner)) {
      const std::string* text = e.text_store().get(s.pack_id);
      rows.emplace_back(s, text ? std::optional<std::string>(*text) : std::nullopt);
    }
    return rows;
  });
  if (!r) return nullptr;
  return list_of(*r, [](const Row& row) {
           const PackSummary& s = row.first;
           return DictBuilder()
               .u64("pack_id", s.pack_id)
               .u64("owner", s.owner)
               .tier("tier", s.tier)
               .f32("importance", s.importance)
               .text("text", row.second)
               .take();
         })
      .release();
}

constexpr Signature kPackExists{
    "Engine",
    "pack_exists($self, pack_id)\n--\n\nWhether a pack with the given ID exists (and has not been deleted)."};
PyObject* pack_exists(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  auto r = run_locked<kRead>(self.inner,
                             [&](Engine& e) { return e.pack_directory().cells(pack_id) != nullptr; });
  if (!r) return nullptr;
  return to_py_bool(*r).release();
}

constexpr Signature kDeletePack{"Engine",
                                "delete_pack($self, pack_id)\n--\n\nDelete a pack permanently. Irreversible."};
PyObject* delete_pack(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.delete_pack(pack_id); });
  if (!r) return nullptr;
  return finish_none(*r);
}

// ============================================================================
// Trace and link methods

PyObject* id_list(const std::optional<std::vector<uint64_t>>& ids) {
  if (!ids) return nullptr;
  return u64_list(*ids).release();
}

// Pack links of one kind (EDGE_TYPE_ANY for all); the query cannot fail.
PyObject* links_of(EngineState& self, uint64_t pack_id, uint8_t kind) {
  return id_list(run_locked<kRead>(self.inner, [&](Engine& e) { return e.pack_links(pack_id, kind); }));
}

PyObject* add_edge(EngineState& self, uint64_t a, uint64_t b, uint8_t kind) {
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.add_pack_edge(a, b, kind); });
  if (!r) return nullptr;
  return finish_none(*r);
}

constexpr Signature kTraceAncestors{
    "Engine",
    "trace_ancestors($self, cell_id)\n--\n\nGet transitive ancestors of a cell following causal edges."};
PyObject* trace_ancestors(EngineState& self, BoundArgs& args) {
  uint64_t cell_id = 0;
  if (!args.convert(cell_id)) return nullptr;
  return id_list(run_locked<kRead>(self.inner, [&](Engine& e) {
    return e.trace_graph().ancestors(cell_id, static_cast<uint8_t>(EdgeType::CausedBy));
  }));
}

constexpr Signature kAddPackEdge{
    "Engine",
    "add_pack_edge($self, pack_id_1, pack_id_2, edge_type)\n--\n\n"
    "Create a durable typed trace edge between two packs.\n\n"
    "`edge_type`: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports."};
PyObject* add_pack_edge(EngineState& self, BoundArgs& args) {
  uint64_t a = 0, b = 0;
  uint8_t kind = 0;
  if (!args.convert(a, b, kind)) return nullptr;
  if (kind >= EDGE_TYPE_ANY) {
    return raise_runtime("Invalid edge_type " + std::to_string(kind) +
                         ". Valid: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports");
  }
  return add_edge(self, a, b, kind);
}

constexpr Signature kAddPackLink{
    "Engine", "add_pack_link($self, pack_id_1, pack_id_2)\n--\n\nCreate a durable Follows link between two packs."};
PyObject* add_pack_link(EngineState& self, BoundArgs& args) {
  uint64_t a = 0, b = 0;
  if (!args.convert(a, b)) return nullptr;
  return add_edge(self, a, b, static_cast<uint8_t>(EdgeType::Follows));
}

constexpr Signature kPackLinks{
    "Engine",
    "pack_links($self, pack_id)\n--\n\nGet all packs linked to a given pack via trace edges (any type)."};
PyObject* pack_links(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  return links_of(self, pack_id, EDGE_TYPE_ANY);
}

constexpr Signature kPackLinksByType{
    "Engine", "pack_links_by_type($self, pack_id, edge_type)\n--\n\nGet packs linked via a specific edge type."};
PyObject* pack_links_by_type(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  uint8_t kind = 0;
  if (!args.convert(pack_id, kind)) return nullptr;
  // 4 means "any type" to the engine; pack_links is the query for that.
  if (kind >= EDGE_TYPE_ANY) return raise_runtime("Invalid edge_type " + std::to_string(kind));
  return links_of(self, pack_id, kind);
}

constexpr Signature kPackSupports{"Engine",
                                  "pack_supports($self, pack_id)\n--\n\nGet packs that support a given pack."};
PyObject* pack_supports(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  return links_of(self, pack_id, static_cast<uint8_t>(EdgeType::Supports));
}

constexpr Signature kPackContradicts{
    "Engine", "pack_contradicts($self, pack_id)\n--\n\nGet packs that contradict a given pack."};
PyObject* pack_contradicts(EngineState& self, BoundArgs& args) {
  uint64_t pack_id = 0;
  if (!args.convert(pack_id)) return nullptr;
  return links_of(self, pack_id, static_cast<uint8_t>(EdgeType::Contradicts));
}

// ============================================================================
// Scheduling and maintenance methods

PyRef scheduled_entry_to_dict(const ScheduledEntry& entry) {
  double at = 0.0;  // before the epoch
  if (entry.fires_at.secs >= 0) {
    at = static_cast<double>(entry.fires_at.secs) + static_cast<double>(entry.fires_at.nanos) / 1e9;
  }
  const EvictDraft& action = std::get<EvictDraft>(entry.action);
  return DictBuilder()
      .u64("id", entry.id)
      .f64("fires_at_unix_secs", at)
      .set("action", DictBuilder()
                         .str("type", "evict_draft")
                         .u64("owner", action.owner)
                         .f32("threshold", action.threshold)
                         .take())
      .take();
}

constexpr Signature kScheduleEvictDraft{
    "Engine",
    "schedule_evict_draft($self, fires_at_unix_secs, owner, threshold)\n--\n\n"
    "Schedule an ``evict_draft`` action to fire at\n"
    "``fires_at_unix_secs`` (seconds since the Unix epoch).\n"
    "Returns the assigned schedule id.\n\n"
    "The schedule is persisted to a JSON sidecar before this\n"
    "returns and survives engine restart. Built-in actions\n"
    "are idempotent; the at-least-once delivery model gives\n"
    "fire-once-in-effect across crashes."};
PyObject* schedule_evict_draft(EngineState& self, BoundArgs& args) {
  double at_secs = 0.0;
  uint64_t owner = 0;
  double threshold64 = 0.0;
  if (!args.convert(at_secs, owner, threshold64)) return nullptr;
  // Every refusal comes before the mutex is taken: nothing is scheduled.
  auto duration = duration_from_secs(at_secs);
  if (!duration.ok()) return raise_runtime(duration.error());
  if (duration->secs > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return raise_runtime("overflow when adding duration to instant");
  }
  // The scheduler refuses such a time too; refusing it here names the
  // argument, whose usual cause is milliseconds passed as seconds.
  if (static_cast<unsigned __int128>(duration->secs) * 1000000000u + duration->nanos > UINT64_MAX) {
    return raise_runtime("fires_at_unix_secs must be below 2^64 nanoseconds since the Unix epoch "
                         "(18446744073.709551616 seconds), got " + float_repr(at_secs));
  }
  const WallTime fires_at{static_cast<int64_t>(duration->secs), duration->nanos};
  const float threshold = static_cast<float>(threshold64);
  // "scheduled_actions.json" cannot hold a non-finite threshold in a form
  // that loads again; an entry carrying one would keep the engine from
  // reopening.
  if (!std::isfinite(threshold)) {
    return raise_runtime("threshold must be a finite number, got " +
                         std::string(std::isnan(threshold) ? "NaN" : threshold > 0 ? "inf" : "-inf"));
  }
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) {
    return e.schedule_action(EvictDraft{owner, threshold}, fires_at);
  });
  if (!r) return nullptr;
  return count_result(*r);
}

constexpr Signature kCancelScheduled{
    "Engine",
    "cancel_scheduled($self, id)\n--\n\n"
    "Cancel a previously-scheduled action. Returns ``True`` if\n"
    "the entry was found and removed."};
PyObject* cancel_scheduled(EngineState& self, BoundArgs& args) {
  uint64_t id = 0;
  if (!args.convert(id)) return nullptr;
  auto r = run_released<kWrite>(self.inner, [&](Engine& e) { return e.cancel_scheduled(id); });
  if (!r) return nullptr;
  return finish(*r, [](bool removed) { return to_py_bool(removed).release(); });
}

constexpr Signature kListScheduled{
    "Engine",
    "list_scheduled($self)\n--\n\n"
    "List pending scheduled entries as dicts:\n"
    "``{\"id\": int, \"fires_at_unix_secs\": float, \"action\": dict}``\n"
    "Entries are sorted by fire time ascending."};
PyObject* list_scheduled(EngineState& self, BoundArgs&) {
  auto r = run_released<kRead>(self.inner, [](Engine& e) { return e.list_scheduled(); });
  if (!r) return nullptr;
  return finish(*r, [](const std::vector<ScheduledEntry>& entries) {
    return list_of(entries, scheduled_entry_to_dict).release();
  });
}

constexpr Signature kFireDueScheduled{
    "Engine",
    "fire_due_scheduled($self)\n--\n\n"
    "Fire any actions whose `fires_at <= now`. Returns the\n"
    "number of actions that fired successfully. Use after a\n"
    "known event when you want scheduled work committed\n"
    "before the next tick of the background maintenance\n"
    "worker."};
PyObject* fire_due_scheduled(EngineState& self, BoundArgs&) {
  // The clock is read under the mutex, so `now` is never older than an
  // entry scheduled just before by another thread.
  auto r = run_released<kWrite>(self.inner,
                                [](Engine& e) { return e.fire_due_scheduled(platform::now_unix_nanos()); });
  if (!r) return nullptr;
  return count_result(*r);
}

// Durations past the clock's range mean "never" to the maintenance loop.
std::chrono::nanoseconds to_interval(SecondsDuration d) {
  using ns = std::chrono::nanoseconds;
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<ns::rep>::max());
  if (d.secs > (kMax - d.nanos) / 1000000000u) return ns::max();
  return ns(static_cast<ns::rep>(d.secs * 1000000000u + d.nanos));
}

constexpr Signature kStartMaintenance{
    "Engine",
    "start_maintenance($self, sweep_interval_secs=3600.0, compaction_interval_secs=21600.0, "
    "eviction_threshold=15.0, hours_per_tick=1.0)\n--\n\n"
    "Start background maintenance (governance sweep + auto-compaction)."};
PyObject* start_maintenance(EngineState& self, BoundArgs& args) {
  double sweep_secs = 3600.0, compaction_secs = 21600.0;
  float eviction_threshold = 15.0f, hours_per_tick = 1.0f;
  if (!args.convert(sweep_secs, compaction_secs, eviction_threshold, hours_per_tick)) return nullptr;
  if (self.maintenance && maintenance::is_running(*self.maintenance)) {
    return raise_runtime("maintenance already running");
  }
  auto sweep = duration_from_secs(sweep_secs);
  if (!sweep.ok()) return raise_runtime(sweep.error());
  auto compaction = duration_from_secs(compaction_secs);
  if (!compaction.ok()) return raise_runtime(compaction.error());
  MaintenanceConfig config;
  config.sweep_interval = to_interval(*sweep);
  config.compaction_interval = to_interval(*compaction);
  config.eviction_threshold = eviction_threshold;
  config.hours_per_tick = hours_per_tick;
  config.enabled = true;
  std::shared_ptr<MaintenanceHandle> handle = maintenance::make_handle(config);
  auto started = maintenance::start(*handle, self.inner);
  if (!started.ok()) return raise_runtime(started.error());
  // Replacing the earlier handle joins its thread, which has ended already.
  self.maintenance = std::move(handle);
  Py_RETURN_NONE;
}

constexpr Signature kStopMaintenance{"Engine", "stop_maintenance($self)\n--\n\nStop background maintenance."};
PyObject* stop_maintenance(EngineState& self, BoundArgs&) {
  // Waits with the interpreter lock held: the thread never needs it.
  if (self.maintenance) maintenance::stop(*self.maintenance);
  Py_RETURN_NONE;
}

constexpr Signature kIsMaintenanceRunning{
    "Engine", "is_maintenance_running($self)\n--\n\nWhether background maintenance is currently running."};
PyObject* is_maintenance_running(EngineState& self, BoundArgs&) {
  return to_py_bool(self.maintenance && maintenance::is_running(*self.maintenance)).release();
}

constexpr Signature kMaintenanceStatus{"Engine",
                                       "maintenance_status($self)\n--\n\nGet maintenance statistics."};
PyObject* maintenance_status(EngineState& self, BoundArgs&) {
  const MaintenanceStats s = self.maintenance ? self.maintenance->status() : MaintenanceStats{};
  return DictBuilder()
      .u64("sweep_count", s.sweep_count)
      .u64("compaction_count", s.compaction_count)
      .u64("total_packs_evicted", s.total_packs_evicted)
      .u64("total_bytes_reclaimed", s.total_bytes_reclaimed)
      .opt_u64("last_sweep_epoch_secs", s.last_sweep_epoch_secs)
      .opt_u64("last_compaction_epoch_secs", s.last_compaction_epoch_secs)
      .finish();
}

}  // namespace

Expected<SecondsDuration, std::string> duration_from_secs(double secs) {
  if (secs < 0.0) {
    return make_unexpected(std::string("cannot convert float seconds to Duration: value is negative"));
  }
  using u128 = unsigned __int128;
  constexpr int kMantBits = 52;
  constexpr uint64_t kMantMask = (uint64_t{1} << kMantBits) - 1;
  constexpr uint64_t kNanosPerSec = 1000000000u;
  uint64_t bits = 0;
  std::memcpy(&bits, &secs, sizeof bits);
  const uint64_t mant = (bits & kMantMask) | (kMantMask + 1);
  const int exp = static_cast<int>((bits >> kMantBits) & 0x7ff) - 1023;

  // value = mant * 2^(exp - 52). The fraction, scaled to nanoseconds, is
  // computed exactly as nanos_tmp / 2^offset, then rounded to nearest, ties
  // to even.
  auto round_nanos = [](u128 nanos_tmp, int offset, uint64_t whole) {
    uint64_t nanos = static_cast<uint64_t>(nanos_tmp >> offset);
    const u128 rem_mask = (u128{1} << offset) - 1;
    const u128 half = u128{1} << (offset - 1);
    const u128 rem = nanos_tmp & rem_mask;
    if (rem > half || (rem == half && (nanos & 1) != 0)) nanos += 1;
    if (nanos == kNanosPerSec) return SecondsDuration{whole + 1, 0};
    return SecondsDuration{whole, static_cast<uint32_t>(nanos)};
  };
  if (exp < -31) return SecondsDuration{};  // below half a nanosecond (zeros, subnormals)
  if (exp < 0) {
    constexpr int kExtra = 44;  // keeps every bit of the fraction in 128 bits
    const u128 t = u128{mant} << (kExtra + exp);
    return round_nanos(u128{kNanosPerSec} * t, kMantBits + kExtra, 0);
  }
  if (exp < kMantBits) {
    const uint64_t whole = mant >> (kMantBits - exp);
    const u128 frac = (u128{mant} << exp) & kMantMask;
    return round_nanos(u128{kNanosPerSec} * frac, kMantBits, whole);
  }
  if (exp < 64) return SecondsDuration{mant << (exp - kMantBits), 0};
  return make_unexpected(
      std::string("cannot convert float seconds to Duration: value is either too big or NaN"));
}

PyMethodDef store_synapsis_def() { return def<kStoreSynapsis, store_synapsis>(); }
PyMethodDef load_synapsis_def() { return def<kLoadSynapsis, load_synapsis>(); }
PyMethodDef pack_text_def() { return def<kPackText, pack_text>(); }
PyMethodDef set_pack_text_def() { return def<kSetPackText, set_pack_text>(); }
PyMethodDef set_pack_texts_def() { return def<kSetPackTexts, set_pack_texts>(); }

PyMethodDef cell_importance_def() { return def<kCellImportance, cell_importance>(); }
PyMethodDef cell_tier_def() { return def<kCellTier, cell_tier>(); }
PyMethodDef advance_days_def() { return def<kAdvanceDays, advance_days>(); }
PyMethodDef evict_draft_packs_def() { return def<kEvictDraftPacks, evict_draft_packs>(); }
PyMethodDef sweep_now_def() { return def<kSweepNow, sweep_now>(); }
PyMethodDef list_owners_def() { return def<kListOwners, list_owners>(); }
PyMethodDef owner_exists_def() { return def<kOwnerExists, owner_exists>(); }
PyMethodDef delete_owner_def() { return def<kDeleteOwner, delete_owner>(); }
PyMethodDef pack_importance_def() { return def<kPackImportance, pack_importance>(); }
PyMethodDef list_packs_def() { return def<kListPacks, list_packs>(); }
PyMethodDef pack_exists_def() { return def<kPackExists, pack_exists>(); }
PyMethodDef delete_pack_def() { return def<kDeletePack, delete_pack>(); }

PyMethodDef trace_ancestors_def() { return def<kTraceAncestors, trace_ancestors>(); }
PyMethodDef add_pack_edge_def() { return def<kAddPackEdge, add_pack_edge>(); }
PyMethodDef add_pack_link_def() { return def<kAddPackLink, add_pack_link>(); }
PyMethodDef pack_links_def() { return def<kPackLinks, pack_links>(); }
PyMethodDef pack_links_by_type_def() { return def<kPackLinksByType, pack_links_by_type>(); }
PyMethodDef pack_supports_def() { return def<kPackSupports, pack_supports>(); }
PyMethodDef pack_contradicts_def() { return def<kPackContradicts, pack_contradicts>(); }

PyMethodDef schedule_evict_draft_def() { return def<kScheduleEvictDraft, schedule_evict_draft>(); }
PyMethodDef cancel_scheduled_def() { return def<kCancelScheduled, cancel_scheduled>(); }
PyMethodDef list_scheduled_def() { return def<kListScheduled, list_scheduled>(); }
PyMethodDef fire_due_scheduled_def() { return def<kFireDueScheduled, fire_due_scheduled>(); }
PyMethodDef start_maintenance_def() {
  return def<kStartMaintenance, start_maintenance, Borrow::Exclusive>();
}
PyMethodDef stop_maintenance_def() { return def<kStopMaintenance, stop_maintenance, Borrow::Exclusive>(); }
PyMethodDef is_maintenance_running_def() { return def<kIsMaintenanceRunning, is_maintenance_running>(); }
PyMethodDef maintenance_status_def() { return def<kMaintenanceStatus, maintenance_status>(); }

}  // namespace qvn::py::admin
