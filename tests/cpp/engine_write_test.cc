// Engine open, refresh and the write paths: environment, counters, the write
// buffer, and what survives a failure after the cells are durable.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "core/fault.h"
#include "engine/engine.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

namespace fault = platform::fault;

// Distinct seeds give keys far apart: each is its own best match.
std::vector<float> key(float seed, size_t d = 16) {
  std::mt19937 gen(static_cast<uint32_t>(seed * 1000.0f));
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(d);
  for (float& x : v) x = dist(gen);
  return v;
}

PackWriteRequest request(OwnerId owner, float seed, std::optional<std::string> text = {},
                         size_t layers = 2) {
  PackWriteRequest r;
  r.owner = owner;
  r.retrieval_key = key(seed);
  for (size_t l = 0; l < layers; ++l) r.layers.push_back({static_cast<uint16_t>(l), key(seed + l, 4)});
  r.salience = 50.0f;
  r.text = std::move(text);
  return r;
}

Engine must(Result<Engine> e) {
  EXPECT_TRUE(e.ok()) << e.error().to_string();
  return std::move(e).value();
}

// Number of platform writes an operation makes, so a fault can be aimed at
// the one after them.
template <class F>
uint64_t writes_of(F&& op) {
  fault::arm(fault::Op::Write, UINT64_MAX);
  op();
  uint64_t n = fault::calls(fault::Op::Write);
  fault::disarm();
  return n;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct StageSetup {
  uint64_t tier_capacity;
  bool eager;
};

StageSetup stage_setup() {
  auto stages = Engine::build_pipeline_stages(PerTokenConfig{});
  EXPECT_EQ(stages.size(), 2u);
  EXPECT_EQ(stages[1]->as_per_token(), nullptr);
  PerTokenIndex* pt = stages[0]->as_per_token();
  EXPECT_NE(pt, nullptr);
  uint64_t cap = pt->int8_tier().locked([](auto& c) { return c.capacity(); }, size_t{0});
  return {cap, pt->eager()};
}

TEST(EngineStagesTest, EnvironmentVariablesParsedExactly) {
  ScopedEnv eager_off("QVN_PER_TOKEN_EAGER", nullptr);
  struct Case { const char* value; uint64_t capacity; };
  for (Case c : {Case{"+1000", 1000}, Case{"1000", 1000}, Case{"007", 7}, Case{nullptr, 32768},
                 Case{"0", 32768}, Case{"+0", 32768}, Case{"-5", 32768}, Case{" 1000", 32768},
                 Case{"1000 ", 32768}, Case{"1000x", 32768}, Case{"+", 32768}, Case{"", 32768},
                 Case{"++1", 32768}, Case{"18446744073709551616", 32768}}) {
    ScopedEnv cap("QVN_INT8_TIER_CAPACITY", c.value);
    StageSetup s = stage_setup();
    EXPECT_EQ(s.tier_capacity, c.capacity) << (c.value ? c.value : "unset");
    EXPECT_FALSE(s.eager);
  }
  ScopedEnv cap("QVN_INT8_TIER_CAPACITY", "1000");
  struct EagerCase { const char* value; bool eager; };
  for (EagerCase c : {EagerCase{"1", true}, EagerCase{"true", true}, EagerCase{"TRUE", false},
                      EagerCase{"True", false}, EagerCase{"yes", false}, EagerCase{"0", false},
                      EagerCase{" 1", false}, EagerCase{"", false}}) {
    ScopedEnv eager("QVN_PER_TOKEN_EAGER", c.value);
    StageSetup s = stage_setup();
    EXPECT_EQ(s.eager, c.eager) << c.value;
    EXPECT_EQ(s.tier_capacity, c.eager ? 32768u : 1000u) << c.value;
  }
}

TEST(EngineRefreshTest, RepeatedRefreshLeavesCountersUnchanged) {
  test::TempDir dir;
  Engine e = must(Engine::open(dir.path(), 4, std::nullopt));
  PackId a = *e.mem_write_pack(request(1, 1, "a"));
  PackId b = *e.mem_write_pack(request(2, 2));
  PackId c = *e.mem_write_pack(request(1, 3));
  ASSERT_TRUE(e.add_pack_edge(a, b, 1).ok());
  ASSERT_TRUE(e.add_view_keys(a, {key(9)}).ok());
  CellId cell = *e.mem_write(3, 0, key(4), key(4, 4), 20, std::nullopt);
  ASSERT_TRUE(e.mem_write(3, 0, key(5), {}, 20, cell).ok());
  ASSERT_TRUE(e.delete_pack(c).ok());
  ASSERT_TRUE(e.refresh().ok());
  const EngineStatus first = e.status();
  EXPECT_TRUE(first.vamana_active);
  ASSERT_TRUE(e.refresh().ok());
  const EngineStatus second = e.status();
  EXPECT_EQ(second.trace_edges, first.trace_edges);
  EXPECT_EQ(second.governance_entries, first.governance_entries);
  EXPECT_EQ(second.pack_count, first.pack_count);
  EXPECT_EQ(second.pipeline_stages, first.pipeline_stages);
  EXPECT_EQ(second.slb_occupancy, first.slb_occupancy);
  EXPECT_EQ(second.cell_count, first.cell_count);
  EXPECT_EQ(first.pack_count, 2u);
  EXPECT_EQ(first.trace_edges, 3u);
}

TEST(EngineRefreshTest, SecondEngineSeesWritesAndDeletionsAfterRefresh) {
  test::TempDir dir;
  Engine reader = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
  PackId doomed = *reader.mem_write_pack(request(1, 1));
  ASSERT_TRUE(reader.mem_write_pack(request(1, 2)).ok());
  // The doomed head is in this engine's key buffer before the other deletes it.
  ASSERT_FALSE(reader.mem_read(key(1), 1, std::nullopt)->empty());
  {
    Engine writer = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
    ASSERT_TRUE(writer.delete_pack(doomed).ok());
    EXPECT_EQ(*writer.mem_write_pack(request(2, 5, "new")), 3u);
  }
  ASSERT_TRUE(reader.refresh().ok());
  EXPECT_EQ(reader.pack_count(), 2u);
  EXPECT_EQ(reader.load_pack_by_id(3)->text, "new");
  EXPECT_EQ(reader.next_pack_id(), 4u);
  auto cells = reader.mem_read(key(1), 10, std::nullopt);
  ASSERT_TRUE(cells.ok());
  for (const CellHit& h : *cells) EXPECT_NE(h.cell.pack_id, doomed);
  auto packs = reader.mem_read_pack(key(1), 10, std::nullopt);
  ASSERT_TRUE(packs.ok());
  for (const PackHit& h : *packs) EXPECT_NE(h.pack_id, doomed);
}

TEST(EngineRefreshTest, FailedRefreshKeepsTheEngineButAdvancesItsIds) {
  test::TempDir dir;
  Engine reader = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
  ASSERT_TRUE(reader.mem_write_pack(request(1, 1)).ok());
  {
    Engine writer = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
    PackId a = *writer.mem_write_pack(request(1, 2, "t"));
    ASSERT_TRUE(writer.add_pack_edge(a, 1, 2).ok());
  }
  const EngineStatus before = reader.status();
  // The last step syncs the trace log the refresh has just read.
  fault::arm(fault::Op::Sync, 1);
  auto r = reader.refresh();
  fault::disarm();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), EngineError::Kind::WalRecovery);
  const EngineStatus after = reader.status();
  EXPECT_EQ(after.pack_count, before.pack_count);
  EXPECT_EQ(after.governance_entries, before.governance_entries);
  EXPECT_EQ(after.trace_edges, before.trace_edges);
  EXPECT_EQ(after.slb_occupancy, before.slb_occupancy);
  EXPECT_FALSE(reader.load_pack_by_id(2).ok());
  // Only the ids moved on, past everything the rescan found, so the next
  // write takes none of the other writer's.
  EXPECT_EQ(reader.next_pack_id(), 3u);
  EXPECT_GT(reader.next_cell_id(), *std::prev(reader.block_pool().cell_ids().end()));
  EXPECT_EQ(*reader.mem_write_pack(request(1, 3)), 3u);
  ASSERT_TRUE(reader.refresh().ok());
  EXPECT_EQ(reader.pack_count(), 3u);
  EXPECT_EQ(reader.load_pack_by_id(2)->text, "t");
  EXPECT_EQ(reader.status().trace_edges, 2u);
  EXPECT_EQ(reader.pack_links(1, 2), std::vector<PackId>{2});
}

