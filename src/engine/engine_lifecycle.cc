// Governance, pack lifecycle, scheduled actions, pack links, compaction,
// status and snapshots.
#include <algorithm>
#include <unordered_set>

#include "core/platform.h"
#include "engine/engine.h"
#include "retrieval/simd_distance.h"

namespace qvn {

void Engine::advance_days(float days) { governance_.advance_days(days); }

std::vector<PackSummary> Engine::list_packs(std::optional<OwnerId> owner) const {
  // Walk packs in ascending id so equal importances list in a stable order.
  std::vector<PackId> ids;
  ids.reserve(pack_directory_.pack_count());
  for (const auto& [pack, cells] : pack_directory_.packs()) ids.push_back(pack);
  std::sort(ids.begin(), ids.end());
  std::vector<PackSummary> out;
  for (PackId pack : ids) {
    const auto& cells = *pack_directory_.cells(pack);
    if (cells.empty()) continue;
    auto head = block_pool_.read_cell_header(cells.front());
    if (!head.ok()) continue;
    if (owner && head->owner != *owner) continue;
    PackSummary s{pack, head->owner, 0, 0.0f};
    if (const GovernanceEntry* g = governance_.get(cells.front())) {
      s.importance = g->importance;
      s.tier = tier_byte(g->tier);
    }
    out.push_back(s);
  }
  stable_sort_desc(out, [](const PackSummary& s) { return s.importance; });
  return out;
}

Result<uint64_t> Engine::view_count(PackId pack) const {
  const auto* cells = pack_directory_.cells(pack);
  if (!cells) return make_unexpected(EngineError::pack_not_found(pack));
  uint64_t n = 0;
  for (CellId id : *cells) {
    auto cell = block_pool_.read_cell_header(id);
    if (cell.ok() && cell->layer == VIEW_KEY_LAYER) ++n;
  }
  return n == 0 ? 0 : n - 1;
}

const std::vector<CellId>* Engine::live_pack_cells(PackId pack) const {
  const auto* cells = pack_directory_.cells(pack);
  if (!cells || cells->empty() || deletion_log_.contains(pack)) return nullptr;
  return cells;
}

Result<void> Engine::delete_pack(PackId pack) {
  QVN_TRY(WriterTurn turn, writer_turn());
  if (!live_pack_cells(pack)) return make_unexpected(EngineError::pack_not_found(pack));
  QVN_TRY_VOID(deletion_log_.append(pack));
  forget_pack(pack);
  return {};
}

void Engine::forget_pack(PackId pack) {
  auto removed = pack_directory_.remove_pack(pack);
  if (removed) {
    for (CellId id : *removed) {
      unindex_cell(id);
      pack_directory_.unmap_cell(id);
    }
  }
  text_store_.remove(pack);
}

void Engine::forget_compacted() {
  std::vector<PackId> deleted;
  for (const auto& [pack, cells] : pack_directory_.packs()) {
    if (deletion_log_.contains(pack)) deleted.push_back(pack);
  }
  for (PackId pack : deleted) forget_pack(pack);
  // Cells of deleted packs that a refresh gave governance entries, and view
  // keys whose pack's head compaction removed (the pool no longer indexes
  // them, as an open would not).
  std::vector<CellId> gone;
  for (const auto& [id, entry] : governance_.entries()) {
    if (!block_pool_.contains(id)) gone.push_back(id);
  }
  for (CellId id : gone) unindex_cell(id);
}

// Eviction and owner deletion act on the directory as it is when they run:
// the refresh inside the turn brings in the packs other engines wrote, and
// no engine can add one before the turn ends.
Result<uint64_t> Engine::evict_draft_packs(float threshold, std::optional<OwnerId> owner) {
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(refresh());
  return evict_seen_draft_packs(threshold, owner);
}

Result<uint64_t> Engine::evict_seen_draft_packs(float threshold, std::optional<OwnerId> owner) {
  uint64_t n = 0;
  for (const PackSummary& s : list_packs(owner)) {
    if (s.tier == tier_byte(Tier::Draft) && s.importance < threshold) {
      QVN_TRY_VOID(delete_pack(s.pack_id));
      ++n;
    }
  }
  return n;
}

std::set<OwnerId> Engine::owners() const {
  std::set<OwnerId> out;
  for (const auto& [pack, cells] : pack_directory_.packs()) {
    if (cells.empty()) continue;
    if (auto head = block_pool_.read_cell_header(cells.front()); head.ok()) out.insert(head->owner);
  }
  return out;
}

Result<uint64_t> Engine::delete_owner(OwnerId owner) {
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(refresh());
  uint64_t n = 0;
  for (const PackSummary& s : list_packs(owner)) {
    QVN_TRY_VOID(delete_pack(s.pack_id));
    ++n;
  }
  return n;
}

// The whole firing is one turn: no other engine fires, cancels or adds an
// action between reading the file and writing it back.
Result<uint64_t> Engine::fire_due_scheduled(uint64_t now_unix_nanos) {
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(scheduler_.reload());
  std::vector<ScheduledEntry> due = scheduler_.due(WallTime::from_unix_nanos(now_unix_nanos));
  if (due.empty()) return uint64_t{0};
  QVN_TRY_VOID(refresh());
  std::vector<uint64_t> fired;
  for (const ScheduledEntry& e : due) {
    const EvictDraft& a = std::get<EvictDraft>(e.action);
    QVN_TRY_VOID(evict_seen_draft_packs(a.threshold, a.owner));
    fired.push_back(e.id);
  }
  QVN_TRY_VOID(scheduler_.remove_fired(fired));
  return static_cast<uint64_t>(fired.size());
}

Result<uint64_t> Engine::schedule_action(const ScheduledAction& action, WallTime fires_at) {
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(scheduler_.reload());
  return scheduler_.schedule(action, fires_at);
}

Result<bool> Engine::cancel_scheduled(uint64_t id) {
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(scheduler_.reload());
  return scheduler_.cancel(id);
}

Result<std::vector<ScheduledEntry>> Engine::list_scheduled() {
  // No turn: the file is only ever replaced whole, by a rename.
  QVN_TRY_VOID(scheduler_.reload());
  return scheduler_.list();
}

Result<void> Engine::add_pack_edge(PackId a, PackId b, uint8_t kind) {
  QVN_TRY(WriterTurn turn, writer_turn());
  const auto* ca = live_pack_cells(a);
  if (!ca) return make_unexpected(EngineError::pack_not_found(a));
  const auto* cb = live_pack_cells(b);
  if (!cb) return make_unexpected(EngineError::pack_not_found(b));
  const CellId ha = ca->front(), hb = cb->front();
  const uint64_t now = platform::now_unix_nanos();
  QVN_TRY_VOID(append_edge(ha, hb, kind, now));
  QVN_TRY_VOID(append_edge(hb, ha, kind, now));
  return {};
}

std::vector<PackId> Engine::pack_links(PackId pack, uint8_t kind) const {
  const auto* cells = pack_directory_.cells(pack);
  if (!cells || cells->empty()) return {};
  const CellId head = cells->front();
  std::vector<PackId> out;
  std::unordered_set<PackId> seen;
  auto keep = [&](CellId other) {
    auto p = pack_directory_.pack_of(other);
    if (p && *p != pack && seen.insert(*p).second) out.push_back(*p);
  };
  for (const TraceEdge& e : trace_graph_.out_edges(head, kind)) keep(e.to);
  for (const TraceEdge& e : trace_graph_.in_edges(head, kind)) keep(e.from);
  return out;
}

Result<CompactionStats> Engine::compact() {
  // Inside the writer turn no other engine appends, deletes or compacts, so
  // what the directory holds now is what decides: the deletion log as stored
  // (not as this engine last read it) says which packs are dead, and every
  // other record survives, whoever wrote it and whether or not this engine
  // has seen it yet. Standalone cells (pack 0) are never dead.
  QVN_TRY(WriterTurn turn, writer_turn());
  DeletionLog deletions = deletion_log_;
  QVN_TRY_VOID(deletions.reload());
  auto stats = block_pool_.compact([&](CellId, const RecordHeader& h) {
    return h.pack_id != 0 && deletions.contains(h.pack_id);
  });
  // Also after a failure: the pool may have removed segments by then. What
  // this engine's view still holds of the packs judged dead is gone, or may
  // be by the next read, and must not be served as a pack.
  deletion_log_ = std::move(deletions);
  forget_compacted();
  return stats;
}

EngineStatus Engine::status() const {
  EngineStatus s;
  s.cell_count = block_pool_.index().size();
  s.pack_count = pack_directory_.pack_count();
  s.segment_count = block_pool_.segment_count();
  s.slb_occupancy = slb_.occupancy();
  s.slb_capacity = slb_.capacity();
  s.vamana_active = vamana_.has_value();
  s.pipeline_stages = pipeline_.stages().size();
  s.governance_entries = governance_.size();
  s.trace_edges = trace_graph_.edge_count();
  s.arena_bytes = block_pool_.arena_bytes();
  s.arena_bytes_per_cell = s.cell_count == 0 ? 0 : s.arena_bytes / s.cell_count;
  return s;
}

Result<SnapshotManifest> Engine::snapshot(const std::string& out_path) {
  // Every other engine writes only under the writer lock, so holding it for
  // the whole snapshot keeps the files still between their two reads (digest,
  // then archive). The refresh makes the counts those of the files archived,
  // not of what this engine happened to have seen.
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(flush_buffer());
  QVN_TRY_VOID(sync_path(trace_log_.path()));
  QVN_TRY_VOID(refresh());
  return snapshot::write_snapshot(path_, out_path, pack_directory_.pack_count(),
                                  owners().size());
}

}  // namespace qvn

