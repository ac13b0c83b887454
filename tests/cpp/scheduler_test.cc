#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/fault.h"
#include "core/platform.h"
#include "engine/schedule_file.h"
#include "engine/scheduler.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

namespace fault = platform::fault;
using test::TempDir;

std::string read_text(const std::string& path) {
  auto b = test::read_bytes(path);
  return std::string(b.begin(), b.end());
}

void write_text(const std::string& path, const std::string& s) {
  test::write_bytes(path, std::vector<uint8_t>(s.begin(), s.end()));
}

std::string parse_error(const std::string& json) {
  auto r = read_schedule_file(json);
  return r.ok() ? "<ok>" : r.error();
}

const std::string kExample =
    "{\n"
    "  \"next_id\": 2,\n"
    "  \"entries\": [\n"
    "    {\n"
    "      \"id\": 1,\n"
    "      \"fires_at_unix_nanos\": 0,\n"
    "      \"action\": {\n"
    "        \"EvictDraft\": {\n"
    "          \"owner\": 7,\n"
    "          \"threshold\": 15.0\n"
    "        }\n"
    "      }\n"
    "    }\n"
    "  ]\n"
    "}";

TEST(SchedulerTest, FirstScheduleCreatesTheFileInItsExactShape) {
  TempDir tmp;
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->next_id(), 1u);
  EXPECT_FALSE(*platform::exists(tmp.file("scheduled_actions.json")));

  auto id = s->schedule(EvictDraft{7, 15.0f}, WallTime{});
  ASSERT_TRUE(id.ok());
  EXPECT_EQ(*id, 1u);
  EXPECT_EQ(read_text(tmp.file("scheduled_actions.json")), kExample);
  EXPECT_FALSE(*platform::exists(tmp.file("scheduled_actions.json.tmp")));

  ASSERT_TRUE(s->schedule(EvictDraft{8, 0.1f}, WallTime{5, 6}).ok());
  const std::string two =
      "{\n  \"next_id\": 3,\n  \"entries\": [\n"
      "    {\n      \"id\": 1,\n      \"fires_at_unix_nanos\": 0,\n      \"action\": {\n"
      "        \"EvictDraft\": {\n          \"owner\": 7,\n          \"threshold\": 15.0\n        }\n      }\n    },\n"
      "    {\n      \"id\": 2,\n      \"fires_at_unix_nanos\": 5000000006,\n      \"action\": {\n"
      "        \"EvictDraft\": {\n          \"owner\": 8,\n          \"threshold\": 0.1\n        }\n      }\n    }\n"
      "  ]\n}";
  EXPECT_EQ(read_text(tmp.file("scheduled_actions.json")), two);

  ASSERT_TRUE(*s->cancel(1));
  ASSERT_TRUE(*s->cancel(2));
  EXPECT_EQ(read_text(tmp.file("scheduled_actions.json")), "{\n  \"next_id\": 3,\n  \"entries\": []\n}");
}

TEST(SchedulerTest, ReloadContinuesIdsAndKeepsEntries) {
  TempDir tmp;
  write_text(tmp.file("scheduled_actions.json"), kExample);
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  ASSERT_EQ(s->entries().size(), 1u);
  EXPECT_EQ(s->entries()[0].id, 1u);
  EXPECT_EQ(s->entries()[0].fires_at, WallTime{});
  EXPECT_EQ(std::get<EvictDraft>(s->entries()[0].action), (EvictDraft{7, 15.0f}));
  EXPECT_EQ(*s->schedule(EvictDraft{1, 1.0f}, WallTime{1, 0}), 2u);

  write_text(tmp.file("scheduled_actions.json"), R"({"next_id": 0, "entries": []})");
  auto zero = Scheduler::load(tmp.path());
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(zero->next_id(), 1u);
}

