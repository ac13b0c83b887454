#include "engine/trace.h"

#include <algorithm>
#include <deque>
#include <span>
#include <unordered_set>

#include "core/platform.h"
#include "engine/trace_format.h"

namespace qvn {

namespace {

namespace tf = trace_format;

void put_u64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t get_u64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool matches(const TraceEdge& e, uint8_t kind) {
  return kind == EDGE_TYPE_ANY || static_cast<uint8_t>(e.kind) == kind;
}

std::vector<TraceEdge> filtered(const std::unordered_map<CellId, std::vector<TraceEdge>>& map,
                                CellId cell, uint8_t kind) {
  std::vector<TraceEdge> out;
  auto it = map.find(cell);
  if (it == map.end()) return out;
  for (const TraceEdge& e : it->second) {
    if (matches(e, kind)) out.push_back(e);
  }
  return out;
}

}  // namespace

IoResult<TraceLog> TraceLog::open(const std::string& dir) {
  QVN_TRY_VOID(platform::create_dir_all(dir));
  std::string path = platform::join(dir, tf::FILE_NAME);
  QVN_TRY_VOID(create_at_open(path));
  return TraceLog(std::move(path));
}

namespace {

// How many of the whole records at the start of `bytes` (up to the first one
// with a bad tag) a read accepts, and whether what lies behind them is a
// torn last record. A record that lies wholly in the run of zeros the file
// ends with has tag 0 and stops the read anyway. The record in which that
// run begins is torn when the run covers its whole stamp: the zeros then
// reach into, or stop just short of, its cell ids and kind, which are not
// the ones written; no writer stores a stamp of 0 (the engine stamps an
// edge with the wall clock, and with 1 when that reads before 1970). A run
// that begins inside the stamp leaves the edge's cells and kind as written,
// and the stamp is read by no one.
//
// Torn is part of a record (a writer died in its append) or a record the
// zeros made torn. A whole record with a bad tag that the zeros do not
// explain is damage in the middle: it stays, and so does all behind it.
struct Accepted {
  size_t records = 0;
  bool torn = false;
};
Accepted accepted_records(std::span<const uint8_t> bytes) {
  size_t n = 0;
  while ((n + 1) * tf::RECORD_SIZE <= bytes.size() && bytes[n * tf::RECORD_SIZE + tf::OFF_TAG] == tf::RECORD_TAG) ++n;
  const size_t zeros_from = zero_run_start(bytes);
  if (n > 0 && zeros_from <= (n - 1) * tf::RECORD_SIZE + tf::OFF_CREATED) return {n - 1, true};
  const size_t stop = n * tf::RECORD_SIZE;
  return {n, bytes.size() - stop < tf::RECORD_SIZE || zeros_from <= stop};
}

// Walks the accepted records at the start of `bytes`; returns where they end.
template <class OnRecord>
WalkEnd walk_records(std::span<const uint8_t> bytes, OnRecord&& on_record) {
  const Accepted a = accepted_records(bytes);
  for (size_t i = 0; i < a.records; ++i) {
    const uint8_t* rec = bytes.data() + i * tf::RECORD_SIZE;
    on_record(get_u64(rec + tf::OFF_FROM), get_u64(rec + tf::OFF_TO));
  }
  return {a.records * tf::RECORD_SIZE, a.torn};
}

}  // namespace

IoResult<std::optional<CellId>> TraceLog::catch_up() {
  return catch_up_highest(path_, tail_, [](std::span<const uint8_t> b, auto&& on_id) {
    return walk_records(b, [&](CellId from, CellId to) {
      on_id(from);
      on_id(to);
    });
  });
}

IoResult<void> TraceLog::append(const TraceEdge& edge) {
  uint8_t rec[tf::RECORD_SIZE];
  rec[tf::OFF_TAG] = tf::RECORD_TAG;
  put_u64(rec + tf::OFF_FROM, edge.from);
  put_u64(rec + tf::OFF_TO, edge.to);
  rec[tf::OFF_KIND] = static_cast<uint8_t>(edge.kind);
  put_u64(rec + tf::OFF_CREATED, edge.created_unix_ns);

  QVN_TRY_VOID(catch_up());
  QVN_TRY(platform::File f,
          platform::File::open(path_, platform::Access::ReadWrite, platform::Create::IfMissing));
  QVN_TRY_VOID(append_synced(f, path_, tail_, rec));
  return {};
}

IoResult<std::vector<TraceEdge>> TraceLog::read_all() const {
  QVN_TRY(platform::File f, platform::File::open(path_, platform::Access::Read));
  QVN_TRY(uint64_t size, f.size());
  QVN_TRY_VOID(f.seek(0));
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t got = 0;
  while (got < bytes.size()) {
    // A short or failing read means the file ends here as far as replay is
    // concerned; what was read so far stays valid.
    auto r = f.pread_some(bytes.data() + got, bytes.size() - got, got);
    if (!r.ok() || *r == 0) break;
    got += *r;
  }
  bytes.resize(got);
  const size_t n = accepted_records(bytes).records;
  std::vector<TraceEdge> edges;
  edges.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* rec = bytes.data() + i * tf::RECORD_SIZE;
    edges.push_back(TraceEdge{get_u64(rec + tf::OFF_FROM), get_u64(rec + tf::OFF_TO),
                              get_u64(rec + tf::OFF_CREATED), static_cast<EdgeType>(rec[tf::OFF_KIND])});
  }
  return edges;
}

IoResult<void> sync_path(const std::string& path) {
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
  return f.sync();
}

void TraceGraph::add_edge(CellId from, CellId to, EdgeType kind, uint64_t created_unix_ns) {
  TraceEdge e{from, to, created_unix_ns, kind};
  out_[from].push_back(e);
  in_[to].push_back(e);
  ++edge_count_;
}

std::vector<TraceEdge> TraceGraph::out_edges(CellId cell, uint8_t kind) const {
  return filtered(out_, cell, kind);
}

std::vector<TraceEdge> TraceGraph::in_edges(CellId cell, uint8_t kind) const {
  return filtered(in_, cell, kind);
}

std::vector<CellId> TraceGraph::ancestors(CellId cell, uint8_t kind) const {
  std::unordered_set<CellId> reached;
  std::vector<CellId> result;
  std::deque<CellId> queue;
  // The start cell is deliberately not marked: it is reported only when a
  // cycle leads back to it.
  auto visit = [&](CellId from) {
    auto it = out_.find(from);
    if (it == out_.end()) return;
    for (const TraceEdge& e : it->second) {
      if (matches(e, kind) && reached.insert(e.to).second) {
        result.push_back(e.to);
        queue.push_back(e.to);
      }
    }
  };
  visit(cell);
  while (!queue.empty()) {
    CellId next = queue.front();
    queue.pop_front();
    visit(next);
  }
  return result;
}

void TraceGraph::clear() {
  out_.clear();
  in_.clear();
  edge_count_ = 0;
}

}  // namespace qvn
