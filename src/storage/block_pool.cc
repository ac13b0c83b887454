#include "storage/block_pool.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <tuple>

#include "core/numeric.h"
#include "core/platform.h"
#include "storage/append_file.h"
#include "storage/quantization.h"
#include "storage/segment_format.h"

namespace qvn {

namespace sf = segment_format;

static_assert(std::endian::native == std::endian::little,
              "records are copied to and from memory as little-endian values");

namespace {

constexpr uint64_t U32_MAX = 0xFFFFFFFFull;
// First pread of a record read; a record of a 128-dimensional key and value
// (251 bytes) fits with room to spare, larger ones take a second pread.
constexpr size_t READ_AHEAD = 4096;
// Window of a segment scan; one pread serves many record headers.
constexpr size_t SCAN_WINDOW = 1 << 18;
// Read descriptors kept open at once; past this the least recently read one
// is closed, so a pool of many small segments stays within the process's
// descriptor limit.
constexpr size_t MAX_READERS = 64;

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

void write_header(uint8_t (&out)[sf::HEADER_SIZE]) {
  std::memcpy(out, sf::MAGIC, sizeof sf::MAGIC);
  put<uint32_t>(out + sizeof sf::MAGIC, sf::VERSION);
}

// The counts of a record's fixed part, checked against each other.
struct RecordShape {
  uint32_t body_len = 0;
  uint64_t key_len = 0, value_len = 0, aux_len = 0;
  uint64_t key_scales = 0, key_bytes = 0, value_scales = 0, value_bytes = 0;