TEST(SchedulerTest, ListSortsStablyByTimeAndDueIsInclusive) {
  TempDir tmp;
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(s->schedule(EvictDraft{1, 1}, WallTime{20, 0}).ok());
  ASSERT_TRUE(s->schedule(EvictDraft{2, 1}, WallTime{10, 5}).ok());
  ASSERT_TRUE(s->schedule(EvictDraft{3, 1}, WallTime{10, 5}).ok());
  ASSERT_TRUE(s->schedule(EvictDraft{4, 1}, WallTime{10, 6}).ok());
  std::vector<uint64_t> order;
  for (const auto& e : s->list()) order.push_back(e.id);
  EXPECT_EQ(order, (std::vector<uint64_t>{2, 3, 4, 1}));

  std::vector<uint64_t> due;
  for (const auto& e : s->due(WallTime{10, 5})) due.push_back(e.id);
  EXPECT_EQ(due, (std::vector<uint64_t>{2, 3}));
  EXPECT_EQ(s->due(WallTime{10, 4}).size(), 0u);
  EXPECT_EQ(s->due(WallTime{20, 0}).size(), 4u);
  EXPECT_EQ(s->entries().size(), 4u);  // due changes nothing

  ASSERT_TRUE(s->remove_fired({2, 3, 99}).ok());
  EXPECT_EQ(s->entries().size(), 2u);
  auto reloaded = Scheduler::load(tmp.path());
  ASSERT_TRUE(reloaded.ok());
  ASSERT_EQ(reloaded->entries().size(), 2u);
  EXPECT_EQ(reloaded->entries()[0].id, 1u);
  EXPECT_EQ(reloaded->entries()[1].id, 4u);
  EXPECT_EQ(reloaded->entries()[1].fires_at, (WallTime{10, 6}));
  EXPECT_EQ(reloaded->next_id(), 5u);
}

TEST(SchedulerTest, RemovalsThatRemoveNothingDoNotWrite) {
  TempDir tmp;
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  auto unknown = s->cancel(3);
  ASSERT_TRUE(unknown.ok());
  EXPECT_FALSE(*unknown);
  ASSERT_TRUE(s->remove_fired({1, 2}).ok());
  EXPECT_FALSE(*platform::exists(tmp.file("scheduled_actions.json")));
}

TEST(SchedulerTest, TimesOutsideSixtyFourBitNanosMapToTheEpoch) {
  TempDir tmp;
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(s->schedule(EvictDraft{1, 1}, WallTime{-5, 3}).ok());
  EXPECT_NE(read_text(tmp.file("scheduled_actions.json")).find("\"fires_at_unix_nanos\": 0,"), std::string::npos);
  auto before_epoch = Scheduler::load(tmp.path());
  ASSERT_TRUE(before_epoch.ok());
  EXPECT_EQ(before_epoch->due(WallTime{}).size(), 1u);

  auto with_time = [](const std::string& nanos) {
    return "{\"next_id\":2,\"entries\":[{\"id\":1,\"fires_at_unix_nanos\":" + nanos +
           ",\"action\":{\"EvictDraft\":{\"owner\":1,\"threshold\":1}}}]}";
  };
  auto max64 = read_schedule_file(with_time("18446744073709551615"));
  ASSERT_TRUE(max64.ok());
  EXPECT_EQ(max64->entries[0].fires_at_unix_nanos, u128{18446744073709551615ull});

  write_text(tmp.file("scheduled_actions.json"), with_time("18446744073709551615"));
  auto late = Scheduler::load(tmp.path());
  ASSERT_TRUE(late.ok());
  EXPECT_EQ(late->entries()[0].fires_at, (WallTime{18446744073, 709551615}));

  for (const char* big : {"18446744073709551616", "340282366920938463463374607431768211455"}) {
    write_text(tmp.file("scheduled_actions.json"), with_time(big));
    auto epoch = Scheduler::load(tmp.path());
    ASSERT_TRUE(epoch.ok()) << big;
    EXPECT_EQ(epoch->entries()[0].fires_at, WallTime{});
  }
  EXPECT_EQ(parse_error(with_time("340282366920938463463374607431768211456")),
            "number out of range at line 1 column 93");
  EXPECT_EQ(parse_error(with_time("-1")), "number out of range at line 1 column 55");
  EXPECT_EQ(parse_error(with_time("1.5")), "expected `,` or `}` at line 1 column 56");
}

