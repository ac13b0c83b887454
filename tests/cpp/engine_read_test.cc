// Engine reads and the pack lifecycle: score weights and result order, owner
// filters in every read and listing, trace boost and follow, governance
// decay, eviction and scheduled actions.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <set>
#include <type_traits>

#include "retrieval/key_view.h"
#include "support/engine_fixture.h"

namespace qvn {
namespace {

using test::importance_of;
using test::open_engine;
using test::vec;
using test::write_pack;

const PackHit& hit_of(const std::vector<PackHit>& hits, PackId pack) {
  auto it = std::find_if(hits.begin(), hits.end(), [&](const PackHit& h) { return h.pack_id == pack; });
  EXPECT_NE(it, hits.end()) << "pack " << pack;
  return *it;
}

// Packs with one key have the same raw score, so the ratio of their scores is
// exactly the weighting. The Draft pack is written first and wins the raw
// tie; the weights must reorder the hits.
TEST(EngineScoreTest, PackScoreUsesTierAfterBumpAndRecencyOfAge) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId draft = write_pack(e, 1, vec(16, 1), 0);       // 5, Draft
  PackId validated = write_pack(e, 1, vec(16, 1), 78);  // 83, Validated
  auto first = e.mem_read_pack(vec(16, 1), 2, std::nullopt);
  ASSERT_EQ(first->size(), 2u);
  const float raw = hit_of(*first, draft).score;
  EXPECT_EQ((*first)[0].pack_id, validated);
  EXPECT_EQ((*first)[0].tier, 2);  // 86 after the bump: Core
  EXPECT_EQ((*first)[0].score, 1.25f * raw);
  EXPECT_EQ((*first)[1].tier, 0);

  e.advance_days(30);
  auto aged = e.mem_read_pack(vec(16, 1), 2, std::nullopt);
  const float recency = std::exp(30.0f / -30.0f);
  EXPECT_EQ(hit_of(*aged, draft).score, 1.0f * (recency * raw));
  EXPECT_EQ(hit_of(*aged, validated).score, 1.25f * (recency * raw));

  // Cells are weighted by the tier before the bump.
  CellId cell_draft = *e.mem_write(1, 0, vec(16, 4), {}, 0, std::nullopt);
  CellId cell_validated = *e.mem_write(1, 0, vec(16, 4), {}, 78, std::nullopt);
  auto cells = e.mem_read(vec(16, 4), 2, std::nullopt);
  ASSERT_EQ(cells->size(), 2u);
  EXPECT_EQ((*cells)[0].cell.cell_id, cell_validated);
  EXPECT_EQ((*cells)[0].tier, Tier::Validated);
  EXPECT_EQ((*cells)[1].cell.cell_id, cell_draft);
  EXPECT_EQ((*cells)[0].score, (*cells)[1].score * 1.1f);
  EXPECT_EQ(e.governance().get(cell_validated)->tier, Tier::Core);
}

// The pack is found through its view key, which has no governance entry
// before a refresh: it is reported once, unweighted, and the head's
// importance is left alone.
TEST(EngineReadTest, TwoCandidatesOfOnePackGiveOneHitFromTheBetter) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId viewed = write_pack(e, 1, vec(16, 1));
  PackId other = write_pack(e, 1, vec(16, 5));
  ASSERT_EQ(*e.add_view_keys(viewed, {vec(16, 2)}), 1u);
  auto hits = e.mem_read_pack(vec(16, 2), 2, std::nullopt);
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].pack_id, viewed);
  EXPECT_EQ((*hits)[0].tier, 0);
  EXPECT_EQ((*hits)[1].pack_id, other);
  EXPECT_EQ(importance_of(e, viewed), 55.0f);
  EXPECT_EQ(importance_of(e, other), 58.0f);
  ASSERT_EQ((*hits)[0].layers.size(), 2u);  // the view-key cell is no layer
  EXPECT_EQ((*hits)[0].layers[0].layer_idx, 1);
}

