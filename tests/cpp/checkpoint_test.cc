#include "engine/checkpoint.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qvn {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

void put(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  test::write_bytes(path, std::vector<uint8_t>(content.begin(), content.end()));
}

std::string read_text(const std::string& path) {
  auto b = test::read_bytes(path);
  return std::string(b.begin(), b.end());
}

std::vector<std::string> dir_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class CheckpointTest : public ::testing::Test {
 protected:
  TempDir t;
  std::string engine = t.file("engine");
  std::string root = t.file("root");
  CheckpointRepository repo{root};

  void SetUp() override { put(engine + "/state.bin", "state v1"); }

  // Stands in for the engine's snapshot operation.
  CheckpointRepository::SnapshotWriter writer(uint64_t packs = 1) {
    return [this, packs](const std::string& out) {
      return snapshot::write_snapshot(engine, out, packs, 1);
    };
  }

  uint32_t save(const std::string& label) {
    auto e = repo.save(writer(), label);
    EXPECT_TRUE(e.ok()) << e.error().to_string();
    return e.ok() ? e->seq : 0;
  }

  std::vector<std::pair<std::string, uint32_t>> listed(const std::optional<std::string>& label) {
    std::vector<std::pair<std::string, uint32_t>> out;
    auto l = repo.list(label);
    EXPECT_TRUE(l.ok()) << l.error().to_string();
    if (l.ok()) {
      for (const auto& e : l.value()) out.emplace_back(e.label, e.seq);
    }
    return out;
  }
};

TEST_F(CheckpointTest, SavesAreNumberedFromTheLargestPresent) {
  auto first = repo.save(writer(5), "run");
  ASSERT_TRUE(first.ok()) << first.error().to_string();
  EXPECT_EQ(first->label, "run");
  EXPECT_EQ(first->seq, 1u);
  EXPECT_EQ(first->path, root + "/run/0001.tar");
  EXPECT_EQ(first->manifest.stats.pack_count, 5u);
  EXPECT_EQ(snapshot::read_manifest(first->path).value(), first->manifest);
  EXPECT_EQ(save("run"), 2u);
  EXPECT_EQ(dir_names(root + "/run"), (std::vector<std::string>{"0001.tar", "0002.tar"}));

  auto latest = repo.latest("run");
  ASSERT_TRUE(latest.ok() && latest->has_value());
  EXPECT_EQ(latest->value().seq, 2u);

  fs::remove(root + "/run/0001.tar");
  EXPECT_EQ(save("run"), 3u);
  for (const char* f : {"0002.tar", "0003.tar"}) fs::remove(root + "/run/" + f);
  EXPECT_EQ(save("run"), 1u);

  fs::copy_file(root + "/run/0001.tar", root + "/run/9999.tar");
  auto wide = repo.save(writer(), "run");
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(wide->path, root + "/run/10000.tar");
}

TEST_F(CheckpointTest, ListingOrderAndFileNameRule) {
  ASSERT_EQ(save("b"), 1u);
  ASSERT_EQ(save("a"), 1u);
  std::string a = root + "/a";
  std::string archive = a + "/0001.tar";
  fs::rename(archive, a + "/7.tar");
  fs::copy_file(a + "/7.tar", a + "/0003.tar");
  for (const char* junk : {"notes.txt", "x.tar", "0001.TAR", "0001.tar.gz", ".tar", "-1.tar", "+.tar"}) {
    put(a + "/" + junk, "junk");
  }
  fs::copy_file(a + "/7.tar", a + "/+00004.tar");
  put(root + "/plain_file", "ignored");

  EXPECT_EQ(listed(std::nullopt),
            (std::vector<std::pair<std::string, uint32_t>>{{"a", 3}, {"a", 4}, {"a", 7}, {"b", 1}}));
  EXPECT_EQ(listed("a").size(), 3u);
  EXPECT_EQ(save("a"), 8u);
  EXPECT_EQ(CheckpointRepository::parse_file_name("4294967295.tar"), 4294967295u);
  EXPECT_EQ(CheckpointRepository::parse_file_name("4294967296.tar"), std::nullopt);
  EXPECT_EQ(CheckpointRepository::file_name(42), "0042.tar");

  // One unreadable archive fails every listing that reaches it.
  put(root + "/b/0002.tar", "not an archive");
  EXPECT_FALSE(repo.list(std::nullopt).ok());
  EXPECT_FALSE(repo.latest("b").ok());
  EXPECT_EQ(listed("a").size(), 4u);
}

