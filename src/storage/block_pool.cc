// The pool: its segment list, its index and the records waiting for their
// pack's head, appends and rotation, rescans and the writer turn's catch-up
// and tail decisions, and the kept read descriptors. Records are coded in
// segment_record, files are created, opened and appended to in segment_file,
// walked in segment_scan; compaction is in block_pool_compaction.cc.
#include "storage/block_pool.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <tuple>

#include "core/numeric.h"
#include "core/platform.h"
#include "storage/segment_format.h"

namespace qvn {

namespace sf = segment_format;
using record::get;

namespace {

// Read descriptors kept open at once; past this the least recently read one
// is closed, so a pool of many small segments stays within the process's
// descriptor limit.
constexpr size_t MAX_READERS = 64;

// Passes of one rescan: a segment vanishing mid-rescan means a compaction ran
// meanwhile, so the listing is taken again. Each pass costs another engine a
// whole compaction under the writer lock; past this many, the next rescan
// picks up what is left.
constexpr int MAX_RESCAN_PASSES = 8;

// Segment 0 of a directory that has none. Several engines may open a new
// directory at once: the one whose exclusive create fails uses the file the
// winner made, whose header may not be written yet (an append writes it
// first then, and the winner's header write puts the same bytes in place),
// or may be zeros after a power loss (the same then).
IoResult<Segment> first_segment(const std::string& dir) {
  const std::string path = segment_path(dir, 0);
  for (int attempt = 0;; ++attempt) {
    auto created = create_segment(dir, 0);
    if (created.ok() || created.error().os_code != EEXIST) return created;
    auto opened = open_segment(path);
    // The winner's create failed and it removed the file: try again.
    if (!opened.ok() && opened.error().os_code == ENOENT && attempt < 8) continue;
    if (!opened.ok()) return make_unexpected(std::move(opened).error());
    const platform::FileInfo& info = opened->info;
    Segment seg;
    seg.path = path;
    seg.size = info.size;
    seg.device = info.device;
    seg.inode = info.inode;
    seg.headed = opened->headed;
    // Records already there are another engine's: the first rescan finds
    // them (from the header on) and the first writer turn judges the tail.
    if (!seg.headed || info.size == sf::HEADER_SIZE) seg.settled_size = info.size;
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
    if (!attempt.ok() && segment_gone(dir, id, attempt.error())) {
      vanished = true;
      continue;
    }
    QVN_TRY(auto opened, std::move(attempt));
    auto& [file, info, headed] = opened;
    // A file whose header is not written yet (its creator is writing it, or
    // died first, or a power loss left zeros) holds no record; its first one
    // will start at the header's end.
    SegmentScan scan;
    scan.end = scan.resume = sf::HEADER_SIZE;
    if (headed) scan = scan_records(file, info.size, path, sf::HEADER_SIZE);
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
    if (!headed || scan.whole(info.size)) seg.settled_size = info.size;
    seg.device = info.device;
    seg.inode = info.inode;
    seg.headed = headed;
    pool.segments_.push_back(std::move(seg));
    pool.keep_reader(pool.segments_.back(), std::move(file));
    pool.ids_read_to_[id] = scan.end;
    scans.push_back(std::move(scan));
    scanned_ids.push_back(id);
  }
  for (size_t i = 0; i < scans.size(); ++i) pool.index_scanned(scanned_ids[i], scans[i].records);
  // A compaction removed a listed segment meanwhile; the records it moved may
  // sit in a segment made after the listing.
  if (vanished) QVN_TRY_VOID(pool.rescan());
  if (pool.segments_.empty()) {
    QVN_TRY(Segment seg, first_segment(dir));
    pool.segments_.push_back(std::move(seg));
  }
  return pool;
}

namespace {

// File order across the directory: segments by id, records by offset.
bool stored_before(const CellLocation& a, const CellLocation& b) {
  return std::tie(a.segment_id, a.offset) < std::tie(b.segment_id, b.offset);
}

}  // namespace

void BlockPool::place(CellId id, const IndexEntry& e) {
  auto [at, fresh] = index_.try_emplace(id, e);
  if (fresh || at->second.location == e.location) return;
  auto [lo, hi] = superseded_.equal_range(id);
  for (auto it = lo; it != hi; ++it) {
    if (it->second.location == e.location) return;
  }
  // The record stored first stands: another record of its id is a copy
  // that compaction appended later, and a power loss may have torn it.
  // It takes over only once the first one's segment is gone (removed only
  // after the copy was synced whole).
  if (stored_before(e.location, at->second.location)) {
    superseded_.emplace(id, at->second);
    at->second = e;
  } else {
    superseded_.emplace(id, e);
  }
}

void BlockPool::index_scanned(uint32_t segment_id, const std::vector<RecordRef>& records) {
  for (const RecordRef& r : records) {
    IndexEntry e{{segment_id, r.offset}, r.header};
    if (r.header.is_pack_member() && !heads_.count(r.header.pack_id)) {
      waiting_[r.header.pack_id].emplace_back(r.cell_id, e);
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
  std::vector<std::pair<PackId, CellId>> heads_lost;
  for (auto it = index_.begin(); it != index_.end();) {
    if (!in(it->second)) {
      ++it;
      continue;
    }
    if (superseded_.count(it->first)) lost.push_back(it->first);
    if (it->second.header.is_pack_head()) heads_lost.emplace_back(it->second.header.pack_id, it->first);
    it = index_.erase(it);
  }
  // The copy stored first is the one an open would index now.
  for (CellId id : lost) {
    auto [lo, hi] = superseded_.equal_range(id);
    auto best = lo;
    for (auto it = lo; it != hi; ++it) {
      if (stored_before(it->second.location, best->second.location)) best = it;
    }
    index_.emplace(id, best->second);
    superseded_.erase(best);
  }
  // A pack whose head no segment holds any more (it was deleted, and its
  // head compacted away) is what an open would find: its other records wait
  // for a head instead of being indexed.
  std::unordered_set<PackId> headless;
  for (const auto& [pack, head] : heads_lost) {
    if (!index_.count(head)) headless.insert(pack);
  }
  if (!headless.empty()) {
    for (PackId pack : headless) heads_.erase(pack);
    for (auto it = index_.begin(); it != index_.end();) {
      if (!it->second.header.is_pack_member() || !headless.count(it->second.header.pack_id)) {
        ++it;
        continue;
      }
      waiting_[it->second.header.pack_id].emplace_back(it->first, it->second);
      it = index_.erase(it);
    }
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
    if (!size.ok() && segment_gone(dir_, id, size.error())) {
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
    if (!attempt.ok() && segment_gone(dir_, id, attempt.error())) {
      // Removed since the listing. Its records were moved before the removal;
      // they are picked up below, or by the next pass's listing.
      forget_segments({id});
      vanished = true;
      continue;
    }
    QVN_TRY(auto opened, std::move(attempt));
    auto& [file, info, headed] = opened;
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
    seg->headed = headed;
    SegmentScan scan;
    if (headed) scan = scan_records(file, info.size, seg->path, seg->rescan_from);
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
  for (const auto& [id, scan] : scans) index_scanned(id, scan.records);
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
    // A stat first: most segments have not grown since the last look.
    auto size = segment_file_size(dir_, id);
    if (!size.ok() && segment_gone(dir_, id, size.error())) continue;
    if (!size.ok()) return make_unexpected(std::move(size).error());
    if (*size <= read_to) continue;
    QVN_TRY(platform::File f, platform::File::open(segment_path(dir_, id), platform::Access::Read));
    ScanReader reader(f, *size);
    uint64_t p = std::max(read_to, sf::HEADER_SIZE);
    while (*size - p >= NEED) {
      QVN_TRY(const uint8_t* head, reader.at(p, NEED));
      uint32_t len = get<uint32_t>(head);
      // The end of what whole records hold: a torn or damaged tail is read
      // again next time, in case a writer's later records follow it.
      if (!record_fits(len, p, *size)) break;
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
  const size_t run =
      trailing_layer_run(headers.size(), [&](size_t i) -> const RecordHeader& { return headers[i]; });
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
  auto info = platform::own_file_info(seg.path);
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
  if (!opened.ok() || opened->info.device != (*info)->device || opened->info.inode != (*info)->inode) {
    seg.torn_tail = true;
    return;
  }
  const uint64_t size = opened->info.size;
  seg.headed = opened->headed;
  // Fewer bytes than a header, or zeros only: no record yet, an append
  // writes the header.
  if (!seg.headed) {
    seg.settled_size = size;
    return;
  }
  // Shorter than what was judged before: not a file to append to.
  if (size < seg.settle_from) {
    seg.torn_tail = true;
    return;
  }
  SegmentScan scan = scan_records(opened->file, size, seg.path, seg.settle_from);
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
  QVN_TRY(record::Shape shape, record::read_record(*f, at.first->path, at.second, buf));
  QVN_TRY(Cell c, record::cell_from(buf.data(), shape));
  return c;
}

Result<Cell> BlockPool::read_cell_header(CellId id) const {
  auto it = index_.find(id);
  if (it == index_.end()) return make_unexpected(EngineError::cell_not_found(id));
  const IndexEntry& e = it->second;
  const RecordHeader& h = e.header;
  if (h.damaged) {
    const Segment* seg = find_segment(e.location.segment_id);
    return make_unexpected(record::damaged(seg ? seg->path : segment_path(dir_, e.location.segment_id), e.location.offset));
  }
  auto tier = tier_from_byte(h.tier);
  if (!tier) return make_unexpected(record::invalid_tier(h.tier, id));
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

}  // namespace qvn
