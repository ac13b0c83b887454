// The in-memory trace graph, and the trace file beyond the append-file
// discipline of shared_files_test.cc.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/platform.h"
#include "engine/trace.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

std::vector<CellId> sorted(std::vector<CellId> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::vector<uint64_t> stamps(const std::vector<TraceEdge>& edges) {
  std::vector<uint64_t> out;
  for (const TraceEdge& e : edges) out.push_back(e.created_unix_ns);
  return out;
}

TEST(TraceGraphTest, EdgeQueriesFilterByKindInInsertionOrder) {
  const auto caused = static_cast<uint8_t>(EdgeType::CausedBy), supports = static_cast<uint8_t>(EdgeType::Supports);
  TraceGraph g;
  g.add_edge(1, 2, EdgeType::CausedBy, 10);
  g.add_edge(1, 3, EdgeType::Supports, 11);
  g.add_edge(1, 2, EdgeType::CausedBy, 12);  // duplicates are kept
  g.add_edge(4, 2, EdgeType::Supports, 13);
  EXPECT_EQ(g.edge_count(), 4u);
  EXPECT_EQ(stamps(g.out_edges(1, EDGE_TYPE_ANY)), (std::vector<uint64_t>{10, 11, 12}));
  EXPECT_EQ(stamps(g.out_edges(1, caused)), (std::vector<uint64_t>{10, 12}));
  EXPECT_EQ(stamps(g.in_edges(2, supports)), (std::vector<uint64_t>{13}));
  EXPECT_EQ(stamps(g.in_edges(2, EDGE_TYPE_ANY)), (std::vector<uint64_t>{10, 12, 13}));
  EXPECT_TRUE(g.in_edges(1, EDGE_TYPE_ANY).empty());
  g.clear();
  EXPECT_EQ(g.edge_count(), 0u);
  EXPECT_TRUE(g.out_edges(1, EDGE_TYPE_ANY).empty());
}

TEST(TraceGraphTest, AncestorsWalkOutEdgesOfOneKind) {
  const uint8_t caused = static_cast<uint8_t>(EdgeType::CausedBy);
  TraceGraph g;
  // 5 -> 4 -> 3 -> {2, 1}, 2 -> 1; a Supports edge 3 -> 9 is not followed.
  for (auto [from, to] : {std::pair{5, 4}, {4, 3}, {3, 2}, {3, 1}, {2, 1}}) g.add_edge(from, to, EdgeType::CausedBy, 0);
  g.add_edge(3, 9, EdgeType::Supports, 0);
  EXPECT_EQ(sorted(g.ancestors(5, caused)), (std::vector<CellId>{1, 2, 3, 4}));
  EXPECT_EQ(sorted(g.ancestors(5, EDGE_TYPE_ANY)), (std::vector<CellId>{1, 2, 3, 4, 9}));
  EXPECT_TRUE(g.ancestors(1, caused).empty());
  // The start cell appears only through a cycle, and then once.
  g.add_edge(1, 5, EdgeType::CausedBy, 0);
  EXPECT_EQ(sorted(g.ancestors(5, caused)), (std::vector<CellId>{1, 2, 3, 4, 5}));
  TraceGraph self;
  self.add_edge(8, 8, EdgeType::CausedBy, 0);
  EXPECT_EQ(self.ancestors(8, caused), (std::vector<CellId>{8}));
}

// A vanished trace file is an error for reads and syncs, never an empty
// success; the next append recreates it.
TEST(TraceLogTest, MissingFileIsAnErrorForReadAndSync) {
  test::TempDir tmp;
  auto log = TraceLog::open(tmp.path());
  ASSERT_TRUE(log.ok());
  ASSERT_TRUE(platform::unlink(log->path()).ok());
  EXPECT_FALSE(log->read_all().ok());
  EXPECT_FALSE(sync_path(log->path()).ok());
  ASSERT_TRUE(log->append({1, 2, 3, EdgeType::Follows}).ok());
  EXPECT_TRUE(sync_path(log->path()).ok());
  EXPECT_EQ(log->read_all()->size(), 1u);
}

}  // namespace
}  // namespace qvn
