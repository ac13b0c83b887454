// The walk over the records of one segment file: where its whole records
// are, their kept fields, and where a torn last append begins. Reads only;
// what a pool does with a scan (indexing, settling a tail) is block_pool's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "core/platform.h"
#include "storage/segment_record.h"

namespace qvn {

struct RecordRef {
  CellId cell_id = 0;
  uint64_t offset = 0;
  RecordHeader header;
};

struct SegmentScan {
  std::vector<RecordRef> records;  // file order
  uint64_t end = 0;                // offset just past the last whole record
  // Where a later scan must start to judge what follows `end` as a scan of
  // the whole file would: the first of the layer records that end the scan
  // when their head is not among them, else `end`.
  uint64_t resume = 0;
  // Whole records up to the end of the file, the last one not a layer
  // waiting for its head: nothing of an unfinished append.
  bool whole(uint64_t size) const { return end == size && resume == end; }
};

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

// The same walk over an open segment of `size` bytes from `from`.
// Requires: `from` is the header's end or a `resume` of an earlier scan, so
// that no layer record before it waits for a head after it (the last record
// is judged with its pack's layers in view).
SegmentScan scan_records(const platform::File& f, uint64_t size, const std::string& path, uint64_t from);

// The index of the first of the run of one pack's layer records that ends
// the first `n` records (n when record n - 1 is not a layer);
// `header_at(i)` gives record i's kept fields.
template <class HeaderAt>
size_t trailing_layer_run(size_t n, HeaderAt header_at) {
  if (n == 0 || !header_at(n - 1).is_pack_layer()) return n;
  const PackId pack = header_at(n - 1).pack_id;
  size_t i = n;
  while (i > 0 && header_at(i - 1).is_pack_layer() && header_at(i - 1).pack_id == pack) --i;
  return i;
}

// Whether a record whose length prefix `len` sits at `at` of a file of
// `size` bytes lies whole inside it. A zero-filled tail reads as length 0.
inline bool record_fits(uint32_t len, uint64_t at, uint64_t size) {
  return len >= segment_format::FIXED_BODY && size - at - segment_format::LEN_PREFIX >= len;
}

// A window over a file for walks over its records: one pread serves many
// small reads.
class ScanReader {
 public:
  ScanReader(const platform::File& f, uint64_t size) : f_(f), size_(size) {}

  // Pointer to bytes [off, off + n) or an error; n <= the window.
  IoResult<const uint8_t*> at(uint64_t off, size_t n);

 private:
  const platform::File& f_;
  uint64_t size_;
  std::vector<uint8_t> win_;
  uint64_t win_off_ = 0;
};

}  // namespace qvn
