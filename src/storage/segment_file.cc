// Naming, creation, opening and appends of segment files (see segment_file.h).
#include "storage/segment_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/numeric.h"
#include "storage/append_file.h"
#include "storage/segment_format.h"
#include "storage/segment_record.h"

namespace qvn {

namespace sf = segment_format;

namespace {

// Parses the middle of "segment_<id>.qvn" like an unsigned 32-bit decimal.
std::optional<uint32_t> parse_segment_id(std::string_view name) {
  if (name.size() <= sf::FILE_PREFIX.size() + sf::FILE_SUFFIX.size()) return std::nullopt;
  if (!name.starts_with(sf::FILE_PREFIX) || !name.ends_with(sf::FILE_SUFFIX)) return std::nullopt;
  std::string_view mid =
      name.substr(sf::FILE_PREFIX.size(), name.size() - sf::FILE_PREFIX.size() - sf::FILE_SUFFIX.size());
  auto v = parse_decimal(mid, UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

}  // namespace

bool is_segment_file_name(std::string_view name) { return parse_segment_id(name).has_value(); }

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
  record::write_segment_header(header);
  // The header reaches the disk before the name does: a name that survives
  // a power loss with zeros where the header belongs would fail every open.
  auto w = f.write_all(header, sizeof header);
  if (w.ok()) w = f.sync();
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
  seg.headed = true;
  return seg;
}

IoResult<uint64_t> segment_file_size(const std::string& dir, uint32_t id) {
  QVN_TRY(std::optional<platform::FileInfo> info, platform::own_file_info(segment_path(dir, id)));
  if (!info) return make_unexpected(IoError::os(ENOENT));
  return info->size;
}

IoResult<OpenedSegment> open_segment(const std::string& path) {
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
  QVN_TRY(platform::FileInfo info, f.info());
  bool headed = false;
  if (info.size >= sf::HEADER_SIZE) {
    char magic[4];
    QVN_TRY_VOID(f.pread_exact(magic, sizeof magic, 0));
    headed = std::memcmp(magic, sf::MAGIC, 4) == 0;
    if (!headed && !zeros_to_end(f, 0, info.size)) {
      return make_unexpected(IoError::invalid_data("invalid segment magic in " + path));
    }
  }
  return OpenedSegment{std::move(f), info, headed};
}

bool segment_gone(const std::string& dir, uint32_t id, const IoError& e) {
  if (e.kind != IoError::Kind::Os || e.os_code != ENOENT) return false;
  auto ids = list_segment_ids(dir);
  return ids.ok() && !std::binary_search(ids->begin(), ids->end(), id);
}

IoError segment_replaced(const std::string& path) {
  return IoError::other("segment file " + path + " was replaced by another file");
}

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
  if (!seg.headed && begin >= sf::HEADER_SIZE) {
    QVN_TRY(OpenedSegment opened, open_segment(seg.path));
    if (opened.info.device != seg.device || opened.info.inode != seg.inode) {
      seg.torn_tail = true;
      return make_unexpected(segment_replaced(seg.path));
    }
    // Zeros only: nothing here is a record, and the header goes first.
    if (!opened.headed) QVN_TRY_VOID(f.truncate(0));
    seg.headed = opened.headed;
    QVN_TRY(begin, f.size());
  }
  if (begin < sf::HEADER_SIZE) {
    // A segment whose header is not on disk: its creator died first, or is
    // writing it now, outside the writer lock, the same 8 bytes at the same
    // place. Nothing here is a record. The header goes to its place, never
    // behind what is there, and this append's sync covers it.
    QVN_TRY(platform::File h, platform::File::open(seg.path, platform::Access::Write));
    uint8_t header[sf::HEADER_SIZE];
    record::write_segment_header(header);
    QVN_TRY_VOID(h.write_all(header, sizeof header));
    QVN_TRY_VOID(h.close());
    QVN_TRY(begin, f.size());
    seg.headed = begin >= sf::HEADER_SIZE;
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
  for (size_t i = 0; i < cells.size(); ++i) record::write(buf.get() + rel[i], cells[i], body[i]);
  return append_encoded(segment, {buf.get(), static_cast<size_t>(total)}, rel);
}

}  // namespace qvn
