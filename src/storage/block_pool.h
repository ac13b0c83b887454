// The engine's store of cells: append-only segment files of length-prefixed
// cell records in the engine directory, and an ordered in-memory index from
// CellId to the record's place.
//
// No thread or lock of its own. Requires: every call on a BlockPool is
// serialised by the caller (the engine mutex). No file lock is taken; records
// another process appends to the same directory are seen through rescan().
//
// Durability: every append (single, batch, and the moves of compaction) is one
// write and one full sync; the index changes only after the sync succeeded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/cell.h"
#include "core/error.h"

namespace qvn {

struct Segment {
  std::string path;
  uint64_t size = 0;  // bytes, as far as this pool knows
  uint32_t id = 0;
  // The last scan stopped before the end of the file, or an append could not
  // cut its partial bytes back off, or the file is gone (another writer
  // compacted it away). Appending behind such bytes would make later scans
  // misread the new records, so the next append goes to a fresh segment
  // instead; the file itself is never truncated.
  bool torn_tail = false;
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

struct RecordRef {
  CellId cell_id = 0;
  uint64_t offset = 0;
};

struct SegmentScan {
  std::vector<RecordRef> records;  // file order
  bool torn_tail = false;          // bytes after the last whole record
  uint64_t end = 0;                // where the last whole record ends
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
// tail), or at a read failure inside the walk.
IoResult<SegmentScan> scan_segment(const std::string& path);

// `body_len` of a record with these element counts, or the refusal an append
// reports: "record size {} exceeds u32::MAX", or "element count {} exceeds
// u32::MAX" for a key or value too long for its count field (invalid input).
IoResult<uint32_t> cell_record_body_len(uint64_t key_len, uint64_t value_len, uint64_t aux_len);

// Appends the record of `cell` to `out` (Q4-coding key and value); returns
// its body_len. Refuses as cell_record_body_len does, leaving `out` as it was.
IoResult<uint32_t> encode_cell_record(std::vector<uint8_t>& out, const Cell& cell);

// Reads the record at `offset` with one or two preads on a freshly opened
// file. A record whose counts disagree with its body_len or its own arrays is
// refused as invalid data before anything is allocated from them; a file
// ending inside the record is "failed to fill whole buffer"; a tier byte above
// 2 is "invalid tier byte {} in cell {}".
IoResult<Cell> decode_cell_record(const std::string& path, uint64_t offset);
IoResult<Cell> decode_cell_header(const std::string& path, uint64_t offset);

// Append the cells' records to the segment's existing file in one write and
// one full sync; return their offsets. Offsets come from the file's own size,
// and a failed write or sync cuts the file back to where the append began
// (if that fails too, `torn_tail` is set). A file shorter than the header gets
// its header first. An empty list touches nothing.
IoResult<std::vector<uint64_t>> append_records(Segment& segment, std::span<const Cell> cells);
IoResult<uint64_t> append_record(Segment& segment, const Cell& cell);

// ---------------------------------------------------------------------------

class BlockPool {
 public:
  using Index = std::map<CellId, CellLocation>;

  // Creates `dir` if missing, indexes every segment file in ascending id order
  // (a later record of the same cell id wins), and creates segment 0 when
  // there is none. After success the pool always holds a segment.
  static Result<BlockPool> open(const std::string& dir, uint64_t segment_size);

  // Picks up segment files and records written since open, by this pool or
  // another writer: new segments join the list in id order; records of cell
  // ids not yet indexed are indexed, existing entries are kept.
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
  // ids, layer, importance and tier, for walks that need no vectors. Fails
  // exactly where read_cell fails.
  Result<Cell> read_cell_header(CellId id) const;

  // Rewrites every non-active segment where fewer than half of its records
  // are live: live records move to the active segment in one batch per
  // segment, then the files are removed and their other cells leave the index.
  // A record is live when `is_live(id)` and the index points at that record.
  Result<CompactionStats> compact(const std::function<bool(CellId)>& is_live);
  Result<CompactionStats> compact(const std::unordered_set<CellId>& live);

  // The segment appends go to; SegmentFull when the list is empty.
  Result<const Segment*> active_segment() const;
  // Starts a new segment when the active one has reached segment_size or has
  // a torn tail. Called before every append.
  Result<void> rotate_if_full();

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

 private:
  // The segment and offset of an indexed cell's record.
  Result<std::pair<const Segment*, uint64_t>> record_of(CellId id) const;
  BlockPool(std::string dir, uint64_t segment_size) : dir_(std::move(dir)), segment_size_(segment_size) {}

  const Segment* find_segment(uint32_t id) const;
  // Inserts a segment keeping the list ascending by id.
  void insert_segment(Segment seg);

  std::string dir_;
  uint64_t segment_size_;
  // After an append of this pool that began at `start` and ended at
  // `end`: the catch-up has nothing to read there when it had read up to
  // `start`.
  void note_own_append(uint32_t segment_id, uint64_t start, uint64_t end);

  std::vector<Segment> segments_;
  Index index_;
  // Per segment file: how far catch_up_ids has read its records.
  std::map<uint32_t, uint64_t> ids_read_to_;
};

}  // namespace qvn