// With and without the graph stage (which reports owner 0), every read and
// listing returns the asked owner's entries only.
TEST(EngineReadTest, OwnerFilterHoldsForEveryReadAndStage) {
  for (uint64_t threshold : {uint64_t{1}, DEFAULT_VAMANA_THRESHOLD}) {
    test::TempDir dir;
    Engine e = open_engine(dir.path(), threshold);
    for (int i = 0; i < 8; ++i) {
      const OwnerId owner = static_cast<OwnerId>(1 + i % 2);
      write_pack(e, owner, vec(16, i));
      ASSERT_TRUE(e.mem_write(owner, 0, encode_token_matrix(vec(16, i + 20), 2, 8), {}, 50, std::nullopt).ok());
    }
    ASSERT_TRUE(e.refresh().ok());
    ASSERT_EQ(e.has_vamana(), threshold == 1);
    for (OwnerId owner : {1u, 2u}) {
      SCOPED_TRACE("owner " + std::to_string(owner) + " threshold " + std::to_string(threshold));
      std::vector<OwnerId> seen;
      auto cells = e.mem_read(vec(16, 1), 16, owner);
      auto tokens = e.mem_read_tokens(vec(16, 21), 2, 8, 16, owner);
      auto packs = e.mem_read_pack(vec(16, 1), 8, owner);
      auto boosted = e.mem_read_pack_with_trace_boost(vec(16, 1), 8, owner, 1.0f);
      for (const CellHit& h : *cells) seen.push_back(h.cell.owner);
      for (const CellHit& h : *tokens) seen.push_back(h.cell.owner);
      for (const PackHit& h : *packs) seen.push_back(h.owner);
      for (const PackHit& h : *boosted) seen.push_back(h.owner);
      for (const PackSummary& p : e.list_packs(owner)) seen.push_back(p.owner);
      EXPECT_TRUE(!cells->empty() && !tokens->empty() && !packs->empty() && !boosted->empty());
      EXPECT_EQ(std::count(seen.begin(), seen.end(), owner), static_cast<long>(seen.size()));
    }
  }
}

// One line per hit, scores by their bits, so two runs compare exactly.
template <class Hit>
std::string describe(const Result<std::vector<Hit>>& hits) {
  if (!hits.ok()) return "error " + hits.error().to_string();
  std::string out;
  for (const Hit& h : *hits) {
    if constexpr (std::is_same_v<Hit, PackHit>) {
      out += "pack " + std::to_string(h.pack_id) + " owner " + std::to_string(h.owner) + " tier " +
             std::to_string(h.tier);
    } else {
      out += "cell " + std::to_string(h.cell.cell_id) + " owner " + std::to_string(h.cell.owner);
    }
    out += " score " + std::to_string(std::bit_cast<uint32_t>(h.score)) + "\n";
  }
  return out;
}

std::vector<float> scaled(std::vector<float> v, float by) {
  for (float& x : v) x *= by;
  return v;
}

// Owner 1 keeps fewer entries of each kind than a read asks for, and owner 2
// then writes many keys that score above owner 1's against every query (so
// the recent-key buffer, and with the graph stage the graph, offer owner 2's
// entries first). Owner 1's filtered reads must come out the same as in a
// directory where owner 2 wrote nothing: ids, scores and tiers, through every
// read path and for single-vector and multi-token keys alike.
TEST(EngineReadTest, AnotherOwnersWritesNeverChangeAnOwnersFilteredReads) {
  const std::vector<float> single = vec(16, 1), single_cell = vec(16, 2);
  const std::vector<float> tokens = vec(16, 3), tokens_cell = vec(16, 4);
  const auto multi = [](const std::vector<float>& rows) { return encode_token_matrix(rows, 2, 8); };
  for (uint64_t threshold : {uint64_t{1}, DEFAULT_VAMANA_THRESHOLD}) {
    std::vector<std::string> runs[2];
    for (bool crowded : {false, true}) {
      SCOPED_TRACE("threshold " + std::to_string(threshold) + (crowded ? " crowded" : " alone"));
      test::TempDir dir;
      Engine e = open_engine(dir.path(), threshold);
      const PackId a = write_pack(e, 1, single), b = write_pack(e, 1, scaled(single, 0.5f));
      const PackId c = write_pack(e, 1, multi(tokens));
      ASSERT_TRUE(e.add_pack_edge(a, c, 1).ok());
      ASSERT_NE(b, 0u);
      ASSERT_TRUE(e.mem_write(1, 0, single_cell, {1.0f}, 50, std::nullopt).ok());
      ASSERT_TRUE(e.mem_write(1, 0, multi(tokens_cell), {1.0f}, 50, std::nullopt).ok());
      if (crowded) {
        for (int i = 0; i < 60; ++i) {
          const float by = 2.0f + 0.01f * static_cast<float>(i);
          write_pack(e, 2, scaled(single, by));
          write_pack(e, 2, multi(scaled(tokens, by)));
          ASSERT_TRUE(e.mem_write(2, 0, scaled(single_cell, by), {1.0f}, 50, std::nullopt).ok());
          ASSERT_TRUE(e.mem_write(2, 0, multi(scaled(tokens_cell, by)), {1.0f}, 50, std::nullopt).ok());
        }
      }
      ASSERT_TRUE(e.refresh().ok());
      ASSERT_EQ(e.has_vamana(), threshold == 1);
      std::vector<std::string>& got = runs[crowded];
      for (int round = 0; round < 2; ++round) {  // the second round reads bumped entries
        got.push_back(describe(e.mem_read_pack(single, 4, OwnerId{1})));
        got.push_back(describe(e.mem_read_pack(multi(tokens), 4, OwnerId{1})));
        got.push_back(describe(e.mem_read_pack_with_trace_boost(single, 4, OwnerId{1}, 1.0f)));
        got.push_back(describe(e.mem_read_pack_with_trace_boost_and_follow(multi(tokens), 1, OwnerId{1}, 1.0f)));
        got.push_back(describe(e.mem_read(single_cell, 6, OwnerId{1})));
        got.push_back(describe(e.mem_read(multi(tokens_cell), 6, OwnerId{1})));
        got.push_back(describe(e.mem_read_tokens(tokens_cell, 2, 8, 6, OwnerId{1})));
      }
      auto linked = e.mem_write_pack_with_auto_link(test::pack_req(1, single), 0.0f);
      ASSERT_TRUE(linked.ok());
      got.push_back("linked " + std::to_string(linked->second.size() == 1 ? linked->second[0] : 0));
      for (const std::string& r : got) EXPECT_NE(r, "") << "a read found none of owner 1's entries";
    }
    for (size_t i = 0; i < runs[0].size(); ++i) EXPECT_EQ(runs[0][i], runs[1][i]) << "read " << i;
  }
}