  uint64_t total() const { return sf::LEN_PREFIX + body_len; }
};

// Body length that the counts call for; cannot overflow (each count < 2^32).
uint64_t body_len_of_counts(uint64_t ks, uint64_t kb, uint64_t vs, uint64_t vb, uint64_t aux) {
  return sf::FIXED_BODY + 4 * (ks + aux + vs) + kb + vb;
}

// Whether `n_bytes` code bytes cover every group that decoding `len`
// elements with `n_scales` scales will read.
bool q4_arrays_agree(uint64_t len, uint64_t n_scales, uint64_t n_bytes) {
  uint64_t groups = std::min(q4_group_count(len), n_scales);
  return n_bytes >= groups * Q4_GROUP_BYTES;
}

IoError segment_replaced(const std::string& path) {
  return IoError::other("segment file " + path + " was replaced by another file");
}

IoError damaged(const std::string& path, uint64_t offset) {
  return IoError::invalid_data("damaged cell record at offset " + std::to_string(offset) + " in " +
                               path);
}

// Parses and checks the fixed part at `rec` (FIXED_END bytes present).
IoResult<RecordShape> parse_shape(const uint8_t* rec, const std::string& path, uint64_t offset) {
  RecordShape s;
  s.body_len = get<uint32_t>(rec);
  s.key_len = get<uint32_t>(rec + sf::OFF_KEY_LEN);
  s.value_len = get<uint32_t>(rec + sf::OFF_VALUE_LEN);
  s.aux_len = get<uint32_t>(rec + sf::OFF_AUX_LEN);
  s.key_scales = get<uint32_t>(rec + sf::OFF_KEY_SCALES);
  s.key_bytes = get<uint32_t>(rec + sf::OFF_KEY_BYTES);
  s.value_scales = get<uint32_t>(rec + sf::OFF_VALUE_SCALES);
  s.value_bytes = get<uint32_t>(rec + sf::OFF_VALUE_BYTES);
  uint64_t want = body_len_of_counts(s.key_scales, s.key_bytes, s.value_scales, s.value_bytes, s.aux_len);
  if (want != s.body_len || !q4_arrays_agree(s.key_len, s.key_scales, s.key_bytes) ||
      !q4_arrays_agree(s.value_len, s.value_scales, s.value_bytes)) {
    return make_unexpected(damaged(path, offset));
  }
  return s;
}

// Reads the whole record at `offset` into `buf`: one pread, two for records
// longer than READ_AHEAD. A file ending inside the record is "failed to fill
// whole buffer".
IoResult<RecordShape> read_record(const platform::File& f, const std::string& path, uint64_t offset,
                                  std::vector<uint8_t>& buf) {
  buf.resize(READ_AHEAD);
  QVN_TRY(size_t got, f.pread_some(buf.data(), buf.size(), offset));
  // A short read need not be the end of the file; fill the fixed part.
  if (got < sf::FIXED_END) {
    QVN_TRY_VOID(f.pread_exact(buf.data() + got, sf::FIXED_END - got, offset + got));
    got = sf::FIXED_END;
  }
  QVN_TRY(RecordShape shape, parse_shape(buf.data(), path, offset));
  const uint64_t total = shape.total();
  if (total > got) {
    buf.resize(static_cast<size_t>(total));
    QVN_TRY_VOID(f.pread_exact(buf.data() + got, buf.size() - got, offset + got));
  } else {
    buf.resize(static_cast<size_t>(total));
  }
  return shape;
}

// Decodes one Q4 array pair at `p`; advances p past both arrays.
std::vector<float> decode_q4_at(const uint8_t*& p, uint64_t len, uint64_t scales, uint64_t bytes) {
  const uint8_t* scale_p = p;
  const uint8_t* code_p = p + 4 * scales;
  std::vector<float> out(static_cast<size_t>(q4_decoded_len(len, scales, bytes)));
  q4_decode_into(scale_p, code_p, out.size(), out.data());
  p = code_p + bytes;
  return out;
}

IoResult<Tier> tier_of_record(const uint8_t* rec) {
  uint8_t b = rec[sf::OFF_TIER];
  if (auto t = tier_from_byte(b)) return *t;
  return make_unexpected(IoError::invalid_data("invalid tier byte " + std::to_string(b) + " in cell " +
                                               std::to_string(get<uint64_t>(rec + sf::OFF_CELL_ID))));
}

// The fixed fields only; key, value and aux stay empty.
IoResult<Cell> header_from_record(const uint8_t* rec) {
  QVN_TRY(Tier t, tier_of_record(rec));
  Cell c;
  c.cell_id = get<uint64_t>(rec + sf::OFF_CELL_ID);
  c.owner = get<uint64_t>(rec + sf::OFF_OWNER);
  c.layer = get<uint16_t>(rec + sf::OFF_LAYER);
  c.pack_id = get<uint64_t>(rec + sf::OFF_PACK_ID);
  c.view_marker = get<uint64_t>(rec + sf::OFF_VIEW_MARKER);
  c.created_at_ns = get<uint64_t>(rec + sf::OFF_CREATED_AT);
  c.stamp_ns = get<uint64_t>(rec + sf::OFF_STAMP);
  c.importance = get<float>(rec + sf::OFF_IMPORTANCE);
  c.counter = get<uint32_t>(rec + sf::OFF_COUNTER);
  c.tier = t;
  return c;
}

// The kept fields of the fixed part at `rec` (FIXED_END bytes present),
// with the same checks a read makes.
RecordHeader kept_header(const uint8_t* rec, const std::string& path, uint64_t offset) {
  RecordHeader h;
  h.owner = get<uint64_t>(rec + sf::OFF_OWNER);
  h.pack_id = get<uint64_t>(rec + sf::OFF_PACK_ID);
  h.view_marker = get<uint64_t>(rec + sf::OFF_VIEW_MARKER);
  h.importance = get<float>(rec + sf::OFF_IMPORTANCE);
  h.layer = get<uint16_t>(rec + sf::OFF_LAYER);
  h.tier = rec[sf::OFF_TIER];
  h.damaged = !parse_shape(rec, path, offset).ok();
  return h;
}

// Whether the Q4 array pair at `p` could have come from the encoder. Its
// scale is a group's absolute maximum / 7 (never negative, never NaN), 1.0
// for a group of zeros, infinite when the maximum is, or 0.0 when the
// division underflows. Codes past a group's last element are 8. Under a
// normal scale every quotient lies in [-7, 7], so no code is 0; under 0.0
// a code is 0, 8 or 15 (-inf, NaN, +inf); under an infinite scale every
// code is 8. A zeroed full group (scale 0.0 and all 32 codes 0) needs 32
// negative values too tiny for a scale; it is taken as zero fill (a short
// group shows zero fill in its padding). Advances p past both arrays.
bool q4_could_be_encoded(const uint8_t*& p, uint64_t len, uint64_t n_scales, uint64_t n_bytes) {
  const uint8_t* scales = p;
  const uint8_t* codes = p + 4 * n_scales;
  p = codes + n_bytes;
  const uint64_t groups = std::min(q4_group_count(len), n_scales);
  for (uint64_t g = 0; g < groups; ++g) {
    const float scale = get<float>(scales + 4 * g);
    if (std::signbit(scale) || std::isnan(scale)) return false;
    const bool zero_scale = scale == 0.0f;
    const bool inf_scale = std::isinf(scale);
    const uint64_t m = std::min<uint64_t>(Q4_GROUP_ELEMS, len - g * Q4_GROUP_ELEMS);
    const uint8_t* c = codes + g * Q4_GROUP_BYTES;
    bool all_zero = true;
    for (uint64_t j = 0; j < Q4_GROUP_ELEMS; ++j) {
      const uint8_t nib = (j & 1) ? (c[j / 2] >> 4) : (c[j / 2] & 0x0F);
      if (j >= m) {
        if (nib != 8) return false;
        continue;
      }
      if (nib != 0) all_zero = false;
      if (nib == 0 && std::isnormal(scale)) return false;
      if (zero_scale && nib != 0 && nib != 8 && nib != 15) return false;
      if (inf_scale && nib != 8) return false;
    }
    if (all_zero && zero_scale && m == Q4_GROUP_ELEMS) return false;
  }
  return true;
}

// Whether the whole record in `rec` could be as a writer left it, judged by
// its own fields: counts as the writer stores them (KS = ceil(n / 32),
// KB = 16 KS, likewise for the value), a tier byte, a view marker and codes
// that writers make.
bool record_could_be_whole(const uint8_t* rec, const std::string& path, uint64_t offset) {
  auto shape = parse_shape(rec, path, offset);
  if (!shape.ok() || !tier_from_byte(rec[sf::OFF_TIER])) return false;
  if (shape->key_scales != q4_group_count(shape->key_len) ||
      shape->key_bytes != shape->key_scales * Q4_GROUP_BYTES ||
      shape->value_scales != q4_group_count(shape->value_len) ||
      shape->value_bytes != shape->value_scales * Q4_GROUP_BYTES) {
    return false;
  }
  const uint64_t marker = get<uint64_t>(rec + sf::OFF_VIEW_MARKER);
  if (marker != 0 && marker != VIEW_MARKER_ALL_ONES) return false;
  if (marker == VIEW_MARKER_ALL_ONES &&
      (get<uint64_t>(rec + sf::OFF_PACK_ID) == 0 || get<uint16_t>(rec + sf::OFF_LAYER) != VIEW_KEY_LAYER)) {
    return false;
  }
  const uint8_t* p = rec + sf::FIXED_END;
  return q4_could_be_encoded(p, shape->key_len, shape->key_scales, shape->key_bytes) &&
         q4_could_be_encoded(p, shape->value_len, shape->value_scales, shape->value_bytes);
}

// Bytes of a record up to the end of its key arrays; 0 when its counts are
// damaged.
uint64_t key_prefix_size(const uint8_t* fixed, const std::string& path, uint64_t offset) {
  auto shape = parse_shape(fixed, path, offset);
  if (!shape.ok()) return 0;
  return sf::FIXED_END + 4 * shape->key_scales + shape->key_bytes;
}

// A pack is stored in one append: its layer records, then its head, all
// with the head's owner, times, importance, tier and key, the layers taking
// the ids after the head's. `layer` is the last layer record before the head
// (its bytes up to the end of its key arrays, `layer_size` of them) and
// `first_layer_id` the id of the first one of that run.
bool head_agrees_with_layers(const uint8_t* head, const uint8_t* layer, uint64_t layer_size,
                             CellId first_layer_id) {
  for (size_t off : {sf::OFF_OWNER, sf::OFF_CREATED_AT, sf::OFF_STAMP}) {
    if (get<uint64_t>(head + off) != get<uint64_t>(layer + off)) return false;
  }
  if (get<uint32_t>(head + sf::OFF_IMPORTANCE) != get<uint32_t>(layer + sf::OFF_IMPORTANCE) ||
      head[sf::OFF_TIER] != layer[sf::OFF_TIER]) {
    return false;
  }
  for (size_t off : {sf::OFF_KEY_LEN, sf::OFF_KEY_SCALES, sf::OFF_KEY_BYTES}) {
    if (get<uint32_t>(head + off) != get<uint32_t>(layer + off)) return false;
  }
  if (std::memcmp(head + sf::FIXED_END, layer + sf::FIXED_END, static_cast<size_t>(layer_size - sf::FIXED_END)) != 0) {
    return false;
  }
  const CellId head_id = get<uint64_t>(head + sf::OFF_CELL_ID);
  return head_id != UINT64_MAX && head_id + 1 == first_layer_id;
}

IoResult<Cell> cell_from_record(const uint8_t* rec, const RecordShape& s) {
  QVN_TRY(Cell c, header_from_record(rec));
  const uint8_t* p = rec + sf::FIXED_END;
  c.key = decode_q4_at(p, s.key_len, s.key_scales, s.key_bytes);
  c.value = decode_q4_at(p, s.value_len, s.value_scales, s.value_bytes);
  c.aux.resize(static_cast<size_t>(s.aux_len));
  if (s.aux_len > 0) std::memcpy(c.aux.data(), p, c.aux.size() * sizeof(float));
  return c;
}

// Appends already encoded records in one write and one sync. `rel` holds each
// record's offset inside `buf`; the result holds their file offsets.
IoResult<std::vector<uint64_t>> append_encoded(Segment& seg, std::span<const uint8_t> buf,
                                               const std::vector<uint64_t>& rel) {
  QVN_TRY(platform::File f, platform::File::open(seg.path, platform::Access::Append));
  QVN_TRY(platform::FileInfo info, f.info());
  if ((seg.device | seg.inode) == 0) {
    seg.device = info.device;
    seg.inode = info.inode;
  } else if (info.device != seg.device || info.inode != seg.inode) {
    // Another file took the name: its bytes were never scanned here, and
    // the reads of this segment go to the file the index describes.
    seg.torn_tail = true;
    return make_unexpected(segment_replaced(seg.path));
  }
  uint64_t begin = info.size;
  if (begin < sf::HEADER_SIZE) {
    // A segment whose header is not on disk: its creator died first, or is
    // writing it now, outside the writer lock, the same 8 bytes at the same
    // place. Nothing here is a record. The header goes to its place, never
    // behind what is there, and this append's sync covers it.
    QVN_TRY(platform::File h, platform::File::open(seg.path, platform::Access::Write));
    uint8_t header[sf::HEADER_SIZE];
    write_header(header);
    QVN_TRY_VOID(h.write_all(header, sizeof header));
    QVN_TRY_VOID(h.close());
    QVN_TRY(begin, f.size());
  }
  const uint64_t base = begin;
  // Cut back to where this append began, so later offsets stay true, but
  // only while nothing but our own bytes follows (the writer lock keeps
  // others out; bytes beyond ours would be theirs). Otherwise, or if the cut
  // fails, the partial bytes stay and the segment takes no more appends.
  auto fail = [&](IoError e) -> IoResult<std::vector<uint64_t>> {
    auto now = f.size();
    bool ours_only = now.ok() && *now >= begin && *now - begin <= buf.size();
    if (!ours_only || !f.truncate(begin).ok()) seg.torn_tail = true;
    return make_unexpected(std::move(e));
  };
  if (auto r = f.write_all(buf.data(), buf.size()); !r.ok()) return fail(std::move(r).error());
  if (auto r = f.sync(); !r.ok()) return fail(std::move(r).error());
  seg.size = base + buf.size();
  std::vector<uint64_t> offsets(rel.size());
  for (size_t i = 0; i < rel.size(); ++i) offsets[i] = base + rel[i];
  return offsets;
}

// A window over a file for the scan: one pread serves many small reads.
class ScanReader {
 public:
  ScanReader(const platform::File& f, uint64_t size) : f_(f), size_(size) {}

  // Pointer to bytes [off, off + n) or an error; n <= SCAN_WINDOW.
  IoResult<const uint8_t*> at(uint64_t off, size_t n) {
    if (off < win_off_ || off + n > win_off_ + win_.size()) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(SCAN_WINDOW, size_ - std::min(off, size_)));
      win_.resize(std::max(want, n));
      QVN_TRY(size_t got, f_.pread_some(win_.data(), win_.size(), off));
      win_.resize(got);
      win_off_ = off;
      if (got < n) return make_unexpected(IoError::unexpected_eof());
    }
    return win_.data() + (off - win_off_);
  }

