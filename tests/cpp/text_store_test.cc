#include "storage/text_store.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "core/fault.h"
#include "core/le_bytes.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using test::TempDir;
using Entries = std::vector<std::pair<PackId, std::string>>;

std::vector<uint8_t> entry_bytes(PackId id, const std::string& text, uint32_t len_field) {
  std::vector<uint8_t> b;
  le::put(b, uint64_t{id});
  le::put(b, len_field);
  b.insert(b.end(), text.begin(), text.end());
  return b;
}
std::vector<uint8_t> entry_bytes(PackId id, const std::string& text) {
  return entry_bytes(id, text, static_cast<uint32_t>(text.size()));
}

std::optional<std::string> text_of(const TextStore& s, PackId id) {
  const std::string* t = s.get(id);
  if (!t) return std::nullopt;
  return *t;
}

TextStore open_ok(const TempDir& dir) {
  auto s = TextStore::open(dir.path());
  EXPECT_TRUE(s.ok()) << s.error().to_string();
  return std::move(s).value();
}

TEST(TextStoreTest, GoldenBytesAndFileCreatedOnlyByFirstAppend) {
  TempDir dir;
  TextStore s = open_ok(dir);
  const std::string file = dir.file("text_store.bin");
  EXPECT_EQ(s.path(), file);
  EXPECT_FALSE(platform::exists(file).value());
  ASSERT_TRUE(s.set(Entries{}).ok());
  EXPECT_FALSE(platform::exists(file).value());

  ASSERT_TRUE(s.set(Entries{{5, "ab"}, {0x0102030405060708ull, ""}}).ok());
  const std::vector<uint8_t> golden = {
      0x05, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 'a', 'b',
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0,
  };
  EXPECT_EQ(test::read_bytes(file), golden);
  EXPECT_EQ(text_of(s, 5), "ab");
  // An empty text is a text, not an absence.
  EXPECT_EQ(text_of(s, 0x0102030405060708ull), "");
  EXPECT_EQ(text_of(s, 6), std::nullopt);

  TextStore again = open_ok(dir);
  EXPECT_EQ(text_of(again, 5), "ab");
  EXPECT_EQ(text_of(again, 0x0102030405060708ull), "");
  EXPECT_EQ(again.size(), 2u);
}

TEST(TextStoreTest, LaterEntriesWinAndInvalidUtf8IsSkipped) {
  TempDir dir;
  const std::string file = dir.file("text_store.bin");
  std::vector<uint8_t> bytes;
  auto add = [&](PackId id, const std::string& t) {
    auto e = entry_bytes(id, t);
    bytes.insert(bytes.end(), e.begin(), e.end());
  };
  add(5, "a");
  add(5, "b");
  add(5, "\xC0\x80");          // overlong NUL
  add(5, "\xED\xA0\x80");      // surrogate
  add(5, "\xF4\x90\x80\x80");  // past U+10FFFF
  add(5, "x\xE2\x82");         // cut sequence
  add(5, "\x80");              // lone continuation
  add(6, "\xF0\x9F\x98\x80 \xE2\x82\xAC \xC3\xA9");
  add(7, "\xFF");
  test::write_bytes(file, bytes);

  TextStore s = open_ok(dir);
  EXPECT_EQ(text_of(s, 5), "b");
  EXPECT_EQ(text_of(s, 6), "\xF0\x9F\x98\x80 \xE2\x82\xAC \xC3\xA9");
  EXPECT_EQ(text_of(s, 7), std::nullopt);

  // A batch with the same pack twice keeps the later text, in memory and on disk.
  ASSERT_TRUE(s.set(Entries{{9, "first"}, {9, "second"}}).ok());
  EXPECT_EQ(text_of(s, 9), "second");
  EXPECT_EQ(text_of(open_ok(dir), 9), "second");
}

TEST(TextStoreTest, TornTailIsIgnoredAndCutBeforeTheNextAppend) {
  TempDir dir;
  const std::string file = dir.file("text_store.bin");

  test::write_bytes(file, std::vector<uint8_t>(11, 0x41));
  EXPECT_EQ(open_ok(dir).size(), 0u);

  auto whole = entry_bytes(1, "keep");
  test::write_bytes(file, whole);
  test::append_bytes(file, entry_bytes(2, "torn", 100));  // length runs past the end
  const uint64_t torn_size = test::size_of(file);
  TextStore s = open_ok(dir);
  EXPECT_EQ(text_of(s, 1), "keep");
  EXPECT_EQ(text_of(s, 2), std::nullopt);
  EXPECT_EQ(test::size_of(file), torn_size) << "open must not modify the file";

  ASSERT_TRUE(s.set(Entries{{3, "after"}}).ok());
  auto expected = whole;
  auto after = entry_bytes(3, "after");
  expected.insert(expected.end(), after.begin(), after.end());
  EXPECT_EQ(test::read_bytes(file), expected);
  TextStore again = open_ok(dir);
  EXPECT_EQ(text_of(again, 1), "keep");
  EXPECT_EQ(text_of(again, 3), "after");

  // Reload notices a new torn tail too.
  test::append_bytes(file, {1, 2, 3});
  ASSERT_TRUE(again.reload().ok());
  ASSERT_TRUE(again.set(Entries{{4, "four"}}).ok());
  EXPECT_EQ(text_of(open_ok(dir), 4), "four");
  EXPECT_EQ(test::size_of(file), expected.size() + entry_bytes(4, "four").size());
}

