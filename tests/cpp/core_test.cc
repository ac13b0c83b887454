#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

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
// the engine's user, or a FIFO, whose open would wait for a peer forever.
TEST(PlatformTest, OpensTakeOnlyARegularFileAndNoLinkUnlessAskedAndNeverWait) {
  test::TempDir dir;
  const std::string outside = dir.file("outside"), link = dir.file("link"), dangling = dir.file("dangling");
  const std::string fifo = dir.file("fifo");
  test::write_bytes(outside, {1, 2, 3});
  ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("made").c_str(), dangling.c_str()), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  using platform::Access, platform::Create;
  for (auto [access, create] : {std::pair{Access::Read, Create::No}, {Access::Append, Create::IfMissing},
                                {Access::ReadAppend, Create::No}, {Access::Write, Create::Truncate}}) {
    for (const std::string& p : {link, dangling, fifo}) {
      auto pending = std::async(std::launch::async, [&, access = access, create = create] { return platform::File::open(p, access, create); });
      if (pending.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << p << " blocked the open";
        ::close(::open(fifo.c_str(), O_RDWR | O_NONBLOCK));  // both ends: releases the open
      }
      auto f = pending.get();
      if (f.ok()) {
        ADD_FAILURE() << p << " opened";
        continue;
      }
      EXPECT_EQ(EngineError(f.error()).to_string(),
                "storage I/O error: " + p + (p == fifo ? " is not a regular file" : " is a symbolic link; refusing to use it"));
    }
  }
  EXPECT_EQ(platform::File::open(dir.path(), Access::Read).error().os_code, EISDIR);
  EXPECT_EQ(test::read_bytes(outside), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(platform::exists(dir.file("made")).value());
  // Links on the way to the file, and one at a path the caller chose, are followed.
  ASSERT_EQ(::symlink(dir.path().c_str(), dir.file("alias").c_str()), 0);
  EXPECT_TRUE(platform::File::open(dir.file("alias") + "/outside", Access::Read).ok());
  EXPECT_EQ(platform::File::open(link, Access::Read, Create::No, platform::Links::Follow)->size().value(), 3u);
  // What the checks leave behind is an ordinary blocking descriptor.
  auto plain = platform::File::open(dir.file("plain"), Access::ReadAppend, Create::IfMissing);
  EXPECT_EQ(::fcntl(plain->fd(), F_GETFL) & (O_NONBLOCK | O_APPEND), O_APPEND);

  // A temporary name taken by a link is freed, not written through.
  for (const std::string& taken : {link, dangling}) {
    auto fresh = platform::create_fresh(taken);
    ASSERT_TRUE(fresh.ok()) << fresh.error().to_string();
    EXPECT_EQ(platform::file_info(taken, false).value()->kind, platform::FileKind::Regular);
  }
  EXPECT_EQ(test::read_bytes(outside), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(platform::exists(dir.file("made")).value());
}

// A load and an append judge a name alike: only a name that is not there is
// a missing file, and what an append refuses a load refuses in its words.
TEST(PlatformTest, AnOwnFileIsMissingOnlyWhenItsNameIs) {
  test::TempDir dir;
  const std::string file = dir.file("file"), link = dir.file("link"), dangling = dir.file("dangling");
  const std::string fifo = dir.file("fifo"), sock = dir.file("sock"), sub = dir.file("sub");
  test::write_bytes(file, {1, 2, 3});
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("none").c_str(), dangling.c_str()), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  ASSERT_EQ(::mkdir(sub.c_str(), 0777), 0);
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::copy(sock.begin(), sock.end(), addr.sun_path);
  ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ::close(s);

  EXPECT_FALSE(platform::own_file_info(dir.file("none")).value().has_value());
  EXPECT_EQ(platform::own_file_info(file).value()->size, 3u);
  for (const std::string& p : {link, dangling, fifo, sock, sub}) {
    auto loaded = platform::own_file_info(p);
    auto appended = platform::File::open(p, platform::Access::ReadAppend, platform::Create::IfMissing);
    ASSERT_FALSE(loaded.ok()) << p;
    ASSERT_FALSE(appended.ok()) << p;
    EXPECT_EQ(EngineError(loaded.error()).to_string(), EngineError(appended.error()).to_string()) << p;
  }
  EXPECT_FALSE(platform::exists(dir.file("none")).value());
}

}  // namespace
}  // namespace qvn
