// The engine's store of cells: append-only segment files of length-prefixed
// cell records in the engine directory, and an ordered in-memory index from
// CellId to the record's place. The pool owns its segment list, its index
// and what each segment's scans and appends have reached; it leaves the
// record bytes to segment_record.h, single files to segment_file.h and
// segment_scan.h, and reads through its descriptors to record_reader.h.
//
// No thread or lock of its own. Requires: every call on a BlockPool is
// serialised by the caller (the engine mutex). No file lock is taken; records
// another process appends to the same directory are seen through rescan(),
// and the caller's writer turn decides about tails (settle_active_tail).
//
// Durability: every append (single, batch, and the moves of compaction) is one
// write and one full sync; the index changes only after the sync succeeded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "core/platform.h"
#include "storage/segment_file.h"
#include "storage/segment_record.h"
#include "storage/segment_scan.h"

namespace qvn {

struct CellLocation {
  uint32_t segment_id = 0;
  uint64_t offset = 0;  // of the record's length prefix
  bool operator==(const CellLocation&) const = default;
};

struct CompactionStats {
  uint64_t segments_compacted = 0;
  uint64_t cells_moved = 0;
  uint64_t bytes_reclaimed = 0;  // whole sizes of the removed files
};

struct IndexEntry {
  CellLocation location;
  RecordHeader header;
};

class BlockPool {
 public:
  using Index = std::map<CellId, IndexEntry>;

  // Creates `dir` if missing, indexes every segment file in ascending id order
  // (of two records of one cell id, the one stored first: a later one is a
  // copy that compaction made before removing the first one's segment, and
  // it takes over only once that segment is gone), and creates segment 0 when
  // there is none (engines doing so at once share the one file). After
  // success the pool always holds a segment.
  //
  // Pack visibility: a pack's records are written in one append with its
  // retrieval-key record (its head) last, so a pack is whole exactly when its
  // head is stored. Layer and view-key records of a pack whose head no
  // segment holds (a writer died or is still writing) are not indexed; they
  // wait aside and are indexed by the scan that finds the head.
  static Result<BlockPool> open(const std::string& dir, uint64_t segment_size);

  // Picks up segment files and records written since open, by this pool or
  // another writer: new segments join the list in id order; records of cell
  // ids not yet indexed are indexed, existing entries are kept (a record
  // stored before its id's entry would take its place). Each segment
  // is read only from where its last scan ended.
  //
  // A segment that another engine's compaction removed, even between the
  // listing and its scan, is no error: its records leave the index, and each
  // cell id that loses its entry takes the copy that compaction stored in
  // another segment (seen by this or an earlier scan, or by a fresh listing).
  Result<void> rescan();

  // Appends one cell (rotating first if the active segment is full); returns
  // its id. On failure the index is unchanged.
  Result<CellId> append_cell(const Cell& cell);
  // Appends a batch to one segment with one sync (never split across
  // segments); returns the ids in input order. Empty: nothing is touched.
  Result<std::vector<CellId>> append_cells(std::span<const Cell> cells);

  // CellNotFound for an id the index does not hold; StorageIo for a failed
  // or damaged read.
  Result<Cell> read_cell(CellId id) const;
  // The same read without the vectors (key, value and aux left empty): the
  // ids, owner, layer, view marker, importance and tier, for walks that need
  // no vectors (times and counter stay 0). Served from the index without any
  // I/O; fails where read_cell fails on a damaged record or tier byte.
  Result<Cell> read_cell_header(CellId id) const;

  // Whether `e` is a failed read of a segment file that another engine
  // removed since this pool listed it (a rescan then finds where its live
  // records went).
  bool segment_removed(const EngineError& e) const;

  // Rewrites every segment but the newest where fewer than half of its
  // records are kept: they move to the active segment in one batch per
  // segment, then the files are removed and their other cells leave the index.
  //
  // Requires: the directory's writer lock is held, so no other writer appends
  // or compacts meanwhile. The pool first rescans the directory, so liveness
  // is judged on every record stored, never on what this pool had seen. A
  // record is dropped only when it is provably dead:
  //  - `is_dead(id, header)` says so (the engine: its pack was deleted);
  //  - it is a superseded copy: the index holds another stored record of its
  //    id (what an earlier compaction moved but could not remove);
  //  - it is a layer record of a pack whose head no segment holds: a pack's
  //    records are stored in one append with the head last, and no append is
  //    in progress under the lock, so that append never completed.
  // A view key whose head no segment holds is kept unless `is_dead`: view
  // keys are appended after their head, so only a deletion explains a
  // missing head, and a deletion is for `is_dead` to prove.
  //
  // A segment stays, its records standing, while a record it would move has
  // a copy in another segment (left by a compaction that a power loss cut
  // short) that differs from it: once the segment is gone, that copy would
  // be the first one stored.
  //
  // Ids are never given back: the record carrying the highest cell id
  // stored, and one record of the highest pack id when that pack's records
  // are all headless layers, stay whatever their liveness, so that counters
  // taken from the stored records (at open, or by an engine catching up)
  // never fall back to ids already handed out.
  Result<CompactionStats> compact(const std::function<bool(CellId, const RecordHeader&)>& is_dead);
  // Every record whose cell id is not in `live` is dead (as `is_dead`).
  Result<CompactionStats> compact(const std::unordered_set<CellId>& live);

