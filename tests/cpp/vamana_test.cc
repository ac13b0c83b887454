#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/fault.h"
#include "core/platform.h"
#include "index/vamana/vamana.h"
#include "index/vamana/vamana_build.h"
#include "retrieval/key_view.h"
#include "retrieval/simd_distance.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using Vectors = std::vector<std::vector<float>>;
using Lists = std::vector<std::vector<uint64_t>>;

// The build as stated: every other node scored, stable descending sort,
// first min(R, n - 1).
Lists reference_build(const Vectors& v, size_t r) {
  Lists out(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    std::vector<std::pair<uint64_t, float>> scored;
    for (size_t j = 0; j < v.size(); ++j) {
      if (j == i) continue;
      scored.emplace_back(j, dot_f32(v[i].data(), v[j].data(), std::min(v[i].size(), v[j].size())));
    }
    stable_sort_desc(scored, [](const auto& p) { return p.second; });
    for (size_t t = 0; t < std::min(r, scored.size()); ++t) out[i].push_back(scored[t].first);
  }
  return out;
}

// Small integers make many exactly equal dot products, so tie order is tested.
Vectors make_vectors(size_t n, size_t dim, uint32_t seed, bool ties) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> small(-2, 2);
  Vectors v(n, std::vector<float>(dim));
  for (auto& row : v) {
    for (float& x : row) x = ties ? static_cast<float>(small(rng)) : normal(rng);
  }
  return v;
}

std::vector<std::span<const float>> spans(const Vectors& v) { return {v.begin(), v.end()}; }

VamanaIndex index_of(const Vectors& v, uint64_t r, uint64_t first_id = 0) {
  VamanaIndex idx(v.empty() ? 0 : v[0].size(), r, 1.2f);
  for (size_t i = 0; i < v.size(); ++i) EXPECT_TRUE(idx.add_node(first_id + i, v[i]));
  return idx;
}

Lists neighbours_of(const VamanaIndex& idx) {
  Lists out;
  for (const auto& node : idx.nodes()) out.push_back(node.neighbours);
  return out;
}

// Every kernel and every thread count (whose schedules fill the lists in
// different orders) gives the reference lists.
TEST(VamanaBuildTest, EveryKernelAndThreadCountMatchesTheReferenceBitForBit) {
  struct Case {
    size_t n, dim, r;
    bool ties;
  };
  const Case cases[] = {{1, 4, 3, false},   {2, 1, 1, true},     {7, 5, 16, true},   {33, 16, 3, true},
                        {100, 0, 4, false}, {257, 128, 16, false}, {150, 9, 64, true}, {90, 12, 65, true},
                        {70, 3, 500, true}, {1500, 6, 16, true}, {1200, 4, 70, true}};
  for (const Case& c : cases) {
    Vectors v = make_vectors(c.n, c.dim, static_cast<uint32_t>(c.n * 31 + c.dim), c.ties);
    if (c.n > 10 && c.dim > 0) {
      v[3][0] = std::numeric_limits<float>::quiet_NaN();  // NaN scores sort last
      std::fill(v[5].begin(), v[5].end(), -0.0f);         // -0.0 ties +0.0
      v[8] = v[9];                                       // duplicate vectors
      v[6][0] = std::numeric_limits<float>::infinity();
    }
    const Lists want = reference_build(v, c.r);
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " dim=" << c.dim << " r=" << c.r);
    for (size_t threads : {1, 2, 3, 8}) {
      SCOPED_TRACE(testing::Message() << "threads=" << threads);
      EXPECT_EQ(vamana_build::exhaustive_neighbours(spans(v), c.r, vamana_build::Kernel::Scalar, threads), want);
      EXPECT_EQ(vamana_build::exhaustive_neighbours(spans(v), c.r, vamana_build::Kernel::Avx2, threads), want);
    }
    VamanaIndex idx = index_of(v, c.r);
    idx.rebuild();
    EXPECT_EQ(neighbours_of(idx), want);
  }
}