 private:
  const platform::File& f_;
  uint64_t size_;
  std::vector<uint8_t> win_;
  uint64_t win_off_ = 0;
};

// Whether segment `id`, which a listing named, failed to open or stat with
// `e` because it is gone: another engine's compaction removed it meanwhile.
// A name the listing still shows ("segment_5.qvn" for segment_000005.qvn) is
// not gone, and its error stands.
bool is_gone(const std::string& dir, uint32_t id, const IoError& e) {
  if (e.kind != IoError::Kind::Os || e.os_code != ENOENT) return false;
  auto ids = list_segment_ids(dir);
  return ids.ok() && !std::binary_search(ids->begin(), ids->end(), id);
}

// Passes of one rescan: a segment vanishing mid-rescan means a compaction ran
// meanwhile, so the listing is taken again. Each pass costs another engine a
// whole compaction under the writer lock; past this many, the next rescan
// picks up what is left.
constexpr int MAX_RESCAN_PASSES = 8;

// Parses the middle of "segment_<id>.qvn" like an unsigned 32-bit decimal.
std::optional<uint32_t> parse_segment_id(std::string_view name) {
  if (name.size() <= sf::FILE_PREFIX.size() + sf::FILE_SUFFIX.size()) return std::nullopt;
  if (!name.starts_with(sf::FILE_PREFIX) || !name.ends_with(sf::FILE_SUFFIX)) return std::nullopt;
  std::string_view mid =
      name.substr(sf::FILE_PREFIX.size(), name.size() - sf::FILE_PREFIX.size() - sf::FILE_SUFFIX.size());
  auto v = parse_decimal(mid, U32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

}  // namespace

// ---------------------------------------------------------------------------

std::string segment_path(const std::string& dir, uint32_t id) {
  return platform::join(dir, sf::file_name(id));
}

IoResult<std::vector<uint32_t>> list_segment_ids(const std::string& dir) {
  QVN_TRY(std::vector<std::string> names, platform::list_dir(dir));
  std::vector<uint32_t> ids;
  for (const std::string& n : names) {
    if (auto id = parse_segment_id(n)) ids.push_back(*id);
  }
  // "segment_5.qvn" and "segment_000005.qvn" name the same segment.
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

IoResult<Segment> create_segment(const std::string& dir, uint32_t id) {
  std::string path = segment_path(dir, id);
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Write, platform::Create::Exclusive));
  uint8_t header[sf::HEADER_SIZE];
  write_header(header);
  auto w = f.write_all(header, sizeof header);
  platform::FileInfo info;
  if (w.ok()) {
    auto i = f.info();
    if (i.ok()) info = *i;
    w = f.close();
  }
  if (!w.ok()) {
    // Best effort: an empty leftover would only get its header at the first
    // append, but it would take this id from the next attempt.
    (void)platform::unlink(path);
    return make_unexpected(std::move(w).error());
  }
  QVN_TRY_VOID(platform::sync_dir(dir));
  Segment seg;
  seg.path = std::move(path);
  seg.size = sf::HEADER_SIZE;
  seg.id = id;
  seg.scanned_to = seg.rescan_from = seg.settle_from = sf::HEADER_SIZE;
  seg.settled_size = sf::HEADER_SIZE;
  seg.device = info.device;
  seg.inode = info.inode;
  return seg;
}

IoResult<uint64_t> segment_file_size(const std::string& dir, uint32_t id) {
  return platform::file_size(segment_path(dir, id));
}

namespace {

// The index of the first record of the run of one pack's layer records
// that ends the first `n` of `records` (n when record n - 1 is not a layer).
size_t trailing_layers(const std::vector<RecordRef>& records, size_t n) {
  size_t i = n;
  if (i == 0 || !records[i - 1].header.is_pack_layer()) return i;
  const PackId pack = records[i - 1].header.pack_id;
  while (i > 0 && records[i - 1].header.is_pack_layer() && records[i - 1].header.pack_id == pack) --i;
  return i;
}

// Whether the last of `records`, which ends at `end` of a file of `size`
// bytes, could be as its writer left it (see scan_segment). It is judged
// only as the last record written: when nothing but zeros follows it, or
// when it ends in a zero (a zero run from inside it on). Damage to a record
// that other bytes follow is reported by its reads instead. A layer record
// is not judged: it is indexed only once a head follows it, and then it is
// no longer last.
bool last_record_could_be_whole(const platform::File& f, const std::vector<RecordRef>& records, uint64_t end,
                                uint64_t size, const std::string& path) {
  const RecordRef& last = records.back();
  if (last.header.is_pack_layer()) return true;
  std::vector<uint8_t> rec(static_cast<size_t>(end - last.offset));
  // A record that cannot be read here fails its own reads later.
  if (!f.pread_exact(rec.data(), rec.size(), last.offset).ok()) return true;
  if (rec.back() != 0 && !zeros_to_end(f, end, size)) return true;
  if (!record_could_be_whole(rec.data(), path, last.offset)) return false;
  if (records.size() < 2 || !records[records.size() - 2].header.is_pack_layer()) return true;
  // Layer records before it: it must be their pack's head, written in the
  // same append, or a record of a later append, whose ids come after theirs.
  const RecordRef& layer = records[records.size() - 2];
  if (!last.header.is_pack_head() || last.header.pack_id != layer.header.pack_id) {
    return last.cell_id > layer.cell_id;
  }
  uint8_t fixed[sf::FIXED_END];
  if (!f.pread_exact(fixed, sizeof fixed, layer.offset).ok()) return false;
  const uint64_t prefix = key_prefix_size(fixed, path, layer.offset);
  if (prefix == 0 || prefix > last.offset - layer.offset) return false;
  std::vector<uint8_t> layer_bytes(static_cast<size_t>(prefix));
  if (!f.pread_exact(layer_bytes.data(), layer_bytes.size(), layer.offset).ok()) return false;
  const CellId first_layer_id = records[trailing_layers(records, records.size() - 1)].cell_id;
  return head_agrees_with_layers(rec.data(), layer_bytes.data(), prefix, first_layer_id);
}

// Walks the records of an open segment of `size` bytes from `from`, keeping
// each one's fixed fields. Requires: `from` is the header's end or a
// `resume` of an earlier scan, so that no layer record before it waits for a
// head after it (the last record is judged with its pack's layers in view).
SegmentScan scan_records(const platform::File& f, uint64_t size, const std::string& path, uint64_t from) {
  SegmentScan out;
  ScanReader reader(f, size);
  uint64_t p = std::max<uint64_t>(from, sf::HEADER_SIZE);
  while (p < size) {
    // Fewer bytes than a fixed part, a length short of the fixed body (a
    // zero-filled tail reads as length 0) or one running past the end: the
    // writer died mid-append, or the bytes are not ours. Stop here.
    if (size - p < sf::FIXED_END) break;
    auto head = reader.at(p, sf::FIXED_END);
    if (!head.ok()) break;
    uint32_t len = get<uint32_t>(*head);
    if (len < sf::FIXED_BODY || size - p - sf::LEN_PREFIX < len) break;
    out.records.push_back({get<uint64_t>(*head + sf::OFF_CELL_ID), p, kept_header(*head, path, p)});
    p += sf::LEN_PREFIX + len;
  }
  // Power loss can leave zeros anywhere inside the last record written; they
  // read as counts, codes or fields no writer makes. Such a record is the
  // torn tail, not damage to report or values to serve.
  if (!out.records.empty() && !last_record_could_be_whole(f, out.records, p, size, path)) {
    p = out.records.back().offset;
    out.records.pop_back();
  }
  out.end = p;
  out.torn_tail = p < size;
  const size_t run = trailing_layers(out.records, out.records.size());
  out.resume = run < out.records.size() ? out.records[run].offset : p;
  return out;
}

// Opens a segment and checks its magic; a file shorter than the header is
// accepted unchecked.
IoResult<std::pair<platform::File, platform::FileInfo>> open_segment(const std::string& path) {
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
  QVN_TRY(platform::FileInfo info, f.info());
  if (info.size >= sf::HEADER_SIZE) {
    char magic[4];
    QVN_TRY_VOID(f.pread_exact(magic, sizeof magic, 0));
    if (std::memcmp(magic, sf::MAGIC, 4) != 0) {
      return make_unexpected(IoError::invalid_data("invalid segment magic in " + path));
    }
  }
  return std::make_pair(std::move(f), info);
}

}  // namespace

