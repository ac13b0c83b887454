// The small append-only files of an engine directory, as several writers
// leave them: what an append may cut off behind the last whole entry, and
// what it must leave alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/le_bytes.h"
#include "core/synaptic_entry.h"
#include "engine/trace.h"
#include "storage/deletion_log.h"
#include "storage/synaptic_bank.h"
#include "storage/text_store.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes prefix(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<ptrdiff_t>(n)); }

// One file: its entries as bytes (`size` picks one of a few entry lengths
// where the format has several) and its store's append and load.
struct SmallFile {
  std::string name;
  std::function<Bytes(uint64_t id, uint32_t size)> entry;
  // A byte of `entry` that holds a length or tag; damage goes there.
  size_t damage_at;
  bool variable_size;
  // Zero bytes hold no entry of the format (for the others they read as
  // entries of id 0).
  bool zeros_are_junk;
  uint32_t appended_size;  // the `size` of what `append` writes
  std::function<void(const std::string& dir, uint64_t id)> append;
  std::function<std::vector<uint64_t>(const std::string& dir)> load;
};

std::vector<SmallFile> small_files() {
  std::vector<SmallFile> files;
  files.push_back({"text_store.bin",
                   [](uint64_t id, uint32_t size) {
                     Bytes b;
                     le::put(b, id);
                     le::put(b, size);
                     b.insert(b.end(), size, 'x');
                     return b;
                   },
                   11, true, false, 3,
                   [](const std::string& dir, uint64_t id) {
                     auto s = TextStore::open(dir);
                     ASSERT_TRUE(s.ok());
                     ASSERT_TRUE(s->set(std::vector<std::pair<PackId, std::string>>{{id, "new"}}).ok());
                   },
                   [](const std::string& dir) {
                     auto s = TextStore::open(dir);
                     std::vector<uint64_t> ids;
                     for (const auto& [id, text] : s->texts()) ids.push_back(id);
                     return ids;
                   }});
  files.push_back({"deletion_log.bin",
                   [](uint64_t id, uint32_t) {
                     Bytes b;
                     le::put(b, id);
                     return b;
                   },
                   SIZE_MAX, false, false, 0,
                   [](const std::string& dir, uint64_t id) {
                     auto log = DeletionLog::open(dir);
                     ASSERT_TRUE(log.ok());
                     ASSERT_TRUE(log->append(id).ok());
                   },
                   [](const std::string& dir) {
                     auto log = DeletionLog::open(dir);
                     return std::vector<uint64_t>(log->ids().begin(), log->ids().end());
                   }});
  files.push_back({"synaptic.qvn",
                   [](uint64_t id, uint32_t size) {
                     Bytes b;
                     le::put(b, static_cast<uint32_t>(38 + 4 * size));
                     le::put(b, id);
                     le::put(b, uint64_t{7});  // owner
                     le::put(b, uint32_t{1});
                     le::put(b, size);
                     b.resize(b.size() + 2 + 8 + 4 + 4 * size, 0);
                     return b;
                   },
                   3, true, true, 0,
                   [](const std::string& dir, uint64_t id) {
                     auto bank = SynapticBank::open(dir);
                     ASSERT_TRUE(bank.ok());
                     SynapticEntry e;
                     e.id = id;
                     e.owner = 7;
                     ASSERT_TRUE(bank->append(e).ok());
                   },
                   [](const std::string& dir) {
                     auto bank = SynapticBank::open(dir);
                     std::vector<uint64_t> ids;
                     for (const auto& e : bank->index()) ids.push_back(e.id);
                     return ids;
                   }});
  files.push_back({"trace.wal",
                   [](uint64_t id, uint32_t) {
                     Bytes b{1};
                     le::put(b, id);
                     le::put(b, id);
                     b.push_back(0);
                     le::put(b, uint64_t{0});
                     return b;
                   },
                   0, false, true, 0,
                   [](const std::string& dir, uint64_t id) {
                     auto log = TraceLog::open(dir);
                     ASSERT_TRUE(log.ok());
                     ASSERT_TRUE(log->append(TraceEdge{id, id, 0, EdgeType::CausedBy}).ok());
                   },
                   [](const std::string& dir) {
                     auto edges = TraceLog::open(dir)->read_all();
                     std::vector<uint64_t> ids;
                     for (const TraceEdge& e : *edges) ids.push_back(e.from);
                     return ids;
                   }});
  return files;
}

std::vector<uint64_t> sorted(std::vector<uint64_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(SharedFilesTest, AppendsCutOnlyTailsThatHoldNoEntry) {
  for (const SmallFile& f : small_files()) {
    SCOPED_TRACE(f.name);
    const Bytes one = f.entry(1, 4), two = f.entry(2, 4), three = f.entry(3, 4);

    std::vector<Bytes> junks{prefix(two, two.size() - 1), Bytes(5, 0xff)};
    if (f.zeros_are_junk) junks.push_back(Bytes(60, 0));
    {
      // A torn last entry, or junk, is cut before the append.
      for (const Bytes& junk : junks) {
        test::TempDir dir;
        const std::string path = dir.file(f.name);
        test::write_bytes(path, cat({one, junk}));
        f.append(dir.path(), 3);
        EXPECT_EQ(sorted(f.load(dir.path())), (std::vector<uint64_t>{1, 3}));
        EXPECT_EQ(test::size_of(path), one.size() + f.entry(3, f.appended_size).size());
      }
    }
    if (f.damage_at != SIZE_MAX) {
      // Damage in the middle: the entries behind it stay on disk, and the
      // append goes after them.
      test::TempDir dir;
      const std::string path = dir.file(f.name);
      Bytes damaged = two;
      damaged[f.damage_at] = 0x7f;
      const Bytes before = cat({one, damaged, three});
      test::write_bytes(path, before);
      f.append(dir.path(), 4);
      EXPECT_EQ(prefix(test::read_bytes(path), before.size()), before);
      EXPECT_GT(test::size_of(path), before.size());
    }
    if (f.variable_size) {
      // Another writer replaced the torn entry seen at open by a whole one
      // of the same length: that one is not cut.
      test::TempDir dir;
      const std::string path = dir.file(f.name);
      const Bytes theirs = f.entry(5, 3);
      test::write_bytes(path, cat({one, prefix(f.entry(2, 9), theirs.size())}));
      auto text_store = TextStore::open(dir.path());
      auto bank = SynapticBank::open(dir.path());
      test::write_bytes(path, cat({one, theirs}));
      if (f.name == "text_store.bin") {
        ASSERT_TRUE(text_store->set(std::vector<std::pair<PackId, std::string>>{{3, "new"}}).ok());
      } else {
        SynapticEntry e;
        e.id = 3;
        ASSERT_TRUE(bank->append(e).ok());
      }
      EXPECT_EQ(sorted(f.load(dir.path())), (std::vector<uint64_t>{1, 3, 5}));
    }
  }
}

}  // namespace
}  // namespace qvn
