// Every durable operation is run with the Nth write, sync, rename or unlink
// failing (also a half-written write with ENOSPC), for N = 1, 2, 3, ... until
// it runs without reaching the fault. After each failure: an error came back,
// everything acknowledged before is readable here and in a freshly opened
// engine, the two agree, the engine takes new writes, and the same operation
// run again succeeds and survives a reopen.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "core/fault.h"
#include "engine/checkpoint.h"
#include "support/engine_fixture.h"

namespace qvn {
namespace {

namespace fs = std::filesystem;
namespace fault = platform::fault;
using test::vec;

// Every acknowledged append here is fully synced; on a memory file system the
// syncs cost nothing, and the injected faults are the same.
[[maybe_unused]] const bool ON_TMPFS = [] {
  std::error_code ec;
  return fs::is_directory("/dev/shm", ec) && ::setenv("TMPDIR", "/dev/shm", /*overwrite=*/0) == 0;
}();

constexpr uint64_t NO_VAMANA = 1'000'000;
constexpr auto FOLLOWS = static_cast<uint8_t>(EdgeType::Follows);

PackWriteRequest req(OwnerId owner, float seed, std::optional<std::string> text) {
  PackWriteRequest r;
  r.owner = owner;
  r.retrieval_key = vec(16, seed);
  r.layers = {{1, vec(8, seed + 1)}, {2, vec(8, seed + 2)}};
  r.salience = 30.0f;
  r.text = std::move(text);
  return r;
}

struct FaultKind {
  const char* name;
  fault::Op op;
  int err;
  bool short_write;
};

constexpr FaultKind KINDS[] = {
    {"write EIO", fault::Op::Write, EIO, false},   {"short write ENOSPC", fault::Op::Write, ENOSPC, true},
    {"sync EIO", fault::Op::Sync, EIO, false},     {"rename EIO", fault::Op::Rename, EIO, false},
    {"unlink EIO", fault::Op::Unlink, EIO, false},
};

struct PackFact {
  OwnerId owner = 0;
  std::optional<std::string> text;
};

// What callers were told is stored.
struct Ledger {
  std::map<PackId, PackFact> packs;
  std::map<CellId, OwnerId> cells;
  std::set<PackId> deleted;
  std::vector<std::pair<PackId, PackId>> links;
  std::map<PackId, uint64_t> views;
  std::vector<uint64_t> schedules;
  std::vector<SynapticEntry> adapters;
};

struct Config {
  uint64_t threshold = NO_VAMANA;
  std::optional<uint64_t> segment_size;
  std::optional<uint64_t> write_buffer;  // max batch size
};

struct Fixture {
  explicit Fixture(Config c) : config(c), path(dir.file("db")), aside(dir.file("aside")) {
    fs::create_directories(aside);
    engine.emplace(test::must(config.write_buffer
                                  ? Engine::open_with_write_buffer(path, *config.write_buffer, 0)
                                  : Engine::open(path, config.threshold, config.segment_size)));
  }
  Engine& e() { return *engine; }
  Result<Engine> reopen() const { return Engine::open(path, config.threshold, config.segment_size); }
  std::string at(const std::string& name) const { return platform::join(aside, name); }
  PackId first() const { return ledger.packs.begin()->first; }
  PackId second() const { return std::next(ledger.packs.begin())->first; }

