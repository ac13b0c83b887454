#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>

#include "engine/engine.h"
#include "retrieval/key_view.h"
#include "support/engine_fixture.h"
#include "support/temp_dir.h"

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

// Two packs with one key have the same raw score, so the ratio of their
// scores is exactly the weighting.
TEST(EngineScoreTest, PackScoreUsesTierAfterBumpAndRecencyOfAge) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId validated = write_pack(e, 1, vec(16, 1), 78);  // 83, Validated
  PackId draft = write_pack(e, 1, vec(16, 1), 0);       // 5, Draft
  auto first = e.mem_read_pack(vec(16, 1), 2, std::nullopt);
  ASSERT_TRUE(first.ok());
  ASSERT_EQ(first->size(), 2u);
  const float raw = hit_of(*first, draft).score;
  EXPECT_EQ(hit_of(*first, draft).tier, 0);
  EXPECT_EQ(hit_of(*first, validated).tier, 2);  // 86 after the bump: Core
  EXPECT_EQ(hit_of(*first, validated).score, 1.25f * raw);
  EXPECT_EQ((*first)[0].pack_id, validated);

  e.advance_days(30);
  auto aged = e.mem_read_pack(vec(16, 1), 2, std::nullopt);
  ASSERT_TRUE(aged.ok());
  const float recency = std::exp(30.0f / -30.0f);
  EXPECT_EQ(hit_of(*aged, draft).score, 1.0f * (recency * raw));
  EXPECT_EQ(hit_of(*aged, validated).score, 1.25f * (recency * raw));
}

TEST(EngineScoreTest, CellScoreUsesTierBeforeBump) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  CellId validated = *e.mem_write(1, 0, vec(16, 4), {}, 78, std::nullopt);
  CellId draft = *e.mem_write(1, 0, vec(16, 4), {}, 0, std::nullopt);
  auto hits = e.mem_read(vec(16, 4), 2, std::nullopt);
  ASSERT_TRUE(hits.ok());
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].cell.cell_id, validated);
  EXPECT_EQ((*hits)[0].tier, Tier::Validated);
  EXPECT_EQ((*hits)[1].cell.cell_id, draft);
  EXPECT_EQ((*hits)[0].score, (*hits)[1].score * 1.1f);
  EXPECT_EQ(e.governance().get(validated)->tier, Tier::Core);
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
  ASSERT_TRUE(hits.ok());
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].pack_id, viewed);
  EXPECT_EQ((*hits)[0].tier, 0);
  EXPECT_EQ((*hits)[1].pack_id, other);
  EXPECT_EQ(importance_of(e, viewed), 55.0f);
  EXPECT_EQ(importance_of(e, other), 58.0f);
  ASSERT_EQ((*hits)[0].layers.size(), 2u);  // the view-key cell is no layer
  EXPECT_EQ((*hits)[0].layers[0].layer_idx, 1);
}

TEST(EngineTraceBoostTest, ZeroKStillBumpsTenPacks) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  std::vector<PackId> packs;
  for (int i = 0; i < 12; ++i) packs.push_back(write_pack(e, 1, vec(16, i), 0));
  auto bumped = [&] {
    return std::count_if(packs.begin(), packs.end(),
                         [&](PackId p) { return importance_of(e, p) != 5.0f; });
  };
  EXPECT_TRUE(e.mem_read_pack(vec(16, 0), 0, std::nullopt)->empty());
  EXPECT_TRUE(e.mem_read(vec(16, 0), 0, std::nullopt)->empty());
  EXPECT_EQ(bumped(), 0);
  auto hits = e.mem_read_pack_with_trace_boost(vec(16, 0), 0, std::nullopt, 1.0f);
  ASSERT_TRUE(hits.ok());
  EXPECT_TRUE(hits->empty());
  EXPECT_EQ(bumped(), 10);
}