TEST(VamanaBuildTest, VectorsOfUnequalLengthScoreOverTheCommonPrefix) {
  const Vectors v = {{1, 2, 3}, {4}, {0, 5}, {-1, -1, 9}};
  EXPECT_EQ(vamana_build::exhaustive_neighbours(spans(v), 2, vamana_build::best_kernel()), reference_build(v, 2));
}

TEST(VamanaIndexTest, EntryIsTheFirstNodeClosestToTheCentroid) {
  VamanaIndex idx(2, 4, 1.2f);
  idx.compute_entry();
  EXPECT_FALSE(idx.entry().has_value());
  const float nan = std::numeric_limits<float>::quiet_NaN();
  idx.add_node(7, std::vector<float>{nan, 0});
  idx.add_node(8, std::vector<float>{1, 1});
  idx.add_node(9, std::vector<float>{1, 1});
  idx.compute_entry();
  // Centroid is NaN in element 0, so every score is NaN: node 0 by default.
  EXPECT_EQ(idx.entry(), 0u);

  VamanaIndex plain(2, 4, 1.2f);
  plain.add_node(1, std::vector<float>{0, 1});
  plain.add_node(2, std::vector<float>{3, 0});
  plain.add_node(3, std::vector<float>{3, 0});
  plain.compute_entry();
  EXPECT_EQ(plain.entry(), 1u);  // equal maxima: the first wins
}

TEST(VamanaIndexTest, RebuildWithEdgesOnlyMovesTheEntry) {
  Vectors v = make_vectors(40, 8, 5, false);
  VamanaIndex idx = index_of(v, 4);
  idx.rebuild();
  const Lists before = neighbours_of(idx);
  std::vector<float> far(8, 1000.0f);
  ASSERT_TRUE(idx.add_node(1000, far));
  idx.rebuild();
  Lists after = neighbours_of(idx);
  EXPECT_TRUE(after.back().empty());
  after.pop_back();
  EXPECT_EQ(after, before);
  EXPECT_EQ(idx.entry(), 40u);
}