  Config config;
  test::TempDir dir;
  std::string path;
  std::string aside;  // snapshots, restores and checkpoints, outside the engine directory
  std::optional<Engine> engine;
  Ledger ledger;
  std::vector<std::pair<PackId, PackFact>> pending;  // buffered, ids returned
  std::optional<Ledger> saved;                       // the state a snapshot holds
  uint64_t counter = 0;
  uint64_t checkpoints = 0;
  CompactionStats compaction;
};

void verify(Engine& e, const Ledger& l, const std::string& where) {
  SCOPED_TRACE(where);
  for (const auto& [id, fact] : l.packs) {
    auto hit = e.load_pack_by_id(id);
    ASSERT_TRUE(hit.ok()) << "pack " << id << ": " << hit.error().to_string();
    EXPECT_EQ(hit->owner, fact.owner);
    EXPECT_EQ(hit->text, fact.text) << "pack " << id;
    EXPECT_EQ(hit->layers.size(), 2u);
    // A drain that failed and was retried must still store every payload.
    for (const PackLayer& layer : hit->layers) EXPECT_EQ(layer.data.size(), 8u) << "pack " << id;
  }
  for (PackId id : l.deleted) EXPECT_FALSE(e.load_pack_by_id(id).ok()) << "deleted pack " << id;
  for (const auto& [id, owner] : l.cells) {
    auto c = e.block_pool().read_cell(id);
    ASSERT_TRUE(c.ok()) << "cell " << id << ": " << c.error().to_string();
    EXPECT_EQ(c->owner, owner);
  }
  for (const auto& [a, b] : l.links) {
    auto la = e.pack_links(a, FOLLOWS), lb = e.pack_links(b, FOLLOWS);
    EXPECT_NE(std::find(la.begin(), la.end(), b), la.end()) << a << " -> " << b;
    EXPECT_NE(std::find(lb.begin(), lb.end(), a), lb.end()) << b << " -> " << a;
  }
  // A failed call may have stored some of its keys before failing.
  for (const auto& [pack, n] : l.views) EXPECT_GE(*e.view_count(pack), n);
  auto listed = e.scheduler().list();
  for (uint64_t id : l.schedules) {
    EXPECT_TRUE(std::any_of(listed.begin(), listed.end(), [&](const ScheduledEntry& s) { return s.id == id; }))
        << "schedule " << id;
  }
  auto adapters = e.synaptic().load_for_owner(7);
  ASSERT_TRUE(adapters.ok());
  EXPECT_EQ(*adapters, l.adapters);
}

// The engine that lived through the failure and one opened afresh on its
// directory see the same packs and indexed keys, and the live one never hands
// out an id the directory already holds.
void check_all(Fixture& f, const std::string& where) {
  verify(f.e(), f.ledger, where + ", live engine");
  auto fresh = f.reopen();
  ASSERT_TRUE(fresh.ok()) << where << ": reopen: " << fresh.error().to_string();
  verify(*fresh, f.ledger, where + ", reopened");
  SCOPED_TRACE(where);
  Engine& live = f.e();
  auto ids = [](const std::vector<PackSummary>& v) {
    std::set<PackId> s;
    for (const auto& p : v) s.insert(p.pack_id);
    return s;
  };
  EXPECT_EQ(live.pack_count(), fresh->pack_count());
  EXPECT_EQ(ids(live.list_packs(std::nullopt)), ids(fresh->list_packs(std::nullopt)));
  EXPECT_EQ(live.status().slb_occupancy, fresh->status().slb_occupancy);
  EXPECT_EQ(live.status().trace_edges, fresh->status().trace_edges);
  EXPECT_GE(live.next_pack_id(), fresh->next_pack_id());
  EXPECT_GE(live.next_cell_id(), fresh->next_cell_id());
}

// A write and a read on the engine that saw the failure.
void probe(Fixture& f) {
  const uint64_t n = ++f.counter;
  auto cell = f.e().mem_write(5, 0, vec(16, 500.0f + n), vec(4, 1), 10, std::nullopt);
  ASSERT_TRUE(cell.ok()) << cell.error().to_string();
  EXPECT_GE(*cell, f.ledger.cells.empty() ? 0 : f.ledger.cells.rbegin()->first + 1);
  f.ledger.cells[*cell] = 5;
  if (f.config.write_buffer) return;
  std::string text = "probe " + std::to_string(n);
  auto pack = f.e().mem_write_pack(req(5, 600.0f + n, text));
  ASSERT_TRUE(pack.ok()) << pack.error().to_string();
  f.ledger.packs[*pack] = {5, text};
}

bool leftover(const std::string& dir, const std::string& part) {
  if (!fs::exists(dir)) return false;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.path().filename().string().find(part) != std::string::npos) return true;
  }
  return false;
}