namespace qvn {

Result<std::pair<PackId, std::vector<PackId>>> Engine::mem_write_pack_with_auto_link(
    PackWriteRequest request, float threshold) {
  // Before the read below bumps any pack's access.
  QVN_TRY_VOID(refuse_reserved_layers(request));
  std::optional<PackId> candidate;
  if (!pack_directory_.empty()) {
    QVN_TRY(std::vector<PackHit> hits, mem_read_pack(request.retrieval_key, 1, request.owner));
    if (!hits.empty() && hits.front().score >= threshold) candidate = hits.front().pack_id;
  }
  QVN_TRY(PackId pack, mem_write_pack(std::move(request)));
  std::vector<PackId> linked;
  if (candidate) {
    // A buffered pack is not in the directory until drained; drain it so the
    // link the caller asked for can be made.
    QVN_TRY_VOID(flush_buffer());
    QVN_TRY(WriterTurn turn, writer_turn());
    // The read ran on this engine's view: a candidate that another engine
    // has deleted since is no pack to link to, and no fault of this write.
    if (live_pack_cells(*candidate)) {
      QVN_TRY_VOID(add_pack_edge(pack, *candidate, static_cast<uint8_t>(EdgeType::Follows)));
      linked.push_back(*candidate);
    }
  }
  return std::make_pair(pack, linked);
}

}  // namespace qvn
