#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "engine/engine.h"
#include "support/engine_fixture.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using test::open_engine;
using test::vec;
using test::write_pack;

// min and max ignore a NaN operand, as the write-time rule does for a NaN
// salience; a stored NaN importance must not stick forever.
TEST(GovernanceRuleTest, NanImportanceIsBumpedToTheCapAndDecaysToZero) {
  GovernanceEntry bumped{NAN, 0.0f, Tier::Draft};
  access_bump(bumped);
  EXPECT_EQ(bumped.importance, 100.0f);
  EXPECT_EQ(bumped.tier, Tier::Core);

  GovernanceEntry decayed{NAN, 0.0f, Tier::Core};
  advance_entry(decayed, 1.0f);
  EXPECT_EQ(decayed.importance, 0.0f);
  EXPECT_EQ(decayed.tier, Tier::Draft);

  GovernanceEntry capped{99.0f, 0.0f, Tier::Core};
  access_bump(capped);
  EXPECT_EQ(capped.importance, 100.0f);
}

TEST(GovernanceRuleTest, OnlyWholeDayBoundariesDecay) {
  GovernanceEntry g{70.0f, 0.0f, Tier::Validated};
  advance_entry(g, 0.7f);
  EXPECT_EQ(g.importance, 70.0f);
  advance_entry(g, 0.5f);  // 1.2: one boundary
  EXPECT_EQ(g.importance, 70.0f * 0.995f);
  advance_entry(g, -0.5f);  // back to 0.7: none crossed upwards
  advance_entry(g, 0.5f);   // 1.2 again: whole days 0 -> 1
  EXPECT_EQ(g.importance, 70.0f * 0.995f * 0.995f);
  GovernanceEntry nan_step{50.0f, 3.0f, Tier::Draft};
  advance_entry(nan_step, NAN);
  EXPECT_EQ(nan_step.importance, 50.0f);
}

TEST(EngineLifecycleTest, ViewCountListingAndOwnerDeletion) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId a = write_pack(e, 1, vec(16, 1));
  PackId b = write_pack(e, 2, vec(16, 2));
  PackId c = write_pack(e, 1, vec(16, 3));
  ASSERT_EQ(*e.add_view_keys(a, {vec(16, 4), vec(16, 5)}), 2u);
  EXPECT_EQ(*e.view_count(a), 2u);
  EXPECT_EQ(*e.view_count(b), 0u);
  EXPECT_EQ(e.view_count(99).error().to_string(), "pack not found: 99");
  EXPECT_EQ(e.delete_pack(99).error().to_string(), "pack not found: 99");

  // Equal importances list in ascending pack id.
  auto all = e.list_packs(std::nullopt);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].pack_id, a);
  EXPECT_EQ(all[1].pack_id, b);
  EXPECT_EQ(all[2].pack_id, c);
  ASSERT_TRUE(e.load_pack_by_id(c).ok());  // 58 now: first
  auto mine = e.list_packs(OwnerId{1});
  ASSERT_EQ(mine.size(), 2u);
  EXPECT_EQ(mine[0].pack_id, c);
  EXPECT_EQ(mine[0].importance, 58.0f);
  EXPECT_EQ(mine[0].owner, 1u);

  EXPECT_EQ(*e.delete_owner(1), 2u);
  EXPECT_EQ(e.owners(), (std::set<OwnerId>{2}));
  EXPECT_TRUE(e.list_packs(OwnerId{1}).empty());
  ASSERT_TRUE(e.delete_pack(b).ok());
  EXPECT_TRUE(e.list_packs(std::nullopt).empty());
  EXPECT_TRUE(e.owners().empty());
  EXPECT_EQ(e.governance().size(), 0u);
}

TEST(EngineLifecycleTest, EvictionSkipsValidatedAndStrictThreshold) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId draft = write_pack(e, 1, vec(16, 1), 10);  // 15, Draft
  write_pack(e, 1, vec(16, 2), 60);                 // 65, Validated
  EXPECT_EQ(*e.evict_draft_packs(15.0f, std::nullopt), 0u);
  EXPECT_EQ(*e.evict_draft_packs(15.5f, OwnerId{2}), 0u);
  EXPECT_EQ(*e.evict_draft_packs(90.0f, OwnerId{1}), 1u);
  EXPECT_EQ(e.pack_directory().cells(draft), nullptr);
  EXPECT_EQ(e.pack_count(), 1u);
}

TEST(EngineLifecycleTest, FireDueScheduledRunsThenRemoves) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  PackId doomed = write_pack(e, 1, vec(16, 1), 0);
  PackId kept = write_pack(e, 2, vec(16, 2), 0);
  ASSERT_TRUE(e.scheduler().schedule(EvictDraft{1, 50.0f}, WallTime{10, 0}).ok());
  const std::string file = dir.file("scheduled_actions.json");
  struct stat before, after;
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  EXPECT_EQ(*e.fire_due_scheduled(9'999'999'999ull), 0u);
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // not rewritten

  EXPECT_EQ(*e.fire_due_scheduled(10'000'000'000ull), 1u);
  EXPECT_EQ(e.pack_directory().cells(doomed), nullptr);
  EXPECT_NE(e.pack_directory().cells(kept), nullptr);
  EXPECT_TRUE(e.scheduler().entries().empty());
  EXPECT_EQ(*e.fire_due_scheduled(20'000'000'000ull), 0u);
}

}  // namespace
}  // namespace qvn