TEST(EngineTraceBoostTest, BoostByLinkCountAndFollow) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId a = write_pack(e, 1, vec(16, 1), 0);
  PackId b = write_pack(e, 1, vec(16, 2), 0);
  PackId c = write_pack(e, 1, vec(16, 3), 0);
  PackId lone = write_pack(e, 1, vec(16, 4), 0);
  ASSERT_TRUE(e.add_pack_edge(a, b, 1).ok());
  ASSERT_TRUE(e.add_pack_edge(c, a, 3).ok());
  // Draft at age 0 throughout: recency and tier factor are 1.
  auto plain = e.mem_read_pack(vec(16, 1), 4, std::nullopt);
  auto boosted = e.mem_read_pack_with_trace_boost(vec(16, 1), 4, std::nullopt, 0.5f);
  ASSERT_TRUE(plain.ok() && boosted.ok());
  ASSERT_EQ(boosted->size(), 4u);
  EXPECT_EQ(hit_of(*boosted, a).score, hit_of(*plain, a).score * 2.0f);
  EXPECT_EQ(hit_of(*boosted, b).score, hit_of(*plain, b).score * 1.5f);
  EXPECT_EQ(hit_of(*boosted, lone).score, hit_of(*plain, lone).score);

  auto nan = e.mem_read_pack_with_trace_boost(vec(16, 1), 2, std::nullopt, NAN);
  ASSERT_TRUE(nan.ok());
  EXPECT_EQ(nan->size(), 2u);

  const float before_b = importance_of(e, b);
  auto followed = e.mem_read_pack_with_trace_boost_and_follow(vec(16, 1), 1, std::nullopt, 0.0f);
  ASSERT_TRUE(followed.ok());
  ASSERT_EQ(followed->size(), 3u);
  EXPECT_EQ((*followed)[0].pack_id, a);
  std::set<PackId> tail{(*followed)[1].pack_id, (*followed)[2].pack_id};
  EXPECT_EQ(tail, (std::set<PackId>{b, c}));
  EXPECT_EQ((*followed)[1].score, 0.0f);
  EXPECT_EQ((*followed)[2].score, 0.0f);
  // Bumped once among the ten gathered candidates, once more when followed.
  EXPECT_EQ(importance_of(e, b), before_b + 6.0f);

  // A link into another owner's pack: followed without an owner, skipped
  // (and left unbumped) when the read is for a's owner.
  PackId other = write_pack(e, 2, vec(16, 9), 0);
  ASSERT_TRUE(e.add_pack_edge(a, other, 1).ok());
  auto all = e.mem_read_pack_with_trace_boost_and_follow(vec(16, 1), 1, std::nullopt, 0.0f);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->size(), 4u);
  const float before_other = importance_of(e, other);
  auto own = e.mem_read_pack_with_trace_boost_and_follow(vec(16, 1), 1, OwnerId{1}, 0.0f);
  ASSERT_TRUE(own.ok());
  ASSERT_EQ(own->size(), 3u);
  for (const PackHit& h : *own) EXPECT_EQ(h.owner, 1u) << h.pack_id;
  EXPECT_EQ(importance_of(e, other), before_other);
}

TEST(EngineReadTest, LoadByIdBumpsToTheCapWithScoreZero) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId p = write_pack(e, 7, vec(16, 1), 90);  // 95, Core
  for (float want : {98.0f, 100.0f, 100.0f}) {
    auto hit = e.load_pack_by_id(p);
    ASSERT_TRUE(hit.ok());
    EXPECT_EQ(hit->score, 0.0f);
    EXPECT_EQ(hit->tier, 2);
    EXPECT_EQ(hit->owner, 7u);
    EXPECT_EQ(importance_of(e, p), want);
  }
}

TEST(EngineReadTest, TokenMatrixReadMatchesEncodedKeyRead) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  for (int i = 0; i < 4; ++i) {
    std::vector<float> rows = vec(16, i);
    ASSERT_TRUE(e.mem_write(1, 0, encode_token_matrix(rows, 2, 8), {}, 50, std::nullopt).ok());
  }
  const std::vector<float> q = vec(16, 2);
  auto by_rows = e.mem_read_tokens(q, 2, 8, 3, std::nullopt);
  auto by_key = e.mem_read(encode_token_matrix(q, 2, 8), 3, std::nullopt);
  ASSERT_TRUE(by_rows.ok() && by_key.ok());
  ASSERT_EQ(by_rows->size(), 3u);
  ASSERT_EQ(by_key->size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ((*by_rows)[i].cell.cell_id, (*by_key)[i].cell.cell_id);
    EXPECT_EQ((*by_rows)[i].score, (*by_key)[i].score);
  }
  // A count product that wraps must not pass the length check.
  EXPECT_TRUE(e.mem_read_tokens(q, uint64_t{1} << 63, 2, 3, std::nullopt)->empty());
  EXPECT_TRUE(e.mem_read_tokens(q, 2, 0, 3, std::nullopt)->empty());
}

TEST(EngineReadTest, HugeKSaturatesEveryPool) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  for (int i = 0; i < 3; ++i) write_pack(e, 1, vec(16, i));
  const uint64_t k = UINT64_MAX;
  EXPECT_EQ(e.mem_read(vec(16, 0), k, std::nullopt)->size(), 3u);
  EXPECT_EQ(e.mem_read_pack(vec(16, 0), k, std::nullopt)->size(), 3u);
  EXPECT_TRUE(e.mem_read_pack(encode_token_matrix(vec(16, 0), 2, 8), k, std::nullopt).ok());
  EXPECT_EQ(e.mem_read_pack_with_trace_boost(vec(16, 0), k, std::nullopt, 1.0f)->size(), 3u);
}

// The graph stage reports owner 0; a filtered read must still hold.
TEST(EngineReadTest, CellOwnerFilterHoldsWithGraphStage) {
  test::TempDir dir;
  Engine e = open_engine(dir.path(), 1);
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(e.mem_write(static_cast<OwnerId>(1 + i % 2), 0, vec(16, i), {}, 50, std::nullopt).ok());
  }
  ASSERT_TRUE(e.refresh().ok());
  ASSERT_TRUE(e.has_vamana());
  auto hits = e.mem_read(vec(16, 1), 8, OwnerId{2});
  ASSERT_TRUE(hits.ok());
  EXPECT_FALSE(hits->empty());
  for (const CellHit& h : *hits) EXPECT_EQ(h.cell.owner, 2u);
}

}  // namespace
}  // namespace qvn
