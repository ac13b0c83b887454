#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/cell.h"
#include "core/error.h"
#include "core/platform.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

// The texts callers match on.
TEST(EngineErrorTest, DisplayTexts) {
  const std::pair<EngineError, const char*> texts[] = {
      {EngineError::cell_not_found(7), "cell not found: 7"},
      {EngineError::pack_not_found(18446744073709551615ull), "pack not found: 18446744073709551615"},
      {EngineError::segment_full("/x"), "segment full: cannot append to segment at /x"},
      {EngineError(IoError::unexpected_eof()), "storage I/O error: failed to fill whole buffer"},
      {EngineError(IoError::write_zero()), "storage I/O error: failed to write whole buffer"},
      {EngineError(IoError::os(ENOENT)), "storage I/O error: No such file or directory (os error 2)"},
      {EngineError::quantization("q"), "quantization error: q"},
      {EngineError::dimension_mismatch(4, 8, "key"), "dimension mismatch: expected 4, got 8 for key"},
      {EngineError::wal_recovery("w"), "WAL recovery failed: w"},
      {EngineError::index("i"), "index error: i"},
      {EngineError::governance("g"), "governance error: g"},
      {EngineError::capacity_exceeded("c"), "capacity exceeded: c"},
      {EngineError::not_a_snapshot("n"), "not a QuorvaneDB snapshot: n"},
      {EngineError::unsupported_snapshot_format_version(2, 1), "unsupported snapshot format version 2, supported: 1"},
      {EngineError::snapshot_codec_mismatch("quantization", "q8", "q4"),
       "snapshot codec mismatch for quantization: snapshot=q8, engine=q4"},
      {EngineError::snapshot_integrity("s"), "snapshot integrity check failed: s"},
  };
  for (const auto& [e, text] : texts) EXPECT_EQ(e.to_string(), text);
  EXPECT_EQ(tier_from_byte(2), Tier::Core);
  EXPECT_FALSE(tier_from_byte(3).has_value());
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

}  // namespace
}  // namespace qvn
