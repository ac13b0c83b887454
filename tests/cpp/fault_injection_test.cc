// Every durable operation is run with the Nth write, sync, rename or unlink
// failing (also a half-written write with ENOSPC), for N = 1, 2, 3, ... until
// it runs without reaching the fault. After each failure: an error came back,
// everything acknowledged before is readable here and in a freshly opened
// engine, the two agree, the engine takes new writes, and the same operation
// run again succeeds and survives a reopen.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "core/fault.h"
#include "engine/checkpoint.h"
#include "engine/engine.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

namespace fs = std::filesystem;
namespace fault = platform::fault;

// Every acknowledged append here is fully synced; on a memory file system the
// syncs cost nothing, and the injected faults are the same.
[[maybe_unused]] const bool ON_TMPFS = [] {
  std::error_code ec;
  return fs::is_directory("/dev/shm", ec) && ::setenv("TMPDIR", "/dev/shm", /*overwrite=*/0) == 0;
}();

constexpr uint64_t NO_VAMANA = 1'000'000;
constexpr auto FOLLOWS = static_cast<uint8_t>(EdgeType::Follows);

std::vector<float> vec(size_t d, float seed) {
  std::vector<float> v(d);
  for (size_t i = 0; i < d; ++i) v[i] = std::sin(seed * 1.7f + static_cast<float>(i) * 0.31f);
  return v;
}

PackWriteRequest pack_req(OwnerId owner, float seed, std::optional<std::string> text) {
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
    {"write EIO", fault::Op::Write, EIO, false},
    {"short write ENOSPC", fault::Op::Write, ENOSPC, true},
    {"sync EIO", fault::Op::Sync, EIO, false},
    {"rename EIO", fault::Op::Rename, EIO, false},
    {"unlink EIO", fault::Op::Unlink, EIO, false},
};

struct PackFact {
  OwnerId owner = 0;
  std::optional<std::string> text;
  size_t layers = 0;
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
    auto e = config.write_buffer ? Engine::open_with_write_buffer(path, *config.write_buffer, 0)
                                 : Engine::open(path, config.threshold, config.segment_size);
    EXPECT_TRUE(e.ok()) << e.error().to_string();
    engine.emplace(std::move(e).value());
  }
  Engine& e() { return *engine; }
  Result<Engine> reopen() const { return Engine::open(path, config.threshold, config.segment_size); }

  Config config;
  test::TempDir dir;
  std::string path;
  std::string aside;  // snapshots, restores and checkpoints, outside the engine directory
  std::optional<Engine> engine;
  Ledger ledger;
  // Scratch of the operation under test.
  std::vector<std::pair<PackId, PackFact>> pending;  // buffered, ids returned
  std::optional<Ledger> saved;                       // the state a snapshot holds
  uint64_t counter = 0;
  uint64_t checkpoints = 0;
  CompactionStats compaction;
};

// ---------------------------------------------------------------------------
// Checks

