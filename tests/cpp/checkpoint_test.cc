#include "engine/checkpoint.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/engine_fixture.h"

namespace qvn {
namespace {

namespace fs = std::filesystem;
using test::dir_names;
using test::put;
using test::read_text;

class CheckpointTest : public ::testing::Test {
 protected:
  test::TempDir t;
  std::string engine = t.file("engine");
  std::string root = t.file("root");
  CheckpointRepository repo{root};

  void SetUp() override { put(engine + "/state.bin", "state v1"); }

  // Stands in for the engine's snapshot operation.
  Result<SnapshotManifest> snap(const std::string& out) { return snapshot::write_snapshot(engine, out, 5, 1); }

  uint32_t save(const std::string& label) {
    auto e = repo.save([this](const std::string& out) { return snap(out); }, label);
    EXPECT_TRUE(e.ok()) << e.error().to_string();
    return e.ok() ? e->seq : 0;
  }

  std::vector<std::pair<std::string, uint32_t>> listed(const std::optional<std::string>& label) {
    std::vector<std::pair<std::string, uint32_t>> out;
    auto l = repo.list(label);
    EXPECT_TRUE(l.ok()) << l.error().to_string();
    if (l.ok()) {
      for (const auto& e : *l) out.emplace_back(e.label, e.seq);
    }
    return out;
  }
};

TEST_F(CheckpointTest, SavesAreNumberedFromTheLargestPresentAndRestoreTheNewest) {
  EXPECT_TRUE(listed(std::nullopt).empty());
  EXPECT_FALSE(repo.latest("run")->has_value());
  EXPECT_EQ(repo.restore_latest("run", t.file("target")).error().to_string(),
            "snapshot integrity check failed: no checkpoint found for label run");
  EXPECT_FALSE(fs::exists(root));

  auto first = repo.save([this](const std::string& out) { return snap(out); }, "run");
  ASSERT_TRUE(first.ok()) << first.error().to_string();
  EXPECT_EQ(first->seq, 1u);
  EXPECT_EQ(first->path, root + "/run/0001.tar");
  EXPECT_EQ(snapshot::read_manifest(first->path).value(), first->manifest);
  put(engine + "/state.bin", "state v2");
  EXPECT_EQ(save("run"), 2u);
  auto restored = repo.restore_latest("run", t.file("target"));
  ASSERT_TRUE(restored.ok()) << restored.error().to_string();
  EXPECT_EQ(restored->seq, 2u);
  EXPECT_EQ(read_text(t.file("target/state.bin")), "state v2");

  fs::remove(root + "/run/0001.tar");
  EXPECT_EQ(save("run"), 3u);
  for (const char* f : {"0002.tar", "0003.tar"}) fs::remove(root + "/run/" + f);
  EXPECT_EQ(save("run"), 1u);
  fs::copy_file(root + "/run/0001.tar", root + "/run/9999.tar");
  EXPECT_EQ(save("run"), 10000u);
  EXPECT_TRUE(fs::exists(root + "/run/10000.tar"));

  // Nothing is overwritten when the numbers run out.
  put(root + "/full/4294967295.tar", "last");
  EXPECT_FALSE(repo.save([this](const std::string& out) { return snap(out); }, "full").ok());
  EXPECT_EQ(dir_names(root + "/full"), std::vector<std::string>{"4294967295.tar"});
}

TEST_F(CheckpointTest, ListingOrderAndFileNameRule) {
  ASSERT_EQ(save("b"), 1u);
  ASSERT_EQ(save("a"), 1u);
  std::string a = root + "/a";
  fs::rename(a + "/0001.tar", a + "/7.tar");
  fs::copy_file(a + "/7.tar", a + "/0003.tar");
  fs::copy_file(a + "/7.tar", a + "/+00004.tar");
  for (const char* junk : {"notes.txt", "x.tar", "0001.TAR", "0001.tar.gz", ".tar", "-1.tar", "+.tar"}) {
    put(a + "/" + junk, "junk");
  }
  put(root + "/plain_file", "ignored");
  EXPECT_EQ(listed(std::nullopt),
            (std::vector<std::pair<std::string, uint32_t>>{{"a", 3}, {"a", 4}, {"a", 7}, {"b", 1}}));
  EXPECT_EQ(save("a"), 8u);
  EXPECT_EQ(CheckpointRepository::parse_file_name("4294967295.tar"), 4294967295u);
  EXPECT_EQ(CheckpointRepository::parse_file_name("4294967296.tar"), std::nullopt);

  // One unreadable archive fails every listing that reaches it.
  put(root + "/b/0002.tar", "not an archive");
  EXPECT_FALSE(repo.list(std::nullopt).ok());
  EXPECT_FALSE(repo.latest("b").ok());
  EXPECT_EQ(listed("a").size(), 4u);
  fs::remove(root + "/b/0002.tar");
  fs::create_directories(root + "/bad\xff\xe2\x82");
  EXPECT_EQ(repo.list(std::nullopt).error().text(),
            "non-UTF8 checkpoint label directory: " + root + "/bad\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(CheckpointTest, RefusedLabelsFailedSnapshotsAndRacingSavers) {
  for (const std::string& label : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                   t.file("abs"), std::string("a\0b", 3)}) {
    EXPECT_EQ(repo.save([this](const std::string& out) { return snap(out); }, label).error().kind(),
              EngineError::Kind::StorageIo) << label;
  }
  EXPECT_FALSE(fs::exists(root));
  EXPECT_FALSE(fs::exists(t.file("abs")));

  auto failing = [](const std::string&) -> Result<SnapshotManifest> {
    return make_unexpected(EngineError::snapshot_integrity("boom"));
  };
  EXPECT_EQ(repo.save(failing, "run").error().text(), "boom");
  EXPECT_TRUE(dir_names(root + "/run").empty());

  // Another saver publishes 0001.tar while this save is writing its archive.
  auto racing = [&](const std::string& out) {
    put(root + "/run/0001.tar", "theirs");
    return snap(out);
  };
  auto r = repo.save(racing, "run");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->seq, 2u);
  EXPECT_EQ(read_text(root + "/run/0001.tar"), "theirs");
  EXPECT_EQ(dir_names(root + "/run"), (std::vector<std::string>{"0001.tar", "0002.tar"}));
}

}  // namespace
}  // namespace qvn
