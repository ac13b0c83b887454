// "trace.wal" as found on disk: read_all gives exactly the whole records up
// to the first torn or bad-tagged one, and an append after a torn tail reads
// back behind them.
#include "core/le_bytes.h"
#include "fuzz_support.h"
#include "engine/trace.h"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "trace.wal", data, size);

  std::vector<TraceEdge> expected;
  size_t p = 0;
  bool bad_tag = false;
  for (; p + 26 <= size; p += 26) {
    if (data[p] != 1) {
      bad_tag = true;
      break;
    }
    expected.push_back({le::load<uint64_t>(data + p + 1), le::load<uint64_t>(data + p + 9),
                        le::load<uint64_t>(data + p + 18), static_cast<EdgeType>(data[p + 17])});
  }

  auto log = TraceLog::open(dir);
  QVN_FUZZ_CHECK(log.ok());
  auto edges = log->read_all();
  QVN_FUZZ_CHECK(edges.ok() && *edges == expected);

  // Replay skips kinds of 4 and more; the graph must hold the rest.
  TraceGraph graph;
  uint64_t kept = 0;
  for (const TraceEdge& e : *edges) {
    if (static_cast<uint8_t>(e.kind) >= EDGE_TYPE_ANY) continue;
    graph.add_edge(e.from, e.to, e.kind, e.created_unix_ns);
    ++kept;
  }
  QVN_FUZZ_CHECK(graph.edge_count() == kept);
  if (!expected.empty()) (void)graph.ancestors(expected.front().from, EDGE_TYPE_ANY);

  const TraceEdge added{11, 12, 13, EdgeType::Supports};
  QVN_FUZZ_CHECK(log->append(added).ok());
  auto after = log->read_all();
  QVN_FUZZ_CHECK(after.ok());
  // A tail holding no record is cut and the append takes its place; a bad
  // tag with records behind it is kept, and the append behind it stays
  // hidden from reads.
  const uint64_t now = test::size_of(log->path());
  QVN_FUZZ_CHECK(now == p + 26 || (bad_tag && now == size + 26));
  if (now == p + 26) expected.push_back(added);
  QVN_FUZZ_CHECK(*after == expected);
  return 0;
}
