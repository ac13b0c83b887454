// The engine's store of cells: append-only segment files of length-prefixed
// cell records in the engine directory, and an ordered in-memory index from
// CellId to the record's place.
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

namespace qvn {

struct Segment {
  std::string path;
  uint64_t size = 0;  // bytes, as far as this pool knows
  uint32_t id = 0;
  // The next append goes to a fresh segment instead of this one: under the
  // writer lock its tail held bytes that are not whole records (a dead
  // writer's, see BlockPool::settle_active_tail), or an append could not cut
  // its partial bytes back off, or the file is gone or was replaced.
  // Appending behind such bytes would make later scans stop before the new
  // records; the file itself is never truncated. Scans outside the lock
  // never set it: a tail may be another writer's append in progress.
  bool torn_tail = false;
  // Records before this offset have been scanned; a rescan resumes here
  // (files are append-only, so what lies before never changes).
  uint64_t scanned_to = 0;
  // Where the rescan starts reading (at or before scanned_to): the first of
  // the layer records that end the scanned part when they wait for their
  // pack's head, so that the record after them is judged with them in view.
  uint64_t rescan_from = 0;
  // The file size at which the writer lock last found the tail whole, and
  // the offset from which the next such check reads (as rescan_from).
  std::optional<uint64_t> settled_size;
  uint64_t settle_from = 0;
  // Identity of the file that was scanned (both 0 until known). A rescan
  // that finds another file under the name starts over on it.
  uint64_t device = 0, inode = 0;
  // Read descriptor kept across reads, only ever on the identified file, so
  // it never serves another file that later took the same name.
  mutable std::shared_ptr<const platform::File> reader;
  mutable uint64_t last_read = 0;  // for choosing which descriptor to close
  // Compaction moved this segment's live records out but could not remove
  // the file: every record below this offset is dead. Records behind it
  // were appended since, by another writer.
  uint64_t dead_before = 0;
};

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

// The fixed fields of a record that walks over the index need, kept from
// the scan or the append so that they need no read of the record.
struct RecordHeader {
  OwnerId owner = 0;
  PackId pack_id = 0;
  uint64_t view_marker = 0;
  float importance = 0.0f;
  LayerIndex layer = 0;
  uint8_t tier = 0;       // the stored byte; one above 2 fails the record's reads
  bool damaged = false;   // counts that disagree with body_len or the arrays

  static RecordHeader of(const Cell& c);
  // Reads of the record fail on its counts or tier byte.
  bool unreadable() const { return damaged || tier > 2; }
  bool is_retrieval() const { return pack_id == 0 || layer == VIEW_KEY_LAYER; }
  // A pack's retrieval-key record. A pack becomes visible with it.
  bool is_pack_head() const { return pack_id != 0 && layer == VIEW_KEY_LAYER && view_marker == 0; }
  // Any other record of a pack: its layers and view keys.
  bool is_pack_member() const { return pack_id != 0 && !is_pack_head(); }
  // A pack's layer record: stored before its head, in the head's append.
  bool is_pack_layer() const { return pack_id != 0 && layer != VIEW_KEY_LAYER; }
};

struct IndexEntry {
  CellLocation location;
  RecordHeader header;
};

struct RecordRef {
  CellId cell_id = 0;
  uint64_t offset = 0;
  RecordHeader header;
};

struct SegmentScan {
  std::vector<RecordRef> records;  // file order
  bool torn_tail = false;          // bytes after the last whole record
  uint64_t end = 0;                // offset just past the last whole record
  // Where a later scan must start to judge what follows `end` as a scan of
  // the whole file would: the first of the layer records that end the scan
  // when their head is not among them, else `end`.
  uint64_t resume = 0;
  // Whole records up to the end of the file, the last one not a layer
  // waiting for its head: nothing of an unfinished append.
  bool whole(uint64_t size) const { return end == size && resume == end; }
};

// ---------------------------------------------------------------------------
// Helpers on single files. I/O failures come back as IoError.

std::string segment_path(const std::string& dir, uint32_t id);

// Ids of the names "segment_<u32>.qvn" in dir ("+" prefix allowed, digits
// only), ascending and without repeats; other names are ignored.
IoResult<std::vector<uint32_t>> list_segment_ids(const std::string& dir);

// Creates segment `id` (never replacing an existing file) with its 8-byte
// header, then syncs the directory. The header itself is made durable by the
// first append's sync.
IoResult<Segment> create_segment(const std::string& dir, uint32_t id);

IoResult<uint64_t> segment_file_size(const std::string& dir, uint32_t id);

// Walks one segment's records. A file shorter than the header has none; other
// files must start with the magic ("invalid segment magic in {path}"). The
// walk ends, without error, at the first record whose length prefix is short
// of the fixed body or runs past the end of the file (a torn or zero-filled
// tail), or at a read failure inside the walk. The last record of the walk
// (when nothing but zeros follows it, or it ends in a zero) is part of the
// torn tail too when its own fields show it cannot be as a writer left it:
// counts, tier, view marker, codes and padding no writer makes, or, for a
// pack's head, fields, ids or a key that differ from those of its layers
// stored just before it. A writer that lost power leaves zeros inside its
// last record, never a record a reader may use. Damage to a record that
// other bytes follow is not judged: its reads fail where its counts or tier
// byte show it.
IoResult<SegmentScan> scan_segment(const std::string& path);

// `body_len` of a record with these element counts, or the refusal an append
// reports: "record size {} exceeds u32::MAX", or "element count {} exceeds
// u32::MAX" for a key or value too long for its count field (invalid input).
IoResult<uint32_t> cell_record_body_len(uint64_t key_len, uint64_t value_len, uint64_t aux_len);

// Appends the record of `cell` to `out` (Q4-coding key and value); returns
// its body_len. Refuses as cell_record_body_len does, leaving `out` as it was.
IoResult<uint32_t> encode_cell_record(std::vector<uint8_t>& out, const Cell& cell);

// Reads the record at `offset` with one or two preads on a freshly opened
// file (the pool's own reads use its kept descriptors). A record whose counts disagree with its body_len or its own arrays is
// refused as invalid data before anything is allocated from them; a file
// ending inside the record is "failed to fill whole buffer"; a tier byte above
// 2 is "invalid tier byte {} in cell {}".
IoResult<Cell> decode_cell_record(const std::string& path, uint64_t offset);
IoResult<Cell> decode_cell_header(const std::string& path, uint64_t offset);

// Append the cells' records to the segment's existing file in one write and
// one full sync; return their offsets. Offsets come from the file's own size,
// and a failed write or sync cuts the file back to where the append began
// (if that fails too, `torn_tail` is set). A file shorter than the header gets
// its header first. A file under the segment's name that is not the file
// the segment was scanned from (another device or inode) takes nothing: the
// append fails and `torn_tail` is set. An empty list touches nothing.
IoResult<std::vector<uint64_t>> append_records(Segment& segment, std::span<const Cell> cells);
IoResult<uint64_t> append_record(Segment& segment, const Cell& cell);

// ---------------------------------------------------------------------------

class BlockPool {
 public:
  using Index = std::map<CellId, IndexEntry>;

