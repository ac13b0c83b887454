// The small append-only files of an engine directory share one discipline:
// exact bytes per entry, a torn last entry ignored at open and cut before
// the next append whatever its bytes hold, damage in the middle of a file
// never cut (the append goes to the end), and a failed append cut back.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/le_bytes.h"
#include "core/synaptic_entry.h"
#include "engine/trace.h"
#include "storage/append_file.h"
#include "storage/deletion_log.h"
#include "storage/synaptic_bank.h"
#include "storage/text_store.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using Bytes = std::vector<uint8_t>;
using Ids = std::vector<uint64_t>;
constexpr uint64_t kId = 0x0102030405060708ull;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes prefix(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<ptrdiff_t>(n)); }

struct AppendFile {
  std::string name;
  Bytes golden;  // what append(dir, kId, 2) writes
  bool created_at_open;  // otherwise by the first append
  size_t damage_at;     // a byte whose damage a load can tell; SIZE_MAX: none

  bool variable_size;   // `size` sets the entry's length
  std::function<IoResult<void>(const std::string& dir, uint64_t id, uint32_t size)> append;
  std::function<Ids(const std::string& dir)> load;  // ids in file order
};

std::vector<AppendFile> append_files() {
  std::vector<AppendFile> files;
  // A text entry has nothing but its length to judge it by: a damaged one
  // runs past the end of the file, and the whole entry that still ends there
  // tells it from a torn append.
  files.push_back({"text_store.bin",
                   {8, 7, 6, 5, 4, 3, 2, 1, 2, 0, 0, 0, 'x', 'x'},
                   false, 9, true,
                   [](const std::string& dir, uint64_t id, uint32_t size) -> IoResult<void> {
                     QVN_TRY(TextStore s, TextStore::open(dir));
                     return s.set(std::vector<std::pair<PackId, std::string>>{{id, std::string(size, 'x')}});
                   },
                   [](const std::string& dir) {
                     Ids ids;
                     auto s = TextStore::open(dir);
                     for (const auto& [id, text] : s->texts()) ids.push_back(id);
                     std::sort(ids.begin(), ids.end());
                     return ids;
                   }});
  files.push_back({"deletion_log.bin",
                   {8, 7, 6, 5, 4, 3, 2, 1},
                   false, SIZE_MAX, false,
                   [](const std::string& dir, uint64_t id, uint32_t) -> IoResult<void> {
                     QVN_TRY(DeletionLog log, DeletionLog::open(dir));
                     return log.append(id);
                   },
                   [](const std::string& dir) {
                     auto log = DeletionLog::open(dir);
                     Ids ids(log->ids().begin(), log->ids().end());
                     std::sort(ids.begin(), ids.end());
                     return ids;
                   }});
  files.push_back({"synaptic.qvn",
                   {46, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1,  // body_len, id
                    7, 0, 0, 0, 0, 0, 0, 0,               // owner
                    1, 0, 0, 0, 2, 0, 0, 0,               // rank, d_model
                    0x00, 0x38,                           // scale 0.5
                    1, 2, 3, 4, 5, 6, 7, 8,               // last_used
                    0x00, 0x00, 0xC0, 0x3F,               // quality 1.5
                    0x34, 0x12, 0x35, 0x12,               // lora_a
                    0x78, 0x56, 0x79, 0x56},              // lora_b
                   true, 3, true,  // a length that no longer fits rank and d_model
                   [](const std::string& dir, uint64_t id, uint32_t size) -> IoResult<void> {
                     QVN_TRY(SynapticBank bank, SynapticBank::open(dir));
                     SynapticEntry e{id, 7, {}, {}, 0x3800, 1, size, 0x0807060504030201ull, 1.5f};
                     for (uint16_t i = 0; i < size; ++i) {
                       e.lora_a.push_back(static_cast<uint16_t>(0x1234 + i));
                       e.lora_b.push_back(static_cast<uint16_t>(0x5678 + i));
                     }
                     return bank.append(e);
                   },
                   [](const std::string& dir) {
                     Ids ids;
                     auto entries = SynapticBank::open(dir)->load_for_owner(7);
                     for (const auto& e : *entries) ids.push_back(e.id);
                     return ids;
                   }});
  files.push_back({"trace.wal",
                   {0x01, 8, 7, 6, 5, 4, 3, 2, 1,  // tag, from
                    9, 0, 0, 0, 0, 0, 0, 0,        // to
                    0x03,                          // kind
                    0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11},
                   true, 0, false,  // the tag
                   [](const std::string& dir, uint64_t id, uint32_t) -> IoResult<void> {
                     QVN_TRY(TraceLog log, TraceLog::open(dir));
                     return log.append(TraceEdge{id, 9, 0x1122334455667788ull, EdgeType::Supports});
                   },
                   [](const std::string& dir) {
                     Ids ids;
                     auto edges = TraceLog::open(dir)->read_all();
                     for (const TraceEdge& e : *edges) ids.push_back(e.from);
                     return ids;
                   }});
  return files;
}

