// Compaction: rewriting segments whose records are mostly dead. Decides
// which records stay stored and moves them through the pool's appends; the
// record bytes move verbatim, never re-coded.
#include <algorithm>
#include <optional>

#include "core/numeric.h"
#include "storage/block_pool.h"

namespace qvn {

Result<bool> BlockPool::copies_agree(uint32_t segment_id, const std::vector<uint8_t>& records,
                                     const std::vector<uint64_t>& rel, const std::vector<CellId>& ids) const {
  std::vector<uint8_t> copy;
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint64_t begin = rel[i];
    const uint64_t end = i + 1 < rel.size() ? rel[i + 1] : records.size();
    auto [lo, hi] = superseded_.equal_range(ids[i]);
    for (auto it = lo; it != hi; ++it) {
      const CellLocation& at = it->second.location;
      if (at.segment_id == segment_id) continue;
      const Segment* seg = find_segment(at.segment_id);
      if (!seg) continue;
      QVN_TRY(const platform::File* f, reader_of(*seg));
      auto read = record::read_record(*f, seg->path, at.offset, copy);
      if (!read.ok() || copy.size() != end - begin ||
          !std::equal(copy.begin(), copy.end(), records.begin() + static_cast<ptrdiff_t>(begin))) {
        return false;
      }
    }
  }
  return true;
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
        QVN_TRY_VOID(record::read_record(f, seg.path, r.offset, rec));
        QVN_TRY_VOID(record::tier_of(rec.data()));
        c.rel.push_back(c.records.size());
        c.records.insert(c.records.end(), rec.begin(), rec.end());
        c.ids.push_back(r.cell_id);
        c.headers.push_back(r.header);
      }
      // Once this file is gone, each moved id's record is the copy stored
      // first (see place). A copy that an earlier compaction left elsewhere
      // comes before the one appended now, and a power loss may have torn it:
      // the file stays, its records standing, until no such copy differs.
      QVN_TRY(bool agree, copies_agree(seg.id, c.records, c.rel, c.ids));
      if (!agree) continue;
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
    index_scanned(active.id, theirs);
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

}  // namespace qvn
