// Reads that decode a record's value straight into the caller's memory,
// through the pool's kept descriptors. Reads only: the pool's index, segment
// list and files are the pool's to change (block_pool.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "core/platform.h"
#include "storage/block_pool.h"

namespace qvn {

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
