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

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An append writes its entries with the first pack id zero and syncs them
// before it writes that id. A file that ends in an entry of pack 0 ends in an
// append that never committed, whatever zeros a power loss left in it or
// wherever it was cut: it is never read, and the next append cuts it.
TEST(TextStoreTest, AnAppendWhosePackIdIsStillZeroIsTorn) {
  auto zeroed_from = [](std::vector<uint8_t> b, size_t at) {
    std::fill(b.begin() + static_cast<ptrdiff_t>(at), b.end(), 0);
    return b;
  };
  auto cut_at = [](std::vector<uint8_t> b, size_t at) {
    b.resize(at);
    return b;
  };
  const auto head = cat(entry_bytes(44, "orig-44"), entry_bytes(8, ""));
  const auto uncommitted = entry_bytes(0, "a new text");
  const std::pair<const char*, std::vector<uint8_t>> tails[] = {
      {"whole, its id not yet written", uncommitted},
      {"a batch of two, the first id not yet written", cat(uncommitted, entry_bytes(8, "b"))},
      {"its length zeroed", zeroed_from(uncommitted, 8)},
      {"its text zeroed", zeroed_from(uncommitted, 15)},
      {"zeroed whole", std::vector<uint8_t>(20, 0)},
      {"cut inside its id", cut_at(uncommitted, 5)},
      {"cut before its text", cut_at(uncommitted, 12)},
      {"cut inside its text", cut_at(uncommitted, 15)},
  };
  for (const auto& [what, tail] : tails) {
    SCOPED_TRACE(what);
    TempDir dir;
    test::write_bytes(dir.file("text_store.bin"), cat(head, tail));
    TextStore s = open_ok(dir);
    EXPECT_EQ(text_of(s, 44), "orig-44");
    EXPECT_EQ(text_of(s, 8), "");
    EXPECT_EQ(text_of(s, 0), std::nullopt);
    ASSERT_TRUE(s.set(Entries{{9, "after"}}).ok());
    EXPECT_EQ(test::read_bytes(dir.file("text_store.bin")), cat(head, entry_bytes(9, "after")));
  }
}

}  // namespace
}  // namespace qvn
