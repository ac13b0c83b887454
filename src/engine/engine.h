// The engine: owns one engine directory and every in-memory structure built
// from it. Requires: every method runs with the engine mutex held (see
// shared_engine.h); none starts a thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "core/float_block.h"
#include "core/platform.h"
#include "core/synaptic_entry.h"
#include "engine/governance.h"
#include "engine/pack_directory.h"
#include "engine/scheduler.h"
#include "engine/snapshot.h"
#include "engine/trace.h"
#include "index/vamana/vamana.h"
#include "retrieval/per_token.h"
#include "retrieval/pipeline.h"
#include "retrieval/refinement.h"
#include "retrieval/slb.h"
#include "storage/block_pool.h"
#include "storage/record_reader.h"
#include "storage/deletion_log.h"
#include "storage/synaptic_bank.h"
#include "storage/text_store.h"

namespace qvn {

inline constexpr uint64_t DEFAULT_SEGMENT_SIZE = 268435456;
inline constexpr uint64_t DEFAULT_VAMANA_THRESHOLD = 10000;
inline constexpr float DEFAULT_AUTO_LINK_THRESHOLD = 250.0f;

struct LayerPayload {
  uint16_t layer_idx = 0;
  std::vector<float> data;
};

struct PackWriteRequest {
  OwnerId owner = 0;
  std::vector<float> retrieval_key;
  std::vector<LayerPayload> layers;
  float salience = 0.0f;
  std::optional<std::string> text;
};

struct CellWriteItem {
  OwnerId owner = 0;
  LayerIndex layer = 0;
  std::vector<float> key;
  std::vector<float> value;
  float salience = 0.0f;
  std::optional<CellId> parent;
};

struct WriteBuffer {
  struct Pending {
    PackWriteRequest request;
    PackId pack_id;
    // Another writer has used this id since it was handed out here (it
    // could not know of it): records, a text or a deletion under it. The
    // request must never be stored.
    bool taken = false;
  };
  std::vector<Pending> pending;
  uint64_t max_batch_size = 0;
  uint64_t max_idle_ms = 0;  // kept for callers; nothing reads it
};

struct CellHit {
  Cell cell;
  float score = 0.0f;
  Tier tier = Tier::Draft;  // the governance tier before the access bump
};

// One layer of a pack read. Its floats are decoded once, into memory the
// binding hands over to the NumPy array it returns.
struct PackLayer {
  uint16_t layer_idx = 0;
  FloatBlock data;
};

struct PackHit {
  PackId pack_id = 0;
  OwnerId owner = 0;
  float score = 0.0f;
  uint8_t tier = 0;
  std::vector<PackLayer> layers;  // ascending layer index
  std::optional<std::string> text;
};

struct PackSummary {
  PackId pack_id = 0;
  OwnerId owner = 0;
  uint8_t tier = 0;
  float importance = 0.0f;
};

struct EngineStatus {
  uint64_t cell_count = 0;
  uint64_t pack_count = 0;
  uint64_t segment_count = 0;
  uint64_t slb_occupancy = 0;
  uint64_t slb_capacity = 0;
  bool vamana_active = false;
  uint64_t pipeline_stages = 0;
  uint64_t governance_entries = 0;
  uint64_t trace_edges = 0;
  uint64_t arena_bytes = 0;
  uint64_t arena_bytes_per_cell = 0;
};

class Engine {
 public:
  Engine(Engine&&) = default;
  // Not assignable: the engine being replaced would have to drain its write
  // buffer first, which only the destructor does.
  Engine& operator=(Engine&&) = delete;
  // Drains the write buffer so acknowledged packs survive a normal close;
  // an error here has nobody to go to and is dropped.
  ~Engine();

  static Result<Engine> open(const std::string& path, uint64_t vamana_threshold,
                                              std::optional<uint64_t> segment_size);
  static Result<Engine> open_with_write_buffer(const std::string& path,
                                                                uint64_t max_batch_size,
                                                                uint64_t max_idle_ms);
  static Result<Engine> restore_from(const std::string& in_path,
                                                      const std::string& target_dir);

  Result<void> refresh();

