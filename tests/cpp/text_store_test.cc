// What the text store adds to the append-file discipline (see
// shared_files_test.cc): UTF-8 checking, later entries winning, the length
// limit, and reloads that follow other writers.
#include "storage/text_store.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "core/le_bytes.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using test::TempDir;
using Entries = std::vector<std::pair<PackId, std::string>>;

std::vector<uint8_t> entry_bytes(PackId id, const std::string& text) {
  std::vector<uint8_t> b;
  le::put(b, uint64_t{id});
  le::put(b, static_cast<uint32_t>(text.size()));
  b.insert(b.end(), text.begin(), text.end());
  return b;
}

std::optional<std::string> text_of(const TextStore& s, PackId id) {
  const std::string* t = s.get(id);
  return t ? std::optional<std::string>(*t) : std::nullopt;
}

TextStore open_ok(const TempDir& dir) {
  auto s = TextStore::open(dir.path());
  EXPECT_TRUE(s.ok()) << s.error().to_string();
  return std::move(s).value();
}

TEST(TextStoreTest, LaterEntriesWinAndInvalidUtf8IsSkipped) {
  TempDir dir;
  std::vector<uint8_t> bytes;
  for (const auto& [id, t] : Entries{{5, "a"}, {5, "b"}, {5, "\xC0\x80"}, {5, "\xED\xA0\x80"},
                                     {5, "\xF4\x90\x80\x80"}, {5, "x\xE2\x82"}, {5, "\x80"},
                                     {6, "\xF0\x9F\x98\x80 \xE2\x82\xAC \xC3\xA9"}, {7, "\xFF"}, {8, ""}}) {
    auto e = entry_bytes(id, t);
    bytes.insert(bytes.end(), e.begin(), e.end());
  }
  test::write_bytes(dir.file("text_store.bin"), bytes);
  TextStore s = open_ok(dir);
  EXPECT_EQ(text_of(s, 5), "b");
  EXPECT_EQ(text_of(s, 6), "\xF0\x9F\x98\x80 \xE2\x82\xAC \xC3\xA9");
  EXPECT_EQ(text_of(s, 7), std::nullopt);
  EXPECT_EQ(text_of(s, 8), "");  // an empty text is a text, not an absence

  // A batch with the same pack twice keeps the later text, in memory and on disk.
  ASSERT_TRUE(s.set(Entries{{9, "first"}, {9, "second"}}).ok());
  EXPECT_EQ(text_of(s, 9), "second");
  EXPECT_EQ(text_of(open_ok(dir), 9), "second");
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
  EXPECT_EQ(EngineError(r.error()).to_string(), "storage I/O error: text too large");
  EXPECT_EQ(test::read_bytes(dir.file("text_store.bin")), before);
  EXPECT_EQ(text_of(s, 2), std::nullopt);
}

TEST(TextStoreTest, ReloadFollowsTheFileAndKeepsTheMapWhenUnreadable) {
  TempDir dir;
  const std::string file = dir.file("text_store.bin");
  TextStore s = open_ok(dir);
  ASSERT_TRUE(s.set(Entries{{1, "one"}, {2, "two"}}).ok());
  s.remove(1);  // memory only
  test::append_bytes(file, entry_bytes(3, "three"));  // another writer
  ASSERT_TRUE(s.reload().ok());
  EXPECT_EQ(text_of(s, 1), "one");
  EXPECT_EQ(text_of(s, 3), "three");
  // A directory under the file's name can be examined but not read.
  ASSERT_TRUE(platform::unlink(file).ok());
  ASSERT_TRUE(platform::create_dir(file).ok());
  EXPECT_FALSE(s.reload().ok());
  EXPECT_FALSE(TextStore::open(dir.path()).ok());
  EXPECT_EQ(text_of(s, 1), "one");
  ASSERT_TRUE(platform::remove_dir(file).ok());
  ASSERT_TRUE(s.reload().ok());  // a vanished file empties the map
  EXPECT_EQ(s.size(), 0u);
}

// What a power loss leaves at the end of the file: zeros from some offset of
// the last append on. Those entries are never read and are cut before the
// next append; an empty text, which ends in zero bytes itself, stays whole.
TEST(TextStoreTest, ZerosAtTheEndAreATornTail) {
  auto zeroed_from = [](std::vector<uint8_t> b, size_t at) {
    std::fill(b.begin() + static_cast<ptrdiff_t>(at), b.end(), 0);
    return b;
  };
  auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const auto head = cat(entry_bytes(44, "orig-44"), entry_bytes(8, ""));
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    std::optional<std::string> text_44, text_8;
  };
  const Case cases[] = {
      {"an empty text last", head, "orig-44", ""},
      {"an empty text, then an append zeroed whole",
       cat(head, std::vector<uint8_t>(20, 0)), "orig-44", ""},
      {"pack 300's id zeroed to 44", cat(head, zeroed_from(entry_bytes(300, "orig-300"), 1)), "orig-44", ""},
      {"its length zeroed", cat(head, zeroed_from(entry_bytes(44, "a new text"), 8)), "orig-44", ""},
      {"its text cut to zeros", cat(head, zeroed_from(entry_bytes(44, "a new text"), 20)), "orig-44", ""},
      {"a batch of two, zeroed from the first text",
       cat(head, zeroed_from(cat(entry_bytes(44, "a new text"), entry_bytes(8, "b")), 15)), "orig-44", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    test::write_bytes(dir.file("text_store.bin"), c.bytes);
    TextStore s = open_ok(dir);
    EXPECT_EQ(text_of(s, 44), c.text_44);
    EXPECT_EQ(text_of(s, 8), c.text_8);
    EXPECT_EQ(text_of(s, 0), std::nullopt);
    ASSERT_TRUE(s.set(Entries{{9, "after"}}).ok());
    EXPECT_EQ(test::read_bytes(dir.file("text_store.bin")), cat(head, entry_bytes(9, "after")));
  }
}

}  // namespace
}  // namespace qvn