TEST(EngineIdsTest, CellIdsNamedByTheTraceLogAreNeverReused) {
  test::TempDir dir;
  {
    Engine e = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
    EXPECT_EQ(*e.mem_write(1, 0, key(1), {}, 50, CellId{1000}), 0u);
  }
  Engine e = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
  EXPECT_EQ(e.next_cell_id(), 1001u);
  EXPECT_EQ(*e.mem_write(1, 0, key(2), {}, 50, std::nullopt), 1001u);
}

TEST(EngineVamanaTest, ActivationRules) {
  test::TempDir dir;
  const std::string idx = dir.file("vamana.idx");
  auto nodes_in_file = [&] {
    auto g = VamanaIndex::load(dir.path(), {});
    EXPECT_TRUE(g.ok() && g->has_value());
    return (g.ok() && g->has_value()) ? (*g)->len() : 0;
  };
  {
    Engine e = must(Engine::open(dir.path(), 1, std::nullopt));
    // A direct pack write does not run the activation check; refresh does.
    ASSERT_TRUE(e.mem_write_pack(request(1, 1)).ok());
    EXPECT_FALSE(e.has_vamana());
    ASSERT_TRUE(e.refresh().ok());
    EXPECT_TRUE(e.has_vamana());
    EXPECT_EQ(e.pipeline_stage_count(), 3u);
    EXPECT_EQ(nodes_in_file(), 1u);
    // Active now: a new cell joins the live graph, not the file.
    ASSERT_TRUE(e.mem_write(1, 0, key(2), {}, 50, std::nullopt).ok());
  }
  EXPECT_EQ(nodes_in_file(), 1u);
  {
    Engine e = must(Engine::open(dir.path(), 1, std::nullopt));
    EXPECT_TRUE(e.has_vamana());
  }
  EXPECT_EQ(nodes_in_file(), 2u);  // the stale file was rebuilt and rewritten

  // A failed activation after a durable write is not that write's error.
  test::TempDir other;
  Engine e = must(Engine::open(other.path(), 1, std::nullopt));
  fault::arm(fault::Op::Rename, 1);
  auto id = e.mem_write(1, 0, key(3), {}, 50, std::nullopt);
  const bool fired = fault::fired();
  fault::disarm();
  ASSERT_TRUE(fired);
  ASSERT_TRUE(id.ok()) << id.error().to_string();
  EXPECT_FALSE(e.has_vamana());
  EXPECT_EQ(e.mem_read(key(3), 1, std::nullopt)->size(), 1u);
  ASSERT_TRUE(e.mem_write(1, 0, key(4), {}, 50, std::nullopt).ok());
  EXPECT_TRUE(e.has_vamana());
}