TEST(EngineTraceBoostTest, BoostByLinkCountZeroKAndFollow) {
  {
    // k = 0 returns nothing but still gathers (and bumps) ten candidates.
    test::TempDir dir;
    Engine e = open_engine(dir.path());
    std::vector<PackId> packs;
    for (int i = 0; i < 12; ++i) packs.push_back(write_pack(e, 1, vec(16, i), 0));
    EXPECT_TRUE(e.mem_read_pack(vec(16, 0), 0, std::nullopt)->empty());
    EXPECT_TRUE(e.mem_read_pack_with_trace_boost(vec(16, 0), 0, std::nullopt, 1.0f)->empty());
    EXPECT_EQ(std::count_if(packs.begin(), packs.end(), [&](PackId p) { return importance_of(e, p) != 5.0f; }), 10);
  }
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  // Drafts at age 0 throughout: recency and tier factor are 1.
  const PackId a = write_pack(e, 1, vec(16, 1), 0), b = write_pack(e, 1, vec(16, 2), 0);
  const PackId c = write_pack(e, 1, vec(16, 3), 0), lone = write_pack(e, 1, vec(16, 4), 0);
  ASSERT_TRUE(e.add_pack_edge(a, b, 1).ok());
  ASSERT_TRUE(e.add_pack_edge(c, a, 3).ok());
  auto plain = e.mem_read_pack(vec(16, 1), 4, std::nullopt);
  auto boosted = e.mem_read_pack_with_trace_boost(vec(16, 1), 4, std::nullopt, 0.5f);
  ASSERT_EQ(boosted->size(), 4u);
  EXPECT_EQ(hit_of(*boosted, a).score, hit_of(*plain, a).score * 2.0f);
  EXPECT_EQ(hit_of(*boosted, b).score, hit_of(*plain, b).score * 1.5f);
  EXPECT_EQ(hit_of(*boosted, lone).score, hit_of(*plain, lone).score);
  EXPECT_EQ(e.mem_read_pack_with_trace_boost(vec(16, 1), 2, std::nullopt, NAN)->size(), 2u);

  const float before_b = importance_of(e, b);
  auto followed = e.mem_read_pack_with_trace_boost_and_follow(vec(16, 1), 1, std::nullopt, 0.0f);
  ASSERT_EQ(followed->size(), 3u);
  EXPECT_EQ((*followed)[0].pack_id, a);
  EXPECT_EQ((std::set<PackId>{(*followed)[1].pack_id, (*followed)[2].pack_id}), (std::set<PackId>{b, c}));
  EXPECT_EQ((*followed)[1].score + (*followed)[2].score, 0.0f);
  // Bumped once among the ten gathered candidates, once more when followed.
  EXPECT_EQ(importance_of(e, b), before_b + 6.0f);

  // A link into another owner's pack: followed without an owner, skipped
  // (and left unbumped) when the read is for a's owner.
  PackId other = write_pack(e, 2, vec(16, 99), 0);
  ASSERT_TRUE(e.add_pack_edge(a, other, 1).ok());
  EXPECT_EQ(e.mem_read_pack_with_trace_boost_and_follow(vec(16, 1), 1, std::nullopt, 0.0f)->size(), 4u);
  const float before_other = importance_of(e, other);
  auto own = e.mem_read_pack_with_trace_boost_and_follow(vec(16, 1), 1, OwnerId{1}, 0.0f);
  ASSERT_EQ(own->size(), 3u);
  for (const PackHit& h : *own) EXPECT_EQ(h.owner, 1u) << h.pack_id;
  EXPECT_EQ(importance_of(e, other), before_other);
}

