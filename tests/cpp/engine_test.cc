#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "core/fault.h"
#include "engine/engine.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

std::vector<float> vec(size_t d, float seed) {
  std::vector<float> v(d);
  for (size_t i = 0; i < d; ++i) v[i] = std::sin(seed * 1.7f + static_cast<float>(i) * 0.31f);
  return v;
}

PackWriteRequest pack_req(OwnerId owner, std::vector<float> key, float salience = 50.0f,
                          std::optional<std::string> text = std::nullopt) {
  PackWriteRequest r;
  r.owner = owner;
  r.retrieval_key = std::move(key);
  r.layers = {{3, vec(8, 3.0f)}, {1, vec(8, 1.0f)}};
  r.salience = salience;
  r.text = std::move(text);
  return r;
}

Engine open_engine(const std::string& dir, uint64_t threshold = DEFAULT_VAMANA_THRESHOLD,
                   std::optional<uint64_t> segment_size = std::nullopt) {
  auto e = Engine::open(dir, threshold, segment_size);
  EXPECT_TRUE(e.ok()) << e.error().to_string();
  return std::move(e).value();
}

TEST(EngineOpenTest, FreshDirectoryAndIdsAcrossReopen) {
  test::TempDir dir;
  std::string path = dir.file("db");
  {
    Engine e = open_engine(path);
    for (const char* f : {"segment_000000.qvn", "trace.wal", "synaptic.qvn"}) {
      EXPECT_TRUE(std::filesystem::exists(path + "/" + f)) << f;
    }
    EXPECT_EQ(*e.mem_write_pack(pack_req(1, vec(16, 1))), 1u);
    EXPECT_EQ(*e.mem_write(1, 0, vec(16, 2), vec(4, 2), 10, std::nullopt), 3u);
    EXPECT_EQ(*e.mem_write_pack(pack_req(2, vec(16, 3), 50, "hello")), 2u);
  }
  Engine e = open_engine(path);
  EXPECT_EQ(e.next_pack_id(), 3u);
  EXPECT_EQ(e.next_cell_id(), 7u);
  auto hit = e.load_pack_by_id(2);
  ASSERT_TRUE(hit.ok());
  EXPECT_EQ(hit->owner, 2u);
  EXPECT_EQ(hit->text, "hello");
  ASSERT_EQ(hit->layers.size(), 2u);
  EXPECT_EQ(hit->layers[0].layer_idx, 1);  // ascending, head excluded
  EXPECT_EQ(hit->layers[1].layer_idx, 3);
  EXPECT_EQ(e.load_pack_by_id(9).error().to_string(), "pack not found: 9");
}

TEST(EngineOpenTest, StandaloneCellAtTheViewKeyLayerIsNoPack) {
  test::TempDir dir;
  {
    Engine e = open_engine(dir.path());
    ASSERT_TRUE(e.mem_write(1, VIEW_KEY_LAYER, vec(8, 1), {}, 50, std::nullopt).ok());
    EXPECT_EQ(e.pack_count(), 0u);
  }
  Engine e = open_engine(dir.path());
  EXPECT_EQ(e.pack_count(), 0u);
  EXPECT_TRUE(e.list_packs(std::nullopt).empty());
  EXPECT_FALSE(e.load_pack_by_id(0).ok());
  EXPECT_EQ(*e.mem_write_pack(pack_req(1, vec(8, 2))), 1u);
}

TEST(EngineWriteTest, ImportanceAndTierFromSalience) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  struct Case { float salience, importance; Tier tier; };
  for (Case c : {Case{NAN, 100, Tier::Core}, Case{80, 85, Tier::Core}, Case{60, 65, Tier::Validated},
                 Case{-10, 5, Tier::Draft}, Case{1000, 100, Tier::Core}}) {
    CellId id = *e.mem_write(1, 0, vec(8, c.salience), {}, c.salience, std::nullopt);
    const GovernanceEntry* g = e.governance().get(id);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->importance, c.importance);
    EXPECT_EQ(g->tier, c.tier);
  }
}

// A pack write stores its text, then its cells. When it dies between the two
// (the second write fails here; a kill leaves the same files) the pack must
// not come back half: neither the pack without its text nor the text alone.
TEST(EngineWriteTest, PackWriteDyingBetweenTextAndCellsLeavesNothingVisible) {
  test::TempDir dir;
  for (bool buffered : {false, true}) {
    std::string path = dir.file(buffered ? "wb" : "direct");
    {
      auto opened = buffered ? Engine::open_with_write_buffer(path, 1, 0)
                             : Engine::open(path, DEFAULT_VAMANA_THRESHOLD, std::nullopt);
      ASSERT_TRUE(opened.ok());
      Engine& e = *opened;
      platform::fault::arm(platform::fault::Op::Write, 2, EIO);
      auto r = e.mem_write_pack(pack_req(1, vec(16, 1), 50, "lost"));
      const bool fired = platform::fault::fired();
      platform::fault::disarm();
      ASSERT_TRUE(fired);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(e.text_store().get(1), nullptr);
      EXPECT_EQ(e.pack_count(), 0u);
    }
    Engine e = open_engine(path);
    EXPECT_EQ(e.pack_count(), 0u) << buffered;
    EXPECT_EQ(e.text_store().get(1), nullptr);
    // The orphan text's id is not handed out again.
    auto next = e.mem_write_pack(pack_req(1, vec(16, 2)));
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(*next, 2u);
    auto hit = e.load_pack_by_id(*next);
    ASSERT_TRUE(hit.ok());
    EXPECT_FALSE(hit->text.has_value());
  }
}