RecordHeader RecordHeader::of(const Cell& c) {
  RecordHeader h;
  h.owner = c.owner;
  h.pack_id = c.pack_id;
  h.view_marker = c.view_marker;
  h.importance = c.importance;
  h.layer = c.layer;
  h.tier = tier_byte(c.tier);
  return h;
}

IoResult<SegmentScan> scan_segment(const std::string& path) {
  QVN_TRY(auto opened, open_segment(path));
  if (opened.second.size < sf::HEADER_SIZE) return SegmentScan{};
  return scan_records(opened.first, opened.second.size, path, sf::HEADER_SIZE);
}

IoResult<uint32_t> cell_record_body_len(uint64_t key_len, uint64_t value_len, uint64_t aux_len) {
  auto q4_size = [](uint64_t n) { return q4_group_count(n) * (sizeof(float) + Q4_GROUP_BYTES); };
  uint64_t body = sat_add(sat_add(sf::FIXED_BODY, q4_size(key_len)), q4_size(value_len));
  uint64_t aux_bytes = aux_len > UINT64_MAX / 4 ? UINT64_MAX : aux_len * 4;
  body = sat_add(body, aux_bytes);
  if (body > U32_MAX) {
    return make_unexpected(IoError::invalid_input("record size " + std::to_string(body) + " exceeds u32::MAX"));
  }
  // Only key and value can pass the size limit with a count too large for
  // their 32-bit field (20 bytes per 32 elements).
  for (uint64_t n : {key_len, value_len}) {
    if (n > U32_MAX) {
      return make_unexpected(IoError::invalid_input("element count " + std::to_string(n) + " exceeds u32::MAX"));
    }
  }
  return static_cast<uint32_t>(body);
}

namespace {

// Writes every byte of the record of `c` at `r`: 4 + body_len bytes, body_len
// as cell_record_body_len gave it for this cell.
void write_cell_record(uint8_t* r, const Cell& c, uint32_t body_len) {
  uint32_t ks = static_cast<uint32_t>(q4_group_count(c.key.size()));
  uint32_t vs = static_cast<uint32_t>(q4_group_count(c.value.size()));
  uint32_t kb = ks * static_cast<uint32_t>(Q4_GROUP_BYTES);
  uint32_t vb = vs * static_cast<uint32_t>(Q4_GROUP_BYTES);
  put<uint32_t>(r, body_len);
  put<uint64_t>(r + sf::OFF_CELL_ID, c.cell_id);
  put<uint64_t>(r + sf::OFF_OWNER, c.owner);
  put<uint16_t>(r + sf::OFF_LAYER, c.layer);
  put<uint32_t>(r + sf::OFF_KEY_LEN, static_cast<uint32_t>(c.key.size()));
  put<uint32_t>(r + sf::OFF_VALUE_LEN, static_cast<uint32_t>(c.value.size()));
  put<uint32_t>(r + sf::OFF_AUX_LEN, static_cast<uint32_t>(c.aux.size()));
  put<uint64_t>(r + sf::OFF_PACK_ID, c.pack_id);
  put<uint64_t>(r + sf::OFF_VIEW_MARKER, c.view_marker);
  put<uint64_t>(r + sf::OFF_CREATED_AT, c.created_at_ns);
  put<uint64_t>(r + sf::OFF_STAMP, c.stamp_ns);
  put<float>(r + sf::OFF_IMPORTANCE, c.importance);
  put<uint32_t>(r + sf::OFF_COUNTER, c.counter);
  r[sf::OFF_TIER] = tier_byte(c.tier);
  put<uint32_t>(r + sf::OFF_KEY_SCALES, ks);
  put<uint32_t>(r + sf::OFF_KEY_BYTES, kb);
  put<uint32_t>(r + sf::OFF_VALUE_SCALES, vs);
  put<uint32_t>(r + sf::OFF_VALUE_BYTES, vb);
  uint8_t* p = r + sf::FIXED_END;
  q4_encode_into(c.key.data(), c.key.size(), p, p + 4 * ks);
  p += 4 * ks + kb;
  q4_encode_into(c.value.data(), c.value.size(), p, p + 4 * vs);
  p += 4 * vs + vb;
  if (!c.aux.empty()) std::memcpy(p, c.aux.data(), c.aux.size() * sizeof(float));
}

}  // namespace

IoResult<uint32_t> encode_cell_record(std::vector<uint8_t>& out, const Cell& c) {
  QVN_TRY(uint32_t body_len, cell_record_body_len(c.key.size(), c.value.size(), c.aux.size()));
  size_t start = out.size();
  out.resize(start + sf::LEN_PREFIX + body_len);
  write_cell_record(out.data() + start, c, body_len);
  return body_len;
}

IoResult<Cell> decode_cell_header(const std::string& path, uint64_t offset) {
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
  QVN_TRY(uint64_t size, f.size());
  if (offset > size || size - offset < sf::FIXED_END) return make_unexpected(IoError::unexpected_eof());
  uint8_t rec[sf::FIXED_END];
  QVN_TRY_VOID(f.pread_exact(rec, sizeof rec, offset));
  // The same checks as a full read, so both fail on the same records.
  QVN_TRY(RecordShape shape, parse_shape(rec, path, offset));
  if (shape.total() > size - offset) return make_unexpected(IoError::unexpected_eof());
  return header_from_record(rec);
}

IoResult<Cell> decode_cell_record(const std::string& path, uint64_t offset) {
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
  std::vector<uint8_t> buf;
  QVN_TRY(RecordShape shape, read_record(f, path, offset, buf));
  return cell_from_record(buf.data(), shape);
}

IoResult<std::vector<uint64_t>> append_records(Segment& segment, std::span<const Cell> cells) {
  if (cells.empty()) return std::vector<uint64_t>{};
  // Sizes first, so the records are coded straight into one buffer of the
  // exact size: no regrowth, and no zero-fill of bytes about to be written.
  std::vector<uint64_t> rel(cells.size());
  std::vector<uint32_t> body(cells.size());
  uint64_t total = 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    const Cell& c = cells[i];
    QVN_TRY(body[i], cell_record_body_len(c.key.size(), c.value.size(), c.aux.size()));
    rel[i] = total;
    total = sat_add(total, sf::LEN_PREFIX + uint64_t{body[i]});
  }
  std::unique_ptr<uint8_t[]> buf(new uint8_t[static_cast<size_t>(total)]);
  for (size_t i = 0; i < cells.size(); ++i) write_cell_record(buf.get() + rel[i], cells[i], body[i]);
  return append_encoded(segment, {buf.get(), static_cast<size_t>(total)}, rel);
}

IoResult<uint64_t> append_record(Segment& segment, const Cell& cell) {
  QVN_TRY(std::vector<uint64_t> offsets, append_records(segment, std::span<const Cell>(&cell, 1)));
  return offsets[0];
}

namespace {

// Segment 0 of a directory that has none. Several engines may open a new
// directory at once: the one whose exclusive create fails uses the file the
// winner made, whose header may not be written yet (an append writes it
// first then, and the winner's header write puts the same bytes in place).
IoResult<Segment> first_segment(const std::string& dir) {
  const std::string path = segment_path(dir, 0);
  for (int attempt = 0;; ++attempt) {
    auto created = create_segment(dir, 0);
    if (created.ok() || created.error().os_code != EEXIST) return created;
    auto opened = open_segment(path);
    // The winner's create failed and it removed the file: try again.
    if (!opened.ok() && opened.error().os_code == ENOENT && attempt < 8) continue;
    if (!opened.ok()) return make_unexpected(std::move(opened).error());
    const platform::FileInfo& info = opened->second;
    Segment seg;
    seg.path = path;
    seg.size = info.size;
    seg.device = info.device;
    seg.inode = info.inode;
    // Records already there are another engine's: the first rescan finds
    // them (from the header on) and the first writer turn judges the tail.
    if (info.size <= sf::HEADER_SIZE) seg.settled_size = info.size;
    // The winner syncs the directory too, but may die before it does.
    QVN_TRY_VOID(platform::sync_dir(dir));
    return seg;
  }
}

}  // namespace