// Packs 1 (text) and 2, a standalone cell.
void base_state(Fixture& f) {
  auto a = f.e().mem_write_pack(req(1, 1, "alpha"));
  auto b = f.e().mem_write_pack(req(2, 2, std::nullopt));
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(f.e().flush_buffer().ok());
  f.ledger.packs[*a] = {1, "alpha"};
  f.ledger.packs[*b] = {2, std::nullopt};
  auto c = f.e().mem_write(3, 0, vec(16, 3), vec(4, 3), 20, std::nullopt);
  ASSERT_TRUE(c.ok());
  f.ledger.cells[*c] = 3;
}

void queue_two(Fixture& f) {
  base_state(f);
  for (int i = 0; i < 2; ++i) {
    std::string text = "queued " + std::to_string(i);
    auto id = f.e().mem_write_pack(req(9, 90.0f + i, text));
    ASSERT_TRUE(id.ok());
    f.pending.push_back({*id, {9, text}});
  }
}

void settle_pending(Fixture& f) {
  for (auto& [id, fact] : f.pending) f.ledger.packs[id] = fact;
  f.pending.clear();
}

// Segment 0 holds packs 1 and 2 and a standalone cell; every later append
// starts a segment of its own. With both packs deleted, one record in seven of
// segment 0 is live, so compaction moves the cell and removes the file.
void compaction_state(Fixture& f) {
  f.engine.reset();
  f.engine.emplace(test::open_engine(f.path, NO_VAMANA));
  base_state(f);
  f.engine.reset();
  f.engine.emplace(test::must(f.reopen()));
  auto later = f.e().mem_write_pack(req(1, 21, "later"));
  ASSERT_TRUE(later.ok());
  f.ledger.packs[*later] = {1, "later"};
  for (PackId p : {PackId{1}, PackId{2}}) {
    ASSERT_TRUE(f.e().delete_pack(p).ok());
    f.ledger.packs.erase(p);
    f.ledger.deleted.insert(p);
  }
}

Result<void> snapshot(Fixture& f) {
  QVN_TRY_VOID(f.e().snapshot(f.at("snap.tar")));
  f.saved = f.ledger;
  return {};
}

void check_snapshot(Fixture& f) {
  auto restored = Engine::restore_from(f.at("snap.tar"), f.at("check-" + std::to_string(++f.counter)));
  ASSERT_TRUE(restored.ok()) << restored.error().to_string();
  verify(*restored, *f.saved, "restored snapshot");
}

// `unconfirmed`: a failed save may have published its archive before a
// later step (the directory sync) failed.
void check_checkpoints(Fixture& f, bool unconfirmed) {
  auto listed = CheckpointRepository(f.at("ckpt")).list("label");
  ASSERT_TRUE(listed.ok()) << listed.error().to_string();
  if (unconfirmed && listed->size() == f.checkpoints + 1) f.checkpoints = listed->size();
  EXPECT_EQ(listed->size(), f.checkpoints);
}

SynapticEntry adapter(uint64_t id) {
  SynapticEntry s;
  s.id = id;
  s.owner = 7;
  s.rank = 2;
  s.d_model = 3;
  s.lora_a = {1, 2, 3, 4, 5, 6};
  s.lora_b = {7, 8, 9, 10, 11, 12};
  s.scale = 0x3C00;
  s.quality = 0.5f;
  return s;
}

using Check = std::function<void(Fixture&, const FaultKind&)>;
using After = std::function<void(Fixture&, bool clean)>;