TEST(EngineReadTest, LoadByIdTokenReadsAndLimits) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId p = write_pack(e, 7, vec(16, 1), 90);  // 95, Core
  for (float want : {98.0f, 100.0f, 100.0f}) {
    auto hit = e.load_pack_by_id(p);
    EXPECT_EQ(hit->score, 0.0f);
    EXPECT_EQ(hit->tier, 2);
    EXPECT_EQ(hit->owner, 7u);
    EXPECT_EQ(importance_of(e, p), want);
  }
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(e.mem_write(1, 0, encode_token_matrix(vec(16, i), 8, 2), {}, 50, std::nullopt).ok());
  }
  const std::vector<float> q = vec(16, 2);
  auto by_rows = e.mem_read_tokens(q, 8, 2, 3, std::nullopt);
  auto by_key = e.mem_read(encode_token_matrix(q, 8, 2), 3, std::nullopt);
  ASSERT_EQ(by_rows->size(), 3u);
  ASSERT_EQ(by_key->size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ((*by_rows)[i].cell.cell_id, (*by_key)[i].cell.cell_id);
    EXPECT_EQ((*by_rows)[i].score, (*by_key)[i].score);
  }
  // A count product that wraps must not pass the length check.
  EXPECT_TRUE(e.mem_read_tokens(q, (uint64_t{1} << 63) + 8, 2, 3, std::nullopt)->empty());  // wraps to 16
  EXPECT_TRUE(e.mem_read_tokens(q, 2, 0, 3, std::nullopt)->empty());
  EXPECT_TRUE(e.mem_read({}, 3, std::nullopt)->empty());
  // A huge k saturates every candidate pool.
  EXPECT_EQ(e.mem_read(vec(16, 0), UINT64_MAX, std::nullopt)->size(), 1u);
  EXPECT_EQ(e.mem_read_pack(vec(16, 0), UINT64_MAX, std::nullopt)->size(), 1u);
  EXPECT_EQ(e.mem_read_pack_with_trace_boost(vec(16, 0), UINT64_MAX, std::nullopt, 1.0f)->size(), 1u);
}

TEST(GovernanceTest, DecayHysteresisAndNan) {
  struct Case { float importance; Tier tier; std::vector<float> steps; float want; Tier want_tier; };
  const Case cases[] = {
      {70, Tier::Validated, {0.5f, 0.5f}, 69.65f, Tier::Validated},
      {70, Tier::Validated, {0.7f}, 70.0f, Tier::Validated},  // only whole-day boundaries decay
      {70, Tier::Validated, {0.7f, 0.5f, -0.5f, 0.5f}, 70.0f * 0.995f * 0.995f, Tier::Validated},
      {36, Tier::Validated, {1}, 35.82f, Tier::Validated},
      {61, Tier::Core, {1}, 60.695f, Tier::Core},
      {60.2f, Tier::Core, {1}, 59.899f, Tier::Validated},
      {50, Tier::Draft, {-3}, 50, Tier::Draft},
      {50, Tier::Draft, {NAN}, 50, Tier::Draft},
      {50, Tier::Draft, {1e9f}, 50 * decay_factor(10000), Tier::Draft},  // capped at 10000 days
      {NAN, Tier::Core, {1}, 0, Tier::Draft},  // a stored NaN must not stick
  };
  for (const Case& c : cases) {
    GovernanceEntry g{c.importance, 0.0f, c.tier};
    for (float d : c.steps) advance_entry(g, d);
    EXPECT_NEAR(g.importance, c.want, 1e-4) << c.importance << " steps " << c.steps.size();
    EXPECT_EQ(g.tier, c.want_tier) << c.importance;
  }
  EXPECT_EQ(decay_factor(3), 0.995f * 0.995f * 0.995f);
  for (float start : {NAN, 99.0f}) {
    GovernanceEntry g{start, 0.0f, Tier::Draft};
    access_bump(g);
    EXPECT_EQ(g.importance, 100.0f);
    EXPECT_EQ(g.tier, Tier::Core);
  }
}