TEST(EngineWriteBufferTest, BatchSizesZeroAndOneWriteAtOnce) {
  for (uint64_t batch : {0u, 1u}) {
    test::TempDir dir;
    Engine e = must(Engine::open_with_write_buffer(dir.path(), batch, 0));
    EXPECT_EQ(*e.mem_write_pack(request(1, 1)), 1u);
    EXPECT_EQ(e.pack_count(), 1u) << batch;
    EXPECT_EQ(*e.mem_write_pack(request(1, 2)), 2u);
    EXPECT_EQ(e.pack_count(), 2u) << batch;
  }
  // A huge batch size is only a number: it reserves nothing of its size.
  test::TempDir dir;
  Engine e = must(Engine::open_with_write_buffer(dir.path(), UINT64_MAX, 0));
  ASSERT_TRUE(e.mem_write_pack(request(1, 1)).ok());
  EXPECT_EQ(e.pack_count(), 0u);
}

TEST(EngineWriteBufferTest, FailedFlushKeepsRequestsAndCloseDrainsThem) {
  test::TempDir dir;
  {
    Engine e = must(Engine::open_with_write_buffer(dir.path(), 10, 0));
    EXPECT_EQ(*e.mem_write_pack(request(1, 1, "one")), 1u);
    fault::arm(fault::Op::Write, 1);
    auto r = e.flush_buffer();
    fault::disarm();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(e.pack_count(), 0u);
    ASSERT_TRUE(e.flush().ok());
    EXPECT_EQ(e.pack_count(), 1u);
    EXPECT_EQ(e.load_pack_by_id(1)->text, "one");
    // Acknowledged but never flushed: dropping the engine must write it.
    EXPECT_EQ(*e.mem_write_pack(request(2, 2, "two")), 2u);
  }
  Engine e = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
  EXPECT_EQ(e.pack_count(), 2u);
  auto two = e.load_pack_by_id(2);
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(two->owner, 2u);
  EXPECT_EQ(two->text, "two");
}

