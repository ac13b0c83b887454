#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>

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

// Someone who can write in the engine directory plants a link to a file of
// the engine's user: no open of the engine's own may reach that file.
TEST(PlatformTest, OpensRefuseALinkAtTheLastComponentUnlessAskedToFollow) {
  test::TempDir dir;
  const std::string outside = dir.file("outside"), link = dir.file("link"), dangling = dir.file("dangling");
  test::write_bytes(outside, {1, 2, 3});
  ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("made").c_str(), dangling.c_str()), 0);
  using platform::Access, platform::Create;
  for (auto [access, create] : {std::pair{Access::Read, Create::No}, {Access::Append, Create::IfMissing},
                                {Access::ReadAppend, Create::No}, {Access::Write, Create::Truncate}}) {
    for (const std::string& p : {link, dangling}) {
      auto f = platform::File::open(p, access, create);
      ASSERT_FALSE(f.ok()) << p;
      EXPECT_EQ(EngineError(f.error()).to_string(),
                "storage I/O error: " + p + " is a symbolic link; refusing to use it");
    }
  }
  EXPECT_EQ(test::read_bytes(outside), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(platform::exists(dir.file("made")).value());
  // Links in the directories on the way are the user's own business.
  ASSERT_EQ(::symlink(dir.path().c_str(), dir.file("alias").c_str()), 0);
  EXPECT_TRUE(platform::File::open(dir.file("alias") + "/outside", Access::Read).ok());
  auto followed = platform::File::open(link, Access::Read, Create::No, platform::Links::Follow);
  ASSERT_TRUE(followed.ok());
  EXPECT_EQ(followed->size().value(), 3u);

  // A temporary name taken by a link or a leftover is removed, never opened.
  for (const std::string& taken : {link, dangling}) {
    auto fresh = platform::create_fresh(taken);
    ASSERT_TRUE(fresh.ok()) << fresh.error().to_string();
    ASSERT_TRUE(fresh->write_all("new", 3).ok());
    EXPECT_EQ(platform::file_info(taken, false).value()->kind, platform::FileKind::Regular);
  }
  EXPECT_EQ(test::read_bytes(outside), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(platform::exists(dir.file("made")).value());
  EXPECT_EQ(platform::create_fresh(dir.path()).error().os_code, EISDIR);
}

// An open of a FIFO waits for a peer forever; one of a directory succeeds
// and fails only at the first read. Neither is a file the engine can use.
TEST(PlatformTest, OpensRefuseAnythingButARegularFileWithoutWaiting) {
  test::TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  using platform::Access, platform::Create;
  for (auto [access, create] : {std::pair{Access::Read, Create::No}, {Access::Write, Create::No},
                                {Access::Append, Create::IfMissing}, {Access::ReadAppend, Create::IfMissing},
                                {Access::Write, Create::Truncate}}) {
    for (auto links : {platform::Links::Refuse, platform::Links::Follow}) {
      auto pending = std::async(std::launch::async, [&] { return platform::File::open(fifo, access, create, links); });
      if (pending.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "open of a FIFO blocked, access " << static_cast<int>(access);
        // Releases the waiting open (a FIFO opened both ways has both ends).
        int peer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        pending.wait();
        ::close(peer);
        continue;
      }
      auto f = pending.get();
      ASSERT_FALSE(f.ok());
      EXPECT_EQ(EngineError(f.error()).to_string(), "storage I/O error: " + fifo + " is not a regular file");
    }
  }
  auto d = platform::File::open(dir.path(), Access::Read);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().os_code, EISDIR);

  // What the check leaves behind is an ordinary blocking descriptor.
  auto f = platform::File::open(dir.file("plain"), Access::ReadAppend, Create::IfMissing);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(::fcntl(f->fd(), F_GETFL) & (O_NONBLOCK | O_APPEND), O_APPEND);
}

}  // namespace
}  // namespace qvn