TEST_F(CheckpointTest, MissingRootAndLabel) {
  EXPECT_TRUE(listed(std::nullopt).empty());
  EXPECT_TRUE(listed("x").empty());
  EXPECT_FALSE(fs::exists(root));

  auto none = repo.latest("x");
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
  auto r = repo.restore_latest("x", t.file("target"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "snapshot integrity check failed: no checkpoint found for label x");
  EXPECT_FALSE(fs::exists(t.file("target")));
}

TEST_F(CheckpointTest, NonUtf8LabelDirectoryFailsFullListing) {
  ASSERT_EQ(save("ok"), 1u);
  fs::create_directories(root + "/bad\xff\xe2\x82");
  auto all = repo.list(std::nullopt);
  ASSERT_FALSE(all.ok());
  EXPECT_EQ(all.error().text(),
            "non-UTF8 checkpoint label directory: " + root + "/bad\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(listed("ok").size(), 1u);
}

TEST_F(CheckpointTest, RestoreLatestRestoresTheNewestState) {
  ASSERT_EQ(save("run"), 1u);
  put(engine + "/state.bin", "state v2");
  ASSERT_EQ(save("run"), 2u);
  auto r = repo.restore_latest("run", t.file("target"));
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->seq, 2u);
  EXPECT_EQ(read_text(t.file("target/state.bin")), "state v2");
}

TEST_F(CheckpointTest, LabelsThatLeaveTheRootAreRefused) {
  for (const std::string& label : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                   t.file("abs"), std::string("a\0b", 3)}) {
    auto r = repo.save(writer(), label);
    ASSERT_FALSE(r.ok()) << label;
    EXPECT_EQ(r.error().kind(), EngineError::Kind::StorageIo);
  }
  EXPECT_FALSE(fs::exists(root));
  EXPECT_FALSE(fs::exists(t.file("abs")));
}

TEST_F(CheckpointTest, FailedSnapshotLeavesNoCheckpoint) {
  auto failing = [](const std::string&) -> Result<SnapshotManifest> {
    return make_unexpected(EngineError::snapshot_integrity("boom"));
  };
  auto r = repo.save(failing, "run");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "boom");
  EXPECT_TRUE(dir_names(root + "/run").empty());
  EXPECT_EQ(save("run"), 1u);
}

TEST_F(CheckpointTest, ConcurrentSaverNeverOverwritten) {
  // Another saver publishes 0001.tar while this save is writing its archive.
  std::string theirs = root + "/run/0001.tar";
  auto racing = [&](const std::string& out) {
    put(theirs, "theirs");
    return snapshot::write_snapshot(engine, out, 0, 0);
  };
  auto r = repo.save(racing, "run");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->seq, 2u);
  EXPECT_EQ(read_text(theirs), "theirs");
  EXPECT_EQ(dir_names(root + "/run"), (std::vector<std::string>{"0001.tar", "0002.tar"}));
  EXPECT_EQ(snapshot::read_manifest(r->path).value(), r->manifest);
}

TEST_F(CheckpointTest, ExhaustedSequenceOverwritesNothing) {
  put(root + "/run/4294967295.tar", "last");
  auto r = repo.save(writer(), "run");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), EngineError::Kind::SnapshotIntegrity);
  EXPECT_EQ(dir_names(root + "/run"), std::vector<std::string>{"4294967295.tar"});
  EXPECT_EQ(read_text(root + "/run/4294967295.tar"), "last");
}

}  // namespace
}  // namespace qvn