TEST(VamanaIndexTest, StartPointsAreTheEntryAndEvenlySpacedNodes) {
  // Without edges the beam holds exactly the start points.
  auto starts = [](size_t n) {
    VamanaIndex idx = index_of(make_vectors(n, 3, 11, false), 8);
    std::vector<float> q = {1.0f, -0.5f, 0.25f};
    auto beam = idx.beam_search(q, 100);
    std::vector<uint64_t> nodes;
    for (size_t t = 0; t < beam.size(); ++t) {
      nodes.push_back(beam[t].node);
      EXPECT_EQ(beam[t].score, dot_f32(q.data(), idx.nodes()[beam[t].node].vector.data(), 3));
      if (t > 0) {
        EXPECT_GE(beam[t - 1].score, beam[t].score);
      }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
  };
  EXPECT_EQ(starts(1), (std::vector<uint64_t>{0}));
  EXPECT_EQ(starts(99), (std::vector<uint64_t>{0}));
  EXPECT_EQ(starts(250), (std::vector<uint64_t>{0, 125}));
  EXPECT_EQ(starts(900), (std::vector<uint64_t>{0, 100, 200, 300, 400, 500, 600, 700, 800}));
  EXPECT_EQ(starts(5000).size(), 10u);
}

TEST(VamanaIndexTest, SearchReturnsRawScoresOwnerZeroAndWidensTheBeamForLargeK) {
  VamanaIndex one(2, 16, 1.2f);
  EXPECT_TRUE(one.search(std::vector<float>{1, 1}, 3, std::nullopt).empty());
  one.insert(42, 9, std::vector<float>{2, 3});
  auto hit = one.search(std::vector<float>{1, 1}, 3, 9);
  ASSERT_EQ(hit.size(), 1u);
  EXPECT_EQ(hit[0].id, 42u);
  EXPECT_EQ(hit[0].owner, 0u);
  EXPECT_EQ(hit[0].score, 5.0f);  // not scaled by the dimension

  // A complete graph (R = n - 1) sees every node, so search is exact.
  const Vectors v = make_vectors(30, 6, 2, false);
  VamanaIndex full = index_of(v, 29, 100);
  full.rebuild();
  const std::vector<float> q = make_vectors(1, 6, 77, false)[0];
  std::vector<std::pair<uint64_t, float>> exact;
  for (size_t i = 0; i < v.size(); ++i) exact.emplace_back(100 + i, dot_f32(q.data(), v[i].data(), 6));
  stable_sort_desc(exact, [](const auto& p) { return p.second; });
  const auto got = full.search(q, 5, std::nullopt);
  ASSERT_EQ(got.size(), 5u);
  for (size_t t = 0; t < 5; ++t) {
    EXPECT_EQ(got[t].id, exact[t].first);
    EXPECT_EQ(got[t].score, exact[t].second);
  }
  EXPECT_EQ(full.search_cascade(q, 5, 3, nullptr, nullptr).size(), 5u);

  // With R = 2 a beam of 2R would hold 4; k = 10 widens it to 20.
  VamanaIndex narrow = index_of(v, 2);
  narrow.rebuild();
  EXPECT_LE(narrow.beam_search(q, 4).size(), 4u);
  EXPECT_EQ(narrow.search(q, 10, std::nullopt).size(), 10u);
  EXPECT_TRUE(narrow.search(q, 0, std::nullopt).empty());
}

TEST(VamanaIndexTest, InsertUsesTheMeanVectorAndSkipsKeysOfAnotherDimension) {
  VamanaIndex idx(2, 4, 1.2f);
  idx.insert(1, 0, encode_per_token_key({{1, 2}, {3, 4}}));
  ASSERT_EQ(idx.len(), 1u);
  EXPECT_EQ(idx.nodes()[0].vector, (std::vector<float>{2, 3}));

  idx.insert(2, 0, std::vector<float>{1, 2, 3});       // wrong length
  idx.insert(3, 0, std::vector<float>{-1e9f, 0, 0});  // invalid encoded key: no mean vector
  std::vector<float> bad_header = encode_per_token_key({{1, 2}, {3, 4}});
  bad_header[ENCODING_DIM_IDX] = 3.0f;
  idx.insert(4, 0, bad_header);
  EXPECT_EQ(idx.len(), 1u);
  EXPECT_FALSE(idx.add_node(5, std::vector<float>{}));

  // A repeated cell id is refused and the first node is kept as it was.
  EXPECT_FALSE(idx.add_node(1, std::vector<float>{9, 9}));
  idx.insert(1, 0, std::vector<float>{7, 7});
  ASSERT_EQ(idx.len(), 1u);
  EXPECT_EQ(idx.nodes()[0].vector, (std::vector<float>{2, 3}));
  EXPECT_TRUE(idx.add_node(6, std::vector<float>{0, 1}));
  idx.rebuild();
  EXPECT_EQ(idx.search(std::vector<float>{1, 0}, 2, std::nullopt).size(), 2u);

  idx.remove(1);
  EXPECT_EQ(idx.len(), 2u);
}

// ---------------------------------------------------------------------------
// The file.

void put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(std::vector<uint8_t>& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
std::vector<uint8_t> header(uint32_t version, uint32_t dim, uint32_t r, uint64_t entry, uint64_t n) {
  std::vector<uint8_t> b = {'V', 'A', 'M', 'G'};
  put32(b, version);
  put32(b, dim);
  put32(b, r);
  put64(b, entry);
  put64(b, n);
  return b;
}
void record(std::vector<uint8_t>& b, uint64_t id, std::vector<uint64_t> nbs) {
  put64(b, id);
  put32(b, static_cast<uint32_t>(nbs.size()));
  for (uint64_t nb : nbs) put64(b, nb);
}

using VectorMap = std::unordered_map<uint64_t, std::vector<float>>;

std::string load_error(const std::string& dir, const VectorMap& map = {}) {
  auto r = VamanaIndex::load(dir, map);
  if (r.ok()) return "loaded";
  return r.error().message;
}

TEST(VamanaFileTest, SaveWritesTheGoldenBytesAndLoadRestoresTheGraph) {
  test::TempDir dir;
  const VectorMap map = {{10, {1, 0}}, {20, {0, 1}}, {30, {1, 1}}};
  VamanaIndex idx(2, 1, 1.2f);
  for (uint64_t id : {10, 20, 30}) idx.add_node(id, map.at(id));
  idx.rebuild();
  ASSERT_TRUE(idx.save(dir.path()).ok());

  std::vector<uint8_t> want = header(1, 2, 1, 30, 3);
  record(want, 10, {30});
  record(want, 20, {30});
  record(want, 30, {10});  // equal scores: the lower index first
  EXPECT_EQ(test::read_bytes(dir.file("vamana.idx")), want);
  EXPECT_FALSE(platform::exists(dir.file("vamana.idx.tmp")).value());

  auto loaded = VamanaIndex::load(dir.path(), map);
  ASSERT_TRUE(loaded.ok());
  ASSERT_TRUE(loaded->has_value());
  const VamanaIndex& back = **loaded;
  EXPECT_EQ(back.dim(), 2u);
  EXPECT_EQ(back.r(), 1u);
  EXPECT_EQ(back.alpha(), 1.2f);
  EXPECT_EQ(back.entry(), idx.entry());
  ASSERT_EQ(back.len(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back.nodes()[i].cell_id, idx.nodes()[i].cell_id);
    EXPECT_EQ(back.nodes()[i].vector, idx.nodes()[i].vector);
    EXPECT_EQ(back.nodes()[i].neighbours, idx.nodes()[i].neighbours);
  }

  // A graph without nodes has no entry: all ones.
  ASSERT_TRUE(VamanaIndex(4, 16, 1.2f).save(dir.path()).ok());
  EXPECT_EQ(test::read_bytes(dir.file("vamana.idx")), header(1, 4, 16, UINT64_MAX, 0));
}

TEST(VamanaFileTest, LargerGraphRoundTripsAndSearchesAlike) {
  test::TempDir dir;
  const Vectors v = make_vectors(300, 16, 9, false);
  VamanaIndex idx = index_of(v, 8, 1000);
  idx.rebuild();
  ASSERT_TRUE(idx.save(dir.path()).ok());
  VectorMap map;
  for (size_t i = 0; i < v.size(); ++i) map[1000 + i] = v[i];
  auto loaded = VamanaIndex::load(dir.path(), map);
  ASSERT_TRUE(loaded.ok() && loaded->has_value());
  EXPECT_EQ(neighbours_of(**loaded), neighbours_of(idx));
  const auto a = idx.search(v[17], 10, std::nullopt);
  const auto b = (*loaded)->search(v[17], 10, std::nullopt);
  ASSERT_EQ(a.size(), b.size());
  for (size_t t = 0; t < a.size(); ++t) EXPECT_EQ(a[t].id, b[t].id);
}

TEST(VamanaFileTest, LoadDropsUnknownIdsAndZeroFillsMissingVectors) {
  test::TempDir dir;
  EXPECT_FALSE(VamanaIndex::load(dir.path(), {}).value().has_value());

  std::vector<uint8_t> b = header(1, 3, 2, 77, 2);  // entry 77 is not a node
  record(b, 5, {99, 6, 5});
  record(b, 6, {});
  test::write_bytes(dir.file("vamana.idx"), b);
  auto loaded = VamanaIndex::load(dir.path(), {{6, {1, 2, 3}}});
  ASSERT_TRUE(loaded.ok() && loaded->has_value());
  const VamanaIndex& g = **loaded;
  EXPECT_FALSE(g.entry().has_value());
  EXPECT_EQ(g.nodes()[0].vector, (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(g.nodes()[0].neighbours, (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(g.nodes()[1].vector, (std::vector<float>{1, 2, 3}));
  // Without an entry the search starts at node 0.
  EXPECT_EQ(g.beam_search(std::vector<float>{1, 1, 1}, 4).size(), 2u);
}

TEST(VamanaFileTest, DamagedFilesAreErrorsNotCrashes) {
  test::TempDir dir;
  const std::string path = dir.file("vamana.idx");
  std::vector<uint8_t> good = header(1, 2, 4, 1, 2);
  record(good, 1, {2});
  record(good, 2, {1});
  // A file cut anywhere is reported as a short read.
  for (size_t len = 0; len < good.size(); ++len) {
    test::write_bytes(path, std::vector<uint8_t>(good.begin(), good.begin() + static_cast<ptrdiff_t>(len)));
    SCOPED_TRACE(len);
    EXPECT_EQ(load_error(dir.path()), "failed to fill whole buffer");
  }
  test::write_bytes(path, good);
  EXPECT_EQ(load_error(dir.path()), "loaded");

  std::vector<uint8_t> magic = good;
  magic[3] = 'X';
  test::write_bytes(path, magic);
  EXPECT_EQ(load_error(dir.path()), "bad vamana magic");
  test::write_bytes(path, header(2, 2, 4, 1, 0));
  EXPECT_EQ(load_error(dir.path()), "unsupported vamana version");

  // Counts far beyond the file fail at once instead of allocating.
  test::write_bytes(path, header(1, 2, 4, 1, uint64_t{1} << 62));
  EXPECT_EQ(load_error(dir.path()), "failed to fill whole buffer");
  std::vector<uint8_t> many = header(1, 2, 4, 1, 1);
  put64(many, 1);
  put32(many, 0xFFFFFFFFu);
  test::write_bytes(path, many);
  EXPECT_EQ(load_error(dir.path()), "failed to fill whole buffer");

  std::vector<uint8_t> dup = header(1, 2, 4, 1, 2);
  record(dup, 1, {});
  record(dup, 1, {});
  test::write_bytes(path, dup);
  EXPECT_EQ(load_error(dir.path()), "duplicate CellId 1 in VamanaIndex");

  // A damaged dimension cannot make the load zero-fill gigabytes.
  std::vector<uint8_t> wide = header(1, 0xFFFFFFFFu, 4, 1, 1);
  record(wide, 1, {});
  test::write_bytes(path, wide);
  EXPECT_EQ(load_error(dir.path()), "vamana graph too large to load");
  EXPECT_EQ(load_error(dir.path(), {{1, {1, 2}}}), "loaded");

  auto as_engine = EngineError(VamanaIndex::load(dir.path(), {}).error());
  EXPECT_EQ(as_engine.kind(), EngineError::Kind::StorageIo);
}

TEST(VamanaFileTest, SaveReplacesTheFileOnlyAfterTheNewOneIsDurable) {
  test::TempDir dir;
  VamanaIndex old_graph = index_of(make_vectors(5, 2, 1, false), 2);
  old_graph.rebuild();
  ASSERT_TRUE(old_graph.save(dir.path()).ok());
  const auto old_bytes = test::read_bytes(dir.file("vamana.idx"));

  VamanaIndex next = index_of(make_vectors(9, 2, 2, false), 2, 50);
  next.rebuild();
  // The file sync, then the directory sync after the rename.
  platform::fault::arm(platform::fault::Op::Sync, 1000);
  ASSERT_TRUE(next.save(dir.path()).ok());
  EXPECT_EQ(platform::fault::calls(platform::fault::Op::Sync), 2u);
  EXPECT_EQ(platform::fault::calls(platform::fault::Op::Rename), 1u);
  platform::fault::disarm();
  const auto new_bytes = test::read_bytes(dir.file("vamana.idx"));
  ASSERT_TRUE(old_graph.save(dir.path()).ok());

  struct Fault {
    platform::fault::Op op;
    bool short_write;
  };
  for (Fault f : {Fault{platform::fault::Op::Write, true}, Fault{platform::fault::Op::Sync, false},
                  Fault{platform::fault::Op::Rename, false}}) {
    platform::fault::arm(f.op, 1, EIO, f.short_write);
    auto r = next.save(dir.path());
    platform::fault::disarm();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(test::read_bytes(dir.file("vamana.idx")), old_bytes);
    EXPECT_FALSE(platform::exists(dir.file("vamana.idx.tmp")).value());
  }
  ASSERT_TRUE(next.save(dir.path()).ok());
  EXPECT_EQ(test::read_bytes(dir.file("vamana.idx")), new_bytes);
}

}  // namespace
}  // namespace qvn