struct Operation {
  std::string name;
  Config config;
  std::function<void(Fixture&)> setup;
  // Runs the operation once; on success records what it acknowledged.
  std::function<Result<void>(Fixture&)> run;
  Check after_failure = [](Fixture&, const FaultKind&) {};
  After after_success = [](Fixture&, bool) {};
  // Fault kinds that may hit only best-effort steps, so that the operation
  // still succeeds.
  std::function<bool(const FaultKind&)> may_succeed = [](const FaultKind&) { return false; };
};

std::vector<Operation> operations() {
  const Config buffered3{NO_VAMANA, std::nullopt, 3}, buffered100{NO_VAMANA, std::nullopt, 100};
  std::vector<Operation> ops = {
      {"mem_write", {}, base_state,
       [](Fixture& f) -> Result<void> {
         QVN_TRY(CellId id, f.e().mem_write(4, 0, vec(16, 40.0f + f.counter), vec(4, 4), 60,
                                            f.ledger.cells.begin()->first));
         f.ledger.cells[id] = 4;
         return {};
       }},
      {"mem_write_batch", {}, base_state,
       [](Fixture& f) -> Result<void> {
         std::vector<CellWriteItem> items(3);
         for (int i = 0; i < 3; ++i) {
           items[i] = {6, 0, vec(16, 70.0f + i), vec(4, 7), 50, std::nullopt};
           if (i != 1) items[i].parent = f.ledger.cells.begin()->first;
         }
         QVN_TRY(std::vector<CellId> ids, f.e().mem_write_batch(std::move(items)));
         for (CellId id : ids) f.ledger.cells[id] = 6;
         return {};
       }},
      {"mem_write_pack", {}, base_state,
       [](Fixture& f) -> Result<void> {
         std::string text = "pack text " + std::to_string(f.counter);
         QVN_TRY(PackId id, f.e().mem_write_pack(req(8, 80, text)));
         f.ledger.packs[id] = {8, text};
         return {};
       }},
      {"flush_buffer", buffered100, queue_two,
       [](Fixture& f) -> Result<void> {
         QVN_TRY_VOID(f.e().flush_buffer());
         settle_pending(f);
         return {};
       }},
      // The third buffered pack fills the batch and drains it.
      {"mem_write_pack filling the buffer", buffered3, queue_two,
       [](Fixture& f) -> Result<void> {
         QVN_TRY(PackId id, f.e().mem_write_pack(req(9, 99, "third")));
         f.pending.push_back({id, {9, "third"}});
         settle_pending(f);
         return {};
       }},
      {"add_view_keys", {}, base_state,
       [](Fixture& f) -> Result<void> {
         QVN_TRY(uint64_t n, f.e().add_view_keys(f.first(), {vec(16, 11), vec(16, 12)}));
         f.ledger.views[f.first()] += n;
         return {};
       }},
      {"set_pack_texts", {}, base_state,
       [](Fixture& f) -> Result<void> {
         std::string ta = "rewritten a " + std::to_string(f.counter);
         QVN_TRY_VOID(f.e().set_pack_texts({{f.first(), ta}, {f.second(), "rewritten b"}}));
         f.ledger.packs[f.first()].text = ta;
         f.ledger.packs[f.second()].text = "rewritten b";
         return {};
       }},
      {"delete_pack", {}, base_state,
       [](Fixture& f) -> Result<void> {
         const PackId b = f.second();
         QVN_TRY_VOID(f.e().delete_pack(b));
         f.ledger.packs.erase(b);
         f.ledger.deleted.insert(b);
         return {};
       }},
      {"add_pack_edge", {}, base_state,
       [](Fixture& f) -> Result<void> {
         QVN_TRY_VOID(f.e().add_pack_edge(f.first(), f.second(), FOLLOWS));
         f.ledger.links.push_back({f.first(), f.second()});
         return {};
       }},
      {"compact", {NO_VAMANA, 1, std::nullopt}, compaction_state,
       [](Fixture& f) -> Result<void> {
         QVN_TRY(f.compaction, f.e().compact());
         return {};
       },
       [](Fixture&, const FaultKind&) {},
       [](Fixture& f, bool clean) {
         // A retry finds the work done by the failed run.
         EXPECT_TRUE(!clean || (f.compaction.segments_compacted == 1 && f.compaction.cells_moved == 1));
         EXPECT_FALSE(fs::exists(platform::join(f.path, "segment_000000.qvn")));
       }},
      {"snapshot", {}, base_state, snapshot,
       [](Fixture& f, const FaultKind&) {
         EXPECT_FALSE(leftover(f.aside, ".partial-"));
         // Either no archive, or a whole one from the renamed file.
         if (fs::exists(f.at("snap.tar"))) {
           f.saved = f.ledger;
           check_snapshot(f);
         }
       },
       [](Fixture& f, bool) { check_snapshot(f); }},
      {"restore_from", {},
       [](Fixture& f) {
         base_state(f);
         ASSERT_TRUE(snapshot(f).ok());
       },
       [](Fixture& f) -> Result<void> {
         QVN_TRY(Engine restored, Engine::restore_from(f.at("snap.tar"), f.at("target")));
         verify(restored, *f.saved, "restored engine");
         return {};
       },
       [](Fixture& f, const FaultKind&) {
         // Nothing written is left behind, or the restore completed and only
         // opening the engine failed.
         if (fs::exists(f.at("target")) && !fs::is_empty(f.at("target"))) {
           Engine e = test::open_engine(f.at("target"));
           verify(e, *f.saved, "completed restore");
           fs::remove_all(f.at("target"));
         }
       }},
      {"checkpoint save", {}, base_state,
       [](Fixture& f) -> Result<void> {
         QVN_TRY(CheckpointEntry entry, CheckpointRepository(f.at("ckpt")).save(
                                            [&](const std::string& out) { return f.e().snapshot(out); }, "label"));
         ++f.checkpoints;
         f.saved = f.ledger;
         return {};
       },
       [](Fixture& f, const FaultKind& k) {
         check_checkpoints(f, true);
         // Only a failed removal of the published archive's other name may stay.
         EXPECT_TRUE(k.op == fault::Op::Unlink || !leftover(f.aside, ".pending-"));
         EXPECT_FALSE(leftover(f.aside, ".partial-"));
       },
       [](Fixture& f, bool) {
         check_checkpoints(f, false);
         std::string target = f.at("ck-" + std::to_string(++f.counter));
         auto entry = CheckpointRepository(f.at("ckpt")).restore_latest("label", target);
         ASSERT_TRUE(entry.ok()) << entry.error().to_string();
         Engine e = test::open_engine(target);
         verify(e, *f.saved, "restored checkpoint");
       },
       [](const FaultKind& k) { return k.op == fault::Op::Unlink; }},
      {"scheduler save", {}, base_state,
       [](Fixture& f) -> Result<void> {
         QVN_TRY(uint64_t id, f.e().scheduler().schedule(
                                  EvictDraft{99, 1.0f}, WallTime::from_unix_nanos(4'000'000'000'000'000'000ull)));
         f.ledger.schedules.push_back(id);
         return {};
       },
       [](Fixture& f, const FaultKind&) {
         EXPECT_FALSE(fs::exists(platform::join(f.path, "scheduled_actions.json.tmp")));
       }},
      // Seven cells after the base state; the next write activates the graph,
      // which is best effort: the write it follows stands.
      {"vamana save", {8, std::nullopt, std::nullopt}, base_state,
       [](Fixture& f) -> Result<void> {
         QVN_TRY(CellId id, f.e().mem_write(3, 0, vec(16, 33.0f + f.counter), vec(4, 3), 20, std::nullopt));
         f.ledger.cells[id] = 3;
         return {};
       },
       [](Fixture& f, const FaultKind&) {
         EXPECT_FALSE(f.e().has_vamana());
         EXPECT_FALSE(fs::exists(platform::join(f.path, "vamana.idx.tmp")));
       },
       [](Fixture& f, bool) {
         EXPECT_TRUE(f.e().has_vamana());
         EXPECT_TRUE(fs::exists(platform::join(f.path, "vamana.idx")));
       },
       [](const FaultKind&) { return true; }},
      {"synaptic append", {}, base_state,
       [](Fixture& f) -> Result<void> {
         SynapticEntry s = adapter(f.ledger.adapters.size() + 1);
         QVN_TRY_VOID(f.e().synaptic().append(s));
         f.ledger.adapters.push_back(s);
         return {};
       }},
  };
  return ops;
}

