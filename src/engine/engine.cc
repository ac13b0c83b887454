#include "engine/engine.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "core/numeric.h"
#include "core/platform.h"
#include "retrieval/flat_index.h"
#include "retrieval/key_view.h"
#include "retrieval/simd_distance.h"

namespace qvn {

namespace {

constexpr size_t SLB_CAPACITY = 4096;
constexpr size_t SLB_INITIAL_DIM = 128;
constexpr uint64_t INT8_TIER_DEFAULT = 32768;
constexpr size_t PER_TOKEN_LRU_CAPACITY = 512;
constexpr size_t VAMANA_R = 16;
constexpr float VAMANA_ALPHA = 1.2f;


EngineError wal_error(const IoError& e) { return EngineError::wal_recovery(e.to_string()); }

RetrievalPipeline make_pipeline(const PerTokenConfig& config) {
  RetrievalPipeline p;
  for (auto& stage : Engine::build_pipeline_stages(config)) p.add_stage(std::move(stage));
  return p;
}

// Inserts a retrieval key into every stage in order, then its mean vector
// into the SLB (empty for an invalid encoded key).
void index_key(RetrievalPipeline& pipeline, SLB& slb, CellId id, OwnerId owner,
               std::span<const float> key) {
  for (auto& stage : pipeline.stages()) stage->insert(id, owner, key);
  slb.upsert(id, owner, KeyView::classify(key).mean_vector());
}

bool is_deleted(const DeletionLog& deletions, const Cell& c) {
  return c.pack_id != 0 && deletions.contains(c.pack_id);
}

}  // namespace

std::optional<std::vector<float>> Engine::PoolFetcher::fetch(uint64_t id) const {
  // The pass is lost already; what it reads now is thrown away.
  if (removed_segment_) return std::nullopt;
  auto cell = pool_->read_cell(id);
  if (!cell.ok()) {
    if (pool_->segment_removed(cell.error())) removed_segment_ = std::move(cell).error();
    return std::nullopt;
  }
  return std::move(cell->key);
}

std::vector<std::unique_ptr<VectorIndex>> Engine::build_pipeline_stages(
    const PerTokenConfig& config) {
  uint64_t capacity = INT8_TIER_DEFAULT;
  if (const char* v = std::getenv("QVN_INT8_TIER_CAPACITY")) {
    auto parsed = parse_decimal(v, UINT64_MAX);
    if (parsed && *parsed != 0) capacity = *parsed;
  }
  bool eager = false;
  if (const char* v = std::getenv("QVN_PER_TOKEN_EAGER")) {
    std::string_view s(v);
    eager = s == "1" || s == "true";
  }
  if (eager) capacity = INT8_TIER_DEFAULT;
  std::vector<std::unique_ptr<VectorIndex>> stages;
  stages.push_back(std::make_unique<PerTokenIndex>(/*aggregate_top_m_mean=*/true, config,
                                                   PER_TOKEN_LRU_CAPACITY, capacity, eager));
  stages.push_back(std::make_unique<FlatIndex>());
  return stages;
}

Engine::Engine(std::string path, platform::File dir_handle, BlockPool pool, SynapticBank synaptic,
               TraceLog trace_log, TextStore text_store, DeletionLog deletion_log,
               Scheduler scheduler, uint64_t vamana_threshold)
    : path_(std::move(path)),
      dir_handle_(std::move(dir_handle)),
      block_pool_(std::move(pool)),
      synaptic_(std::move(synaptic)),
      trace_log_(std::move(trace_log)),
      text_store_(std::move(text_store)),
      deletion_log_(std::move(deletion_log)),
      per_token_config_(),
      pipeline_(make_pipeline(per_token_config_)),
      slb_(SLB_CAPACITY, SLB_INITIAL_DIM),
      scheduler_(std::move(scheduler)),
      refinement_(std::make_unique<NoOpStrategy>()),
      vamana_threshold_(vamana_threshold) {}

Result<Engine> Engine::open(const std::string& path, uint64_t vamana_threshold,
                                             std::optional<uint64_t> segment_size) {
  QVN_TRY(BlockPool pool, BlockPool::open(path, segment_size.value_or(DEFAULT_SEGMENT_SIZE)));
  QVN_TRY(platform::File dir_handle, platform::File::open_directory(path));
  QVN_TRY(SynapticBank synaptic, SynapticBank::open(path));
  auto trace = TraceLog::open(path);
  if (!trace.ok()) return make_unexpected(wal_error(trace.error()));
  QVN_TRY(TextStore texts, TextStore::open(path));
  QVN_TRY(DeletionLog deletions, DeletionLog::open(path));
  QVN_TRY(Scheduler scheduler, Scheduler::load(path));
  Engine e(path, std::move(dir_handle), std::move(pool), std::move(synaptic), std::move(*trace), std::move(texts),
           std::move(deletions), std::move(scheduler), vamana_threshold);
  QVN_TRY_VOID(e.refresh());
  return e;
}

Result<Engine> Engine::open_with_write_buffer(const std::string& path,
                                                               uint64_t max_batch_size,
                                                               uint64_t max_idle_ms) {
  QVN_TRY(Engine e, open(path, DEFAULT_VAMANA_THRESHOLD, std::nullopt));
  WriteBuffer wb;
  // Room is reserved only up to a modest bound: the batch size is a caller's
  // number, not a promise of memory.
  wb.pending.reserve(static_cast<size_t>(std::min<uint64_t>(max_batch_size, 1024)));
  wb.max_batch_size = max_batch_size;
  wb.max_idle_ms = max_idle_ms;
  e.write_buffer_ = std::move(wb);
  return e;
}

Result<Engine> Engine::restore_from(const std::string& in_path,
                                                     const std::string& target_dir) {
  QVN_TRY(SnapshotManifest manifest, snapshot::restore_snapshot(in_path, target_dir));
  (void)manifest;
  return open(target_dir, DEFAULT_VAMANA_THRESHOLD, std::nullopt);
}

uint64_t Engine::cell_count() const { return block_pool_.index().size(); }

Engine::~Engine() {
  // A moved-from engine owns nothing.
  if (!dir_handle_.is_open()) return;
  if (!write_buffer_ || write_buffer_->pending.empty()) return;
  try {
    // Requests whose ids another writer took are dropped here as at any
    // drain; the others are stored.
    (void)flush_buffer();
  } catch (...) {
    // Out of memory while draining: the packs are lost as on a crash.
  }
}

// ---------------------------------------------------------------------------
// Writers sharing the directory

Result<Engine::WriterTurn> Engine::writer_turn() {
  // Before the depth: a copy made while a turn was held starts inside it.
  if (const int64_t here = platform::process_id(); here != opened_in_process_) {
    return make_unexpected(IoError::other(
        "engine opened in process " + std::to_string(opened_in_process_) + " cannot write from process " +
        std::to_string(here) + " (a copy made by fork()); open the engine in this process"));
  }
  if (turn_depth_ == 0) {
    QVN_TRY(turn_lock_, platform::DirectoryLock::acquire(dir_handle_));
    if (auto r = catch_up_ids(); !r.ok()) {
      turn_lock_.release();
      return make_unexpected(std::move(r).error());
    }
    // Only here, with the lock held, is an unfinished tail known to be a
    // dead writer's rather than an append in progress.
    block_pool_.settle_active_tail();
  }
  ++turn_depth_;
  return WriterTurn(this);
}

Engine::WriterTurn::~WriterTurn() {
  if (e_ && --e_->turn_depth_ == 0) e_->turn_lock_.release();
}

Result<void> Engine::catch_up_ids() {
  // The counters hold one past the highest stored id; sat_add leaves them at
  // UINT64_MAX once that id is stored, which check_ids_left reads as "none
  // left" (so UINT64_MAX itself is never handed out).
  uint64_t next_cell = next_cell_id_;
  uint64_t next_pack = next_pack_id_;
  auto see_pack = [&](PackId p) { next_pack = std::max(next_pack, sat_add(p, 1)); };
  // Marks are made as records are seen: what a failed catch-up has read
  // already is not read again.
  QVN_TRY_VOID(block_pool_.catch_up_ids([&](CellId c, PackId p) {
    next_cell = std::max(next_cell, sat_add(c, 1));
    if (p != 0) {
      see_pack(p);
      mark_taken(p);
    }
  }));
  QVN_TRY(std::optional<PackId> text_pack, text_store_.catch_up());
  if (text_pack) see_pack(*text_pack);
  QVN_TRY(std::optional<PackId> deleted, deletion_log_.catch_up());
  if (deleted) see_pack(*deleted);
  mark_taken_by_small_files(text_pack, deleted);
  // Only brings the log's tail up to date; the ids it names are parents.
  auto traced = trace_log_.catch_up();
  if (!traced.ok()) return make_unexpected(wal_error(traced.error()));
  next_cell_id_ = next_cell;
  next_pack_id_ = next_pack;
  return {};
}

void Engine::mark_taken(PackId stored) {
  if (!write_buffer_) return;
  // Buffered ids ascend in queue order: each came from a counter that only
  // grows, and requests leave the queue only by a drain or a refusal.
  auto& q = write_buffer_->pending;
  auto it = std::lower_bound(q.begin(), q.end(), stored,
                             [](const WriteBuffer::Pending& p, PackId id) { return p.pack_id < id; });
  if (it != q.end() && it->pack_id == stored) it->taken = true;
}

void Engine::mark_taken_by_small_files(std::optional<PackId> text_high,
                                       std::optional<PackId> deleted_high) {
  if (!write_buffer_ || write_buffer_->pending.empty()) return;
  // The catch-ups report only the highest new id, so a file is read whole
  // only when a buffered id may be among the new ones. When it cannot be
  // read, every such id counts as taken: refusing a pack is better than
  // mixing it with another's.
  auto& queue = write_buffer_->pending;
  // A buffered request a file's new entries may concern: at or below their
  // highest id (for texts, only a request without a text of its own).
  auto concerned = [](const WriteBuffer::Pending& p, PackId high, bool texts) {
    return p.pack_id <= high && !(texts && p.request.text);
  };
  auto reloaded = [&]<class Store>(const Store& current, std::optional<PackId> high, bool texts) {
    std::optional<Store> out;
    if (!high || std::none_of(queue.begin(), queue.end(),
                              [&](const auto& p) { return concerned(p, *high, texts); })) {
      return out;
    }
    Store store = current;
    if (store.reload().ok()) return std::optional<Store>(std::move(store));
    for (auto& p : queue) p.taken = p.taken || concerned(p, *high, texts);
    return out;
  };
  const std::optional<TextStore> texts = reloaded(text_store_, text_high, true);
  const std::optional<DeletionLog> deletions = reloaded(deletion_log_, deleted_high, false);
  mark_taken_by(texts ? &*texts : nullptr, deletions ? &*deletions : nullptr);
}

void Engine::mark_taken_by(const TextStore* texts, const DeletionLog* deletions) {
  if (!write_buffer_) return;
  // A text under a buffered id is what another writer's pack write left
  // when it died between its two appends: a buffered pack without a text of
  // its own would show it once stored. (One with a text appends it later,
  // and the later text wins; this engine's own failed drains leave texts
  // only for such packs.) A deleted id was stored before it was deleted,
  // possibly in a segment compacted away before this engine looked.
  for (auto& p : write_buffer_->pending) {
    if (deletions && deletions->contains(p.pack_id)) p.taken = true;
    if (texts && !p.request.text && texts->get(p.pack_id)) p.taken = true;
  }
}

Result<void> Engine::check_ids_left(uint64_t cells, uint64_t packs) const {
  // The highest id handed out is UINT64_MAX - 1 (see catch_up_ids).
  if (cells > UINT64_MAX - next_cell_id_) {
    return make_unexpected(IoError::other("cell ids exhausted in " + path_));
  }
  if (packs > UINT64_MAX - next_pack_id_) {
    return make_unexpected(IoError::other("pack ids exhausted in " + path_));
  }
  return {};
}

// ---------------------------------------------------------------------------
// Refresh

void Engine::index_retrieval_key(CellId id, OwnerId owner, std::span<const float> key) {
  index_key(pipeline_, slb_, id, owner, key);
}

void Engine::unindex_cell(CellId id) {
  for (auto& stage : pipeline_.stages()) stage->remove(id);
  slb_.remove(id);
  governance_.erase(id);
}

Result<void> Engine::refresh() {
  // Refresh runs outside the writer turn, so another engine may compact
  // between the rescan and a read of a record: a record this pass indexed
  // may sit in a segment that is gone by the time it is read (when the pool
  // keeps no descriptor on it). The compaction moved its live records before
  // the removal, so the next pass's rescan finds them. A failed pass leaves
  // the engine as it was.
  constexpr int PASSES = 4;
  for (int pass = 1;; ++pass) {
    auto r = refresh_pass();
    if (r.ok() || pass == PASSES || !block_pool_.segment_removed(r.error())) return r;
  }
}

Result<void> Engine::refresh_pass() {
  QVN_TRY_VOID(block_pool_.rescan());
  // The fixed fields of every record come from the block pool's index (kept
  // by its scan); only retrieval cells are read, for their keys.
  using Entry = std::pair<CellId, const RecordHeader*>;
  std::vector<Entry> fresh, known;
  for (const auto& [id, e] : block_pool_.index()) {
    (governance_.contains(id) ? known : fresh).emplace_back(id, &e.header);
  }

  PackDirectory dir;
  PackId max_pack = 0;
  for (const auto& [id, e] : block_pool_.index()) {
    const RecordHeader& h = e.header;
    if (h.unreadable()) continue;
    // Pack id 0 means "no pack": a standalone cell written at the view-key
    // layer must not turn into a pack 0 after a reopen.
    if (h.pack_id != 0) {
      dir.insert(h.pack_id, id);
      max_pack = std::max(max_pack, h.pack_id);
    }
  }
  dir.normalize();
  PackId next_pack = dir.empty() ? 1 : sat_add(max_pack, 1);
  uint64_t past_cells = block_pool_.index().empty() ? 0 : sat_add(block_pool_.index().rbegin()->first, 1);
  // Ids of packs still waiting for their head stay used, or a later pack
  // would take their id and, once its head is stored, their layers.
  const auto [waiting_cell, waiting_pack] = block_pool_.waiting_max_ids();
  if (waiting_pack != 0) {
    next_pack = std::max(next_pack, sat_add(waiting_pack, 1));
    past_cells = std::max(past_cells, sat_add(waiting_cell, 1));
  }

  // The counters move past every id the rescan found before any step that
  // can fail: the cells are on disk whatever this refresh makes of them, so
  // a write after a failed refresh must not reuse their ids.
  next_cell_id_ = std::max(next_cell_id_, past_cells);
  next_pack_id_ = std::max(next_pack_id_, next_pack);

  // Everything is built aside and installed only after the last fallible
  // step, so a failed refresh leaves the engine as it was. The deletion log
  // is read first because cells of deleted packs must stay out of every
  // index: reads would otherwise find packs that no longer exist.
  DeletionLog deletions = deletion_log_;
  QVN_TRY_VOID(deletions.reload());

  std::optional<size_t> key_dim = key_dim_;
  SLB slb = slb_;
  // Only retrieval cells need their vectors; every other read here takes
  // the record's fixed fields alone (layer cells are the bulk of a store).
  for (const auto& [id, h] : fresh) {
    if (h->unreadable()) QVN_TRY_VOID(block_pool_.read_cell_header(id));
    if (!h->is_retrieval()) continue;
    QVN_TRY(Cell cell, block_pool_.read_cell(id));
    const size_t dim = KeyView::classify(cell.key).mean_vector().size();
    if (dim != slb.dim()) {
      slb = SLB(slb.capacity(), dim);
      key_dim = dim;
    }
    break;
  }

  RetrievalPipeline pipeline = make_pipeline(per_token_config_);
  std::vector<std::pair<CellId, GovernanceEntry>> new_entries;
  new_entries.reserve(fresh.size());
  uint64_t next_cell = next_cell_id_;
  for (const auto& [id, h] : fresh) {
    if (h->unreadable()) QVN_TRY_VOID(block_pool_.read_cell_header(id));
    if (h->is_retrieval()) {
      QVN_TRY(Cell cell, block_pool_.read_cell(id));
      if (!key_dim) key_dim = KeyView::classify(cell.key).mean_vector().size();
      if (!is_deleted(deletions, cell)) index_key(pipeline, slb, id, cell.owner, cell.key);
    }
    float imp = h->importance;
    imp = imp < 0.0f ? 0.0f : (imp > 100.0f ? 100.0f : imp);
    new_entries.emplace_back(id, GovernanceEntry{imp, 0.0f, static_cast<Tier>(h->tier)});
    next_cell = std::max(next_cell, sat_add(id, 1));
  }
  for (const auto& [id, h] : known) {
    if (h->unreadable() || !h->is_retrieval()) continue;
    auto cell = block_pool_.read_cell(id);
    if (!cell.ok()) {
      // Left out, the cell would vanish from every index until the next
      // refresh; the next pass finds where compaction moved it.
      if (block_pool_.segment_removed(cell.error())) return make_unexpected(std::move(cell).error());
      continue;
    }
    // Another engine may have deleted the pack since this one indexed it.
    if (is_deleted(deletions, *cell)) {
      slb.remove(id);
    } else {
      index_key(pipeline, slb, id, cell->owner, cell->key);
    }
  }

  TraceGraph graph;
  auto edges = trace_log_.read_all();
  if (!edges.ok()) return make_unexpected(wal_error(edges.error()));
  // Edges move no counter: a parent id is the caller's word, not a stored
  // cell, and compaction keeps the record of the highest stored cell id.
  for (const TraceEdge& e : *edges) {
    if (static_cast<uint8_t>(e.kind) < EDGE_TYPE_ANY) {
      graph.add_edge(e.from, e.to, e.kind, e.created_unix_ns);
    }
  }

  TextStore texts = text_store_;
  QVN_TRY_VOID(texts.reload());
  // Installed, the reloaded stores leave their catch-ups nothing new to
  // report: the buffered packs are checked against them here instead.
  mark_taken_by(&texts, &deletions);
  for (PackId p : deletions.ids()) {
    if (auto cells = dir.remove_pack(p)) {
      for (CellId c : *cells) dir.unmap_cell(c);
    }
    texts.remove(p);
    // A deleted or compacted-away pack keeps its id used.
    next_pack = std::max(next_pack, sat_add(p, 1));
  }
  // A text whose pack has no cells is what a pack write left when it died
  // between its two appends: its id stays used, its text stays unseen.
  std::vector<PackId> orphans;
  for (const auto& [p, text] : texts.texts()) {
    next_pack = std::max(next_pack, sat_add(p, 1));
    if (!dir.cells(p)) orphans.push_back(p);
  }
  for (PackId p : orphans) texts.remove(p);

  const size_t vamana_dim = key_dim.value_or(SLB_INITIAL_DIM);
  std::unique_ptr<VamanaIndex> vamana_graph;
  if (block_pool_.index().size() >= vamana_threshold_) {
    vamana_graph = load_vamana(vamana_dim, deletions);
    if (!vamana_graph) {
      auto built = build_vamana(vamana_dim, deletions);
      if (!built.ok()) return make_unexpected(std::move(built).error());
      vamana_graph = std::move(*built);
    }
  }

  if (!edges->empty()) {
    auto s = sync_path(trace_log_.path());
    if (!s.ok()) return make_unexpected(wal_error(s.error()));
  }
  std::optional<VamanaIndex> vamana;
  if (vamana_graph) {
    pipeline.add_stage(std::move(vamana_graph));
    vamana.emplace(vamana_dim, VAMANA_R, VAMANA_ALPHA);
  }

  // From here only moves, up to the governance entries: an allocation
  // failure there leaves cells without an entry, which the next refresh
  // takes as new and indexes again.
  key_dim_ = key_dim;
  slb_ = std::move(slb);
  pipeline_ = std::move(pipeline);
  vamana_ = std::move(vamana);
  for (const auto& [id, entry] : new_entries) governance_.insert(id, entry);
  // The graph save's writer turn may have raised the counter further.
  next_cell_id_ = std::max(next_cell_id_, next_cell);
  pack_directory_ = std::move(dir);
  next_pack_id_ = std::max(next_pack_id_, next_pack);
  trace_graph_ = std::move(graph);
  text_store_ = std::move(texts);
  deletion_log_ = std::move(deletions);
  return {};
}

// ---------------------------------------------------------------------------
// Vamana activation

std::unique_ptr<VamanaIndex> Engine::load_vamana(size_t dim, const DeletionLog& deletions) const {
  std::unordered_map<CellId, std::vector<float>> vectors;
  std::unordered_map<CellId, OwnerId> owners;
  std::unordered_set<CellId> expected;
  for (const auto& [id, e] : block_pool_.index()) {
    if (e.header.unreadable() || !e.header.is_retrieval()) continue;
    auto cell = block_pool_.read_cell(id);
    if (!cell.ok()) continue;
    auto mean = KeyView::classify(cell->key).mean_vector();
    if (mean.size() == dim && !is_deleted(deletions, *cell)) expected.insert(id);
    vectors.emplace(id, std::move(mean));
    owners.emplace(id, cell->owner);
  }
  // A missing, damaged or unreadable graph file is no usable file, and so is
  // one another engine replaced while this one read it: the caller builds.
  auto loaded = VamanaIndex::load(path_, vectors, owners);
  if (!loaded.ok() || !loaded->has_value()) return nullptr;
  // The file serves only when its nodes are exactly those a build would add
  // now: the same count can hide a deleted head in place of a new cell.
  // (The file holds no node twice: load refuses that.)
  const VamanaIndex& graph = **loaded;
  if (graph.dim() != dim || graph.len() != expected.size()) return nullptr;
  for (const VamanaIndex::Node& node : graph.nodes()) {
    if (!expected.count(node.cell_id)) return nullptr;
  }
  return std::make_unique<VamanaIndex>(std::move(**loaded));
}

Result<std::unique_ptr<VamanaIndex>> Engine::build_vamana(size_t dim, const DeletionLog& deletions) {
  auto index = std::make_unique<VamanaIndex>(dim, VAMANA_R, VAMANA_ALPHA);
  for (const auto& [id, e] : block_pool_.index()) {
    if (e.header.unreadable()) QVN_TRY_VOID(block_pool_.read_cell_header(id));
    const RecordHeader& h = e.header;
    if (!h.is_retrieval() || (h.pack_id != 0 && deletions.contains(h.pack_id))) continue;
    QVN_TRY(Cell cell, block_pool_.read_cell(id));
    auto mean = KeyView::classify(cell.key).mean_vector();
    if (mean.size() == dim) index->add_node(id, std::move(mean), cell.owner);
  }
  index->rebuild();
  // The file is replaced through one temporary name: only one engine of the
  // directory may be doing that at a time.
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(index->save(path_));
  return index;
}

Result<void> Engine::maybe_activate_vamana() {
  if (vamana_ || block_pool_.index().size() < vamana_threshold_) return {};
  const size_t dim = key_dim_.value_or(SLB_INITIAL_DIM);
  QVN_TRY(std::unique_ptr<VamanaIndex> graph, build_vamana(dim, deletion_log_));
  pipeline_.add_stage(std::move(graph));
  vamana_.emplace(dim, VAMANA_R, VAMANA_ALPHA);
  return {};
}

// ---------------------------------------------------------------------------
// Writes

Result<void> Engine::refuse_reserved_layer(LayerIndex layer) {
  if (layer != VIEW_KEY_LAYER) return {};
  return make_unexpected(IoError::invalid_input("layer index " + std::to_string(VIEW_KEY_LAYER) +
                                                " is reserved for a pack's retrieval key and view keys"));
}

Result<void> Engine::refuse_reserved_layers(const PackWriteRequest& request) {
  for (const LayerPayload& l : request.layers) QVN_TRY_VOID(refuse_reserved_layer(l.layer_idx));
  return {};
}

void Engine::fix_key_dim(std::span<const float> first_key) {
  if (key_dim_) return;
  size_t dim = KeyView::classify(first_key).mean_vector().size();
  key_dim_ = dim;
  slb_ = SLB(SLB_CAPACITY, dim);
}

Cell Engine::make_cell(CellId id, OwnerId owner, LayerIndex layer, std::vector<float> key,
                       std::vector<float> value, PackId pack, uint64_t view_marker, uint64_t now,
                       float importance, Tier tier) const {
  Cell c;
  c.cell_id = id;
  c.owner = owner;
  c.layer = layer;
  c.key = std::move(key);
  c.value = std::move(value);
  c.pack_id = pack;
  c.view_marker = view_marker;
  c.created_at_ns = now;
  c.stamp_ns = now;
  c.importance = importance;
  c.tier = tier;
  return c;
}

Result<void> Engine::append_edge(CellId from, CellId to, uint8_t kind, uint64_t created) {
  // A last record whose stamp is 0 is what a power loss leaves of a torn
  // append (see trace.cc): a clock that reads before 1970 stamps 1 instead.
  TraceEdge edge{from, to, std::max<uint64_t>(created, 1), static_cast<EdgeType>(kind)};
  auto r = trace_log_.append(edge);
  if (!r.ok()) return make_unexpected(wal_error(r.error()));
  trace_graph_.add_edge(edge.from, edge.to, edge.kind, edge.created_unix_ns);
  return {};
}

Result<CellId> Engine::mem_write(OwnerId owner, LayerIndex layer, std::vector<float> key,
                                 std::vector<float> value, float salience,
                                 std::optional<CellId> parent) {
  QVN_TRY_VOID(refuse_reserved_layer(layer));
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(check_ids_left(1, 0));
  const CellId id = next_cell_id_++;
  fix_key_dim(key);
  const uint64_t now = platform::now_unix_nanos();
  const float importance = importance_from_salience(salience);
  const Tier tier = tier_from_importance(importance);
  Cell cell = make_cell(id, owner, layer, std::move(key), std::move(value), 0, 0, now,
                        importance, tier);
  QVN_TRY_VOID(block_pool_.append_cell(cell));
  index_retrieval_key(id, owner, cell.key);
  governance_.insert(id, GovernanceEntry{importance, 0.0f, tier});
  if (parent) QVN_TRY_VOID(append_edge(id, *parent, 0, now));
  // The write is durable; a failed activation is retried at the next write
  // or refresh instead of turning this write into an error.
  (void)maybe_activate_vamana();
  return id;
}

Result<std::vector<CellId>> Engine::mem_write_batch(std::vector<CellWriteItem> items) {
  if (items.empty()) return std::vector<CellId>{};
  for (const CellWriteItem& item : items) QVN_TRY_VOID(refuse_reserved_layer(item.layer));
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(check_ids_left(items.size(), 0));
  fix_key_dim(items.front().key);
  const uint64_t now = platform::now_unix_nanos();
  std::vector<Cell> cells;
  cells.reserve(items.size());
  for (auto& item : items) {
    const float importance = importance_from_salience(item.salience);
    cells.push_back(make_cell(next_cell_id_++, item.owner, item.layer, std::move(item.key),
                              std::move(item.value), 0, 0, now, importance,
                              tier_from_importance(importance)));
  }
  QVN_TRY(std::vector<CellId> ids, block_pool_.append_cells(cells));
  // Every stored cell is indexed before any edge is appended: a failed edge
  // must not leave stored cells out of the indexes until the next refresh.
  for (const Cell& c : cells) {
    index_retrieval_key(c.cell_id, c.owner, c.key);
    governance_.insert(c.cell_id, GovernanceEntry{c.importance, 0.0f, c.tier});
  }
  for (size_t i = 0; i < cells.size(); ++i) {
    if (items[i].parent) QVN_TRY_VOID(append_edge(cells[i].cell_id, *items[i].parent, 0, now));
  }
  (void)maybe_activate_vamana();
  return ids;
}

std::vector<Cell> Engine::build_pack_cells(PackWriteRequest& req, PackId pack, uint64_t now) {
  const float importance = importance_from_salience(req.salience);
  const Tier tier = tier_from_importance(importance);
  std::vector<Cell> cells;
  cells.reserve(req.layers.size() + 1);
  cells.push_back(make_cell(next_cell_id_++, req.owner, VIEW_KEY_LAYER, req.retrieval_key, {},
                            pack, 0, now, importance, tier));
  for (LayerPayload& l : req.layers) {
    cells.push_back(make_cell(next_cell_id_++, req.owner, l.layer_idx, req.retrieval_key,
                              std::move(l.data), pack, 0, now, importance, tier));
  }
  // The head takes the first id but is stored last: a pack is found only
  // through its head, so a writer dying mid-append leaves either the whole
  // pack or layers that no reader will ever index.
  std::rotate(cells.begin(), cells.begin() + 1, cells.end());
  return cells;
}

void Engine::return_pack_layers(PackWriteRequest& req, std::span<Cell> cells) {
  // Layers come first in the stored order, the head last (see build_pack_cells).
  for (size_t i = 0; i < req.layers.size(); ++i) req.layers[i].data = std::move(cells[i].value);
}

void Engine::install_pack(PackId pack, std::span<const Cell> cells) {
  const Cell& head = cells.back();  // stored last, see build_pack_cells
  index_retrieval_key(head.cell_id, head.owner, head.key);
  governance_.insert(head.cell_id, GovernanceEntry{head.importance, 0.0f, head.tier});
  std::vector<CellId> ids;
  ids.reserve(cells.size());
  for (const Cell& c : cells) ids.push_back(c.cell_id);
  pack_directory_.set_cells(pack, ids);
}

Result<PackId> Engine::mem_write_pack(PackWriteRequest request) {
  // Checked now also for a buffered write: a refusal at the drain would come
  // after the caller was given the id.
  QVN_TRY_VOID(refuse_reserved_layers(request));
  // Also for a buffered write: its id is handed out now. Other writers learn
  // of it only when the buffer is drained.
  QVN_TRY(WriterTurn turn, writer_turn());
  if (write_buffer_) {
    // Buffered ids that others have stored meanwhile are reported before
    // this request takes an id: this call then queues nothing, and the
    // drain below can fail only on storage.
    const bool any_taken = std::any_of(write_buffer_->pending.begin(), write_buffer_->pending.end(),
                                       [](const WriteBuffer::Pending& p) { return p.taken; });
    if (any_taken) {
      if (auto r = flush_buffer(); !r.ok()) return make_unexpected(std::move(r).error());
    }
    QVN_TRY_VOID(check_ids_left(0, 1));
    const PackId pack = next_pack_id_++;
    write_buffer_->pending.push_back({std::move(request), pack});
    if (write_buffer_->pending.size() >= write_buffer_->max_batch_size) {
      if (auto r = flush_buffer(); !r.ok()) {
        // The earlier requests were acknowledged and stay queued; this one
        // is refused, so it must not reach the disk with a later drain.
        write_buffer_->pending.pop_back();
        return make_unexpected(std::move(r).error());
      }
    }
    return pack;
  }
  QVN_TRY_VOID(check_ids_left(sat_add(request.layers.size(), 1), 1));
  const PackId pack = next_pack_id_++;
  const uint64_t now = platform::now_unix_nanos();
  fix_key_dim(request.retrieval_key);
  std::vector<Cell> cells = build_pack_cells(request, pack, now);
  QVN_TRY_VOID(store_packs({{pack, request.text ? &*request.text : nullptr}}, cells));
  install_pack(pack, cells);
  return pack;
}

Result<void> Engine::store_packs(const std::vector<std::pair<PackId, const std::string*>>& packs,
                                 std::span<const Cell> cells) {
  // Texts go first: the cells are what makes a pack exist, so a failure
  // anywhere leaves no pack behind, at most texts no pack will ever own
  // (their ids are used up).
  std::vector<std::pair<PackId, std::string_view>> texts;
  for (const auto& [pack, text] : packs) {
    if (text) texts.emplace_back(pack, *text);
  }
  if (!texts.empty()) QVN_TRY_VOID(text_store_.set(texts));
  if (auto r = block_pool_.append_cells(cells); !r.ok()) {
    for (const auto& t : texts) text_store_.remove(t.first);
    return make_unexpected(std::move(r).error());
  }
  return {};
}

Result<void> Engine::flush_buffer() {
  if (!write_buffer_ || write_buffer_->pending.empty()) return {};
  QVN_TRY(WriterTurn turn, writer_turn());
  // The turn's catch-up has marked every buffered id another writer stored:
  // those requests can keep neither their id nor get another (the caller
  // holds the id), so they are dropped and named; the rest are stored.
  std::vector<PackId> taken;
  std::erase_if(write_buffer_->pending, [&](const WriteBuffer::Pending& p) {
    if (p.taken) taken.push_back(p.pack_id);
    return p.taken;
  });
  if (!taken.empty()) {
    std::string ids;
    for (PackId id : taken) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    EngineError dropped = IoError::other(
        (taken.size() == 1 ? "pack id " + ids + " was" : "pack ids " + ids + " were") +
        " stored by another writer before this engine's write buffer stored " +
        (taken.size() == 1 ? "it; that buffered pack was dropped" : "them; those buffered packs were dropped"));
    // A failure here leaves the rest queued for the next drain.
    (void)flush_buffer();
    return make_unexpected(std::move(dropped));
  }
  uint64_t cells_needed = 0;
  for (const auto& p : write_buffer_->pending) {
    cells_needed = sat_add(cells_needed, sat_add(p.request.layers.size(), 1));
  }
  QVN_TRY_VOID(check_ids_left(cells_needed, 0));
  std::vector<WriteBuffer::Pending> pending = std::move(write_buffer_->pending);
  write_buffer_->pending.clear();
  fix_key_dim(pending.front().request.retrieval_key);
  const uint64_t now = platform::now_unix_nanos();
  std::vector<Cell> all;
  std::vector<size_t> starts;
  std::vector<std::pair<PackId, const std::string*>> packs;
  for (auto& p : pending) {
    starts.push_back(all.size());
    auto cells = build_pack_cells(p.request, p.pack_id, now);
    std::move(cells.begin(), cells.end(), std::back_inserter(all));
    packs.emplace_back(p.pack_id, p.request.text ? &*p.request.text : nullptr);
  }
  starts.push_back(all.size());
  auto cells_of = [&](size_t i) {
    return std::span<Cell>(all).subspan(starts[i], starts[i + 1] - starts[i]);
  };
  if (auto r = store_packs(packs, all); !r.ok()) {
    // Their ids were handed out: the requests wait for the next drain
    // instead of vanishing (the cells get fresh ids then).
    for (size_t i = 0; i < pending.size(); ++i) return_pack_layers(pending[i].request, cells_of(i));
    write_buffer_->pending = std::move(pending);
    return make_unexpected(std::move(r).error());
  }
  for (size_t i = 0; i < pending.size(); ++i) install_pack(pending[i].pack_id, cells_of(i));
  (void)maybe_activate_vamana();
  return {};
}

Result<void> Engine::flush() {
  QVN_TRY_VOID(flush_buffer());
  QVN_TRY_VOID(sync_path(trace_log_.path()));
  return {};
}

Result<uint64_t> Engine::add_view_keys(PackId pack, const std::vector<std::vector<float>>& keys) {
  QVN_TRY(WriterTurn turn, writer_turn());
  const auto* cells = live_pack_cells(pack);
  if (!cells) return make_unexpected(EngineError::pack_not_found(pack));
  QVN_TRY(Cell head, block_pool_.read_cell_header(cells->front()));
  if (keys.empty()) return uint64_t{0};
  QVN_TRY_VOID(check_ids_left(keys.size(), 0));
  const uint64_t now = platform::now_unix_nanos();
  for (const auto& key : keys) {
    const CellId id = next_cell_id_++;
    Cell cell = make_cell(id, head.owner, VIEW_KEY_LAYER, key, {}, pack, VIEW_MARKER_ALL_ONES, now,
                          0.0f, Tier::Draft);
    QVN_TRY_VOID(block_pool_.append_cell(cell));
    index_retrieval_key(id, head.owner, cell.key);
    pack_directory_.insert(pack, id);
  }
  return static_cast<uint64_t>(keys.size());
}

Result<void> Engine::set_pack_texts(const std::vector<std::pair<PackId, std::string>>& entries) {
  if (entries.empty()) return {};
  QVN_TRY(WriterTurn turn, writer_turn());
  for (const auto& [pack, text] : entries) {
    if (!live_pack_cells(pack)) return make_unexpected(EngineError::pack_not_found(pack));
  }
  QVN_TRY_VOID(text_store_.set(entries));
  return {};
}

Result<void> Engine::store_adapter(const SynapticEntry& entry) {
  QVN_TRY(WriterTurn turn, writer_turn());
  QVN_TRY_VOID(synaptic_.append(entry));
  return {};
}

}  // namespace qvn