void append_ok(const AppendFile& f, const std::string& dir, uint64_t id, uint32_t size = 4) {
  auto r = f.append(dir, id, size);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
}

// An entry as the store writes it (the golden test pins those bytes).
Bytes entry(const AppendFile& f, uint64_t id, uint32_t size = 4) {
  test::TempDir dir;
  append_ok(f, dir.path(), id, size);
  return test::read_bytes(dir.file(f.name));
}

TEST(AppendFilesTest, GoldenBytesAndFileOrder) {
  for (const AppendFile& f : append_files()) {
    SCOPED_TRACE(f.name);
    test::TempDir dir;
    EXPECT_EQ(f.load(dir.path()), Ids{});
    EXPECT_EQ(platform::exists(dir.file(f.name)).value(), f.created_at_open);
    append_ok(f, dir.path(), 2);
    append_ok(f, dir.path(), 3);
    const uint64_t before = test::size_of(dir.file(f.name));
    append_ok(f, dir.path(), kId, 2);
    const Bytes all = test::read_bytes(dir.file(f.name));
    EXPECT_EQ(Bytes(all.begin() + static_cast<ptrdiff_t>(before), all.end()), f.golden);
    EXPECT_EQ(f.load(dir.path()), (Ids{2, 3, kId}));
  }
}

// The text store and the adapter file commit an append in two synced steps:
// every byte but the leading field (a pack id, a length prefix), which stays
// zero, then that field. A power loss before the second sync leaves an entry
// that loads skip whatever else it holds. The other files' entries are one
// write and one sync.
size_t leading_field(const AppendFile& f) {
  if (f.name == "text_store.bin") return 8;
  if (f.name == "synaptic.qvn") return 4;
  return 0;
}

TEST(AppendFilesTest, TheLeadingFieldIsSyncedAfterTheRestOfTheEntry) {
  namespace fault = platform::fault;
  for (const AppendFile& f : append_files()) {
    SCOPED_TRACE(f.name);
    test::TempDir dir;
    append_ok(f, dir.path(), 2);
    const Bytes before = test::read_bytes(dir.file(f.name));
    fault::arm(fault::Op::Sync, UINT64_MAX);
    append_ok(f, dir.path(), kId, 2);
    const std::vector<Bytes> synced = fault::synced_files();
    fault::disarm();
    const Bytes whole = cat({before, f.golden});
    Bytes uncommitted = whole;
    std::fill_n(uncommitted.begin() + static_cast<ptrdiff_t>(before.size()), leading_field(f), 0);
    const std::vector<Bytes> want =
        leading_field(f) ? std::vector<Bytes>{uncommitted, whole} : std::vector<Bytes>{whole};
    EXPECT_EQ(synced, want);
    // Between the two syncs, nothing of the entry is read, and the next
    // append takes its place.
    test::write_bytes(dir.file(f.name), uncommitted);
    EXPECT_EQ(f.load(dir.path()), leading_field(f) ? Ids{2} : (Ids{2, kId}));
  }
}

// An entry whose bytes hold a whole-looking entry of the same file that ends
// inside it (`ends_at` bytes in): a torn copy cut there looks like a torn
// entry followed by a whole one. Empty for fixed-size entries, whose torn
// part is shorter than any entry.
struct HidingEntry {
  Bytes bytes;
  size_t ends_at = 0;
};
// A text cut right where such an entry ends reads as damage in the middle
// (see the text store), so the text store has none here.
HidingEntry hiding_entry(const AppendFile& f) {
  test::TempDir dir;
  if (f.name == "synaptic.qvn") {
    const Bytes inner = entry(f, 9, 1);  // 46 bytes, the last one not zero
    SynapticEntry e{2, 7, {}, {}, 0x3800, 1, 40, 0, 1.5f};
    for (size_t i = 0; i < 40; ++i) {
      const size_t at = 2 * i;  // lora_a: 3 bytes, then the inner record
      auto byte = [&](size_t k) -> uint16_t { return k >= 3 && k - 3 < inner.size() ? inner[k - 3] : 0x11; };
      e.lora_a.push_back(static_cast<uint16_t>(byte(at) | byte(at + 1) << 8));
      e.lora_b.push_back(0x2222);
    }
    auto bank = SynapticBank::open(dir.path());
    EXPECT_TRUE(bank->append(e).ok());
    return {test::read_bytes(dir.file(f.name)), 42 + 3 + inner.size()};
  }
  return {};
}

