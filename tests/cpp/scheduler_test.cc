#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/fault.h"
#include "engine/schedule_file.h"
#include "engine/scheduler.h"
#include "support/engine_fixture.h"

namespace qvn {
namespace {

namespace fault = platform::fault;
using test::put;
using test::read_text;

std::string parse_error(const std::string& json) {
  auto r = read_schedule_file(json);
  return r.ok() ? "<ok>" : r.error();
}

std::vector<uint64_t> ids(const std::vector<ScheduledEntry>& entries) {
  std::vector<uint64_t> out;
  for (const auto& e : entries) out.push_back(e.id);
  return out;
}

std::string entry_json(uint64_t id, const std::string& nanos, uint64_t owner, const std::string& threshold) {
  return "    {\n      \"id\": " + std::to_string(id) + ",\n      \"fires_at_unix_nanos\": " + nanos +
         ",\n      \"action\": {\n        \"EvictDraft\": {\n          \"owner\": " + std::to_string(owner) +
         ",\n          \"threshold\": " + threshold + "\n        }\n      }\n    }";
}

const std::string kExample = "{\n  \"next_id\": 2,\n  \"entries\": [\n" + entry_json(1, "0", 7, "15.0") + "\n  ]\n}";

TEST(SchedulerTest, FileBytesIdsOrderAndReload) {
  test::TempDir tmp;
  const std::string file = tmp.file("scheduled_actions.json");
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  // Removals that remove nothing do not write.
  EXPECT_FALSE(*s->cancel(3));
  ASSERT_TRUE(s->remove_fired({1, 2}).ok());
  EXPECT_FALSE(*platform::exists(file));

  EXPECT_EQ(*s->schedule(EvictDraft{7, 15.0f}, WallTime{}), 1u);
  EXPECT_EQ(read_text(file), kExample);
  EXPECT_FALSE(*platform::exists(file + ".tmp"));
  ASSERT_TRUE(s->schedule(EvictDraft{8, 0.1f}, WallTime{5, 6}).ok());
  EXPECT_EQ(read_text(file), "{\n  \"next_id\": 3,\n  \"entries\": [\n" + entry_json(1, "0", 7, "15.0") + ",\n" +
                                 entry_json(2, "5000000006", 8, "0.1") + "\n  ]\n}");
  ASSERT_TRUE(*s->cancel(1));
  ASSERT_TRUE(*s->cancel(2));
  EXPECT_EQ(read_text(file), "{\n  \"next_id\": 3,\n  \"entries\": []\n}");

  // Listing is stable by fire time; due is inclusive and changes nothing.
  for (auto [owner, secs, nanos] : {std::tuple{1, 20, 0}, {2, 10, 5}, {3, 10, 5}, {4, 10, 6}}) {
    ASSERT_TRUE(s->schedule(EvictDraft{static_cast<OwnerId>(owner), 1}, WallTime{secs, static_cast<uint32_t>(nanos)}).ok());
  }
  EXPECT_EQ(ids(s->list()), (std::vector<uint64_t>{4, 5, 6, 3}));
  EXPECT_EQ(ids(s->due(WallTime{10, 5})), (std::vector<uint64_t>{4, 5}));
  EXPECT_TRUE(s->due(WallTime{10, 4}).empty());
  EXPECT_EQ(s->entries().size(), 4u);
  ASSERT_TRUE(s->remove_fired({4, 5, 99}).ok());
  auto reloaded = Scheduler::load(tmp.path());
  ASSERT_TRUE(reloaded.ok());
  EXPECT_EQ(ids(reloaded->entries()), (std::vector<uint64_t>{3, 6}));
  EXPECT_EQ(reloaded->entries()[1].fires_at, (WallTime{10, 6}));
  EXPECT_EQ(*reloaded->schedule(EvictDraft{1, 1.0f}, WallTime{1, 0}), 7u);

  // Unknown keys, any member order and arrays for records load; a save
  // writes the one shape. A next_id of 0 starts at 1.
  put(file, "{\"entries\":[{\"id\":1,\"note\":\"x\",\"fires_at_unix_nanos\":0,\"action\":{\"EvictDraft\":"
            "{\"owner\":7,\"threshold\":15}}}],\"next_id\":2,\"version\":3}");
  ASSERT_TRUE(Scheduler::load(tmp.path())->save().ok());
  EXPECT_EQ(read_text(file), kExample);
  put(file, R"([0, [[1, 0, {"EvictDraft": [7, 15.0]}]]])");
  EXPECT_EQ(Scheduler::load(tmp.path())->next_id(), 1u);
}

TEST(SchedulerTest, FireTimesAndThresholdsAtTheEdges) {
  test::TempDir tmp;
  const std::string file = tmp.file("scheduled_actions.json");
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  // Unstorable values are refused before an id is taken.
  const float inf = std::numeric_limits<float>::infinity();
  const std::string prefix = "snapshot integrity check failed: scheduled_actions.json serialize error: ";
  const std::pair<float, const char*> bad[] = {{NAN, "NaN"}, {inf, "inf"}, {-inf, "-inf"}};
  for (auto [threshold, name] : bad) {
    EXPECT_EQ(s->schedule(EvictDraft{1, threshold}, WallTime{}).error().to_string(),
              prefix + "threshold must be a finite number, got " + name);
  }
  // A fire time of 2^64 ns or later would read back as the epoch.
  EXPECT_EQ(s->schedule(EvictDraft{1, 10.0f}, WallTime{18446744073, 709551616}).error().to_string(),
            prefix + "fire time must be before 2^64 nanoseconds since the Unix epoch, got 18446744073 s");
  EXPECT_EQ(s->next_id(), 1u);
  EXPECT_FALSE(*platform::exists(file));
  EXPECT_EQ(*s->schedule(EvictDraft{1, 1}, WallTime{18446744073, 709551615}), 1u);
  EXPECT_EQ(Scheduler::load(tmp.path())->entries()[0].fires_at, (WallTime{18446744073, 709551615}));
  ASSERT_TRUE(*s->cancel(1));
  ASSERT_TRUE(s->schedule(EvictDraft{1, 1}, WallTime{-5, 3}).ok());  // before the epoch: stored as 0
  EXPECT_NE(read_text(file).find("\"fires_at_unix_nanos\": 0,"), std::string::npos);

  auto with = [](const std::string& nanos, const std::string& threshold) {
    return "{\"next_id\":2,\"entries\":[{\"id\":1,\"fires_at_unix_nanos\":" + nanos +
           ",\"action\":{\"EvictDraft\":{\"owner\":1,\"threshold\":" + threshold + "}}}]}";
  };
  for (const char* big : {"18446744073709551616", "340282366920938463463374607431768211455"}) {
    put(file, with(big, "1"));
    EXPECT_EQ(Scheduler::load(tmp.path())->entries()[0].fires_at, WallTime{}) << big;
  }
  // Beyond float range reads as infinity and is saved as the largest form.
  put(file, with("0", "-1e39"));
  auto far = Scheduler::load(tmp.path());
  EXPECT_EQ(std::get<EvictDraft>(far->entries()[0].action).threshold, -inf);
  ASSERT_TRUE(far->save().ok());
  EXPECT_NE(read_text(file).find("\"threshold\": -4e38\n"), std::string::npos);
  put(file, with("0", "0.1000000000000000055511151231257827"));
  EXPECT_EQ(std::get<EvictDraft>(Scheduler::load(tmp.path())->entries()[0].action).threshold, 0.1f);
}

TEST(SchedulerTest, FailedSaveKeepsThePreviousFileAndRetryWritesEverything) {
  test::TempDir tmp;
  const std::string path = tmp.file("scheduled_actions.json");
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(s->schedule(EvictDraft{7, 15}, WallTime{}).ok());
  const std::string before = read_text(path);
  // The temporary file's sync comes before the rename: failing either leaves
  // the file untouched; the entry stays in memory with its id.
  for (fault::Op op : {fault::Op::Rename, fault::Op::Sync}) {
    fault::arm(op, 1, EIO);
    auto r = s->schedule(EvictDraft{8, 1}, WallTime{1, 0});
    fault::disarm();
    EXPECT_EQ(r.error().kind(), EngineError::Kind::StorageIo);
    EXPECT_EQ(read_text(path), before);
  }
  EXPECT_EQ(s->entries().size(), 3u);
  // The directory is synced after the rename.
  fault::arm(fault::Op::Sync, 2, EIO);
  EXPECT_FALSE(s->cancel(3).ok());
  fault::disarm();
  EXPECT_NE(read_text(path), before);
  fault::arm(fault::Op::Write, 1, ENOSPC, /*short_write=*/true);
  EXPECT_FALSE(s->cancel(2).ok());
  fault::disarm();
  ASSERT_TRUE(s->save().ok());
  auto reloaded = Scheduler::load(tmp.path());
  EXPECT_EQ(reloaded->next_id(), 4u);
  EXPECT_EQ(ids(reloaded->entries()), std::vector<uint64_t>{1});
}

TEST(SchedulerTest, ReloadTakesTheFilesActionsAndKeepsHandedOutIdsUsed) {
  test::TempDir tmp;
  auto a = Scheduler::load(tmp.path());
  auto b = Scheduler::load(tmp.path());
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(a->schedule(EvictDraft{7, 1}, WallTime{}).ok());
  ASSERT_TRUE(b->reload().ok());
  EXPECT_EQ(*b->schedule(EvictDraft{8, 1}, WallTime{}), 2u);
  ASSERT_TRUE(a->reload().ok());
  EXPECT_EQ(ids(a->entries()), (std::vector<uint64_t>{1, 2}));
  // The file is what the engines share: a change it never received is
  // dropped, but its id was handed out and is not handed out again here.
  fault::arm(fault::Op::Rename, 1, EIO);
  EXPECT_FALSE(a->schedule(EvictDraft{9, 1}, WallTime{}).ok());
  fault::disarm();
  ASSERT_TRUE(a->reload().ok());
  EXPECT_EQ(ids(a->entries()), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(*a->schedule(EvictDraft{9, 1}, WallTime{}), 4u);
  // A file that does not parse fails the reload and changes nothing.
  put(tmp.file("scheduled_actions.json"), "{");
  EXPECT_EQ(b->reload().error().kind(), EngineError::Kind::SnapshotIntegrity);
  EXPECT_EQ(ids(b->entries()), (std::vector<uint64_t>{1, 2}));
}

TEST(ScheduleFileTest, ThresholdIsTheShortestFormThatReadsBack) {
  const std::pair<float, const char*> forms[] = {
      {15.0f, "15.0"}, {0.1f, "0.1"}, {-0.0f, "-0.0"}, {1e12f, "1000000000000.0"}, {1e13f, "1e13"},
      {1e-6f, "0.000001"}, {1e-7f, "1e-7"}, {std::numeric_limits<float>::max(), "3.4028235e38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"}};
  for (auto [f, text] : forms) EXPECT_EQ(format_threshold(f), text);
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    uint32_t bits = rng();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (!std::isfinite(f)) continue;
    auto text = write_schedule_file(ScheduleFile{2, {DiskEntry{1, 0, EvictDraft{1, f}}}});
    auto back = read_schedule_file(*text);
    ASSERT_TRUE(back.ok()) << *text;
    float g = std::get<EvictDraft>(back->entries[0].action).threshold;
    ASSERT_EQ(std::memcmp(&g, &f, sizeof f), 0) << format_threshold(f);
  }
}

TEST(ScheduleFileTest, ErrorsNameTheFieldOrTypeWithPosition) {
  const std::string entry = R"({"next_id":1,"entries":[{"id":1,"fires_at_unix_nanos":0,"action":)";
  const std::pair<std::string, std::string> cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{\n  \"next_id\": 1\n}", "missing field `entries` at line 3 column 1"},
      {R"({"next_id":1,"next_id":2,"entries":[]})", "duplicate field `next_id` at line 1 column 22"},
      {entry + R"({"evict_draft":{"owner":1,"threshold":1}}}]})",
       "unknown variant `evict_draft`, expected `EvictDraft` at line 1 column 79"},
      {entry + R"({"EvictDraft":{"owner":1,"threshold":null}}}]})", "invalid type: null, expected f32 at line 1 column 106"},
      {R"({"next_id":-1,"entries":[]})", "invalid value: integer `-1`, expected u64 at line 1 column 13"},
      {R"({"next_id":1,"entries":{}})", "invalid type: map, expected a sequence at line 1 column 23"},
      {R"([1,[[1,0,{"EvictDraft":[1]}]]])",
       "invalid length 1, expected struct variant ScheduledAction::EvictDraft with 2 elements at line 1 column 26"},
      {R"({"next_id":1,"entries":[],})", "trailing comma at line 1 column 27"},
      {R"({"next_id":1 "entries":[]})", "expected `,` or `}` at line 1 column 14"},
      {R"({"next_id":1,"x":[1,{"a" 1}],"entries":[]})", "expected `:` at line 1 column 26"},
      {R"({"next_id":01,"entries":[]})", "invalid number at line 1 column 13"},
      {entry.substr(0, 54) + "340282366920938463463374607431768211456" + entry.substr(55) + R"({"EvictDraft":{"owner":1,"threshold":1}}}]})",
       "number out of range at line 1 column 93"},
  };
  for (const auto& [json, want] : cases) EXPECT_EQ(parse_error(json), want) << json;

  // Through the scheduler: an invalid file or a directory fails the load.
  test::TempDir tmp;
  put(tmp.file("scheduled_actions.json"), "{}");
  EXPECT_EQ(Scheduler::load(tmp.path()).error().to_string(),
            "snapshot integrity check failed: scheduled_actions.json parse error: missing field `next_id` at line 1 "
            "column 2");
  ASSERT_TRUE(platform::unlink(tmp.file("scheduled_actions.json")).ok());
  ASSERT_TRUE(platform::create_dir(tmp.file("scheduled_actions.json")).ok());
  EXPECT_EQ(Scheduler::load(tmp.path()).error().kind(), EngineError::Kind::StorageIo);
}

}  // namespace
}  // namespace qvn