TEST(SchedulerTest, UnstorableThresholdOrFireTimeIsRefusedBeforeAnIdIsTaken) {
  TempDir tmp;
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  const float inf = std::numeric_limits<float>::infinity();
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, static_cast<float>(1e39)};
  const char* names[] = {"NaN", "inf", "-inf", "inf"};
  for (int i = 0; i < 4; ++i) {
    auto r = s->schedule(EvictDraft{1, bad[i]}, WallTime{});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), EngineError::Kind::SnapshotIntegrity);
    EXPECT_EQ(r.error().to_string(),
              std::string("snapshot integrity check failed: scheduled_actions.json serialize error: "
                          "threshold must be a finite number, got ") + names[i]);
  }
  // A fire time of 2^64 ns or later would read back as the epoch.
  for (WallTime far : {WallTime{18446744073, 709551616}, WallTime{INT64_MAX, 0}}) {
    auto r = s->schedule(EvictDraft{1, 10.0f}, far);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(),
              "snapshot integrity check failed: scheduled_actions.json serialize error: fire time must be "
              "before 2^64 nanoseconds since the Unix epoch, got " + std::to_string(far.secs) + " s");
  }
  EXPECT_EQ(s->next_id(), 1u);
  EXPECT_TRUE(s->entries().empty());
  EXPECT_FALSE(*platform::exists(tmp.file("scheduled_actions.json")));
  EXPECT_EQ(*s->schedule(EvictDraft{1, std::numeric_limits<float>::max()}, WallTime{18446744073, 709551615}), 1u);
  EXPECT_TRUE(Scheduler::load(tmp.path()).ok());
}

TEST(SchedulerTest, ThresholdBeyondFloatRangeLoadsAndSavesAsInfinity) {
  TempDir tmp;
  write_text(tmp.file("scheduled_actions.json"),
             R"({"next_id":2,"entries":[{"id":1,"fires_at_unix_nanos":0,"action":{"EvictDraft":{"owner":1,"threshold":-1e39}}}]})");
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(std::get<EvictDraft>(s->entries()[0].action).threshold, -std::numeric_limits<float>::infinity());
  ASSERT_TRUE(s->save().ok());
  EXPECT_NE(read_text(tmp.file("scheduled_actions.json")).find("\"threshold\": -4e38\n"), std::string::npos);
  auto again = Scheduler::load(tmp.path());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(std::get<EvictDraft>(again->entries()[0].action).threshold, -std::numeric_limits<float>::infinity());
}

TEST(SchedulerTest, FailedSaveKeepsThePreviousFileAndRetryWritesEverything) {
  TempDir tmp;
  const std::string path = tmp.file("scheduled_actions.json");
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(s->schedule(EvictDraft{7, 15}, WallTime{}).ok());
  const std::string before = read_text(path);

  // Rename fails: the entry stays in memory with its id.
  fault::arm(fault::Op::Rename, 1, EIO);
  auto renamed = s->schedule(EvictDraft{8, 1}, WallTime{1, 0});
  fault::disarm();
  ASSERT_FALSE(renamed.ok());
  EXPECT_EQ(renamed.error().kind(), EngineError::Kind::StorageIo);
  EXPECT_EQ(read_text(path), before);
  EXPECT_EQ(s->entries().size(), 2u);

  // The temporary file's sync comes before the rename: failing it leaves
  // the file untouched.
  fault::arm(fault::Op::Sync, 1, EIO);
  auto synced = s->schedule(EvictDraft{9, 1}, WallTime{2, 0});
  fault::disarm();
  ASSERT_FALSE(synced.ok());
  EXPECT_EQ(read_text(path), before);

  // The directory is synced after the rename.
  fault::arm(fault::Op::Sync, 2, EIO);
  auto dir_sync = s->cancel(3);
  EXPECT_TRUE(fault::fired());
  fault::disarm();
  ASSERT_FALSE(dir_sync.ok());
  EXPECT_NE(read_text(path), before);

  fault::arm(fault::Op::Write, 1, ENOSPC, /*short_write=*/true);
  auto written = s->cancel(2);
  fault::disarm();
  ASSERT_FALSE(written.ok());

  ASSERT_TRUE(s->remove_fired({}).ok());
  ASSERT_TRUE(s->save().ok());
  auto reloaded = Scheduler::load(tmp.path());
  ASSERT_TRUE(reloaded.ok());
  EXPECT_EQ(reloaded->next_id(), 4u);
  ASSERT_EQ(reloaded->entries().size(), 1u);
  EXPECT_EQ(reloaded->entries()[0].id, 1u);
}

