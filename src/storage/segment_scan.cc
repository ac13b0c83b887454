// Walks over the records of one segment file (see segment_scan.h).
#include "storage/segment_scan.h"

#include "storage/append_file.h"
#include "storage/segment_file.h"
#include "storage/segment_format.h"

namespace qvn {

namespace sf = segment_format;
using record::get;

namespace {

// Window of a segment scan; one pread serves many record headers.
constexpr size_t SCAN_WINDOW = 1 << 18;

// The first of the layer records waiting for their head at the end of the
// first `n` of `records`.
size_t trailing_layers(const std::vector<RecordRef>& records, size_t n) {
  return trailing_layer_run(n, [&](size_t i) -> const RecordHeader& { return records[i].header; });
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
  if (!record::could_be_whole(rec.data(), path, last.offset)) return false;
  if (records.size() < 2 || !records[records.size() - 2].header.is_pack_layer()) return true;
  // Layer records before it: it must be their pack's head, written in the
  // same append, or a record of a later append, whose ids come after theirs.
  const RecordRef& layer = records[records.size() - 2];
  if (!last.header.is_pack_head() || last.header.pack_id != layer.header.pack_id) {
    return last.cell_id > layer.cell_id;
  }
  uint8_t fixed[sf::FIXED_END];
  if (!f.pread_exact(fixed, sizeof fixed, layer.offset).ok()) return false;
  const uint64_t prefix = record::key_prefix_size(fixed, path, layer.offset);
  if (prefix == 0 || prefix > last.offset - layer.offset) return false;
  std::vector<uint8_t> layer_bytes(static_cast<size_t>(prefix));
  if (!f.pread_exact(layer_bytes.data(), layer_bytes.size(), layer.offset).ok()) return false;
  const CellId first_layer_id = records[trailing_layers(records, records.size() - 1)].cell_id;
  return record::head_agrees_with_layers(rec.data(), layer_bytes.data(), prefix, first_layer_id);
}

}  // namespace

IoResult<const uint8_t*> ScanReader::at(uint64_t off, size_t n) {
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
    if (!record_fits(len, p, size)) break;
    out.records.push_back({get<uint64_t>(*head + sf::OFF_CELL_ID), p, record::kept_header(*head, path, p)});
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
  const size_t run = trailing_layers(out.records, out.records.size());
  out.resume = run < out.records.size() ? out.records[run].offset : p;
  return out;
}

IoResult<SegmentScan> scan_segment(const std::string& path) {
  QVN_TRY(OpenedSegment opened, open_segment(path));
  if (!opened.headed) return SegmentScan{};
  return scan_records(opened.file, opened.info.size, path, sf::HEADER_SIZE);
}

}  // namespace qvn