void verify(Engine& e, const Ledger& l, const std::string& where) {
  SCOPED_TRACE(where);
  for (const auto& [id, fact] : l.packs) {
    auto hit = e.load_pack_by_id(id);
    ASSERT_TRUE(hit.ok()) << "pack " << id << ": " << hit.error().to_string();
    EXPECT_EQ(hit->owner, fact.owner);
    EXPECT_EQ(hit->text, fact.text) << "pack " << id;
    EXPECT_EQ(hit->layers.size(), fact.layers);
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
void agree(Engine& live, Engine& fresh) {
  EXPECT_EQ(live.pack_count(), fresh.pack_count());
  auto ids = [](const std::vector<PackSummary>& v) {
    std::set<PackId> s;
    for (const auto& p : v) s.insert(p.pack_id);
    return s;
  };
  EXPECT_EQ(ids(live.list_packs(std::nullopt)), ids(fresh.list_packs(std::nullopt)));
  EXPECT_EQ(live.status().slb_occupancy, fresh.status().slb_occupancy);
  EXPECT_EQ(live.status().trace_edges, fresh.status().trace_edges);
  EXPECT_GE(live.next_pack_id(), fresh.next_pack_id());
  EXPECT_GE(live.next_cell_id(), fresh.next_cell_id());
}

void check_all(Fixture& f, const std::string& where) {
  verify(f.e(), f.ledger, where + ", live engine");
  auto fresh = f.reopen();
  ASSERT_TRUE(fresh.ok()) << where << ": reopen: " << fresh.error().to_string();
  verify(*fresh, f.ledger, where + ", reopened");
  SCOPED_TRACE(where);
  agree(f.e(), *fresh);
}

// A write and a read on the engine that saw the failure.
void probe(Fixture& f) {
  const uint64_t n = ++f.counter;
  auto cell = f.e().mem_write(5, 0, vec(16, 500.0f + n), vec(4, 1), 10, std::nullopt);
  ASSERT_TRUE(cell.ok()) << cell.error().to_string();
  EXPECT_GE(*cell, f.ledger.cells.empty() ? 0 : f.ledger.cells.rbegin()->first + 1);
  ASSERT_TRUE(f.e().block_pool().read_cell(*cell).ok());
  f.ledger.cells[*cell] = 5;
  if (f.config.write_buffer) return;
  std::string text = "probe " + std::to_string(n);
  auto pack = f.e().mem_write_pack(pack_req(5, 600.0f + n, text));
  ASSERT_TRUE(pack.ok()) << pack.error().to_string();
  EXPECT_EQ(f.e().load_pack_by_id(*pack)->text, text);
  f.ledger.packs[*pack] = {5, text, 2};
}

std::vector<std::string> leftovers(const std::string& dir, const std::string& part) {
  std::vector<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (name.find(part) != std::string::npos) out.push_back(name);
  }
  return out;
}

// Packs 1 (text) and 2, a standalone cell.
void base_state(Fixture& f) {
  auto a = f.e().mem_write_pack(pack_req(1, 1, "alpha"));
  auto b = f.e().mem_write_pack(pack_req(2, 2, std::nullopt));
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(f.e().flush_buffer().ok());
  f.ledger.packs[*a] = {1, "alpha", 2};
  f.ledger.packs[*b] = {2, std::nullopt, 2};
  auto c = f.e().mem_write(3, 0, vec(16, 3), vec(4, 3), 20, std::nullopt);
  ASSERT_TRUE(c.ok());
  f.ledger.cells[*c] = 3;
}

// ---------------------------------------------------------------------------
// Operations

struct Operation {
  std::string name;
  Config config;
  std::function<void(Fixture&)> setup;
  // Runs the operation once; on success records what it acknowledged.
  std::function<Result<void>(Fixture&)> run;
  // Extra checks after a failed (fault fired) run and after a clean one.
  std::function<void(Fixture&, const FaultKind&)> after_failure = [](Fixture&, const FaultKind&) {};
  std::function<void(Fixture&, bool clean)> after_success = [](Fixture&, bool) {};
  // Fault kinds that may hit only best-effort steps, so that the operation
  // still succeeds.
  std::function<bool(const FaultKind&)> may_succeed = [](const FaultKind&) { return false; };
};

Result<void> write_cell_with_parent(Fixture& f) {
  const CellId parent = f.ledger.cells.begin()->first;
  QVN_TRY(CellId id, f.e().mem_write(4, 0, vec(16, 40.0f + f.counter), vec(4, 4), 60, parent));
  f.ledger.cells[id] = 4;
  return {};
}

Result<void> write_batch(Fixture& f) {
  const CellId parent = f.ledger.cells.begin()->first;
  std::vector<CellWriteItem> items;
  for (int i = 0; i < 3; ++i) {
    CellWriteItem it;
    it.owner = 6;
    it.key = vec(16, 70.0f + i);
    it.value = vec(4, 7);
    it.salience = 50;
    if (i != 1) it.parent = parent;
    items.push_back(std::move(it));
  }
  QVN_TRY(std::vector<CellId> ids, f.e().mem_write_batch(std::move(items)));
  for (CellId id : ids) f.ledger.cells[id] = 6;
  return {};
}

Result<void> write_pack(Fixture& f) {
  std::string text = "pack text " + std::to_string(f.counter);
  QVN_TRY(PackId id, f.e().mem_write_pack(pack_req(8, 80, text)));
  f.ledger.packs[id] = {8, text, 2};
  return {};
}

void queue_two(Fixture& f) {
  for (int i = 0; i < 2; ++i) {
    std::string text = "queued " + std::to_string(i);
    auto id = f.e().mem_write_pack(pack_req(9, 90.0f + i, text));
    ASSERT_TRUE(id.ok());
    f.pending.push_back({*id, {9, text, 2}});
  }
}

void settle_pending(Fixture& f) {
  for (auto& [id, fact] : f.pending) f.ledger.packs[id] = fact;
  f.pending.clear();
}

Result<void> flush(Fixture& f) {
  QVN_TRY_VOID(f.e().flush_buffer());
  settle_pending(f);
  return {};
}

// The third buffered pack fills the batch and drains it.
Result<void> buffered_pack_fills_batch(Fixture& f) {
  QVN_TRY(PackId id, f.e().mem_write_pack(pack_req(9, 99, "third")));
  f.pending.push_back({id, {9, "third", 2}});
  settle_pending(f);
  return {};
}

PackId first_pack(const Fixture& f) { return f.ledger.packs.begin()->first; }
PackId second_pack(const Fixture& f) { return std::next(f.ledger.packs.begin())->first; }

Result<void> view_keys(Fixture& f) {
  const PackId p = first_pack(f);
  QVN_TRY(uint64_t n, f.e().add_view_keys(p, {vec(16, 11), vec(16, 12)}));
  f.ledger.views[p] += n;
  return {};
}

Result<void> pack_texts(Fixture& f) {
  const PackId a = first_pack(f), b = second_pack(f);
  std::string ta = "rewritten a " + std::to_string(f.counter), tb = "rewritten b";
  QVN_TRY_VOID(f.e().set_pack_texts({{a, ta}, {b, tb}}));
  f.ledger.packs[a].text = ta;
  f.ledger.packs[b].text = tb;
  return {};
}

Result<void> delete_second(Fixture& f) {
  const PackId b = second_pack(f);
  QVN_TRY_VOID(f.e().delete_pack(b));
  f.ledger.packs.erase(b);
  f.ledger.deleted.insert(b);
  return {};
}

Result<void> link(Fixture& f) {
  const PackId a = first_pack(f), b = second_pack(f);
  QVN_TRY_VOID(f.e().add_pack_edge(a, b, FOLLOWS));
  f.ledger.links.push_back({a, b});
  return {};
}

// Segment 0 holds packs 1 and 2 and a standalone cell; every later append
// starts a segment of its own. With both packs deleted, one record in seven of
// segment 0 is live, so compaction moves the cell and removes the file.
void compaction_state(Fixture& f) {
  f.engine.reset();
  auto roomy = Engine::open(f.path, NO_VAMANA, std::nullopt);
  ASSERT_TRUE(roomy.ok());
  f.engine.emplace(std::move(roomy).value());
  base_state(f);
  f.engine.reset();
  auto small = f.reopen();
  ASSERT_TRUE(small.ok());
  f.engine.emplace(std::move(small).value());
  auto later = f.e().mem_write_pack(pack_req(1, 21, "later"));
  ASSERT_TRUE(later.ok());
  f.ledger.packs[*later] = {1, "later", 2};
  for (PackId p : {PackId{1}, PackId{2}}) {
    ASSERT_TRUE(f.e().delete_pack(p).ok());
    f.ledger.packs.erase(p);
    f.ledger.deleted.insert(p);
  }
}

Result<void> compact(Fixture& f) {
  QVN_TRY(f.compaction, f.e().compact());
  return {};
}

Result<void> snapshot(Fixture& f) {
  QVN_TRY_VOID(f.e().snapshot(platform::join(f.aside, "snap.tar")));
  f.saved = f.ledger;
  return {};
}

void check_snapshot(Fixture& f) {
  std::string target = platform::join(f.aside, "check-" + std::to_string(++f.counter));
  auto restored = Engine::restore_from(platform::join(f.aside, "snap.tar"), target);
  ASSERT_TRUE(restored.ok()) << restored.error().to_string();
  verify(*restored, *f.saved, "restored snapshot");
}

Result<void> restore(Fixture& f) {
  QVN_TRY(Engine restored, Engine::restore_from(platform::join(f.aside, "snap.tar"),
                                                platform::join(f.aside, "target")));
  verify(restored, *f.saved, "restored engine");
  return {};
}

Result<void> checkpoint(Fixture& f) {
  CheckpointRepository repo(platform::join(f.aside, "ckpt"));
  QVN_TRY(CheckpointEntry entry,
          repo.save([&](const std::string& out) { return f.e().snapshot(out); }, "label"));
  ++f.checkpoints;
  f.saved = f.ledger;
  return {};
}

// `unconfirmed`: a failed save may have published its archive before a
// later step (the directory sync) failed.
void check_checkpoints(Fixture& f, bool unconfirmed) {
  CheckpointRepository repo(platform::join(f.aside, "ckpt"));
  auto listed = repo.list("label");
  ASSERT_TRUE(listed.ok()) << listed.error().to_string();
  if (unconfirmed && listed->size() == f.checkpoints + 1) f.checkpoints = listed->size();
  EXPECT_EQ(listed->size(), f.checkpoints);
}

Result<void> schedule(Fixture& f) {
  QVN_TRY(uint64_t id, f.e().scheduler().schedule(EvictDraft{99, 1.0f},
                                                  WallTime::from_unix_nanos(4'000'000'000'000'000'000ull)));
  f.ledger.schedules.push_back(id);
  return {};
}

Result<void> activate_vamana(Fixture& f) {
  QVN_TRY(CellId id, f.e().mem_write(3, 0, vec(16, 33.0f + f.counter), vec(4, 3), 20, std::nullopt));
  f.ledger.cells[id] = 3;
  return {};
}

Result<void> append_adapter(Fixture& f) {
  SynapticEntry s;
  s.id = f.ledger.adapters.size() + 1;
  s.owner = 7;
  s.rank = 2;
  s.d_model = 3;
  s.lora_a = {1, 2, 3, 4, 5, 6};
  s.lora_b = {7, 8, 9, 10, 11, 12};
  s.scale = 0x3C00;
  s.quality = 0.5f;
  QVN_TRY_VOID(f.e().synaptic().append(s));
  f.ledger.adapters.push_back(s);
  return {};
}

std::vector<Operation> operations() {
  std::vector<Operation> ops;
  ops.push_back({"mem_write", {}, base_state, write_cell_with_parent});
  ops.push_back({"mem_write_batch", {}, base_state, write_batch});
  ops.push_back({"mem_write_pack", {}, base_state, write_pack});
  ops.push_back({"flush_buffer", {NO_VAMANA, std::nullopt, 100},
                 [](Fixture& f) {
                   base_state(f);
                   queue_two(f);
                 },
                 flush});
  ops.push_back({"mem_write_pack filling the buffer", {NO_VAMANA, std::nullopt, 3},
                 [](Fixture& f) {
                   base_state(f);
                   queue_two(f);
                 },
                 buffered_pack_fills_batch});
  ops.push_back({"add_view_keys", {}, base_state, view_keys});
  ops.push_back({"set_pack_texts", {}, base_state, pack_texts});
  ops.push_back({"delete_pack", {}, base_state, delete_second});
  ops.push_back({"add_pack_edge", {}, base_state, link});
  Operation comp{"compact", {NO_VAMANA, 1, std::nullopt},
                 compaction_state,
                 compact};
  comp.after_success = [](Fixture& f, bool clean) {
    // A retry finds the work done by the failed run.
    if (clean) {
      EXPECT_EQ(f.compaction.segments_compacted, 1u);
      EXPECT_EQ(f.compaction.cells_moved, 1u);
    }
    EXPECT_FALSE(fs::exists(platform::join(f.path, "segment_000000.qvn")));
  };
  ops.push_back(comp);
  Operation snap{"snapshot", {}, base_state, snapshot};
  snap.after_failure = [](Fixture& f, const FaultKind&) {
    EXPECT_TRUE(leftovers(f.aside, ".partial-").empty());
    // Either no archive, or a whole one from the renamed file.
    if (fs::exists(platform::join(f.aside, "snap.tar"))) {
      f.saved = f.ledger;
      check_snapshot(f);
    }
  };
  snap.after_success = [](Fixture& f, bool) { check_snapshot(f); };
  ops.push_back(snap);
  Operation rest{"restore_from", {},
                 [](Fixture& f) {
                   base_state(f);
                   ASSERT_TRUE(snapshot(f).ok());
                 },
                 restore};
  rest.after_failure = [](Fixture& f, const FaultKind&) {
    // Nothing written is left behind, or the restore completed and only
    // opening the engine failed.
    std::string target = platform::join(f.aside, "target");
    if (fs::exists(target) && !fs::is_empty(target)) {
      {
        auto e = Engine::open(target, DEFAULT_VAMANA_THRESHOLD, std::nullopt);
        ASSERT_TRUE(e.ok()) << e.error().to_string();
        verify(*e, *f.saved, "completed restore");
      }
      fs::remove_all(target);
    }
  };
  ops.push_back(rest);
  Operation ckpt{"checkpoint save", {}, base_state, checkpoint};
  ckpt.after_failure = [](Fixture& f, const FaultKind& k) {
    check_checkpoints(f, true);
    // Only a failed removal of the published archive's other name may stay.
    if (k.op != fault::Op::Unlink) {
      EXPECT_TRUE(leftovers(f.aside, ".pending-").empty());
    }
    EXPECT_TRUE(leftovers(f.aside, ".partial-").empty());
  };
  ckpt.after_success = [](Fixture& f, bool) {
    check_checkpoints(f, false);
    CheckpointRepository repo(platform::join(f.aside, "ckpt"));
    std::string target = platform::join(f.aside, "ck-" + std::to_string(++f.counter));
    auto entry = repo.restore_latest("label", target);
    ASSERT_TRUE(entry.ok()) << entry.error().to_string();
    auto e = Engine::open(target, DEFAULT_VAMANA_THRESHOLD, std::nullopt);
    ASSERT_TRUE(e.ok());
    verify(*e, *f.saved, "restored checkpoint");
  };
  ckpt.may_succeed = [](const FaultKind& k) { return k.op == fault::Op::Unlink; };
  ops.push_back(ckpt);
  Operation sched{"scheduler save", {}, base_state, schedule};
  sched.after_failure = [](Fixture& f, const FaultKind&) {
    EXPECT_FALSE(fs::exists(platform::join(f.path, "scheduled_actions.json.tmp")));
  };
  ops.push_back(sched);
  // Seven cells after the base state; the next write activates the graph.
  Operation vam{"vamana save", {8, std::nullopt, std::nullopt}, base_state, activate_vamana};
  vam.after_failure = [](Fixture& f, const FaultKind&) {
    EXPECT_FALSE(f.e().has_vamana());
    EXPECT_FALSE(fs::exists(platform::join(f.path, "vamana.idx.tmp")));
  };
  vam.may_succeed = [](const FaultKind&) { return true; };
  vam.after_success = [](Fixture& f, bool) {
    EXPECT_TRUE(f.e().has_vamana());
    EXPECT_TRUE(fs::exists(platform::join(f.path, "vamana.idx")));
  };
  ops.push_back(vam);
  ops.push_back({"synaptic append", {}, base_state, append_adapter});
  return ops;
}

// Runs `op` against every fault kind; returns the number of faults injected.
uint64_t run_with_faults(const Operation& op) {
  uint64_t injected = 0;
  for (const FaultKind& kind : KINDS) {
    for (uint64_t n = 1;; ++n) {
      const std::string where = op.name + ", " + kind.name + " #" + std::to_string(n);
      SCOPED_TRACE(where);
      Fixture f(op.config);
      op.setup(f);
      if (::testing::Test::HasFatalFailure()) return injected;
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
      // The vamana activation is best effort: the write it follows stands.
      if (!op.may_succeed(kind)) {
        EXPECT_FALSE(r.ok()) << "fault swallowed";
      }
      check_all(f, where + ", after failure");
      op.after_failure(f, kind);
      probe(f);
      auto again = op.run(f);
      EXPECT_TRUE(again.ok()) << where << ": retry: " << again.error().to_string();
      op.after_success(f, false);
      check_all(f, where + ", after retry");
      if (::testing::Test::HasFailure() || n > 200) return injected;
    }
  }
  return injected;
}

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
  const std::string out = platform::join(f.aside, "snap.tar");
  auto snap = [&] {
    fs::remove(out);
    return f.e().snapshot(out).ok();
  };
  const uint64_t snap_syncs = syncs_of(snap);
  fs::remove(out);
  fault::arm(fault::Op::Sync, snap_syncs);
  EXPECT_FALSE(f.e().snapshot(out).ok());
  fault::disarm();
  EXPECT_TRUE(fs::exists(out));

  CheckpointRepository repo(platform::join(f.aside, "ckpt"));
  auto save = [&] { return repo.save([&](const std::string& p) { return f.e().snapshot(p); }, "l").ok(); };
  const uint64_t save_syncs = syncs_of(save);
  fault::arm(fault::Op::Sync, save_syncs);
  EXPECT_FALSE(save());
  fault::disarm();
  EXPECT_EQ(repo.list("l")->size(), 2u);

  const std::string target = platform::join(f.aside, "target");
  uint64_t files = 0;
  const uint64_t restore_syncs = syncs_of([&] { return Engine::restore_from(out, target).ok(); });
  for (const auto& e : fs::recursive_directory_iterator(target)) files += e.is_regular_file();
  EXPECT_GE(restore_syncs, files + 1);
}

class FaultInjectionTest : public ::testing::TestWithParam<size_t> {};

TEST_P(FaultInjectionTest, SurvivesEveryFault) {
  const Operation op = operations()[GetParam()];
  uint64_t injected = run_with_faults(op);
  std::printf("%s: %llu faults injected\n", op.name.c_str(), static_cast<unsigned long long>(injected));
  EXPECT_GT(injected, 0u);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultInjectionTest,
                         ::testing::Range<size_t>(0, operations().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string name = operations()[info.param].name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace qvn
