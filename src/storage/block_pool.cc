#include "storage/block_pool.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "core/numeric.h"
#include "core/platform.h"
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
constexpr size_t SCAN_WINDOW = 1 << 16;

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

// Reads the whole record at `offset` into `buf` (one pread, two for records
// longer than READ_AHEAD) after checking its counts against the file size.
IoResult<RecordShape> read_record(const platform::File& f, uint64_t file_size, const std::string& path,
                                  uint64_t offset, std::vector<uint8_t>& buf) {
  if (offset > file_size || file_size - offset < sf::FIXED_END) {
    return make_unexpected(IoError::unexpected_eof());
  }
  uint64_t avail = file_size - offset;
  size_t first = static_cast<size_t>(std::min<uint64_t>(avail, READ_AHEAD));
  buf.resize(first);
  QVN_TRY_VOID(f.pread_exact(buf.data(), first, offset));
  QVN_TRY(RecordShape shape, parse_shape(buf.data(), path, offset));
  if (shape.total() > avail) return make_unexpected(IoError::unexpected_eof());
  if (shape.total() > first) {
    buf.resize(static_cast<size_t>(shape.total()));
    QVN_TRY_VOID(f.pread_exact(buf.data() + first, buf.size() - first, offset + first));
  } else {
    buf.resize(static_cast<size_t>(shape.total()));
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
IoResult<std::vector<uint64_t>> append_encoded(Segment& seg, const std::vector<uint8_t>& buf,
                                               const std::vector<uint64_t>& rel) {
  QVN_TRY(platform::File f, platform::File::open(seg.path, platform::Access::Append));
  QVN_TRY(uint64_t begin, f.size());
  uint64_t base = begin;
  // Cut back to where this append began, so later offsets stay true, but
  // only while nothing but our own bytes follows (the writer lock keeps
  // others out; bytes beyond ours would be theirs). Otherwise, or if the cut
  // fails, the partial bytes stay and the segment takes no more appends.
  auto fail = [&](IoError e) -> IoResult<std::vector<uint64_t>> {
    auto now = f.size();
    bool ours_only = now.ok() && *now >= begin && *now - begin <= (base - begin) + buf.size();
    if (!ours_only || !f.truncate(begin).ok()) seg.torn_tail = true;
    return make_unexpected(std::move(e));
  };
  if (base < sf::HEADER_SIZE) {
    // A segment whose header never made it to disk: nothing here is a record.
    uint8_t header[sf::HEADER_SIZE];
    write_header(header);
    begin = 0;
    if (auto r = f.truncate(0); !r.ok()) return make_unexpected(std::move(r).error());
    if (auto r = f.write_all(header, sizeof header); !r.ok()) return fail(std::move(r).error());
    base = sf::HEADER_SIZE;
  }
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
  if (w.ok()) w = f.close();
  if (!w.ok()) {
    // Best effort: an empty leftover would only get its header at the first
    // append, but it would take this id from the next attempt.
    (void)platform::unlink(path);
    return make_unexpected(std::move(w).error());
  }
  QVN_TRY_VOID(platform::sync_dir(dir));
  return Segment{std::move(path), sf::HEADER_SIZE, id, false};
}

IoResult<uint64_t> segment_file_size(const std::string& dir, uint32_t id) {
  return platform::file_size(segment_path(dir, id));
}

IoResult<SegmentScan> scan_segment(const std::string& path) {
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
  QVN_TRY(uint64_t size, f.size());
  SegmentScan out;
  if (size < sf::HEADER_SIZE) return out;
  char magic[4];
  QVN_TRY_VOID(f.pread_exact(magic, sizeof magic, 0));
  if (std::memcmp(magic, sf::MAGIC, 4) != 0) {
    return make_unexpected(IoError::invalid_data("invalid segment magic in " + path));
  }
  ScanReader reader(f, size);
  uint64_t p = sf::HEADER_SIZE;
  while (p < size) {
    // Fewer bytes than a length prefix, a length short of the fixed body (a
    // zero-filled tail reads as length 0) or one running past the end: the
    // writer died mid-append, or the bytes are not ours. Stop here.
    if (size - p < sf::LEN_PREFIX + 8) break;
    auto head = reader.at(p, sf::LEN_PREFIX + 8);
    if (!head.ok()) break;
    uint32_t len = get<uint32_t>(*head);
    if (len < sf::FIXED_BODY || size - p - sf::LEN_PREFIX < len) break;
    out.records.push_back({get<uint64_t>(*head + sf::LEN_PREFIX), p});
    p += sf::LEN_PREFIX + len;
  }
  out.torn_tail = p < size;
  out.end = p;
  return out;
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

IoResult<uint32_t> encode_cell_record(std::vector<uint8_t>& out, const Cell& c) {
  QVN_TRY(uint32_t body_len, cell_record_body_len(c.key.size(), c.value.size(), c.aux.size()));
  uint32_t ks = static_cast<uint32_t>(q4_group_count(c.key.size()));
  uint32_t vs = static_cast<uint32_t>(q4_group_count(c.value.size()));
  uint32_t kb = ks * static_cast<uint32_t>(Q4_GROUP_BYTES);
  uint32_t vb = vs * static_cast<uint32_t>(Q4_GROUP_BYTES);
  size_t start = out.size();
  out.resize(start + sf::LEN_PREFIX + body_len);
  uint8_t* r = out.data() + start;
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
  QVN_TRY(uint64_t size, f.size());
  std::vector<uint8_t> buf;
  QVN_TRY(RecordShape shape, read_record(f, size, path, offset, buf));
  return cell_from_record(buf.data(), shape);
}

IoResult<std::vector<uint64_t>> append_records(Segment& segment, std::span<const Cell> cells) {
  if (cells.empty()) return std::vector<uint64_t>{};
  std::vector<uint8_t> buf;
  std::vector<uint64_t> rel;
  rel.reserve(cells.size());
  for (const Cell& c : cells) {
    rel.push_back(buf.size());
    QVN_TRY_VOID(encode_cell_record(buf, c));
  }
  return append_encoded(segment, buf, rel);
}

IoResult<uint64_t> append_record(Segment& segment, const Cell& cell) {
  QVN_TRY(std::vector<uint64_t> offsets, append_records(segment, std::span<const Cell>(&cell, 1)));
  return offsets[0];
}

// ---------------------------------------------------------------------------

Result<BlockPool> BlockPool::open(const std::string& dir, uint64_t segment_size) {
  BlockPool pool(dir, segment_size);
  QVN_TRY_VOID(platform::create_dir_all(dir));
  QVN_TRY(std::vector<uint32_t> ids, list_segment_ids(dir));
  for (uint32_t id : ids) {
    QVN_TRY(uint64_t size, segment_file_size(dir, id));
    std::string path = segment_path(dir, id);
    QVN_TRY(SegmentScan scan, scan_segment(path));
    for (const RecordRef& r : scan.records) pool.index_[r.cell_id] = {id, r.offset};
    pool.segments_.push_back({std::move(path), size, id, scan.torn_tail});
    pool.ids_read_to_[id] = scan.end;
  }
  if (pool.segments_.empty()) {
    QVN_TRY(Segment seg, create_segment(dir, 0));
    pool.segments_.push_back(std::move(seg));
  }
  return pool;
}

Result<void> BlockPool::rescan() {
  QVN_TRY(std::vector<uint32_t> ids, list_segment_ids(dir_));
  // A segment another writer compacted away: its live cells were moved into
  // a segment found below, where they are indexed again. The active segment
  // stays listed (marked) until an append rotates past it.
  std::unordered_set<uint32_t> gone;
  for (const Segment& seg : segments_) {
    if (!std::binary_search(ids.begin(), ids.end(), seg.id)) gone.insert(seg.id);
  }
  if (!gone.empty()) {
    std::erase_if(index_, [&](const auto& kv) { return gone.count(kv.second.segment_id) != 0; });
    const uint32_t active_id = segments_.back().id;
    std::erase_if(segments_, [&](const Segment& s) { return gone.count(s.id) != 0 && s.id != active_id; });
    if (gone.count(active_id)) segments_.back().torn_tail = true;
  }
  for (uint32_t id : ids) {
    if (find_segment(id)) continue;
    QVN_TRY(uint64_t size, segment_file_size(dir_, id));
    insert_segment({segment_path(dir_, id), size, id, false});
  }
  for (uint32_t id : ids) {
    auto seg = std::find_if(segments_.begin(), segments_.end(), [&](const Segment& s) { return s.id == id; });
    if (seg == segments_.end()) continue;
    QVN_TRY(SegmentScan scan, scan_segment(seg->path));
    for (const RecordRef& r : scan.records) index_.try_emplace(r.cell_id, CellLocation{id, r.offset});
    // Only a rotation clears the mark: the bytes behind the last record may
    // be a dead writer's or our own failed append's.
    seg->torn_tail = seg->torn_tail || scan.torn_tail;
  }
  return {};
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
  QVN_TRY_VOID(rotate_if_full());
  Segment& active = segments_.back();
  QVN_TRY(uint64_t offset, append_record(active, cell));
  index_[cell.cell_id] = {active.id, offset};
  note_own_append(active.id, offset, active.size);
  return cell.cell_id;
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
    uint64_t p = read_to;
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
  ids.reserve(cells.size());
  for (size_t i = 0; i < cells.size(); ++i) {
    index_[cells[i].cell_id] = {active.id, offsets[i]};
    ids.push_back(cells[i].cell_id);
  }
  note_own_append(active.id, offsets.front(), active.size);
  return ids;
}

Result<std::pair<const Segment*, uint64_t>> BlockPool::record_of(CellId id) const {
  auto it = index_.find(id);
  if (it == index_.end()) return make_unexpected(EngineError::cell_not_found(id));
  const Segment* seg = find_segment(it->second.segment_id);
  if (!seg) return make_unexpected(EngineError::cell_not_found(id));
  return std::make_pair(seg, it->second.offset);
}

Result<Cell> BlockPool::read_cell(CellId id) const {
  QVN_TRY(auto at, record_of(id));
  QVN_TRY(Cell c, decode_cell_record(at.first->path, at.second));
  return c;
}

Result<Cell> BlockPool::read_cell_header(CellId id) const {
  QVN_TRY(auto at, record_of(id));
  QVN_TRY(Cell c, decode_cell_header(at.first->path, at.second));
  return c;
}

Result<CompactionStats> BlockPool::compact(const std::unordered_set<CellId>& live) {
  return compact([&](CellId id) { return live.count(id) != 0; });
}

Result<CompactionStats> BlockPool::compact(const std::function<bool(CellId)>& is_live) {
  CompactionStats stats;
  if (segments_.size() < 2) return stats;

  struct Chosen {
    uint32_t id;
    std::vector<uint8_t> records;  // the live records, verbatim
    std::vector<uint64_t> rel;
    std::vector<CellId> ids;
    uint64_t size;
    uint64_t scanned_end;
  };
  std::vector<Chosen> chosen;
  uint32_t active_id = segments_.back().id;
  for (const Segment& seg : segments_) {
    if (seg.id == active_id) continue;
    QVN_TRY(SegmentScan scan, scan_segment(seg.path));
    if (scan.records.empty()) continue;
    std::vector<RecordRef> live;
    for (const RecordRef& r : scan.records) {
      auto at = index_.find(r.cell_id);
      // A superseded copy of a live cell is dead here. A cell this pool has
      // not indexed yet is another writer's, and theirs to keep.
      bool unknown = at == index_.end() && r.offset >= seg.dead_before;
      if (unknown || (at != index_.end() && at->second == CellLocation{seg.id, r.offset} &&
                      is_live(r.cell_id))) {
        live.push_back(r);
      }
    }
    if (static_cast<double>(live.size()) / static_cast<double>(scan.records.size()) >= 0.5) continue;
    Chosen c{seg.id, {}, {}, {}, 0, scan.end};
    if (!live.empty()) {
      // Records move verbatim: validated like a read, but not re-coded, so a
      // moved cell reads back bit for bit as before.
      QVN_TRY(platform::File f, platform::File::open(seg.path, platform::Access::Read));
      QVN_TRY(uint64_t fsize, f.size());
      std::vector<uint8_t> rec;
      for (const RecordRef& r : live) {
        QVN_TRY_VOID(read_record(f, fsize, seg.path, r.offset, rec));
        QVN_TRY_VOID(tier_of_record(rec.data()));
        c.rel.push_back(c.records.size());
        c.records.insert(c.records.end(), rec.begin(), rec.end());
        c.ids.push_back(r.cell_id);
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
    for (size_t i = 0; i < c.ids.size(); ++i) index_[c.ids[i]] = {active.id, offsets[i]};
    note_own_append(active.id, offsets.front(), active.size);
    stats.cells_moved += c.ids.size();
  }

  std::unordered_set<uint32_t> gone;
  for (const Chosen& c : chosen) gone.insert(c.id);
  std::erase_if(index_, [&](const auto& kv) { return gone.count(kv.second.segment_id) != 0; });

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
  return it->second;
}

}  // namespace qvn