  // Creates `dir` if missing, indexes every segment file in ascending id order
  // (a later record of the same cell id wins), and creates segment 0 when
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
  // ids not yet indexed are indexed, existing entries are kept. Each segment
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
  // The kept fixed fields of an indexed record, or null.
  const RecordHeader* header_of(CellId id) const;

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
  // Indexes scanned records under the visibility rule; `replace` for open
  // (a later record wins), else existing entries stay.
  void index_scanned(uint32_t segment_id, const std::vector<RecordRef>& records, bool replace);
  void admit_waiting();
  // Drops the index, waiting and superseded entries of records in these
  // segments; an id that loses its index entry takes a superseded copy kept
  // in another segment, if any.
  void forget_records_in(const std::unordered_set<uint32_t>& segment_ids);
  // Segments whose files are gone (another engine's compaction): their
  // records are forgotten and they leave the list, except the active one,
  // which stays (marked torn) until an append rotates past it.
  void forget_segments(const std::unordered_set<uint32_t>& segment_ids);
  // Indexes a scanned record without replacing an existing entry; a record
  // at another place than the entry is kept aside as a superseded copy.
  void place(CellId id, const IndexEntry& e);
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

// ---------------------------------------------------------------------------
// Reads that decode a record's value straight into the caller's memory.

// The reader's buffer, kept by its owner across operations so that reads
// stop allocating once it has grown to the largest run they read.
struct ReadWindow {
  std::vector<uint8_t> bytes;  // grows, never shrinks
  uint64_t record_hint = 0;    // the largest record read so far, in bytes
};

// A record that RecordReader::read checked. It points into the reader's
// window and stays valid until the reader's next read.
class RecordView {
 public:
  CellId cell_id() const;
  OwnerId owner() const;
  LayerIndex layer() const;
  // The number of floats decode_value_into writes: the value's element count,
  // or fewer when the record's arrays run out first (as read_cell decodes it).
  size_t value_size() const { return value_size_; }
  void decode_value_into(float* out) const;

 private:
  friend class RecordReader;
  const uint8_t* rec_ = nullptr;
  const uint8_t* value_scales_ = nullptr;
  const uint8_t* value_codes_ = nullptr;
  size_t value_size_ = 0;
};

// Reads cell records for one engine operation, through the pool's kept
// descriptors, and adjacent records (a pack's cells, written in one append)
// come from one read into the window.
// Requires: the pool is not changed while the reader lives, and the reader
// lives no longer than one operation under the engine mutex.
class RecordReader {
 public:
  RecordReader(const BlockPool& pool, ReadWindow& window) : pool_(pool), window_(window) {}

  // Plans to read, with one read, the run of adjacent records that starts at
  // the lowest offset among these cells in the first one's segment. Only a
  // plan: failures surface at read().
  void read_ahead(std::span<const CellId> ids);

  // The record of `id`, checked as BlockPool::read_cell checks it and failing
  // where it fails, with the same errors.
  Result<RecordView> read(CellId id);

 private:
  IoResult<const platform::File*> file_of(const Segment& seg);
  // Fills the window with up to `want` bytes of `seg` from `offset`.
  IoResult<size_t> fill(const Segment& seg, uint64_t offset, size_t want);

  const BlockPool& pool_;
  ReadWindow& window_;
  // What the window holds: bytes [win_begin_, win_begin_ + win_len_) of win_seg_.
  uint32_t win_seg_ = 0;
  uint64_t win_begin_ = 0;
  size_t win_len_ = 0;
  // The planned run: [plan_begin_, plan_end_) of plan_seg_.
  std::optional<uint32_t> plan_seg_;
  uint64_t plan_begin_ = 0, plan_end_ = 0;
};

}  // namespace qvn