TEST(EngineLifecycleTest, ListingViewsDeletionEvictionAndLinks) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId a = write_pack(e, 1, vec(16, 1));
  PackId b = write_pack(e, 2, vec(16, 2));
  PackId c = write_pack(e, 1, vec(16, 3));
  ASSERT_EQ(*e.add_view_keys(a, {vec(16, 4), vec(16, 5)}), 2u);
  EXPECT_EQ(*e.view_count(a), 2u);
  EXPECT_EQ(e.view_count(99).error().to_string(), "pack not found: 99");
  EXPECT_EQ(e.delete_pack(99).error().to_string(), "pack not found: 99");
  EXPECT_EQ(e.add_pack_edge(a, 77, 1).error().to_string(), "pack not found: 77");

  // Equal importances list in ascending pack id; higher importance first.
  auto all = e.list_packs(std::nullopt);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(std::vector<PackId>({all[0].pack_id, all[1].pack_id, all[2].pack_id}), std::vector<PackId>({a, b, c}));
  ASSERT_TRUE(e.load_pack_by_id(c).ok());  // 58 now: first
  EXPECT_EQ(e.list_packs(OwnerId{1})[0].pack_id, c);
  EXPECT_EQ(e.list_packs(OwnerId{1})[0].importance, 58.0f);

  ASSERT_TRUE(e.add_pack_edge(a, c, 3).ok());
  EXPECT_EQ(e.pack_links(a, 3), std::vector<PackId>{c});
  EXPECT_TRUE(e.pack_links(a, 2).empty());
  EXPECT_EQ(e.pack_links(c, 4), std::vector<PackId>{a});
  auto linked = e.mem_write_pack_with_auto_link(test::pack_req(1, vec(16, 1)), -1e30f);
  ASSERT_TRUE(linked.ok());
  EXPECT_EQ(linked->second.size(), 1u);

  EXPECT_EQ(*e.delete_owner(1), 3u);
  EXPECT_EQ(e.owners(), (std::set<OwnerId>{2}));
  EXPECT_TRUE(e.list_packs(OwnerId{1}).empty());

  // Eviction takes Drafts strictly below the threshold, of the owner asked.
  PackId draft = write_pack(e, 3, vec(16, 6), 10);  // 15, Draft
  write_pack(e, 3, vec(16, 7), 60);                 // 65, Validated
  EXPECT_EQ(*e.evict_draft_packs(15.0f, std::nullopt), 0u);
  EXPECT_EQ(*e.evict_draft_packs(15.5f, OwnerId{2}), 0u);
  EXPECT_EQ(*e.evict_draft_packs(90.0f, OwnerId{3}), 1u);
  EXPECT_EQ(e.pack_directory().cells(draft), nullptr);
  EXPECT_EQ(e.pack_count(), 2u);
  ASSERT_TRUE(e.delete_pack(b).ok());
  EXPECT_EQ(e.owners(), (std::set<OwnerId>{3}));
}

TEST(EngineLifecycleTest, FireDueScheduledRunsThenRemoves) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId doomed = write_pack(e, 1, vec(16, 1), 0);
  PackId kept = write_pack(e, 2, vec(16, 2), 0);
  ASSERT_TRUE(e.scheduler().schedule(EvictDraft{1, 50.0f}, WallTime{10, 0}).ok());
  const std::string before = test::read_text(dir.file("scheduled_actions.json"));
  EXPECT_EQ(*e.fire_due_scheduled(9'999'999'999ull), 0u);
  EXPECT_EQ(test::read_text(dir.file("scheduled_actions.json")), before);
  EXPECT_EQ(*e.fire_due_scheduled(10'000'000'000ull), 1u);
  EXPECT_EQ(e.pack_directory().cells(doomed), nullptr);
  EXPECT_NE(e.pack_directory().cells(kept), nullptr);
  EXPECT_TRUE(e.scheduler().entries().empty());
  EXPECT_EQ(*e.fire_due_scheduled(20'000'000'000ull), 0u);
}

}  // namespace
}  // namespace qvn