TEST(AppendFilesTest, AppendsCutOnlyATornLastEntry) {
  for (const AppendFile& f : append_files()) {
    SCOPED_TRACE(f.name);
    const Bytes one = entry(f, 1), two = entry(f, 2), three = entry(f, 3);
    const HidingEntry hiding = hiding_entry(f);
    std::vector<Bytes> torn{Bytes(5, 0xff), Bytes(60, 0)};
    // Every cut of an append, including the ones where what was written
    // ends like a whole entry.
    for (const Bytes* whole : {&two, &hiding.bytes}) {
      for (size_t cut = 1; cut < whole->size(); ++cut) torn.push_back(prefix(*whole, cut));
    }
    // No zero run to tell that cut by.
    if (!hiding.bytes.empty()) {
      ASSERT_NE(hiding.bytes[hiding.ends_at - 1], 0);
    }
    for (const Bytes& junk : torn) {
      SCOPED_TRACE(junk.size());
      // Open ignores the torn tail without touching the file; the append
      // cuts it, and lands where the next load reads it.
      test::TempDir dir;
      const std::string path = dir.file(f.name);
      test::write_bytes(path, cat({one, junk}));
      EXPECT_EQ(f.load(dir.path()), Ids{1});
      EXPECT_EQ(test::size_of(path), one.size() + junk.size());
      append_ok(f, dir.path(), 3);
      EXPECT_EQ(f.load(dir.path()), (Ids{1, 3}));
      EXPECT_EQ(test::read_bytes(path), cat({one, three}));
    }
    if (f.damage_at != SIZE_MAX) {
      // Damage in the middle: a load stops there, but the entries behind it
      // stay on disk byte for byte, and the append goes to the end.
      // A damaged text length followed by a torn entry reads as one torn
      // append: nothing whole ends the file.
      std::vector<Bytes> lasts{three};
      if (f.name != "text_store.bin") lasts.push_back(prefix(three, three.size() - 1));
      for (const Bytes& last : lasts) {
        test::TempDir dir;
        const std::string path = dir.file(f.name);
        Bytes damaged = two;
        damaged[f.damage_at] = 0x7f;
        const Bytes before = cat({one, damaged, last});
        test::write_bytes(path, before);
        EXPECT_EQ(f.load(dir.path()), Ids{1});
        append_ok(f, dir.path(), 4);
        EXPECT_EQ(test::read_bytes(path), cat({before, entry(f, 4)}));
        EXPECT_EQ(f.load(dir.path()), Ids{1});
      }
    }
    if (f.variable_size) {
      // Another writer replaced the torn entry seen at open by a whole one
      // of the same length: that one is not cut.
      test::TempDir dir;
      const std::string path = dir.file(f.name);
      const Bytes theirs = entry(f, 5, 3);
      test::write_bytes(path, cat({one, prefix(entry(f, 2, 9), theirs.size())}));
      auto text_store = TextStore::open(dir.path());
      auto bank = SynapticBank::open(dir.path());
      test::write_bytes(path, cat({one, theirs}));
      if (f.name == "text_store.bin") {
        ASSERT_TRUE(text_store->set(std::vector<std::pair<PackId, std::string>>{{3, "new"}}).ok());
      } else {
        ASSERT_TRUE(bank->append(SynapticEntry{3, 7, {}, {}, 0, 0, 0, 0, 0.0f}).ok());
      }
      Ids got = f.load(dir.path());
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, (Ids{1, 3, 5}));
    }
  }
}