  // The segment appends go to; SegmentFull when the list is empty.
  Result<const Segment*> active_segment() const;
  // Starts a new segment when the active one has reached segment_size or has
  // a torn tail. Called before every append.
  Result<void> rotate_if_full();

  // Decides about the active segment's tail before this pool appends to it:
  // bytes behind its whole records, a last record that cannot be whole, layer
  // records whose head never followed, or a file that is gone or is not the
  // one this pool scanned make the next append start a new segment.
  // Requires: the directory's writer lock held, so that whatever is
  // unfinished there belongs to a writer that is gone. Never fails: a file
  // that cannot be read is not appended to either.
  void settle_active_tail();

  // Reads the fixed fields of every record appended to any segment file of
  // the directory since the last call (by any writer; this pool's own
  // appends are skipped) and calls see(cell id, pack id) for each. Nothing
  // is indexed: other writers' cells still appear at rescan(). A segment
  // file that disappeared (another writer's compaction) takes no more
  // appends from this pool. The caller holds the directory's writer lock,
  // so the tails read here are not being written.
  Result<void> catch_up_ids(const std::function<void(CellId, PackId)>& see);

  const std::string& directory() const { return dir_; }
  uint64_t segment_size() const { return segment_size_; }
  size_t segment_count() const { return segments_.size(); }
  // Ascending by id; the last one is active.
  const std::vector<Segment>& segments() const { return segments_; }
  // Sum of the segment sizes (status "arena_bytes").
  uint64_t arena_bytes() const;
  const Index& index() const { return index_; }
  std::vector<CellId> cell_ids() const;  // ascending
  std::optional<CellLocation> locate(CellId id) const;
  bool contains(CellId id) const { return index_.count(id) != 0; }
  // The highest cell id and pack id of the records waiting for their pack's
  // head (0 when none): ids a writer used, which must never be handed out
  // again, or a later head would complete a pack with another pack's layers.
  std::pair<CellId, PackId> waiting_max_ids() const;
  size_t waiting_count() const;

 private:
  // The segment and offset of an indexed cell's record.
  Result<std::pair<const Segment*, uint64_t>> record_of(CellId id) const;
  BlockPool(std::string dir, uint64_t segment_size) : dir_(std::move(dir)), segment_size_(segment_size) {}

  const Segment* find_segment(uint32_t id) const;
  // Inserts a segment keeping the list ascending by id.
  void insert_segment(Segment seg);
  // The segment's kept read descriptor, opened (and another one closed past
  // MAX_READERS) when missing. A file under the segment's name that is not
  // the one the index describes is never read: that fails instead.
  IoResult<const platform::File*> reader_of(const Segment& seg) const;
  void keep_reader(const Segment& seg, platform::File f) const;
  void drop_reader(const Segment& seg) const;
  // Indexes scanned records under the visibility rule; of two records of
  // one id, the one stored first is indexed (see place).
  void index_scanned(uint32_t segment_id, const std::vector<RecordRef>& records);
  void admit_waiting();
  // Drops the index, waiting and superseded entries of records in these
  // segments; an id that loses its index entry takes a superseded copy kept
  // in another segment, if any. The other records of a pack whose head left
  // with them go back to waiting for a head.
  void forget_records_in(const std::unordered_set<uint32_t>& segment_ids);
  // Segments whose files are gone (another engine's compaction): their
  // records are forgotten and they leave the list, except the active one,
  // which stays (marked torn) until an append rotates past it.
  void forget_segments(const std::unordered_set<uint32_t>& segment_ids);
  // Indexes a scanned record; of it and an existing entry of its id, the
  // one stored first is the entry, the other is kept aside as a superseded
  // copy.
  void place(CellId id, const IndexEntry& e);
  // Whether every superseded copy of `ids`, outside segment `segment_id`,
  // holds the same bytes as their records in `records` (at `rel`). A copy
  // that cannot be read does not.
  Result<bool> copies_agree(uint32_t segment_id, const std::vector<uint8_t>& records,
                            const std::vector<uint64_t>& rel, const std::vector<CellId>& ids) const;
  // One listing and scan; reports whether a listed segment vanished before
  // it could be read, so that the caller lists again.
  Result<bool> rescan_pass();

  friend class RecordReader;  // reads through the kept descriptors

  std::string dir_;
  uint64_t segment_size_;
  // After an append of this pool that began at `start` and ended at
  // `end`: the catch-up has nothing to read there when it had read up to
  // `start`.
  void note_own_append(uint32_t segment_id, uint64_t start, uint64_t end);
  // Moves the segment's scan and settle marks past records this pool just
  // appended where the marks stood (their offsets and fixed fields).
  static void note_own_records(Segment& seg, const std::vector<uint64_t>& offsets,
                               const std::vector<RecordHeader>& headers);

  std::vector<Segment> segments_;
  Index index_;
  // Packs whose head is stored (indexed by this pool at some point).
  std::unordered_set<PackId> heads_;
  // Records of packs without a stored head, by pack.
  std::map<PackId, std::vector<std::pair<CellId, IndexEntry>>> waiting_;
  // Other stored copies of indexed cells: a compaction appends its moved
  // copies before it removes the old segment, so a scan can meet both. When
  // the indexed copy's segment goes, the id takes one of these.
  std::multimap<CellId, IndexEntry> superseded_;
  mutable size_t readers_open_ = 0;
  mutable uint64_t read_tick_ = 0;
  // Per segment file: how far catch_up_ids has read its records.
  std::map<uint32_t, uint64_t> ids_read_to_;
};

}  // namespace qvn