  // Writes.
  Result<CellId> mem_write(OwnerId owner, LayerIndex layer, std::vector<float> key,
                           std::vector<float> value, float salience, std::optional<CellId> parent);
  Result<std::vector<CellId>> mem_write_batch(std::vector<CellWriteItem> items);
  // A failed pack write stores no pack. With a write buffer, a failed drain
  // keeps the earlier requests queued and refuses only this one; when
  // another writer has stored buffered ids, the call fails as flush_buffer
  // does and queues nothing.
  Result<PackId> mem_write_pack(PackWriteRequest request);
  Result<std::pair<PackId, std::vector<PackId>>> mem_write_pack_with_auto_link(
      PackWriteRequest request, float threshold);
  // On a storage failure every request goes back to the buffer for the next
  // drain. Requests whose pack ids another writer has stored meanwhile are
  // dropped, the others stored, and the drain fails naming the dropped ids.
  Result<void> flush_buffer();
  Result<void> flush();
  Result<uint64_t> add_view_keys(PackId pack, const std::vector<std::vector<float>>& keys);
  Result<void> set_pack_texts(const std::vector<std::pair<PackId, std::string>>& entries);
  Result<void> store_adapter(const SynapticEntry& entry);

  // Reads.
  Result<std::vector<CellHit>> mem_read(std::span<const float> query, uint64_t k,
                                        std::optional<OwnerId> owner);
  Result<std::vector<CellHit>> mem_read_tokens(std::span<const float> rows, uint64_t n_tokens,
                                               uint64_t dim, uint64_t k,
                                               std::optional<OwnerId> owner);
  Result<std::vector<PackHit>> mem_read_pack(std::span<const float> query, uint64_t k,
                                             std::optional<OwnerId> owner);
  Result<PackHit> load_pack_by_id(PackId pack);
  Result<std::vector<PackHit>> mem_read_pack_with_trace_boost(std::span<const float> query,
                                                              uint64_t k,
                                                              std::optional<OwnerId> owner,
                                                              float boost_factor);
  Result<std::vector<PackHit>> mem_read_pack_with_trace_boost_and_follow(
      std::span<const float> query, uint64_t k, std::optional<OwnerId> owner, float boost_factor);

  // Governance and pack lifecycle.
  void advance_days(float days);
  std::vector<PackSummary> list_packs(std::optional<OwnerId> owner) const;
  Result<uint64_t> view_count(PackId pack) const;
  Result<void> delete_pack(PackId pack);
  Result<uint64_t> evict_draft_packs(float threshold, std::optional<OwnerId> owner);
  std::set<OwnerId> owners() const;
  Result<uint64_t> delete_owner(OwnerId owner);
  Result<uint64_t> fire_due_scheduled(uint64_t now_unix_nanos);

  // Scheduled actions as "scheduled_actions.json" holds them now: each
  // change reads the file and writes it back within one writer turn, so
  // actions that other engines scheduled or cancelled are kept.
  Result<uint64_t> schedule_action(const ScheduledAction& action, WallTime fires_at);
  Result<bool> cancel_scheduled(uint64_t id);
  Result<std::vector<ScheduledEntry>> list_scheduled();

  // Pack links.
  Result<void> add_pack_edge(PackId a, PackId b, uint8_t kind);
  std::vector<PackId> pack_links(PackId pack, uint8_t kind) const;

  // Compaction, status, snapshots.
  Result<CompactionStats> compact();
  EngineStatus status() const;
  Result<SnapshotManifest> snapshot(const std::string& out_path);

  // Accessors used by the binding.
  const std::string& path() const { return path_; }
  uint64_t cell_count() const;
  uint64_t pack_count() const { return pack_directory_.pack_count(); }
  bool has_vamana() const { return vamana_.has_value(); }
  uint64_t pipeline_stage_count() const { return pipeline_.stages().size(); }
  const Governance& governance() const { return governance_; }
  Governance& governance_mut() { return governance_; }
  const PackDirectory& pack_directory() const { return pack_directory_; }
  TextStore& text_store() { return text_store_; }
  SynapticBank& synaptic() { return synaptic_; }
  TraceGraph& trace_graph() { return trace_graph_; }
  TraceLog& trace_log() { return trace_log_; }
  Scheduler& scheduler() { return scheduler_; }
  BlockPool& block_pool() { return block_pool_; }
  const RefinementStrategy& refinement() const { return *refinement_; }
  void set_refinement(std::unique_ptr<RefinementStrategy> s) { refinement_ = std::move(s); }
  bool token_reweighting() const { return token_reweighting_; }
  void set_token_reweighting(bool on) { token_reweighting_ = on; }
  uint64_t next_cell_id() const { return next_cell_id_; }
  uint64_t next_pack_id() const { return next_pack_id_; }

  // Stage construction from the environment; exposed for tests.
  static std::vector<std::unique_ptr<VectorIndex>> build_pipeline_stages(
      const PerTokenConfig& config);