TEST(AppendFilesTest, FailedAppendCutsBack) {
  struct Fault {
    platform::fault::Op op;
    int err;
  };
  for (const AppendFile& f : append_files()) {
    for (Fault fault : {Fault{platform::fault::Op::Write, ENOSPC}, Fault{platform::fault::Op::Sync, EIO}}) {
      SCOPED_TRACE(f.name + (fault.op == platform::fault::Op::Sync ? " sync" : " write"));
      test::TempDir dir;
      append_ok(f, dir.path(), 1);
      const Bytes before = test::read_bytes(dir.file(f.name));
      platform::fault::arm(fault.op, 1, fault.err, /*short_write=*/true);
      auto r = f.append(dir.path(), 2, 4);
      const bool fired = platform::fault::fired();
      platform::fault::disarm();
      ASSERT_TRUE(fired);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().to_string(), os_error_text(fault.err));
      EXPECT_EQ(test::read_bytes(dir.file(f.name)), before);
      append_ok(f, dir.path(), 3);
      EXPECT_EQ(f.load(dir.path()), (Ids{1, 3}));
    }
  }
}

// Only a writer outside the lock appends while an append is failing; the
// bytes it put behind ours are not ours to cut.
TEST(AppendFilesTest, FailedAppendKeepsWhatAnotherWriterAppendedBehindIt) {
  test::TempDir dir;
  const std::string path = dir.file("file");
  const Bytes before{9}, ours_half{1, 2}, theirs{5, 6, 7, 8};
  test::write_bytes(path, cat({before, ours_half, theirs}));
  auto f = platform::File::open(path, platform::Access::ReadWrite);
  ASSERT_TRUE(f.ok());
  TornTail tail;
  abandon_append(*f, tail, before.size(), 4);
  EXPECT_EQ(test::read_bytes(path), cat({before, ours_half, theirs}));
}

// A name is durable only once the directory holding it is synced: the first
// entry of each file syncs it (the file may be new), later ones do not, and
// every directory that create_dir_all makes is synced in its parent.
TEST(AppendFilesTest, NewNamesAreSyncedInTheirDirectory) {
  namespace fault = platform::fault;
  for (const AppendFile& f : append_files()) {
    SCOPED_TRACE(f.name);
    test::TempDir tmp;
    const std::string dir = tmp.file("engine");
    ASSERT_TRUE(platform::create_dir(dir).ok());
    auto dir_syncs = [&] {
      auto synced = fault::synced_dirs();
      return std::count(synced.begin(), synced.end(), dir);
    };
    fault::arm(fault::Op::Sync, UINT64_MAX);
    ASSERT_TRUE(f.load(dir).empty());
    EXPECT_EQ(dir_syncs(), f.created_at_open ? 1 : 0);
    append_ok(f, dir, 1);
    EXPECT_EQ(dir_syncs(), f.created_at_open ? 2 : 1);
    fault::arm(fault::Op::Sync, UINT64_MAX);
    append_ok(f, dir, 2);
    EXPECT_EQ(fault::synced_dirs(), std::vector<std::string>{});
    fault::disarm();
  }

  test::TempDir tmp;
  fault::arm(fault::Op::Sync, UINT64_MAX);
  ASSERT_TRUE(platform::create_dir_all(tmp.file("a/b/c")).ok());
  auto synced = fault::synced_dirs();
  std::sort(synced.begin(), synced.end());
  EXPECT_EQ(synced, (std::vector<std::string>{tmp.path(), tmp.file("a"), tmp.file("a/b")}));
  fault::arm(fault::Op::Sync, UINT64_MAX);
  ASSERT_TRUE(platform::create_dir_all(tmp.file("a/b/c")).ok());
  EXPECT_TRUE(fault::synced_dirs().empty());
  fault::disarm();
  EXPECT_EQ(platform::parent_dir("x"), ".");
  EXPECT_EQ(platform::parent_dir("/x//"), "/");
  EXPECT_EQ(platform::parent_dir("a//b/"), "a");
}

// Processes that create one new directory and its small files at the same
// moment all succeed.
TEST(AppendFilesTest, RacingCreatorsAllSucceed) {
  constexpr int kProcs = 8;
  for (int round = 0; round < 4; ++round) {
    test::TempDir tmp;
    const std::string dir = tmp.file("a/b/engine");
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> kids;
    for (int i = 0; i < kProcs; ++i) {
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(gate[1]);
        char c;
        (void)::read(gate[0], &c, 1);  // returns when the parent closes the gate
        const bool ok = platform::create_dir_all(dir).ok() && SynapticBank::open(dir).ok() &&
                        TraceLog::open(dir).ok() && TextStore::open(dir).ok() && DeletionLog::open(dir).ok();
        ::_exit(ok ? 0 : 1);
      }
      kids.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    int failed = 0;
    for (pid_t pid : kids) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failed, 0) << "round " << round;
  }
}

}  // namespace
}  // namespace qvn
