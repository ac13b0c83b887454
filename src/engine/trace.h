// Typed, directed edges between cells: the append-only file "trace.wal" and
// its in-memory adjacency map. Neither has a lock of its own.
// Requires: engine mutex held for every call.
//
// Every writer appends to the log first and adds the edge to the graph only
// when the append succeeded, so the graph never holds an edge the file lacks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "storage/append_file.h"

namespace qvn {

// Stored as one byte. A byte of 4 or more may be read from a file; replay
// skips such records.
enum class EdgeType : uint8_t { CausedBy = 0, Follows = 1, Contradicts = 2, Supports = 3 };

// Query filter that matches every edge type.
inline constexpr uint8_t EDGE_TYPE_ANY = 4;

struct TraceEdge {
  CellId from = 0;
  CellId to = 0;
  uint64_t created_unix_ns = 0;
  EdgeType kind = EdgeType::CausedBy;

  bool operator==(const TraceEdge&) const = default;
};

class TraceLog {
 public:
  // Creates `dir` (recursively) and "trace.wal" inside it if missing.
  static IoResult<TraceLog> open(const std::string& dir);

  // Requires: the writer turn held. Appends one 26-byte record and fully
  // syncs it. A torn last record where reading stops (part of one, left by a
  // writer that died, or a record a power loss zeroed) is cut off first, so
  // the record is never written behind it. A whole record with a bad tag is
  // damage: it and everything behind it stay, and the record goes to the
  // end of the file. On failure the file is cut back to its length before
  // the call.
  IoResult<void> append(const TraceEdge& edge);

  // Reads the records appended since the last catch-up or append, by any
  // writer, and returns the highest cell id they name.
  IoResult<std::optional<CellId>> catch_up();

  // Every whole record up to the first torn or bad-tagged one, less a last
  // record that a power loss zeroed. Only a failure to open, size or seek
  // the file is an error; a failing read ends the list silently.
  IoResult<std::vector<TraceEdge>> read_all() const;

  const std::string& path() const { return path_; }

 private:
  explicit TraceLog(std::string path) : path_(std::move(path)) {}
  std::string path_;
  TornTail tail_;
};

// Opens `path` and fully syncs it.
IoResult<void> sync_path(const std::string& path);

class TraceGraph {
 public:
  // No duplicate check: adding an edge twice stores it twice.
  void add_edge(CellId from, CellId to, EdgeType kind, uint64_t created_unix_ns);

  // Edges leaving / entering `cell` whose kind equals `kind`, or all of them
  // for EDGE_TYPE_ANY, in the order added.
  std::vector<TraceEdge> out_edges(CellId cell, uint8_t kind) const;
  std::vector<TraceEdge> in_edges(CellId cell, uint8_t kind) const;

  // Every cell reachable from `cell` along out-edges of `kind`, each once,
  // in no promised order. `cell` itself is included only when a cycle leads
  // back to it.
  std::vector<CellId> ancestors(CellId cell, uint8_t kind) const;

  void clear();
  uint64_t edge_count() const { return edge_count_; }

 private:
  std::unordered_map<CellId, std::vector<TraceEdge>> out_;
  std::unordered_map<CellId, std::vector<TraceEdge>> in_;
  uint64_t edge_count_ = 0;
};

}  // namespace qvn