 private:
  // Reads stored keys back through the block pool for one pass of reading();
  // any failure is "absent" to the stage that asked. A key in a segment that
  // another engine's compaction removed is kept as that pass's failure:
  // skipping it would serve a lesser hit as the best one, so reading() runs
  // the pass again instead, and every later fetch of the pass gives up at
  // once. A cell the pool no longer indexes (deleted and compacted away) is
  // only absent.
  class PoolFetcher final : public KeyFetcher {
   public:
    explicit PoolFetcher(const BlockPool* pool) : pool_(pool) {}
    std::optional<std::vector<float>> fetch(uint64_t id) const override;
    const std::optional<EngineError>& removed_segment() const { return removed_segment_; }

   private:
    const BlockPool* pool_;
    mutable std::optional<EngineError> removed_segment_;
  };
  // Runs `read`, which reads the block pool, takes every stored key through
  // the fetcher it is given and changes nothing before its last read. When
  // it failed, or its fetcher met a key it could not read, because another
  // engine's compaction removed a segment file that this pool held no
  // descriptor on, the pool catches up with the directory, which indexes the
  // moved records where they are now, and the read runs again with a new
  // fetcher: a live pack's records are always somewhere.
  template <class F>
  auto reading(F&& read) -> decltype(read(std::declval<const PoolFetcher&>()));

  Engine(std::string path, platform::File dir_handle, BlockPool pool, SynapticBank synaptic,
         TraceLog trace_log, TextStore text_store, DeletionLog deletion_log, Scheduler scheduler,
         uint64_t vamana_threshold);

  // Several engines (processes or handles) may append to one directory. Each
  // operation that appends or hands out ids holds the directory's writer
  // lock, an advisory lock on the directory itself, for its whole length,
  // and under it first raises the id counters past every id other writers
  // appended since this engine last looked. So no id is handed out twice and
  // every torn tail met under the lock is a dead writer's. Nested operations
  // share the outermost hold.
  class WriterTurn {
   public:
    explicit WriterTurn(Engine* e) : e_(e) {}
    WriterTurn(WriterTurn&& o) noexcept : e_(o.e_) { o.e_ = nullptr; }
    WriterTurn& operator=(WriterTurn&&) = delete;
    ~WriterTurn();

   private:
    Engine* e_;
  };
  Result<WriterTurn> writer_turn();
  // One replay of the directory; refresh() repeats it when another engine's
  // compaction removed a segment that this replay was reading.
  Result<void> refresh_pass();
  // Raises next_cell_id_ and next_pack_id_ past the ids of the records
  // other writers stored since the last look, and marks the buffered packs
  // whose ids those records use; indexes nothing. A trace edge's parent id
  // names a cell, it allocates none, so the trace log moves no counter.
  Result<void> catch_up_ids();
  // Marks the buffered pack with this id, if any, as taken.
  void mark_taken(PackId stored);
  // The same for the texts and deletions of other writers whose highest
  // new pack ids are these; each file is read whole only when some buffered
  // id is not above that highest id.
  void mark_taken_by_small_files(std::optional<PackId> text_high, std::optional<PackId> deleted_high);
  // Marks the buffered packs that whole stores (null: not read) show used.
  void mark_taken_by(const TextStore* texts, const DeletionLog* deletions);
  // Refuses, before anything is taken or stored, a write that needs `cells`
  // cell ids and `packs` pack ids beyond what the counters can still give.
  Result<void> check_ids_left(uint64_t cells, uint64_t packs) const;

  // The graph of "vamana.idx" when its nodes are exactly the retrieval cells
  // of dimension `dim` outside deleted packs, the nodes a build would make
  // now; nullptr when the file is missing, unreadable or holds other nodes
  // (the caller then builds one).
  std::unique_ptr<VamanaIndex> load_vamana(size_t dim, const DeletionLog& deletions) const;
  // Builds the graph over those cells and saves it inside a writer turn;
  // nothing is installed.
  Result<std::unique_ptr<VamanaIndex>> build_vamana(size_t dim, const DeletionLog& deletions);
  Result<void> maybe_activate_vamana();

  // The cells of `pack`, or nullptr when this engine does not know the pack
  // or the deletion log names it. Requires: inside a writer turn, whose
  // catch-up has read every deletion other engines made.
  const std::vector<CellId>* live_pack_cells(PackId pack) const;
  // The Draft packs below `threshold` among those this engine sees.
  // Requires: inside a writer turn, after a refresh in it.
  Result<uint64_t> evict_seen_draft_packs(float threshold, std::optional<OwnerId> owner);
  // VIEW_KEY_LAYER marks a pack's retrieval key and its view keys: a pack
  // layer stored there would be read as one of them. Every write that takes
  // a layer index refuses it, before any id is taken, so that only those
  // keys ever carry it.
  static Result<void> refuse_reserved_layer(LayerIndex layer);
  static Result<void> refuse_reserved_layers(const PackWriteRequest& request);