TEST(EngineDeleteTest, DeletedPacksNeverComeBackAndIdsAreNotReused) {
  test::TempDir dir;
  // A small segment size puts each pack in its own segment so compaction can
  // drop the deleted one whole.
  {
    Engine e = open_engine(dir.path(), DEFAULT_VAMANA_THRESHOLD, 200);
    ASSERT_TRUE(e.mem_write_pack(pack_req(1, vec(16, 1))).ok());
    PackId doomed = *e.mem_write_pack(pack_req(1, vec(16, 2), 50, "bye"));
    ASSERT_TRUE(e.mem_write(1, 0, vec(16, 5), vec(4, 5), 50, std::nullopt).ok());
    ASSERT_TRUE(e.delete_pack(doomed).ok());
    EXPECT_EQ(e.pack_count(), 1u);
    auto stats = e.compact();
    ASSERT_TRUE(stats.ok()) << stats.error().to_string();
    EXPECT_GE(stats->segments_compacted, 1u);
  }
  Engine e = open_engine(dir.path());
  EXPECT_EQ(e.pack_count(), 1u);
  EXPECT_FALSE(e.load_pack_by_id(2).ok());
  auto hits = e.mem_read_pack(vec(16, 2), 5, std::nullopt);
  ASSERT_TRUE(hits.ok());
  for (const PackHit& h : *hits) EXPECT_NE(h.pack_id, 2u);
  // The deleted pack's id stays used even though its cells are gone.
  EXPECT_EQ(*e.mem_write_pack(pack_req(1, vec(16, 9))), 3u);
  // The standalone cell survived compaction.
  auto cells = e.mem_read(vec(16, 5), 1, std::nullopt);
  ASSERT_TRUE(cells.ok());
  ASSERT_EQ(cells->size(), 1u);
  EXPECT_EQ((*cells)[0].cell.pack_id, 0u);
}

TEST(EngineVamanaTest, ActivationLoadAndDamagedFile) {
  test::TempDir dir;
  {
    Engine e = open_engine(dir.path(), 1);
    ASSERT_TRUE(e.mem_write(1, 0, vec(16, 1), {}, 50, std::nullopt).ok());
    EXPECT_TRUE(e.has_vamana());
    EXPECT_EQ(e.pipeline_stage_count(), 3u);
    ASSERT_TRUE(e.mem_write_pack(pack_req(2, vec(16, 2))).ok());
  }
  std::string idx = dir.file("vamana.idx");
  struct stat before, after;
  {
    Engine e = open_engine(dir.path(), 1);  // graph is stale: rebuilt
    ASSERT_TRUE(e.has_vamana());
  }
  ASSERT_EQ(::stat(idx.c_str(), &before), 0);
  {
    Engine e = open_engine(dir.path(), 1);  // unchanged directory: loaded
    ASSERT_TRUE(e.has_vamana());
  }
  ASSERT_EQ(::stat(idx.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  test::truncate_to(idx, 10);
  Engine e = open_engine(dir.path(), 1);
  EXPECT_TRUE(e.has_vamana());
  EXPECT_GT(test::size_of(idx), 10u);
}

TEST(EngineReadTest, OwnerFilterHoldsForEveryStage) {
  test::TempDir dir;
  Engine e = open_engine(dir.path(), 1);
  std::vector<CellId> mine;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(e.mem_write_pack(pack_req(static_cast<OwnerId>(1 + i % 2), vec(16, i))).ok());
  }
  ASSERT_TRUE(e.refresh().ok());  // activates the graph stage over the packs
  ASSERT_TRUE(e.has_vamana());
  for (OwnerId owner : {1u, 2u}) {
    auto hits = e.mem_read_pack(vec(16, 0), 6, owner);
    ASSERT_TRUE(hits.ok());
    EXPECT_FALSE(hits->empty());
    for (const PackHit& h : *hits) EXPECT_EQ(h.owner, owner);
  }
  auto all = e.mem_read_pack(vec(16, 0), 6, std::nullopt);
  for (const PackHit& h : *all) EXPECT_NE(h.owner, 0u);
}

TEST(EngineReadTest, AccessBumpTierAndScoreWeights) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  CellId id = *e.mem_write(1, 0, vec(8, 1), vec(4, 1), 78, std::nullopt);  // 83, Validated
  auto hits = e.mem_read(vec(8, 1), 1, std::nullopt);
  ASSERT_TRUE(hits.ok());
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].tier, Tier::Validated);
  const GovernanceEntry* g = e.governance().get(id);
  EXPECT_EQ(g->importance, 86.0f);
  EXPECT_EQ(g->tier, Tier::Core);
  EXPECT_TRUE(e.mem_read({}, 3, std::nullopt)->empty());
  EXPECT_TRUE(e.mem_read_tokens(vec(5, 1), 2, 3, 3, std::nullopt)->empty());
}