// ---------------------------------------------------------------------------

Result<BlockPool> BlockPool::open(const std::string& dir, uint64_t segment_size) {
  BlockPool pool(dir, segment_size);
  QVN_TRY_VOID(platform::create_dir_all(dir));
  QVN_TRY(std::vector<uint32_t> ids, list_segment_ids(dir));
  // Every segment is scanned before any record is indexed: a pack's head
  // decides whether its other records are indexed.
  std::vector<SegmentScan> scans;
  std::vector<uint32_t> scanned_ids;
  scans.reserve(ids.size());
  bool vanished = false;
  for (uint32_t id : ids) {
    std::string path = segment_path(dir, id);
    auto attempt = open_segment(path);
    if (!attempt.ok() && is_gone(dir, id, attempt.error())) {
      vanished = true;
      continue;
    }
    QVN_TRY(auto opened, std::move(attempt));
    auto& [file, info] = opened;
    // A file whose header is not written yet (its creator is writing it, or
    // died first) holds no record; its first one will start at the header's end.
    SegmentScan scan;
    scan.end = scan.resume = sf::HEADER_SIZE;
    if (info.size >= sf::HEADER_SIZE) scan = scan_records(file, info.size, path, sf::HEADER_SIZE);
    for (const RecordRef& r : scan.records) {
      if (r.header.is_pack_head()) pool.heads_.insert(r.header.pack_id);
    }
    // The tail is not judged here: it may be another writer's append in
    // progress. The writer turn decides (settle_active_tail).
    Segment seg;
    seg.path = std::move(path);
    seg.size = info.size;
    seg.id = id;
    seg.scanned_to = scan.end;
    seg.rescan_from = seg.settle_from = scan.resume;
    if (info.size < sf::HEADER_SIZE || scan.whole(info.size)) seg.settled_size = info.size;
    seg.device = info.device;
    seg.inode = info.inode;
    pool.segments_.push_back(std::move(seg));
    pool.keep_reader(pool.segments_.back(), std::move(file));
    pool.ids_read_to_[id] = scan.end;
    scans.push_back(std::move(scan));
    scanned_ids.push_back(id);
  }
  for (size_t i = 0; i < scans.size(); ++i) pool.index_scanned(scanned_ids[i], scans[i].records, true);
  // A compaction removed a listed segment meanwhile; the records it moved may
  // sit in a segment made after the listing.
  if (vanished) QVN_TRY_VOID(pool.rescan());
  if (pool.segments_.empty()) {
    QVN_TRY(Segment seg, first_segment(dir));
    pool.segments_.push_back(std::move(seg));
  }
  return pool;
}

void BlockPool::place(CellId id, const IndexEntry& e) {
  auto [at, fresh] = index_.try_emplace(id, e);
  if (fresh || at->second.location == e.location) return;
  auto [lo, hi] = superseded_.equal_range(id);
  for (auto it = lo; it != hi; ++it) {
    if (it->second.location == e.location) return;
  }
  superseded_.emplace(id, e);
}

void BlockPool::index_scanned(uint32_t segment_id, const std::vector<RecordRef>& records, bool replace) {
  for (const RecordRef& r : records) {
    IndexEntry e{{segment_id, r.offset}, r.header};
    if (r.header.is_pack_member() && !heads_.count(r.header.pack_id)) {
      waiting_[r.header.pack_id].emplace_back(r.cell_id, e);
    } else if (replace) {
      auto [at, fresh] = index_.try_emplace(r.cell_id, e);
      if (!fresh) {
        superseded_.emplace(r.cell_id, at->second);
        at->second = e;
      }
    } else {
      place(r.cell_id, e);
    }
  }
}

void BlockPool::admit_waiting() {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (!heads_.count(it->first)) {
      ++it;
      continue;
    }
    for (const auto& [id, e] : it->second) place(id, e);
    it = waiting_.erase(it);
  }
}

void BlockPool::forget_records_in(const std::unordered_set<uint32_t>& segment_ids) {
  auto in = [&](const IndexEntry& e) { return segment_ids.count(e.location.segment_id) != 0; };
  std::erase_if(superseded_, [&](const auto& kv) { return in(kv.second); });
  std::vector<CellId> lost;
  for (auto it = index_.begin(); it != index_.end();) {
    if (!in(it->second)) {
      ++it;
      continue;
    }
    if (superseded_.count(it->first)) lost.push_back(it->first);
    it = index_.erase(it);
  }
  // Copies are byte for byte the same; the one in the newest segment is the
  // one an open would index.
  for (CellId id : lost) {
    auto [lo, hi] = superseded_.equal_range(id);
    auto best = lo;
    for (auto it = lo; it != hi; ++it) {
      const CellLocation& l = it->second.location;
      const CellLocation& b = best->second.location;
      if (std::tie(l.segment_id, l.offset) > std::tie(b.segment_id, b.offset)) best = it;
    }
    index_.emplace(id, best->second);
    superseded_.erase(best);
  }
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    std::erase_if(it->second, [&](const auto& r) { return in(r.second); });
    it = it->second.empty() ? waiting_.erase(it) : std::next(it);
  }
}

void BlockPool::forget_segments(const std::unordered_set<uint32_t>& segment_ids) {
  if (segment_ids.empty()) return;
  forget_records_in(segment_ids);
  // No descriptor stays on a removed file: it would keep the file's space
  // from being given back.
  for (const Segment& s : segments_) {
    if (segment_ids.count(s.id)) drop_reader(s);
  }
  const uint32_t active_id = segments_.back().id;
  std::erase_if(segments_, [&](const Segment& s) { return segment_ids.count(s.id) != 0 && s.id != active_id; });
  if (segment_ids.count(active_id)) segments_.back().torn_tail = true;
}

Result<void> BlockPool::rescan() {
  for (int pass = 0; pass < MAX_RESCAN_PASSES; ++pass) {
    QVN_TRY(bool vanished, rescan_pass());
    if (!vanished) break;
  }
  return {};
}

Result<bool> BlockPool::rescan_pass() {
  QVN_TRY(std::vector<uint32_t> ids, list_segment_ids(dir_));
  // A segment another writer compacted away: its live cells were moved into
  // a segment found below, where they are indexed again.
  std::unordered_set<uint32_t> gone;
  for (const Segment& seg : segments_) {
    if (!std::binary_search(ids.begin(), ids.end(), seg.id)) gone.insert(seg.id);
  }
  forget_segments(gone);
  bool vanished = false;
  for (uint32_t id : ids) {
    if (find_segment(id)) continue;
    auto size = segment_file_size(dir_, id);
    if (!size.ok() && is_gone(dir_, id, size.error())) {
      vanished = true;
      continue;
    }
    if (!size.ok()) return make_unexpected(std::move(size).error());
    Segment seg;
    seg.path = segment_path(dir_, id);
    seg.size = *size;
    seg.id = id;
    insert_segment(std::move(seg));
  }
  std::vector<std::pair<uint32_t, SegmentScan>> scans;
  for (uint32_t id : ids) {
    auto seg = std::find_if(segments_.begin(), segments_.end(), [&](const Segment& s) { return s.id == id; });
    if (seg == segments_.end()) continue;
    auto attempt = open_segment(seg->path);
    if (!attempt.ok() && is_gone(dir_, id, attempt.error())) {
      // Removed since the listing. Its records were moved before the removal;
      // they are picked up below, or by the next pass's listing.
      forget_segments({id});
      vanished = true;
      continue;
    }
    QVN_TRY(auto opened, std::move(attempt));
    auto& [file, info] = opened;
    if ((seg->device | seg->inode) != 0 && (seg->device != info.device || seg->inode != info.inode)) {
      // Another file took the name: nothing scanned before holds for it,
      // and no entry may send a read of the old file's records to it. This
      // pool appends to it only after a writer turn has judged its tail.
      drop_reader(*seg);
      forget_records_in({seg->id});
      seg->scanned_to = seg->rescan_from = seg->settle_from = 0;
      seg->settled_size.reset();
    }
    seg->device = info.device;
    seg->inode = info.inode;
    SegmentScan scan;
    if (info.size >= sf::HEADER_SIZE) scan = scan_records(file, info.size, seg->path, seg->rescan_from);
    // Records before scanned_to were indexed by an earlier scan; those read
    // again only put the records after them in view.
    const uint64_t indexed_to = seg->scanned_to;
    std::erase_if(scan.records, [&](const RecordRef& r) { return r.offset < indexed_to; });
    if (!seg->reader) keep_reader(*seg, std::move(file));
    // The tail is not judged here: bytes behind the last whole record may
    // be another writer's append in progress (see settle_active_tail).
    for (const RecordRef& r : scan.records) {
      if (r.header.is_pack_head()) heads_.insert(r.header.pack_id);
    }
    scans.emplace_back(id, std::move(scan));
  }
  admit_waiting();
  for (const auto& [id, scan] : scans) index_scanned(id, scan.records, false);
  // Only now, with every record indexed: an allocation failure above leaves
  // the marks where they were, so the next rescan reads those records again
  // (indexing is idempotent) instead of skipping them for good.
  for (const auto& [id, scan] : scans) {
    for (Segment& seg : segments_) {
      if (seg.id != id || scan.end < seg.scanned_to) continue;
      seg.scanned_to = scan.end;
      seg.rescan_from = std::max(scan.resume, seg.rescan_from);
    }
  }
  return vanished;
}

