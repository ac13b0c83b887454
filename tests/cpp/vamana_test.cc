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
  // Vectors of unequal length score over the common prefix.
  const Vectors v = {{1, 2, 3}, {4}, {0, 5}, {-1, -1, 9}};
  EXPECT_EQ(vamana_build::exhaustive_neighbours(spans(v), 2, vamana_build::best_kernel()), reference_build(v, 2));
}

TEST(VamanaIndexTest, EntryIsTheFirstNodeClosestToTheCentroid) {
  VamanaIndex idx(2, 4, 1.2f);
  idx.compute_entry();
  EXPECT_FALSE(idx.entry().has_value());
  idx.add_node(7, std::vector<float>{NAN, 0});
  idx.add_node(8, std::vector<float>{1, 1});
  idx.compute_entry();
  EXPECT_EQ(idx.entry(), 0u);  // a NaN centroid scores NaN everywhere: node 0
  VamanaIndex plain(2, 4, 1.2f);
  for (uint64_t id : {1, 2, 3}) plain.add_node(id, id == 1 ? std::vector<float>{0, 1} : std::vector<float>{3, 0});
  plain.compute_entry();
  EXPECT_EQ(plain.entry(), 1u);  // equal maxima: the first wins

  // A rebuild over nodes that all have edges builds none for the newcomer
  // and only moves the entry.
  Vectors v = make_vectors(40, 8, 5, false);
  VamanaIndex g = index_of(v, 4);
  g.rebuild();
  const Lists before = neighbours_of(g);
  ASSERT_TRUE(g.add_node(1000, std::vector<float>(8, 1000.0f)));
  g.rebuild();
  Lists after = neighbours_of(g);
  EXPECT_TRUE(after.back().empty());
  after.pop_back();
  EXPECT_EQ(after, before);
  EXPECT_EQ(g.entry(), 40u);
}

TEST(VamanaIndexTest, SearchInsertAndRemove) {
  VamanaIndex idx(2, 2, 1.2f);
  EXPECT_TRUE(idx.search(std::vector<float>{1, 1}, 3, std::nullopt).empty());
  idx.insert(1, 9, encode_per_token_key({{1, 2}, {3, 4}}));  // stored as its mean (2, 3)
  idx.insert(2, 0, std::vector<float>{1, 2, 3});              // wrong length
  idx.insert(3, 0, std::vector<float>{-1e9f, 0, 0});          // invalid encoded key: no mean vector
  EXPECT_FALSE(idx.add_node(1, std::vector<float>{9, 9}));   // a repeated id keeps the first node
  EXPECT_FALSE(idx.add_node(5, std::vector<float>{}));
  ASSERT_EQ(idx.len(), 1u);
  // Raw scores, owner 0 whatever the filter.
  auto hit = idx.search(std::vector<float>{1, 1}, 3, 9);
  ASSERT_EQ(hit.size(), 1u);
  EXPECT_TRUE(hit[0].id == 1 && hit[0].owner == 0 && hit[0].score == 5.0f);
  // With R = 2 a beam of 2R would hold 4; k = 10 widens it to 20.
  VamanaIndex narrow = index_of(make_vectors(30, 6, 2, false), 2);
  narrow.rebuild();
  const std::vector<float> q = make_vectors(1, 6, 77, false)[0];
  EXPECT_EQ(narrow.search(q, 10, std::nullopt).size(), 10u);
  EXPECT_TRUE(narrow.search(q, 0, std::nullopt).empty());
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
  ASSERT_TRUE(loaded.ok() && loaded->has_value());
  const VamanaIndex& back = **loaded;
  EXPECT_TRUE(back.dim() == 2 && back.r() == 1 && back.alpha() == 1.2f && back.entry() == idx.entry());
  EXPECT_EQ(neighbours_of(back), neighbours_of(idx));
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(back.nodes()[i].vector, idx.nodes()[i].vector);

  // A graph without nodes has no entry: all ones.
  ASSERT_TRUE(VamanaIndex(4, 16, 1.2f).save(dir.path()).ok());
  EXPECT_EQ(test::read_bytes(dir.file("vamana.idx")), header(1, 4, 16, UINT64_MAX, 0));
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
    ASSERT_EQ(load_error(dir.path()), "failed to fill whole buffer") << len;
  }
  std::vector<uint8_t> magic = good, many = header(1, 2, 4, 1, 1), dup = header(1, 2, 4, 1, 2),
                       wide = header(1, 0xFFFFFFFFu, 4, 1, 1);
  magic[3] = 'X';
  put64(many, 1);
  put32(many, 0xFFFFFFFFu);  // neighbour count far beyond the file
  record(dup, 1, {});
  record(dup, 1, {});
  record(wide, 1, {});  // a damaged dimension must not make the load zero-fill gigabytes
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {good, "loaded"},
      {magic, "bad vamana magic"},
      {header(2, 2, 4, 1, 0), "unsupported vamana version"},
      {header(1, 2, 4, 1, uint64_t{1} << 62), "failed to fill whole buffer"},  // fails at once, no allocation
      {many, "failed to fill whole buffer"},
      {dup, "duplicate CellId 1 in VamanaIndex"},
      {wide, "vamana graph too large to load"}};
  for (const auto& [bytes, error] : cases) {
    test::write_bytes(path, bytes);
    EXPECT_EQ(load_error(dir.path()), error);
  }
  EXPECT_EQ(load_error(dir.path(), {{1, {1, 2}}}), "loaded");
  EXPECT_EQ(EngineError(VamanaIndex::load(dir.path(), {}).error()).kind(), EngineError::Kind::StorageIo);
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
}

}  // namespace
}  // namespace qvn