TEST(EngineWriteTest, FailedWritesLeaveNoHalfPackAndBatchesStayIndexed) {
  test::TempDir dir;
  Engine e = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
  ASSERT_TRUE(e.mem_write_pack(request(1, 1)).ok());

  // The text append fails before any cell is stored: no pack, id used up.
  fault::arm(fault::Op::Write, 1);
  auto pack = e.mem_write_pack(request(1, 2, "lost text"));
  fault::disarm();
  ASSERT_FALSE(pack.ok());
  EXPECT_EQ(pack.error().kind(), EngineError::Kind::StorageIo);
  EXPECT_EQ(e.pack_count(), 1u);
  EXPECT_FALSE(e.load_pack_by_id(2).ok());
  EXPECT_EQ(*e.mem_write_pack(request(1, 3)), 3u);

  // A parent edge fails: every item of the batch is still indexed.
  auto items = [](float base, bool parents) {
    std::vector<CellWriteItem> v;
    for (int i = 0; i < 3; ++i) {
      CellWriteItem it;
      it.owner = 4;
      it.key = key(base + i);
      it.salience = 30;
      if (parents) it.parent = 0;
      v.push_back(std::move(it));
    }
    return v;
  };
  const uint64_t batch_writes =
      writes_of([&] { ASSERT_TRUE(e.mem_write_batch(items(10, false)).ok()); });
  const CellId first = e.next_cell_id();
  const uint64_t edges = e.status().trace_edges;
  fault::arm(fault::Op::Write, batch_writes + 1);
  auto batch = e.mem_write_batch(items(20, true));
  fault::disarm();
  ASSERT_FALSE(batch.ok());
  EXPECT_EQ(batch.error().kind(), EngineError::Kind::WalRecovery);
  EXPECT_EQ(e.status().trace_edges, edges);
  for (CellId id = first; id < first + 3; ++id) EXPECT_NE(e.governance().get(id), nullptr) << id;
  auto last = e.mem_read(key(22), 1, 4);
  ASSERT_TRUE(last.ok());
  ASSERT_EQ(last->size(), 1u);
  EXPECT_EQ(last->front().cell.cell_id, first + 2);
}

