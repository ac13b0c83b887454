#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/cell.h"
#include "core/error.h"
#include "core/fault.h"
#include "core/platform.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

TEST(EngineErrorTest, DisplayTexts) {
  EXPECT_EQ(EngineError::cell_not_found(7).to_string(), "cell not found: 7");
  EXPECT_EQ(EngineError::pack_not_found(18446744073709551615ull).to_string(),
            "pack not found: 18446744073709551615");
  EXPECT_EQ(EngineError::segment_full("/x").to_string(), "segment full: cannot append to segment at /x");
  EXPECT_EQ(EngineError(IoError::unexpected_eof()).to_string(),
            "storage I/O error: failed to fill whole buffer");
  EXPECT_EQ(EngineError(IoError::write_zero()).to_string(),
            "storage I/O error: failed to write whole buffer");
  EXPECT_EQ(EngineError::quantization("q").to_string(), "quantization error: q");
  EXPECT_EQ(EngineError::dimension_mismatch(4, 8, "key").to_string(),
            "dimension mismatch: expected 4, got 8 for key");
  EXPECT_EQ(EngineError::wal_recovery("w").to_string(), "WAL recovery failed: w");
  EXPECT_EQ(EngineError::index("i").to_string(), "index error: i");
  EXPECT_EQ(EngineError::governance("g").to_string(), "governance error: g");
  EXPECT_EQ(EngineError::capacity_exceeded("c").to_string(), "capacity exceeded: c");
  EXPECT_EQ(EngineError::not_a_snapshot("n").to_string(), "not a QuorvaneDB snapshot: n");
  EXPECT_EQ(EngineError::unsupported_snapshot_format_version(2, 1).to_string(),
            "unsupported snapshot format version 2, supported: 1");
  EXPECT_EQ(EngineError::snapshot_codec_mismatch("quantization", "q8", "q4").to_string(),
            "snapshot codec mismatch for quantization: snapshot=q8, engine=q4");
  EXPECT_EQ(EngineError::snapshot_integrity("s").to_string(), "snapshot integrity check failed: s");
  EXPECT_EQ(EngineError(IoError::os(ENOENT)).to_string(),
            "storage I/O error: No such file or directory (os error 2)");
}

TEST(TierTest, BytesAboveTwoAreRefused) {
  EXPECT_EQ(tier_from_byte(2), Tier::Core);
  EXPECT_FALSE(tier_from_byte(3).has_value());
}

Result<int> half(int x) {
  if (x % 2) return make_unexpected(EngineError::index("odd"));
  return x / 2;
}
Result<int> quarter(int x) {
  QVN_TRY(int h, half(x));
  QVN_TRY(int q, half(h));
  return q;
}
IoResult<void> io_fail() { return make_unexpected(IoError::other("boom")); }
Result<void> engine_from_io() {
  QVN_TRY_VOID(io_fail());
  return {};
}

TEST(ResultTest, PropagatesAndConvertsIoErrors) {
  EXPECT_EQ(*quarter(8), 2);
  EXPECT_EQ(quarter(6).error().to_string(), "index error: odd");
  auto r = engine_from_io();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), EngineError::Kind::StorageIo);
  EXPECT_EQ(r.error().to_string(), "storage I/O error: boom");
}

TEST(PlatformTest, RefusesNulInPaths) {
  std::string p("a\0b", 3);
  auto r = platform::File::open(p, platform::Access::Read);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "file name contained an unexpected NUL byte");
  EXPECT_FALSE(platform::create_dir_all(p).ok());
}

TEST(PlatformTest, FilesAndDirectoriesFollowTheUmask) {
  test::TempDir dir;
  mode_t old = ::umask(022);
  std::string sub = platform::join(dir.path(), "a/b/c");
  ASSERT_TRUE(platform::create_dir_all(sub).ok());
  auto f = platform::File::open(platform::join(sub, "f"), platform::Access::Write,
                                platform::Create::IfMissing);
  ::umask(old);
  ASSERT_TRUE(f.ok());
  struct stat st;
  ASSERT_EQ(::stat(sub.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_EQ(::fstat(f->fd(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_TRUE(::fcntl(f->fd(), F_GETFD) & FD_CLOEXEC);
}

TEST(PlatformTest, ShortReadsAndOsErrorsHaveTheirTexts) {
  test::TempDir dir;
  std::string p = platform::join(dir.path(), "f");
  {
    auto f = platform::File::open(p, platform::Access::Write, platform::Create::Truncate);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->write_all("abc", 3).ok());
    ASSERT_TRUE(f->sync().ok());
  }
  auto f = platform::File::open(p, platform::Access::Read);
  char buf[8];
  auto r = f->pread_exact(buf, 4, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "failed to fill whole buffer");
  auto missing = platform::File::open(platform::join(dir.path(), "nope"), platform::Access::Read);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
}

TEST(PlatformTest, FaultInjectionFailsTheNthCallOnly) {
  test::TempDir dir;
  std::string p = platform::join(dir.path(), "f");
  auto f = platform::File::open(p, platform::Access::Append, platform::Create::IfMissing);
  ASSERT_TRUE(f.ok());
  platform::fault::arm(platform::fault::Op::Write, 2, ENOSPC, /*short_write=*/true);
  EXPECT_TRUE(f->write_all("1234", 4).ok());
  auto r = f->write_all("5678", 4);
  EXPECT_TRUE(platform::fault::fired());
  EXPECT_TRUE(f->write_all("90", 2).ok());
  platform::fault::disarm();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_code, ENOSPC);
  EXPECT_EQ(*f->size(), 8u);  // 4 + half of the failed write + 2
  platform::fault::arm(platform::fault::Op::Sync, 1);
  EXPECT_FALSE(f->sync().ok());
  EXPECT_TRUE(f->sync().ok());
  platform::fault::disarm();
}

}  // namespace
}  // namespace qvn
