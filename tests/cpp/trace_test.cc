#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "core/fault.h"
#include "core/platform.h"
#include "engine/trace.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

namespace fault = platform::fault;
using test::TempDir;

std::vector<uint8_t> record(uint8_t tag, uint64_t from, uint64_t to, uint8_t kind, uint64_t created) {
  std::vector<uint8_t> r{tag};
  for (int i = 0; i < 8; ++i) r.push_back(static_cast<uint8_t>(from >> (8 * i)));
  for (int i = 0; i < 8; ++i) r.push_back(static_cast<uint8_t>(to >> (8 * i)));
  r.push_back(kind);
  for (int i = 0; i < 8; ++i) r.push_back(static_cast<uint8_t>(created >> (8 * i)));
  return r;
}

TEST(TraceLogTest, GoldenBytesAndFileOrder) {
  TempDir tmp;
  auto log = TraceLog::open(tmp.path() + "/a");  // creates the directory and an empty file
  ASSERT_TRUE(log.ok());
  EXPECT_EQ(log->path(), tmp.path() + "/a/trace.wal");
  EXPECT_TRUE(log->read_all()->empty());
  ASSERT_TRUE(log->append({0x0102030405060708ull, 9, 0x1122334455667788ull, EdgeType::Supports}).ok());
  const std::vector<uint8_t> golden = {
      0x01,                                            // tag
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // from
      0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // to
      0x03,                                            // kind
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // created_unix_ns
  };
  EXPECT_EQ(test::read_bytes(log->path()), golden);

  std::vector<TraceEdge> want = {{0x0102030405060708ull, 9, 0x1122334455667788ull, EdgeType::Supports},
                                 {2, 3, 200, EdgeType::Follows},
                                 {3, 1, 300, EdgeType::Contradicts}};
  ASSERT_TRUE(log->append(want[1]).ok());
  ASSERT_TRUE(log->append(want[2]).ok());
  EXPECT_EQ(*log->read_all(), want);
}

TEST(TraceLogTest, ReadingStopsAtTornTailOrBadTag) {
  TempDir tmp;
  auto log = TraceLog::open(tmp.path());
  ASSERT_TRUE(log.ok());
  const std::string& path = log->path();

  test::write_bytes(path, record(1, 5, 6, 0, 7));
  test::append_zeros(path, 1);  // 27 bytes
  auto one = log->read_all();
  ASSERT_TRUE(one.ok());
  ASSERT_EQ(one->size(), 1u);
  EXPECT_EQ((*one)[0], (TraceEdge{5, 6, 7, EdgeType::CausedBy}));

  // A bad tag hides everything behind it, even good records.
  test::write_bytes(path, record(1, 5, 6, 0, 7));
  test::append_bytes(path, record(0, 8, 9, 0, 10));
  test::append_bytes(path, record(1, 11, 12, 0, 13));
  auto first = log->read_all();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->size(), 1u);

  // A kind beyond the known types is still read; replay decides to skip it.
  test::write_bytes(path, record(1, 5, 6, 7, 7));
  test::append_bytes(path, record(1, 8, 9, 2, 10));
  auto both = log->read_all();
  ASSERT_TRUE(both.ok());
  ASSERT_EQ(both->size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>((*both)[0].kind), 7);

  test::write_bytes(path, {1, 2, 3});
  auto none = log->read_all();
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
}

TEST(TraceLogTest, MissingFileIsAnErrorForReadAndSync) {
  TempDir tmp;
  auto log = TraceLog::open(tmp.path());
  ASSERT_TRUE(log.ok());
  ASSERT_TRUE(platform::unlink(log->path()).ok());
  EXPECT_FALSE(log->read_all().ok());
  EXPECT_FALSE(sync_path(log->path()).ok());
  // Append recreates it.
  ASSERT_TRUE(log->append({1, 2, 3, EdgeType::Follows}).ok());
  EXPECT_TRUE(sync_path(log->path()).ok());
  EXPECT_EQ(test::size_of(log->path()), 26u);
}

