// "trace.wal" as found on disk: read_all gives exactly the whole records up
// to the first torn or bad-tagged one (less a last one a power loss zeroed);
// an append cuts a torn last record and reads back right behind the records
// read, and after a whole bad-tagged record (damage) it goes to the end of
// the file, leaving every byte before it as it was.
#include <algorithm>

#include "core/le_bytes.h"
#include "fuzz_support.h"
#include "engine/trace.h"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "trace.wal", data, size);

  std::vector<TraceEdge> expected;
  size_t p = 0;
  for (; p + 26 <= size && data[p] == 1; p += 26) {
    expected.push_back({le::load<uint64_t>(data + p + 1), le::load<uint64_t>(data + p + 9),
                        le::load<uint64_t>(data + p + 18), static_cast<EdgeType>(data[p + 17])});
  }
  // A last record whose whole stamp lies in the zeros the file ends with is
  // what a power loss left.
  size_t zeros_from = size;
  while (zeros_from > 0 && data[zeros_from - 1] == 0) --zeros_from;
  bool torn = size - p < 26 || zeros_from <= p;
  if (p > 0 && zeros_from <= p - 26 + 18) {
    expected.pop_back();
    p -= 26;
    torn = true;
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
  if (torn) {
    QVN_FUZZ_CHECK(test::size_of(log->path()) == p + 26);
    expected.push_back(added);
  } else {
    const auto bytes = test::read_bytes(log->path());
    QVN_FUZZ_CHECK(bytes.size() == size + 26 && std::equal(data, data + size, bytes.begin()));
  }
  QVN_FUZZ_CHECK(*after == expected);
  return 0;
}