TEST(ScheduleFileTest, ThresholdIsTheShortestFormThatReadsBack) {
  EXPECT_EQ(format_threshold(15.0f), "15.0");
  EXPECT_EQ(format_threshold(0.1f), "0.1");
  EXPECT_EQ(format_threshold(0.0f), "0.0");
  EXPECT_EQ(format_threshold(-0.0f), "-0.0");
  EXPECT_EQ(format_threshold(1e12f), "1000000000000.0");
  EXPECT_EQ(format_threshold(1e13f), "1e13");
  EXPECT_EQ(format_threshold(1e-6f), "0.000001");
  EXPECT_EQ(format_threshold(1e-7f), "1e-7");
  EXPECT_EQ(format_threshold(std::numeric_limits<float>::max()), "3.4028235e38");
  EXPECT_EQ(format_threshold(std::numeric_limits<float>::denorm_min()), "1e-45");

  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    uint32_t bits = rng();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (!std::isfinite(f)) continue;
    ScheduleFile file{2, {DiskEntry{1, 0, EvictDraft{1, f}}}};
    auto text = write_schedule_file(file);
    ASSERT_TRUE(text.ok());
    auto back = read_schedule_file(*text);
    ASSERT_TRUE(back.ok()) << *text;
    float g = std::get<EvictDraft>(back->entries[0].action).threshold;
    uint32_t gbits;
    std::memcpy(&gbits, &g, sizeof g);
    ASSERT_EQ(gbits, bits) << format_threshold(f);
  }
}

TEST(ScheduleFileTest, ReadingIsLenientAboutShape) {
  // Any member order, unknown keys at every level, free whitespace.
  auto shuffled = read_schedule_file(
      " \t\r\n{ \"entries\" : [ { \"action\" : { \"EvictDraft\" : { \"threshold\" : 2 , \"x\" : [1, {\"y\": null}],"
      " \"owner\" : 3 } } , \"extra\" : {\"a\": [true, false, \"s\\\"\\u00e9\"]}, \"fires_at_unix_nanos\" : 5 ,"
      " \"id\" : 4 } ] , \"zz\" : -1.5e3 , \"next_id\" : 9 }\n ");
  ASSERT_TRUE(shuffled.ok()) << shuffled.error();
  EXPECT_EQ(shuffled->next_id, 9u);
  ASSERT_EQ(shuffled->entries.size(), 1u);
  EXPECT_EQ(shuffled->entries[0].id, 4u);
  EXPECT_EQ(shuffled->entries[0].fires_at_unix_nanos, u128{5});
  EXPECT_EQ(std::get<EvictDraft>(shuffled->entries[0].action), (EvictDraft{3, 2.0f}));

  // Every record as an array of its field values.
  auto arrays = read_schedule_file(R"([9, [[4, 5, {"EvictDraft": [3, 0.5]}]]])");
  ASSERT_TRUE(arrays.ok()) << arrays.error();
  EXPECT_EQ(arrays->next_id, 9u);
  EXPECT_EQ(std::get<EvictDraft>(arrays->entries[0].action), (EvictDraft{3, 0.5f}));

  // Threshold takes any JSON number, rounded to the nearest float32.
  auto rounded = read_schedule_file(
      R"({"next_id":1,"entries":[{"id":1,"fires_at_unix_nanos":0,"action":{"EvictDraft":{"owner":1,"threshold":0.1000000000000000055511151231257827}}}]})");
  ASSERT_TRUE(rounded.ok());
  EXPECT_EQ(std::get<EvictDraft>(rounded->entries[0].action).threshold, 0.1f);

  // An unknown key does not survive a save.
  TempDir tmp;
  write_text(tmp.file("scheduled_actions.json"),
             "{\"entries\":[{\"id\":1,\"note\":\"x\",\"fires_at_unix_nanos\":0,\"action\":{\"EvictDraft\":"
             "{\"owner\":7,\"threshold\":15}}}],\"next_id\":2,\"version\":3}");
  auto s = Scheduler::load(tmp.path());
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(s->save().ok());
  EXPECT_EQ(read_text(tmp.file("scheduled_actions.json")), kExample);
}