TEST(TraceLogTest, FailedAppendCutsTheFileBack) {
  TempDir tmp;
  auto log = TraceLog::open(tmp.path());
  ASSERT_TRUE(log.ok());
  ASSERT_TRUE(log->append({1, 2, 3, EdgeType::CausedBy}).ok());

  fault::arm(fault::Op::Write, 1, ENOSPC, /*short_write=*/true);
  auto short_write = log->append({7, 8, 9, EdgeType::Follows});
  EXPECT_TRUE(fault::fired());
  fault::disarm();
  ASSERT_FALSE(short_write.ok());
  EXPECT_EQ(short_write.error().to_string(), IoError::os(ENOSPC).to_string());
  EXPECT_EQ(test::size_of(log->path()), 26u);

  fault::arm(fault::Op::Sync, 1, EIO);
  auto failed_sync = log->append({7, 8, 9, EdgeType::Follows});
  EXPECT_TRUE(fault::fired());
  fault::disarm();
  ASSERT_FALSE(failed_sync.ok());
  EXPECT_EQ(test::size_of(log->path()), 26u);

  ASSERT_TRUE(log->append({10, 11, 12, EdgeType::Contradicts}).ok());
  auto edges = log->read_all();
  ASSERT_TRUE(edges.ok());
  ASSERT_EQ(edges->size(), 2u);
  EXPECT_EQ((*edges)[1], (TraceEdge{10, 11, 12, EdgeType::Contradicts}));
}

TEST(TraceGraphTest, EdgeQueriesFilterByKindInInsertionOrder) {
  TraceGraph g;
  g.add_edge(1, 2, EdgeType::CausedBy, 10);
  g.add_edge(1, 3, EdgeType::Supports, 11);
  g.add_edge(1, 2, EdgeType::CausedBy, 12);  // duplicates are kept
  g.add_edge(4, 2, EdgeType::Supports, 13);
  EXPECT_EQ(g.edge_count(), 4u);

  auto all = g.out_edges(1, EDGE_TYPE_ANY);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].created_unix_ns, 10u);
  EXPECT_EQ(all[1].created_unix_ns, 11u);
  EXPECT_EQ(all[2].created_unix_ns, 12u);

  auto caused = g.out_edges(1, static_cast<uint8_t>(EdgeType::CausedBy));
  ASSERT_EQ(caused.size(), 2u);
  EXPECT_EQ(caused[1].created_unix_ns, 12u);

  auto into = g.in_edges(2, static_cast<uint8_t>(EdgeType::Supports));
  ASSERT_EQ(into.size(), 1u);
  EXPECT_EQ(into[0].from, 4u);
  EXPECT_EQ(g.in_edges(2, EDGE_TYPE_ANY).size(), 3u);

  EXPECT_TRUE(g.out_edges(99, EDGE_TYPE_ANY).empty());
  EXPECT_TRUE(g.in_edges(1, EDGE_TYPE_ANY).empty());

  g.clear();
  EXPECT_EQ(g.edge_count(), 0u);
  EXPECT_TRUE(g.out_edges(1, EDGE_TYPE_ANY).empty());
}

std::vector<CellId> sorted(std::vector<CellId> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(TraceGraphTest, AncestorsWalkOutEdgesOfOneKind) {
  const uint8_t caused = static_cast<uint8_t>(EdgeType::CausedBy);
  TraceGraph g;
  // 5 -> 4 -> 3 -> {2, 1}, 2 -> 1; a Supports edge 3 -> 9 is not followed.
  g.add_edge(5, 4, EdgeType::CausedBy, 0);
  g.add_edge(4, 3, EdgeType::CausedBy, 0);
  g.add_edge(3, 2, EdgeType::CausedBy, 0);
  g.add_edge(3, 1, EdgeType::CausedBy, 0);
  g.add_edge(2, 1, EdgeType::CausedBy, 0);
  g.add_edge(3, 9, EdgeType::Supports, 0);
  EXPECT_EQ(sorted(g.ancestors(5, caused)), (std::vector<CellId>{1, 2, 3, 4}));
  EXPECT_EQ(sorted(g.ancestors(5, EDGE_TYPE_ANY)), (std::vector<CellId>{1, 2, 3, 4, 9}));
  EXPECT_TRUE(g.ancestors(1, caused).empty());
  EXPECT_TRUE(g.ancestors(77, caused).empty());

  // The start cell appears only through a cycle, and then once.
  g.add_edge(1, 5, EdgeType::CausedBy, 0);
  EXPECT_EQ(sorted(g.ancestors(5, caused)), (std::vector<CellId>{1, 2, 3, 4, 5}));

  TraceGraph self;
  self.add_edge(8, 8, EdgeType::CausedBy, 0);
  EXPECT_EQ(self.ancestors(8, caused), (std::vector<CellId>{8}));
}

}  // namespace
}  // namespace qvn