  // Takes a deleted pack out of this engine's view: directory, indexes,
  // governance and text.
  void forget_pack(PackId pack);
  // After a compaction: the view drops every pack the deletion log names
  // (their records may be gone from the directory now) and every cell the
  // pool no longer indexes, so it holds what an open would find.
  void forget_compacted();
  void fix_key_dim(std::span<const float> first_key);
  void index_retrieval_key(CellId id, OwnerId owner, std::span<const float> key);
  void unindex_cell(CellId id);
  Cell make_cell(CellId id, OwnerId owner, LayerIndex layer, std::vector<float> key,
                 std::vector<float> value, PackId pack, uint64_t view_marker, uint64_t now,
                 float importance, Tier tier) const;
  // The head cell, then one cell per layer; the layer data moves out of
  // `req` into the cells, and return_pack_layers moves it back.
  std::vector<Cell> build_pack_cells(PackWriteRequest& req, PackId pack, uint64_t now);
  static void return_pack_layers(PackWriteRequest& req, std::span<Cell> cells);
  void install_pack(PackId pack, std::span<const Cell> cells);
  // Stores the texts (null: none) and then the cells of packs, all or
  // nothing as far as the packs are concerned.
  Result<void> store_packs(const std::vector<std::pair<PackId, const std::string*>>& packs,
                           std::span<const Cell> cells);
  Result<void> append_edge(CellId from, CellId to, uint8_t kind, uint64_t created);

  std::vector<Candidate> collect_candidates(std::span<const float> query, uint64_t k,
                                            std::optional<OwnerId> owner, bool cell_read,
                                            const KeyFetcher& fetch);
  struct PackRecord {
    std::vector<CellId> cells;
    PackId pack_id;
    CellId hit_cell;
    OwnerId owner;
    float raw_score;
  };
  std::vector<PackRecord> candidates_to_packs(std::vector<Candidate> candidates, uint64_t k,
                                              std::optional<OwnerId> owner) const;
  // `reader` serves every pack of one read operation. A pack is read whole
  // or not at all: a cell the pool no longer holds (the pack was deleted and
  // compacted away) fails the read with CellNotFound.
  Result<std::vector<PackLayer>> load_pack_layers(RecordReader& reader,
                                                  const std::vector<CellId>& cells);
  // The packs of `records` with their layers, leaving out packs that are no
  // longer whole. Changes nothing, so reading() may run it again.
  Result<std::vector<std::pair<PackRecord, std::vector<PackLayer>>>> load_packs(
      std::vector<PackRecord> records);
  // Applies the access bump of the hit cell; returns (recency, tier factor, tier).
  std::tuple<float, float, uint8_t> score_pack(CellId hit_cell);
  std::optional<std::string> text_of(PackId pack) const;
  // The owner stored in the pack's head cell; 0 when the pack is unknown or
  // its head cannot be read.
  OwnerId pack_head_owner(PackId pack) const;

  std::string path_;
  // Read-only descriptor of the directory. The writer lock is never taken
  // through it (a forked child shares it): each outermost turn takes the
  // lock through a descriptor of its own, held in turn_lock_, so handles in
  // one process exclude each other too and no child keeps the lock alive.
  platform::File dir_handle_;
  platform::DirectoryLock turn_lock_;
  uint32_t turn_depth_ = 0;
  // The process that opened the engine. A copy made by fork() must not
  // write: its memory is the parent's view, which the parent keeps changing.
  int64_t opened_in_process_ = platform::process_id();
  BlockPool block_pool_;
  SynapticBank synaptic_;
  TraceLog trace_log_;
  TextStore text_store_;
  DeletionLog deletion_log_;
  PerTokenConfig per_token_config_;
  RetrievalPipeline pipeline_;
  SLB slb_;
  Scheduler scheduler_;
  std::optional<size_t> key_dim_;
  std::optional<VamanaIndex> vamana_;
  std::unique_ptr<RefinementStrategy> refinement_;
  std::optional<WriteBuffer> write_buffer_;
  TraceGraph trace_graph_;
  Governance governance_;
  PackDirectory pack_directory_;
  uint64_t next_cell_id_ = 0;
  uint64_t vamana_threshold_ = DEFAULT_VAMANA_THRESHOLD;
  uint64_t next_pack_id_ = 0;
  bool token_reweighting_ = false;
  // The pack reads' record buffer, kept so that reads stop allocating for it.
  ReadWindow read_window_;
};

}  // namespace qvn