TEST(TextStoreTest, FailedAppendCutsBackAndKeepsTheMap) {
  for (auto op : {platform::fault::Op::Write, platform::fault::Op::Sync}) {
    SCOPED_TRACE(static_cast<int>(op));
    TempDir dir;
    const std::string file = dir.file("text_store.bin");
    TextStore s = open_ok(dir);
    ASSERT_TRUE(s.set(Entries{{1, "one"}}).ok());
    const auto before = test::read_bytes(file);

    platform::fault::arm(op, 1, ENOSPC, /*short_write=*/true);
    auto r = s.set(Entries{{1, "replaced"}, {2, "two"}});
    const bool fired = platform::fault::fired();
    platform::fault::disarm();
    ASSERT_TRUE(fired);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(EngineError(r.error()).to_string(), "storage I/O error: " + os_error_text(ENOSPC));
    EXPECT_EQ(test::read_bytes(file), before);
    EXPECT_EQ(text_of(s, 1), "one");
    EXPECT_EQ(text_of(s, 2), std::nullopt);

    ASSERT_TRUE(s.set(Entries{{2, "two"}}).ok());
    TextStore again = open_ok(dir);
    EXPECT_EQ(text_of(again, 1), "one");
    EXPECT_EQ(text_of(again, 2), "two");
  }
}

TEST(TextStoreTest, TextOfFourGibibytesIsRefusedBeforeWriting) {
  TempDir dir;
  TextStore s = open_ok(dir);
  ASSERT_TRUE(s.set(Entries{{1, "one"}}).ok());
  const auto before = test::read_bytes(dir.file("text_store.bin"));
  // Address space only: the pages are never touched.
  const size_t len = size_t{1} << 32;
  void* p = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  std::vector<std::pair<PackId, std::string_view>> entries = {
      {2, "small"}, {3, std::string_view(static_cast<const char*>(p), len)}};
  auto r = s.set(entries);
  ::munmap(p, len);
  ASSERT_FALSE(r.ok());
  EngineError e(r.error());
  EXPECT_EQ(e.kind(), EngineError::Kind::StorageIo);
  EXPECT_EQ(e.to_string(), "storage I/O error: text too large");
  EXPECT_EQ(test::read_bytes(dir.file("text_store.bin")), before);
  EXPECT_EQ(text_of(s, 2), std::nullopt);
}

TEST(TextStoreTest, ReloadReplacesTheMapAndRemoveIsMemoryOnly) {
  TempDir dir;
  TextStore s = open_ok(dir);
  ASSERT_TRUE(s.set(Entries{{1, "one"}, {2, "two"}}).ok());
  s.remove(1);
  EXPECT_EQ(text_of(s, 1), std::nullopt);
  ASSERT_TRUE(s.reload().ok());
  EXPECT_EQ(text_of(s, 1), "one");

  // Another writer's entries appear at reload; a vanished file empties the map.
  test::append_bytes(dir.file("text_store.bin"), entry_bytes(3, "three"));
  ASSERT_TRUE(s.reload().ok());
  EXPECT_EQ(text_of(s, 3), "three");
  ASSERT_TRUE(platform::unlink(dir.file("text_store.bin")).ok());
  ASSERT_TRUE(s.reload().ok());
  EXPECT_EQ(s.size(), 0u);
}

TEST(TextStoreTest, UnreadableFileFailsOpenAndReloadKeepsTheOldMap) {
  TempDir dir;
  // A directory under the file's name can be examined but not read.
  ASSERT_TRUE(platform::create_dir(dir.file("text_store.bin")).ok());
  EXPECT_FALSE(TextStore::open(dir.path()).ok());

  TempDir other;
  TextStore s = open_ok(other);
  ASSERT_TRUE(s.set(Entries{{1, "one"}}).ok());
  ASSERT_TRUE(platform::unlink(other.file("text_store.bin")).ok());
  ASSERT_TRUE(platform::create_dir(other.file("text_store.bin")).ok());
  EXPECT_FALSE(s.reload().ok());
  EXPECT_EQ(text_of(s, 1), "one");
}

}  // namespace
}  // namespace qvn