TEST(ScheduleFileTest, ErrorsNameTheFieldOrTypeWithPosition) {
  EXPECT_EQ(parse_error(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(parse_error("{}"), "missing field `next_id` at line 1 column 2");
  EXPECT_EQ(parse_error("{\n  \"next_id\": 1\n}"), "missing field `entries` at line 3 column 1");
  EXPECT_EQ(parse_error(R"({"next_id":1,"next_id":2,"entries":[]})"),
            "duplicate field `next_id` at line 1 column 22");
  EXPECT_EQ(parse_error(R"({"next_id":1,"entries":[{"id":1,"action":{"EvictDraft":{"owner":1,"threshold":1}}}]})"),
            "missing field `fires_at_unix_nanos` at line 1 column 82");
  EXPECT_EQ(
      parse_error(
          R"({"next_id":1,"entries":[{"id":1,"fires_at_unix_nanos":0,"action":{"evict_draft":{"owner":1,"threshold":1}}}]})"),
      "unknown variant `evict_draft`, expected `EvictDraft` at line 1 column 79");
  EXPECT_EQ(
      parse_error(
          R"({"next_id":1,"entries":[{"id":1,"fires_at_unix_nanos":0,"action":{"EvictDraft":{"owner":1,"threshold":null}}}]})"),
      "invalid type: null, expected f32 at line 1 column 106");
  EXPECT_EQ(parse_error(R"({"next_id":-1,"entries":[]})"),
            "invalid value: integer `-1`, expected u64 at line 1 column 13");
  EXPECT_EQ(parse_error(R"({"next_id":1.5,"entries":[]})"),
            "invalid type: floating point `1.5`, expected u64 at line 1 column 14");
  EXPECT_EQ(parse_error(R"({"next_id":1,"entries":{}})"), "invalid type: map, expected a sequence at line 1 column 23");
  EXPECT_EQ(parse_error("5"), "invalid type: integer `5`, expected struct ScheduleFile at line 1 column 1");
  EXPECT_EQ(parse_error(R"({"next_id":1,"entries":[7]})"),
            "invalid type: integer `7`, expected struct DiskEntry at line 1 column 25");
  EXPECT_EQ(parse_error(R"({"next_id":1,"entries":[[1,0,{"EvictDraft":true}]]})"),
            "invalid type: boolean `true`, expected struct variant ScheduledAction::EvictDraft at line 1 column 47");
  EXPECT_EQ(parse_error(R"({"next_id":1,"entries":[[1,0,{7:1}]]})"),
            "invalid type: integer `7`, expected variant identifier at line 1 column 31");
  EXPECT_EQ(parse_error("[1]"), "invalid length 1, expected struct ScheduleFile with 2 elements at line 1 column 3");
  EXPECT_EQ(parse_error(R"([1,[[1,0,{"EvictDraft":[1]}]]])"),
            "invalid length 1, expected struct variant ScheduledAction::EvictDraft with 2 elements at line 1 column 26");
  EXPECT_EQ(parse_error(R"({"next_id":1,"entries":[]} x)"), "trailing characters at line 1 column 28");
  EXPECT_EQ(parse_error(R"({"next_id":1,"entries":[],})"), "trailing comma at line 1 column 27");
  EXPECT_EQ(parse_error(R"({"next_id":1 "entries":[]})"), "expected `,` or `}` at line 1 column 14");
  EXPECT_EQ(parse_error(R"({"next_id":1,"entries":[)"), "EOF while parsing a list at line 1 column 24");
  EXPECT_EQ(parse_error(R"({"next_id":1,"x":[1,{"a" 1}],"entries":[]})"), "expected `:` at line 1 column 26");
  EXPECT_EQ(parse_error(R"({"next_id":01,"entries":[]})"), "invalid number at line 1 column 13");
}

TEST(SchedulerTest, UnreadableOrInvalidFileFailsTheLoad) {
  TempDir tmp;
  write_text(tmp.file("scheduled_actions.json"), "{}");
  auto bad = Scheduler::load(tmp.path());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), EngineError::Kind::SnapshotIntegrity);
  EXPECT_EQ(bad.error().to_string(),
            "snapshot integrity check failed: scheduled_actions.json parse error: missing field `next_id` at line 1 "
            "column 2");

  ASSERT_TRUE(platform::unlink(tmp.file("scheduled_actions.json")).ok());
  ASSERT_TRUE(platform::create_dir(tmp.file("scheduled_actions.json")).ok());
  auto dir = Scheduler::load(tmp.path());
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().kind(), EngineError::Kind::StorageIo);
}

}  // namespace
}  // namespace qvn
