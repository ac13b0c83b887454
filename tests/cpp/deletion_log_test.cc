#include "storage/deletion_log.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/fault.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using test::TempDir;

DeletionLog open_ok(const TempDir& dir) {
  auto log = DeletionLog::open(dir.path());
  EXPECT_TRUE(log.ok()) << log.error().to_string();
  return std::move(log).value();
}

TEST(DeletionLogTest, GoldenBytesAndFileCreatedOnlyByFirstAppend) {
  TempDir dir;
  const std::string file = dir.file("deletion_log.bin");
  DeletionLog log = open_ok(dir);
  EXPECT_EQ(log.path(), file);
  EXPECT_FALSE(platform::exists(file).value());
  EXPECT_TRUE(log.ids().empty());

  ASSERT_TRUE(log.append(3).ok());
  ASSERT_TRUE(log.append(0x0102030405060708ull).ok());
  const std::vector<uint8_t> golden = {3, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(test::read_bytes(file), golden);
  EXPECT_TRUE(log.contains(3));
  EXPECT_TRUE(log.contains(0x0102030405060708ull));
  EXPECT_FALSE(log.contains(4));

  DeletionLog again = open_ok(dir);
  EXPECT_EQ(again.ids(), (std::unordered_set<PackId>{3, 0x0102030405060708ull}));
}

TEST(DeletionLogTest, FailedAppendCutsBackAndKeepsTheSet) {
  for (auto op : {platform::fault::Op::Write, platform::fault::Op::Sync}) {
    SCOPED_TRACE(static_cast<int>(op));
    TempDir dir;
    const std::string file = dir.file("deletion_log.bin");
    DeletionLog log = open_ok(dir);
    ASSERT_TRUE(log.append(1).ok());

    platform::fault::arm(op, 1, EIO, /*short_write=*/true);
    auto r = log.append(2);
    const bool fired = platform::fault::fired();
    platform::fault::disarm();
    ASSERT_TRUE(fired);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), os_error_text(EIO));
    EXPECT_EQ(test::size_of(file), 8u);
    EXPECT_FALSE(log.contains(2));

    ASSERT_TRUE(log.append(3).ok());
    EXPECT_EQ(open_ok(dir).ids(), (std::unordered_set<PackId>{1, 3}));
  }
}

TEST(DeletionLogTest, ReloadFollowsTheFile) {
  TempDir dir;
  const std::string file = dir.file("deletion_log.bin");
  DeletionLog log = open_ok(dir);
  ASSERT_TRUE(log.append(1).ok());
  test::append_bytes(file, {7, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(log.reload().ok());
  EXPECT_EQ(log.ids(), (std::unordered_set<PackId>{1, 7}));

  ASSERT_TRUE(platform::unlink(file).ok());
  ASSERT_TRUE(log.reload().ok());
  EXPECT_TRUE(log.ids().empty());
  // The next append recreates the file.
  ASSERT_TRUE(log.append(4).ok());
  EXPECT_EQ(open_ok(dir).ids(), (std::unordered_set<PackId>{4}));
}

}  // namespace
}  // namespace qvn