class FaultInjectionTest : public ::testing::TestWithParam<size_t> {};

TEST_P(FaultInjectionTest, SurvivesEveryFault) {
  const Operation op = operations()[GetParam()];
  uint64_t injected = 0;
  for (const FaultKind& kind : KINDS) {
    for (uint64_t n = 1;; ++n) {
      const std::string where = op.name + ", " + kind.name + " #" + std::to_string(n);
      SCOPED_TRACE(where);
      Fixture f(op.config);
      op.setup(f);
      if (HasFatalFailure()) return;
      fault::arm(kind.op, n, kind.err, kind.short_write);
      Result<void> r = op.run(f);
      const bool fired = fault::fired();
      fault::disarm();
      if (!fired) {
        EXPECT_TRUE(r.ok()) << r.error().to_string();
        op.after_success(f, true);
        check_all(f, where + ", clean run");
        break;
      }
      ++injected;
      EXPECT_TRUE(op.may_succeed(kind) || !r.ok()) << "fault swallowed";
      check_all(f, where + ", after failure");
      op.after_failure(f, kind);
      probe(f);
      auto again = op.run(f);
      EXPECT_TRUE(again.ok()) << where << ": retry: " << again.error().to_string();
      op.after_success(f, false);
      check_all(f, where + ", after retry");
      if (HasFailure() || n > 200) return;
    }
  }
  EXPECT_GT(injected, 0u);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultInjectionTest, ::testing::Range<size_t>(0, operations().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string name = operations()[info.param].name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// Syncs that `fn` makes when nothing fails.
uint64_t syncs_of(const std::function<bool()>& fn) {
  fault::arm(fault::Op::Sync, UINT64_MAX);
  EXPECT_TRUE(fn());
  uint64_t n = fault::calls(fault::Op::Sync);
  fault::disarm();
  return n;
}

// A new name is durable only once its directory is synced: failing the last
// sync of a snapshot or checkpoint save finds the archive already under its
// final name, and a restore syncs every file it writes.
TEST(FaultInjectionSyncTest, PublishedNamesAreSyncedLast) {
  Fixture f(Config{});
  base_state(f);
  const std::string out = f.at("snap.tar");
  auto snap = [&] {
    fs::remove(out);
    return f.e().snapshot(out).ok();
  };
  fault::arm(fault::Op::Sync, syncs_of(snap));
  EXPECT_FALSE(snap());
  fault::disarm();
  EXPECT_TRUE(fs::exists(out));

  CheckpointRepository repo(f.at("ckpt"));
  auto save = [&] { return repo.save([&](const std::string& p) { return f.e().snapshot(p); }, "l").ok(); };
  // The first save also creates (and syncs) the label's directories.
  ASSERT_TRUE(save());
  fault::arm(fault::Op::Sync, syncs_of(save));
  EXPECT_FALSE(save());
  fault::disarm();
  EXPECT_EQ(repo.list("l")->size(), 3u);

  const std::string target = f.at("target");
  uint64_t files = 0;
  const uint64_t restore_syncs = syncs_of([&] { return Engine::restore_from(out, target).ok(); });
  for (const auto& e : fs::recursive_directory_iterator(target)) files += e.is_regular_file();
  EXPECT_GE(restore_syncs, files + 1);
}

}  // namespace
}  // namespace qvn
