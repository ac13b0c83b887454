// Cell records of segment files: how a cell is coded into its record and
// read back, the checks a read makes on the counts and the tier byte, and
// the judgment of whether a record could be as a writer left it. Owns no
// file: readers hand it bytes or an open file and an offset. It never
// touches a segment list or an index (segment_file.h, block_pool.h).
// The byte table is in docs/formats.md under "Segment files".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "core/platform.h"
#include "storage/segment_format.h"

namespace qvn {

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

// `body_len` of a record with these element counts, or the refusal an append
// reports: "record size {} exceeds u32::MAX", or "element count {} exceeds
// u32::MAX" for a key or value too long for its count field (invalid input).
IoResult<uint32_t> cell_record_body_len(uint64_t key_len, uint64_t value_len, uint64_t aux_len);

// Appends the record of `cell` to `out` (Q4-coding key and value); returns
// its body_len. Refuses as cell_record_body_len does, leaving `out` as it was.
IoResult<uint32_t> encode_cell_record(std::vector<uint8_t>& out, const Cell& cell);

// Reads the record at `offset` with one or two preads on a freshly opened
// file (the pool's own reads use its kept descriptors). A record whose counts
// disagree with its body_len or its own arrays is refused as invalid data
// before anything is allocated from them; a file ending inside the record is
// "failed to fill whole buffer"; a tier byte above 2 is
// "invalid tier byte {} in cell {}".
IoResult<Cell> decode_cell_record(const std::string& path, uint64_t offset);

// ---------------------------------------------------------------------------
// The pieces the segment files, the pool and its readers share. Records are
// copied to and from memory as little-endian values.
namespace record {

// First pread of a record read; a record of a 128-dimensional key and value
// (251 bytes) fits with room to spare, larger ones take a second pread.
inline constexpr size_t READ_AHEAD = 4096;

template <class T>
void put(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

template <class T>
T get(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The 8 bytes every segment file starts with.
void write_segment_header(uint8_t (&out)[segment_format::HEADER_SIZE]);

// The counts of a record's fixed part, checked against each other.
struct Shape {
  uint32_t body_len = 0;
  uint64_t key_len = 0, value_len = 0, aux_len = 0;
  uint64_t key_scales = 0, key_bytes = 0, value_scales = 0, value_bytes = 0;

  uint64_t total() const { return segment_format::LEN_PREFIX + body_len; }
};

// "damaged cell record at offset {} in {}".
IoError damaged(const std::string& path, uint64_t offset);
// "invalid tier byte {} in cell {}".
IoError invalid_tier(uint8_t byte, CellId id);

// Parses and checks the fixed part at `rec` (FIXED_END bytes present).
IoResult<Shape> parse_shape(const uint8_t* rec, const std::string& path, uint64_t offset);

// Reads the whole record at `offset` into `buf`: one pread, two for records
// longer than READ_AHEAD. A file ending inside the record is "failed to fill
// whole buffer".
IoResult<Shape> read_record(const platform::File& f, const std::string& path, uint64_t offset,
                            std::vector<uint8_t>& buf);

// The tier of the whole record at `rec`, or its "invalid tier byte" error.
IoResult<Tier> tier_of(const uint8_t* rec);

// The cell of the whole record at `rec`, whose shape parse_shape gave.
IoResult<Cell> cell_from(const uint8_t* rec, const Shape& s);

// The kept fields of the fixed part at `rec` (FIXED_END bytes present),
// with the same checks a read makes.
RecordHeader kept_header(const uint8_t* rec, const std::string& path, uint64_t offset);

// Writes every byte of the record of `c` at `r`: 4 + body_len bytes, body_len
// as cell_record_body_len gave it for this cell.
void write(uint8_t* r, const Cell& c, uint32_t body_len);

// Whether the whole record in `rec` could be as a writer left it, judged by
// its own fields: counts as the writer stores them (KS = ceil(n / 32),
// KB = 16 KS, likewise for the value), a tier byte, a view marker and codes
// that writers make.
bool could_be_whole(const uint8_t* rec, const std::string& path, uint64_t offset);

// Bytes of a record up to the end of its key arrays; 0 when its counts are
// damaged.
uint64_t key_prefix_size(const uint8_t* fixed, const std::string& path, uint64_t offset);

// A pack is stored in one append: its layer records, then its head, all
// with the head's owner, times, importance, tier and key, the layers taking
// the ids after the head's. `layer` is the last layer record before the head
// (its bytes up to the end of its key arrays, `layer_size` of them) and
// `first_layer_id` the id of the first one of that run.
bool head_agrees_with_layers(const uint8_t* head, const uint8_t* layer, uint64_t layer_size,
                             CellId first_layer_id);

}  // namespace record
}  // namespace qvn