bool BlockPool::segment_removed(const EngineError& e) const {
  if (e.kind() != EngineError::Kind::StorageIo) return false;
  const IoError& io = e.io();
  if (io.kind != IoError::Kind::Os || io.os_code != ENOENT) return false;
  auto ids = list_segment_ids(dir_);
  return ids.ok() && std::any_of(segments_.begin(), segments_.end(), [&](const Segment& s) {
           return !std::binary_search(ids->begin(), ids->end(), s.id);
         });
}

void BlockPool::insert_segment(Segment seg) {
  auto at = std::upper_bound(segments_.begin(), segments_.end(), seg.id,
                             [](uint32_t id, const Segment& s) { return id < s.id; });
  segments_.insert(at, std::move(seg));
}

const Segment* BlockPool::find_segment(uint32_t id) const {
  auto it = std::lower_bound(segments_.begin(), segments_.end(), id,
                             [](const Segment& s, uint32_t v) { return s.id < v; });
  return it != segments_.end() && it->id == id ? &*it : nullptr;
}

Result<const Segment*> BlockPool::active_segment() const {
  if (segments_.empty()) return make_unexpected(EngineError::segment_full(dir_));
  return &segments_.back();
}

Result<void> BlockPool::rotate_if_full() {
  QVN_TRY(const Segment* active, active_segment());
  if (active->size < segment_size_ && !active->torn_tail) return {};
  // One past the highest id known here or on disk, so that rotation never
  // lands on a file another writer made since the last rescan; the exclusive
  // create refuses any that appears meanwhile.
  QVN_TRY(std::vector<uint32_t> on_disk, list_segment_ids(dir_));
  uint32_t highest = active->id;
  if (!on_disk.empty()) highest = std::max(highest, on_disk.back());
  if (highest == UINT32_MAX) {
    return make_unexpected(IoError::other("segment ids exhausted in " + dir_));
  }
  QVN_TRY(Segment seg, create_segment(dir_, highest + 1));
  segments_.push_back(std::move(seg));
  return {};
}

Result<CellId> BlockPool::append_cell(const Cell& cell) {
  QVN_TRY(std::vector<CellId> ids, append_cells(std::span<const Cell>(&cell, 1)));
  return ids.front();
}

void BlockPool::note_own_append(uint32_t segment_id, uint64_t start, uint64_t end) {
  auto [it, fresh] = ids_read_to_.try_emplace(segment_id, sf::HEADER_SIZE);
  if (it->second == start) it->second = end;
}

Result<void> BlockPool::catch_up_ids(const std::function<void(CellId, PackId)>& see) {
  QVN_TRY(std::vector<uint32_t> ids, list_segment_ids(dir_));
  for (Segment& seg : segments_) {
    if (!std::binary_search(ids.begin(), ids.end(), seg.id)) seg.torn_tail = true;
  }
  std::erase_if(ids_read_to_, [&](const auto& kv) { return !std::binary_search(ids.begin(), ids.end(), kv.first); });
  constexpr size_t NEED = sf::OFF_PACK_ID + sizeof(uint64_t);
  for (uint32_t id : ids) {
    uint64_t& read_to = ids_read_to_.try_emplace(id, sf::HEADER_SIZE).first->second;
    const std::string path = segment_path(dir_, id);
    // A stat first: most segments have not grown since the last look.
    auto size = platform::file_size(path);
    if (!size.ok() || *size <= read_to) continue;
    QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
    ScanReader reader(f, *size);
    uint64_t p = std::max(read_to, sf::HEADER_SIZE);
    while (*size - p >= NEED) {
      QVN_TRY(const uint8_t* head, reader.at(p, NEED));
      uint32_t len = get<uint32_t>(head);
      // The end of what whole records hold: a torn or damaged tail is read
      // again next time, in case a writer's later records follow it.
      if (len < sf::FIXED_BODY || *size - p - sf::LEN_PREFIX < len) break;
      see(get<uint64_t>(head + sf::OFF_CELL_ID), get<uint64_t>(head + sf::OFF_PACK_ID));
      p += sf::LEN_PREFIX + len;
    }
    read_to = p;
  }
  return {};
}

Result<std::vector<CellId>> BlockPool::append_cells(std::span<const Cell> cells) {
  std::vector<CellId> ids;
  if (cells.empty()) return ids;
  QVN_TRY_VOID(rotate_if_full());
  Segment& active = segments_.back();
  QVN_TRY(std::vector<uint64_t> offsets, append_records(active, cells));
  std::vector<RecordHeader> headers;
  headers.reserve(cells.size());
  for (const Cell& c : cells) headers.push_back(RecordHeader::of(c));
  note_own_records(active, offsets, headers);
  ids.reserve(cells.size());
  for (size_t i = 0; i < cells.size(); ++i) {
    const RecordHeader& h = headers[i];
    if (h.is_pack_head()) heads_.insert(h.pack_id);
    index_[cells[i].cell_id] = {{active.id, offsets[i]}, h};
    ids.push_back(cells[i].cell_id);
  }
  note_own_append(active.id, offsets.front(), active.size);
  return ids;
}

void BlockPool::note_own_records(Segment& seg, const std::vector<uint64_t>& offsets,
                                 const std::vector<RecordHeader>& headers) {
  // Where the batch's own trailing run of one pack's layers begins, if any;
  // a run from its first record may go on from records before it.
  size_t run = headers.size();
  if (headers.back().is_pack_layer()) {
    while (run > 0 && headers[run - 1].is_pack_layer() && headers[run - 1].pack_id == headers.back().pack_id) --run;
  }
  const bool whole = run == headers.size();
  const uint64_t resume = whole ? seg.size : offsets[run];
  // Our own records need no scan, unless another writer's lie before them.
  if (seg.scanned_to == offsets.front()) {
    seg.scanned_to = seg.size;
    if (run > 0) seg.rescan_from = resume;
  }
  if (seg.settled_size == offsets.front()) {
    if (run > 0) seg.settle_from = resume;
    if (whole) {
      seg.settled_size = seg.size;
    } else {
      seg.settled_size.reset();
    }
  }
}

void BlockPool::settle_active_tail() {
  if (segments_.empty()) return;
  Segment& seg = segments_.back();
  // The next append starts a new segment anyway.
  if (seg.torn_tail || seg.size >= segment_size_) return;
  auto info = platform::file_info(seg.path, /*follow_links=*/true);
  const bool same_file = info.ok() && info->has_value() &&
                         ((seg.device | seg.inode) == 0 ||
                          ((*info)->device == seg.device && (*info)->inode == seg.inode));
  // Gone (another engine's compaction), replaced, or unreadable: no append
  // may land where a scan of this pool never looked.
  if (!same_file) {
    seg.torn_tail = true;
    return;
  }
  if (seg.settled_size == (*info)->size) return;
  auto opened = open_segment(seg.path);
  if (!opened.ok() || opened->second.device != (*info)->device || opened->second.inode != (*info)->inode) {
    seg.torn_tail = true;
    return;
  }
  const uint64_t size = opened->second.size;
  // Fewer bytes than a header: no record yet, an append writes the header.
  if (size < sf::HEADER_SIZE) {
    seg.settled_size = size;
    return;
  }
  // Shorter than what was judged before: not a file to append to.
  if (size < seg.settle_from) {
    seg.torn_tail = true;
    return;
  }
  SegmentScan scan = scan_records(opened->first, size, seg.path, seg.settle_from);
  if (!scan.whole(size)) {
    seg.torn_tail = true;
    return;
  }
  seg.settled_size = size;
  seg.settle_from = scan.resume;
}