// A writer that dies inside a pack's append, or a power loss that zeroes the
// file from some byte on, leaves a pack that is found with every layer it
// was written with, or not at all: by reads, listings, counts, governance and
// the next write's ids alike. Damage reaching the end of the segment never
// fails the open.
TEST(EngineWriteTest, PackCutAtAnyByteIsWholeOrAbsent) {
  test::TempDir src;
  uint64_t start = 0, full_cells = 0;
  PackHit first, second;
  {
    Engine e = must(Engine::open(src.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
    ASSERT_TRUE(e.mem_write_pack(request(1, 1)).ok());
    first = *e.load_pack_by_id(1);
    start = e.block_pool().segments().back().size;
    ASSERT_EQ(*e.mem_write_pack(request(2, 7, std::nullopt, 4)), 2u);
    second = *e.load_pack_by_id(2);
    full_cells = e.cell_count();
  }
  const std::string name = "segment_000000.qvn";
  const std::vector<uint8_t> bytes = test::read_bytes(src.file(name));
  auto same_layers = [](const PackHit& a, const PackHit& b) {
    if (a.layers.size() != b.layers.size()) return false;
    for (size_t i = 0; i < a.layers.size(); ++i) {
      if (a.layers[i].layer_idx != b.layers[i].layer_idx || a.layers[i].data.to_vector() != b.layers[i].data.to_vector()) return false;
    }
    return true;
  };
  size_t found = 0, absent = 0;
  for (bool zero_fill : {false, true}) {
    for (uint64_t cut = start; cut <= bytes.size(); ++cut) {
      SCOPED_TRACE((zero_fill ? "zeros from " : "cut at ") + std::to_string(cut));
      test::TempDir dir;
      std::vector<uint8_t> damaged(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut));
      if (zero_fill) damaged.resize(bytes.size() + 64, 0);
      test::write_bytes(dir.file(name), damaged);
      auto opened = Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt);
      ASSERT_TRUE(opened.ok()) << opened.error().to_string();
      Engine& e = *opened;
      auto one = e.load_pack_by_id(1);
      ASSERT_TRUE(one.ok());
      EXPECT_TRUE(same_layers(*one, first));
      auto two = e.load_pack_by_id(2);
      auto hits = e.mem_read_pack(request(2, 7).retrieval_key, 2, std::nullopt);
      ASSERT_TRUE(hits.ok());
      const EngineStatus st = e.status();
      if (two.ok()) {
        ++found;
        EXPECT_TRUE(same_layers(*two, second));
        EXPECT_EQ(st.cell_count, full_cells);
        ASSERT_FALSE(hits->empty());
        EXPECT_EQ(hits->front().pack_id, 2u);
        EXPECT_TRUE(same_layers(hits->front(), second));
      } else {
        ++absent;
        EXPECT_EQ(two.error().kind(), EngineError::Kind::PackNotFound);
        EXPECT_EQ(st.pack_count, 1u);
        EXPECT_EQ(st.cell_count, 3u);
        EXPECT_EQ(e.list_packs(std::nullopt).size(), 1u);
        for (const PackHit& h : *hits) EXPECT_EQ(h.pack_id, 1u);
        // The next pack never takes the dead write's ids, and with them its
        // layers, once it is stored whole.
        auto next = e.mem_write_pack(request(3, 9));
        ASSERT_TRUE(next.ok());
        const PackHit written = *e.load_pack_by_id(*next);
        auto reopened = Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt);
        ASSERT_TRUE(reopened.ok()) << reopened.error().to_string();
        auto again = reopened->load_pack_by_id(*next);
        ASSERT_TRUE(again.ok());
        EXPECT_TRUE(same_layers(*again, written));
        EXPECT_EQ(reopened->status().cell_count, 6u);
      }
      EXPECT_EQ(st.governance_entries, st.cell_count);
    }
  }
  EXPECT_EQ(found, 2u);  // only the whole file, cut or zero-filled after its end
  EXPECT_GT(absent, 0u);
}

TEST(EngineWriteTest, SmallWriteEdgeCases) {
  test::TempDir dir;
  Engine e = must(Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
  const uint64_t cells0 = e.cell_count();
  PackId bare = *e.mem_write_pack(request(1, 1, std::nullopt, 0));
  EXPECT_EQ(e.cell_count(), cells0 + 1);  // the head alone
  EXPECT_EQ(*e.pack_directory().cells(bare), std::vector<CellId>{0});

  EXPECT_EQ(*e.add_view_keys(bare, {}), 0u);
  EXPECT_EQ(e.cell_count(), cells0 + 1);
  EXPECT_EQ(*e.view_count(bare), 0u);
  EXPECT_EQ(e.add_view_keys(99, {key(1)}).error().to_string(), "pack not found: 99");
  EXPECT_EQ(*e.add_view_keys(bare, {key(2), key(3)}), 2u);
  EXPECT_EQ(*e.view_count(bare), 2u);

  EXPECT_TRUE(e.mem_write_batch({})->empty());
  EXPECT_EQ(e.next_cell_id(), 3u);

  const std::string wal = dir.file("trace.wal");
  const uint64_t wal0 = test::size_of(wal);
  CellWriteItem child;
  child.key = key(7);
  child.parent = 0;
  auto ids = e.mem_write_batch({child});
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ(test::size_of(wal), wal0 + 26);
  EXPECT_EQ(e.trace_graph().ancestors((*ids)[0], 0), std::vector<CellId>{0});

  const std::string texts = dir.file("text_store.bin");
  const bool had_texts = std::filesystem::exists(texts);
  auto refused = e.set_pack_texts({{bare, "kept out"}, {77, "x"}});
  EXPECT_EQ(refused.error().to_string(), "pack not found: 77");
  EXPECT_EQ(std::filesystem::exists(texts), had_texts);
  EXPECT_FALSE(e.load_pack_by_id(bare)->text.has_value());
}

}  // namespace
}  // namespace qvn