TEST(GovernanceTest, DecayAndHysteresis) {
  struct Case { float importance; Tier tier; float days; int steps; float want; Tier want_tier; };
  for (Case c : {Case{70, Tier::Validated, 0.5f, 2, 69.65f, Tier::Validated},
                 Case{36, Tier::Validated, 1, 1, 35.82f, Tier::Validated},
                 Case{61, Tier::Core, 1, 1, 60.695f, Tier::Core},
                 Case{60.2f, Tier::Core, 1, 1, 59.899f, Tier::Validated}}) {
    GovernanceEntry g{c.importance, 0.0f, c.tier};
    for (int i = 0; i < c.steps; ++i) advance_entry(g, c.days);
    EXPECT_NEAR(g.importance, c.want, 1e-4);
    EXPECT_EQ(g.tier, c.want_tier);
  }
  GovernanceEntry g{50, 0, Tier::Draft};
  advance_entry(g, -3);
  EXPECT_EQ(g.importance, 50);
  advance_entry(g, 1e9f);  // capped at 10000 days of decay
  EXPECT_EQ(g.importance, 50 * decay_factor(10000));
  // Square-and-multiply matches repeated multiplication for small powers.
  EXPECT_EQ(decay_factor(3), 0.995f * 0.995f * 0.995f);
}

TEST(EngineLinkTest, LinksAutoLinkAndWriteBuffer) {
  test::TempDir dir;
  {
    Engine e = open_engine(dir.path());
    PackId a = *e.mem_write_pack(pack_req(1, vec(16, 1)));
    PackId b = *e.mem_write_pack(pack_req(1, vec(16, 2)));
    ASSERT_TRUE(e.add_pack_edge(a, b, 3).ok());
    EXPECT_EQ(e.pack_links(a, 3), std::vector<PackId>{b});
    EXPECT_TRUE(e.pack_links(a, 2).empty());
    EXPECT_EQ(e.pack_links(b, 4), std::vector<PackId>{a});
    EXPECT_EQ(e.add_pack_edge(a, 77, 1).error().to_string(), "pack not found: 77");
    auto linked = e.mem_write_pack_with_auto_link(pack_req(1, vec(16, 1)), -1e30f);
    ASSERT_TRUE(linked.ok());
    EXPECT_EQ(linked->second.size(), 1u);
  }
  auto buffered = Engine::open_with_write_buffer(dir.file("wb"), 10, 0);
  ASSERT_TRUE(buffered.ok());
  Engine& e = *buffered;
  ASSERT_TRUE(e.mem_write_pack(pack_req(1, vec(16, 1))).ok());
  EXPECT_EQ(e.pack_count(), 0u);  // still buffered
  ASSERT_TRUE(e.flush_buffer().ok());
  auto linked = e.mem_write_pack_with_auto_link(pack_req(1, vec(16, 1)), -1e30f);
  ASSERT_TRUE(linked.ok()) << linked.error().to_string();
  EXPECT_EQ(linked->second, std::vector<PackId>{1});
  EXPECT_EQ(e.pack_count(), 2u);
}

TEST(EngineLifecycleTest, EvictionListingAndStatus) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  ASSERT_TRUE(e.mem_write_pack(pack_req(1, vec(16, 1), 0)).ok());   // 5, Draft
  ASSERT_TRUE(e.mem_write_pack(pack_req(2, vec(16, 2), 70)).ok());  // 75, Validated
  EXPECT_EQ(e.list_packs(std::nullopt).front().pack_id, 2u);
  EXPECT_EQ(*e.evict_draft_packs(0, std::nullopt), 0u);
  EXPECT_EQ(*e.evict_draft_packs(100, std::nullopt), 1u);
  EXPECT_EQ(e.owners(), (std::set<OwnerId>{2}));
  EngineStatus s = e.status();
  EXPECT_EQ(s.pack_count, 1u);
  EXPECT_EQ(s.cell_count, 6u);
  EXPECT_EQ(s.pipeline_stages, 2u);
  EXPECT_EQ(s.arena_bytes_per_cell, s.arena_bytes / 6);
}

}  // namespace
}  // namespace qvn