void BlockPool::keep_reader(const Segment& seg, platform::File f) const {
  if (seg.reader) return;
  if (readers_open_ >= MAX_READERS) {
    const Segment* oldest = nullptr;
    for (const Segment& s : segments_) {
      if (s.reader && &s != &seg && (!oldest || s.last_read < oldest->last_read)) oldest = &s;
    }
    if (!oldest) return;
    drop_reader(*oldest);
  }
  seg.reader = std::make_shared<const platform::File>(std::move(f));
  seg.last_read = ++read_tick_;
  ++readers_open_;
}

void BlockPool::drop_reader(const Segment& seg) const {
  if (!seg.reader) return;
  seg.reader.reset();
  --readers_open_;
}

IoResult<const platform::File*> BlockPool::reader_of(const Segment& seg) const {
  if (!seg.reader) {
    QVN_TRY(platform::File f, platform::File::open(seg.path, platform::Access::Read));
    QVN_TRY(platform::FileInfo info, f.info());
    // Another file under the name is not the one the index describes: its
    // bytes at an indexed offset are some other record, or none.
    if ((seg.device | seg.inode) != 0 && (info.device != seg.device || info.inode != seg.inode)) {
      return make_unexpected(segment_replaced(seg.path));
    }
    keep_reader(seg, std::move(f));
    if (!seg.reader) return make_unexpected(IoError::other("no reader"));
  }
  seg.last_read = ++read_tick_;
  return seg.reader.get();
}

Result<std::pair<const Segment*, uint64_t>> BlockPool::record_of(CellId id) const {
  auto it = index_.find(id);
  if (it == index_.end()) return make_unexpected(EngineError::cell_not_found(id));
  const Segment* seg = find_segment(it->second.location.segment_id);
  if (!seg) return make_unexpected(EngineError::cell_not_found(id));
  return std::make_pair(seg, it->second.location.offset);
}

Result<Cell> BlockPool::read_cell(CellId id) const {
  QVN_TRY(auto at, record_of(id));
  QVN_TRY(const platform::File* f, reader_of(*at.first));
  std::vector<uint8_t> buf;
  QVN_TRY(RecordShape shape, read_record(*f, at.first->path, at.second, buf));
  QVN_TRY(Cell c, cell_from_record(buf.data(), shape));
  return c;
}

Result<Cell> BlockPool::read_cell_header(CellId id) const {
  auto it = index_.find(id);
  if (it == index_.end()) return make_unexpected(EngineError::cell_not_found(id));
  const IndexEntry& e = it->second;
  const RecordHeader& h = e.header;
  if (h.damaged) {
    const Segment* seg = find_segment(e.location.segment_id);
    return make_unexpected(damaged(seg ? seg->path : segment_path(dir_, e.location.segment_id), e.location.offset));
  }
  auto tier = tier_from_byte(h.tier);
  if (!tier) {
    return make_unexpected(IoError::invalid_data("invalid tier byte " + std::to_string(h.tier) + " in cell " +
                                                 std::to_string(id)));
  }
  Cell c;
  c.cell_id = id;
  c.owner = h.owner;
  c.layer = h.layer;
  c.pack_id = h.pack_id;
  c.view_marker = h.view_marker;
  c.importance = h.importance;
  c.tier = *tier;
  return c;
}

const RecordHeader* BlockPool::header_of(CellId id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &it->second.header;
}

std::pair<CellId, PackId> BlockPool::waiting_max_ids() const {
  CellId cell = 0;
  PackId pack = 0;
  for (const auto& [p, records] : waiting_) {
    pack = std::max(pack, p);
    for (const auto& r : records) cell = std::max(cell, r.first);
  }
  return {cell, pack};
}

size_t BlockPool::waiting_count() const {
  size_t n = 0;
  for (const auto& kv : waiting_) n += kv.second.size();
  return n;
}

Result<CompactionStats> BlockPool::compact(const std::unordered_set<CellId>& live) {
  return compact([&](CellId id, const RecordHeader&) { return live.count(id) == 0; });
}

Result<CompactionStats> BlockPool::compact(const std::function<bool(CellId, const RecordHeader&)>& is_dead) {
  CompactionStats stats;
  // Everything other writers stored or removed since this pool last looked:
  // a segment list or an index that lags behind the directory would make
  // this compaction read removed files and judge records it never saw.
  QVN_TRY_VOID(rescan());
  if (segments_.size() < 2) return stats;
  // The newest segment file stays: rotation names the segment after the
  // newest one on disk, so the id of a removed file is never taken again.
  QVN_TRY(std::vector<uint32_t> on_disk, list_segment_ids(dir_));
  if (on_disk.empty()) return stats;
  const uint32_t newest = on_disk.back();

  // The ids that must stay stored (see the header).
  CellId top_cell = index_.empty() ? 0 : index_.rbegin()->first;
  PackId top_indexed_pack = 0;
  for (const auto& kv : index_) top_indexed_pack = std::max(top_indexed_pack, kv.second.header.pack_id);
  const auto [waiting_cell, waiting_pack] = waiting_max_ids();
  top_cell = std::max(top_cell, waiting_cell);
  std::optional<std::pair<PackId, CellId>> top_headless;
  if (waiting_pack > top_indexed_pack) {
    CellId c = 0;
    for (const auto& r : waiting_.rbegin()->second) c = std::max(c, r.first);
    top_headless.emplace(waiting_pack, c);
  }

  struct Chosen {
    uint32_t id;
    std::vector<uint8_t> records;  // the kept records, verbatim
    std::vector<uint64_t> rel;
    std::vector<CellId> ids;
    std::vector<RecordHeader> headers;
    uint64_t size;
    uint64_t scanned_end;  // where the scan's last whole record ended
  };
  std::vector<Chosen> chosen;
  for (const Segment& seg : segments_) {
    if (seg.id >= newest || !std::binary_search(on_disk.begin(), on_disk.end(), seg.id)) continue;
    QVN_TRY(SegmentScan scan, scan_segment(seg.path));
    if (scan.records.empty()) continue;
    auto keeps = [&](const RecordRef& r) {
      // Moved out, or found dead, by an earlier compaction whose removal of
      // the file failed.
      if (r.offset < seg.dead_before) return false;
      auto at = index_.find(r.cell_id);
      if (at != index_.end()) {
        if (at->second.location != CellLocation{seg.id, r.offset}) return false;  // superseded
        return r.cell_id == top_cell || !is_dead(r.cell_id, r.header);
      }
      // Not indexed after the rescan: a pack member whose head no segment
      // holds.
      if (r.cell_id == top_cell) return true;
      if (top_headless && top_headless->first == r.header.pack_id && top_headless->second == r.cell_id) return true;
      return r.header.layer == VIEW_KEY_LAYER && !is_dead(r.cell_id, r.header);
    };
    std::vector<RecordRef> live;
    for (const RecordRef& r : scan.records) {
      if (keeps(r)) live.push_back(r);
    }
    if (static_cast<double>(live.size()) / static_cast<double>(scan.records.size()) >= 0.5) continue;
    Chosen c{seg.id, {}, {}, {}, {}, 0, scan.end};
    if (!live.empty()) {
      // Records move verbatim: validated like a read, but not re-coded, so a
      // moved cell reads back bit for bit as before.
      QVN_TRY(platform::File f, platform::File::open(seg.path, platform::Access::Read));
      std::vector<uint8_t> rec;
      for (const RecordRef& r : live) {
        QVN_TRY_VOID(read_record(f, seg.path, r.offset, rec));
        QVN_TRY_VOID(tier_of_record(rec.data()));
        c.rel.push_back(c.records.size());
        c.records.insert(c.records.end(), rec.begin(), rec.end());
        c.ids.push_back(r.cell_id);
        c.headers.push_back(r.header);
      }
    }
    auto fsize = segment_file_size(dir_, seg.id);
    c.size = fsize.ok() ? *fsize : 0;
    chosen.push_back(std::move(c));
  }
  if (chosen.empty()) return stats;

  for (const Chosen& c : chosen) {
    stats.bytes_reclaimed = sat_add(stats.bytes_reclaimed, c.size);
    if (c.ids.empty()) continue;
    QVN_TRY_VOID(rotate_if_full());
    Segment& active = segments_.back();
    QVN_TRY(std::vector<uint64_t> offsets, append_encoded(active, c.records, c.rel));
    note_own_records(active, offsets, c.headers);
    note_own_append(active.id, offsets.front(), active.size);
    std::vector<RecordRef> theirs;
    for (size_t i = 0; i < c.ids.size(); ++i) {
      if (index_.count(c.ids[i])) {
        index_[c.ids[i]] = {{active.id, offsets[i]}, c.headers[i]};
      } else {
        if (c.headers[i].is_pack_head()) heads_.insert(c.headers[i].pack_id);
        theirs.push_back({c.ids[i], offsets[i], c.headers[i]});
      }
    }
    // Records that were not indexed (view keys waiting for a head, kept ids)
    // join under the same visibility rule as a scan would apply to them.
    index_scanned(active.id, theirs, false);
    stats.cells_moved += c.ids.size();
  }

  std::unordered_set<uint32_t> gone;
  for (const Chosen& c : chosen) gone.insert(c.id);
  forget_records_in(gone);

  // A segment whose unlink fails stays in the list (its live cells already
  // moved, the index no longer points into it), so that the next compaction
  // finds it without live records and retries the removal.
  std::optional<IoError> first_error;
  for (const Chosen& c : chosen) {
    auto r = platform::unlink(segment_path(dir_, c.id));
    if (r.ok()) continue;
    gone.erase(c.id);
    auto seg = std::find_if(segments_.begin(), segments_.end(), [&](const Segment& s) { return s.id == c.id; });
    if (seg != segments_.end()) seg->dead_before = c.scanned_end;
    if (!first_error) first_error = std::move(r).error();
  }
  for (const Segment& s : segments_) {
    if (gone.count(s.id)) drop_reader(s);
  }
  std::erase_if(segments_, [&](const Segment& s) { return gone.count(s.id) != 0; });
  auto synced = platform::sync_dir(dir_);
  if (!synced.ok() && !first_error) first_error = std::move(synced).error();
  if (first_error) return make_unexpected(std::move(*first_error));

  stats.segments_compacted = chosen.size();
  return stats;
}

uint64_t BlockPool::arena_bytes() const {
  uint64_t total = 0;
  for (const Segment& s : segments_) total = sat_add(total, s.size);
  return total;
}

std::vector<CellId> BlockPool::cell_ids() const {
  std::vector<CellId> ids;
  ids.reserve(index_.size());
  for (const auto& kv : index_) ids.push_back(kv.first);
  return ids;
}

std::optional<CellLocation> BlockPool::locate(CellId id) const {
  auto it = index_.find(id);
  if (it == index_.end()) return std::nullopt;
  return it->second.location;
}

// ---------------------------------------------------------------------------

namespace {

// Records of one pack follow each other; a gap wider than this (or than four
// of the largest records seen) ends the run a read-ahead takes in one read.
constexpr uint64_t RUN_MAX_STEP = 64 * 1024;
// The most one read of a planned run takes; the rest comes in later reads.
constexpr size_t RUN_MAX_READ = 4 << 20;

}  // namespace

CellId RecordView::cell_id() const { return get<uint64_t>(rec_ + sf::OFF_CELL_ID); }
OwnerId RecordView::owner() const { return get<uint64_t>(rec_ + sf::OFF_OWNER); }
LayerIndex RecordView::layer() const { return get<uint16_t>(rec_ + sf::OFF_LAYER); }

void RecordView::decode_value_into(float* out) const {
  q4_decode_into(value_scales_, value_codes_, value_size_, out);
}

IoResult<const platform::File*> RecordReader::file_of(const Segment& seg) {
  // The pool's kept descriptor, on the file the index describes; the
  // pointer is used for one read only, as the pool may close it later.
  return pool_.reader_of(seg);
}

IoResult<size_t> RecordReader::fill(const Segment& seg, uint64_t offset, size_t want) {
  win_len_ = 0;
  QVN_TRY(const platform::File* f, file_of(seg));
  if (window_.bytes.size() < want) window_.bytes.resize(want);
  size_t got = 0;
  while (got < want) {
    QVN_TRY(size_t n, f->pread_some(window_.bytes.data() + got, want - got, offset + got));
    if (n == 0) break;  // end of file
    got += n;
  }
  win_seg_ = seg.id;
  win_begin_ = offset;
  win_len_ = got;
  return got;
}

void RecordReader::read_ahead(std::span<const CellId> ids) {
  plan_seg_.reset();
  std::optional<uint32_t> seg;
  std::vector<uint64_t> offsets;
  offsets.reserve(ids.size());
  for (CellId id : ids) {
    auto loc = pool_.locate(id);
    if (!loc) continue;
    if (!seg) seg = loc->segment_id;
    if (loc->segment_id == *seg) offsets.push_back(loc->offset);
  }
  if (offsets.size() < 2) return;
  std::sort(offsets.begin(), offsets.end());
  const uint64_t step = std::max<uint64_t>(RUN_MAX_STEP, sat_mul(window_.record_hint, 4));
  size_t last = 0;
  while (last + 1 < offsets.size() && offsets[last + 1] - offsets[last] <= step) ++last;
  plan_seg_ = *seg;
  plan_begin_ = offsets.front();
  plan_end_ = sat_add(offsets[last], std::max<uint64_t>(READ_AHEAD, window_.record_hint));
}

Result<RecordView> RecordReader::read(CellId id) {
  auto loc = pool_.locate(id);
  if (!loc) return make_unexpected(EngineError::cell_not_found(id));
  const std::vector<Segment>& segs = pool_.segments();
  auto it = std::lower_bound(segs.begin(), segs.end(), loc->segment_id,
                             [](const Segment& s, uint32_t v) { return s.id < v; });
  if (it == segs.end() || it->id != loc->segment_id) {
    return make_unexpected(EngineError::cell_not_found(id));
  }
  const Segment& seg = *it;
  const uint64_t offset = loc->offset;

  const uint8_t* rec = nullptr;
  std::optional<RecordShape> shape;
  // A whole record inside the window needs no read. Anything else is read
  // afresh from its offset, so every check below sees what a single read of
  // the record would see, end of file included.
  if (win_len_ > 0 && win_seg_ == seg.id && offset >= win_begin_ &&
      win_len_ - std::min<uint64_t>(win_len_, offset - win_begin_) >= sf::FIXED_END) {
    const uint8_t* at = window_.bytes.data() + (offset - win_begin_);
    QVN_TRY(RecordShape s, parse_shape(at, seg.path, offset));
    if (s.total() <= win_len_ - (offset - win_begin_)) {
      rec = at;
      shape = s;
    }
  }
  if (!rec) {
    size_t want = static_cast<size_t>(std::max<uint64_t>(READ_AHEAD, window_.record_hint));
    if (plan_seg_ == seg.id && offset >= plan_begin_ && offset < plan_end_) {
      want = static_cast<size_t>(std::max<uint64_t>(want, std::min<uint64_t>(plan_end_ - offset, RUN_MAX_READ)));
    }
    QVN_TRY(size_t got, fill(seg, offset, want));
    if (got < sf::FIXED_END) return make_unexpected(IoError::unexpected_eof());
    QVN_TRY(RecordShape s, parse_shape(window_.bytes.data(), seg.path, offset));
    if (s.total() > got) {
      if (got < want) return make_unexpected(IoError::unexpected_eof());
      const size_t total = static_cast<size_t>(s.total());
      window_.bytes.resize(std::max(window_.bytes.size(), total));
      QVN_TRY(const platform::File* f, file_of(seg));
      QVN_TRY_VOID(f->pread_exact(window_.bytes.data() + got, total - got, offset + got));
      win_len_ = total;
    }
    rec = window_.bytes.data();
    shape = s;
  }
  window_.record_hint = std::max(window_.record_hint, shape->total());
  QVN_TRY_VOID(tier_of_record(rec));

  RecordView view;
  view.rec_ = rec;
  const uint8_t* p = rec + sf::FIXED_END + 4 * shape->key_scales + shape->key_bytes;
  view.value_scales_ = p;
  view.value_codes_ = p + 4 * shape->value_scales;
  view.value_size_ =
      static_cast<size_t>(q4_decoded_len(shape->value_len, shape->value_scales, shape->value_bytes));
  return view;
}

}  // namespace qvn
