// Engine open, refresh and the write paths: environment, ids, the write
// buffer, deletion, and what survives a failure or a cut after the cells are
// durable.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/fault.h"
#include "support/engine_fixture.h"

namespace qvn {
namespace {

namespace fault = platform::fault;
using test::must;
using test::open_engine;
using test::vec;

PackWriteRequest request(OwnerId owner, float seed, std::optional<std::string> text = {}, size_t layers = 2) {
  PackWriteRequest r = test::pack_req(owner, vec(16, seed), 50.0f, std::move(text));
  r.layers.clear();
  for (size_t l = 0; l < layers; ++l) r.layers.push_back({static_cast<uint16_t>(l), vec(4, seed + l)});
  return r;
}

void set_env(const char* name, const char* value) {
  if (value) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

TEST(EngineStagesTest, EnvironmentVariablesParsedExactly) {
  auto setup = [] {
    auto stages = Engine::build_pipeline_stages(PerTokenConfig{});
    PerTokenIndex* pt = stages.at(0)->as_per_token();
    EXPECT_NE(pt, nullptr);
    return std::pair(pt->int8_tier().locked([](auto& c) { return c.capacity(); }, size_t{0}), pt->eager());
  };
  struct Case { const char* capacity; const char* eager; uint64_t want_capacity; bool want_eager; };
  for (Case c : {Case{"+1000", nullptr, 1000, false}, Case{"007", nullptr, 7, false}, Case{nullptr, nullptr, 32768, false},
                 Case{"0", nullptr, 32768, false}, Case{" 1000", nullptr, 32768, false},
                 Case{"18446744073709551616", nullptr, 32768, false}, Case{"1000", "true", 32768, true},
                 Case{"1000", "TRUE", 1000, false}}) {
    set_env("QVN_INT8_TIER_CAPACITY", c.capacity);
    set_env("QVN_PER_TOKEN_EAGER", c.eager);
    auto [capacity, eager] = setup();
    EXPECT_EQ(capacity, c.want_capacity) << (c.capacity ? c.capacity : "unset") << " " << (c.eager ? c.eager : "");
    EXPECT_EQ(eager, c.want_eager) << (c.eager ? c.eager : "unset");
  }
  set_env("QVN_INT8_TIER_CAPACITY", nullptr);
  set_env("QVN_PER_TOKEN_EAGER", nullptr);
}

TEST(EngineOpenTest, IdsLayersAndTextsAcrossReopen) {
  test::TempDir dir;
  {
    Engine e = open_engine(dir.path());
    EXPECT_EQ(*e.mem_write_pack(test::pack_req(1, vec(16, 1))), 1u);
    EXPECT_EQ(*e.mem_write(1, 0, vec(16, 2), vec(4, 2), 10, std::nullopt), 3u);
    EXPECT_EQ(*e.mem_write_pack(test::pack_req(2, vec(16, 3), 50, "hello")), 2u);
    // The view-key layer marks a pack's retrieval keys: refused before any
    // id is taken.
    auto refused = e.mem_write(1, VIEW_KEY_LAYER, vec(8, 1), {}, 50, std::nullopt);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().to_string(),
              "storage I/O error: layer index 65534 is reserved for a pack's retrieval key and view keys");
    // A parent id names a cell; it allocates none.
    EXPECT_EQ(*e.mem_write(1, 0, vec(16, 4), {}, 50, CellId{1000}), 7u);
    EXPECT_EQ(*e.mem_write(1, 0, vec(16, 5), {}, 50, std::nullopt), 8u);
  }
  {
    // A standalone cell at the view-key layer, as an earlier writer could
    // store it, is no pack after reopen.
    BlockPool pool = *BlockPool::open(dir.path(), DEFAULT_SEGMENT_SIZE);
    Cell c;
    c.cell_id = 9;
    c.owner = 1;
    c.layer = VIEW_KEY_LAYER;
    c.key = vec(8, 1);
    ASSERT_TRUE(pool.append_cell(c).ok());
  }
  Engine e = open_engine(dir.path());
  EXPECT_EQ(e.next_pack_id(), 3u);
  EXPECT_EQ(e.next_cell_id(), 10u);
  EXPECT_EQ(e.pack_count(), 2u);
  auto hit = e.load_pack_by_id(2);
  ASSERT_TRUE(hit.ok());
  EXPECT_EQ(hit->owner, 2u);
  EXPECT_EQ(hit->text, "hello");
  ASSERT_EQ(hit->layers.size(), 2u);
  EXPECT_EQ(hit->layers[0].layer_idx, 1);  // ascending, head excluded
  EXPECT_EQ(hit->layers[1].layer_idx, 3);
  EXPECT_EQ(e.load_pack_by_id(9).error().to_string(), "pack not found: 9");
}

TEST(EngineWriteTest, ImportanceAndTierFromSalience) {
  test::TempDir dir;
  Engine e = open_engine(dir.path());
  struct Case { float salience, importance; Tier tier; };
  for (Case c : {Case{NAN, 100, Tier::Core}, Case{80, 85, Tier::Core}, Case{60, 65, Tier::Validated},
                 Case{-10, 5, Tier::Draft}, Case{1000, 100, Tier::Core}}) {
    const GovernanceEntry* g = e.governance().get(*e.mem_write(1, 0, vec(8, c.salience), {}, c.salience, std::nullopt));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->importance, c.importance);
    EXPECT_EQ(g->tier, c.tier);
  }
}

TEST(EngineRefreshTest, SecondEngineSeesWritesAndDeletionsAndRefreshIsIdempotent) {
  test::TempDir dir;
  Engine reader = open_engine(dir.path());
  PackId doomed = *reader.mem_write_pack(request(1, 1));
  ASSERT_TRUE(reader.mem_write_pack(request(1, 2)).ok());
  ASSERT_TRUE(reader.add_pack_edge(1, 2, 1).ok());
  // The doomed head is in this engine's key buffer before the other deletes it.
  ASSERT_FALSE(reader.mem_read(vec(16, 1), 1, std::nullopt)->empty());
  {
    Engine writer = open_engine(dir.path());
    ASSERT_TRUE(writer.delete_pack(doomed).ok());
    EXPECT_EQ(*writer.mem_write_pack(request(2, 5, "new")), 3u);
  }
  ASSERT_TRUE(reader.refresh().ok());
  const EngineStatus first = reader.status();
  EXPECT_EQ(first.pack_count, 2u);
  EXPECT_EQ(reader.load_pack_by_id(3)->text, "new");
  EXPECT_EQ(reader.next_pack_id(), 4u);
  auto cells = reader.mem_read(vec(16, 1), 10, std::nullopt);
  auto packs = reader.mem_read_pack(vec(16, 1), 10, std::nullopt);
  for (const CellHit& h : *cells) EXPECT_NE(h.cell.pack_id, doomed);
  for (const PackHit& h : *packs) EXPECT_NE(h.pack_id, doomed);
  ASSERT_TRUE(reader.refresh().ok());
  const EngineStatus second = reader.status();
  EXPECT_EQ(second.trace_edges, first.trace_edges);
  EXPECT_EQ(second.governance_entries, first.governance_entries);
  EXPECT_EQ(second.slb_occupancy, first.slb_occupancy);
  EXPECT_EQ(second.cell_count, first.cell_count);
  EXPECT_EQ(second.pack_count, first.pack_count);
}

TEST(EngineRefreshTest, FailedRefreshKeepsTheEngineButAdvancesItsIds) {
  test::TempDir dir;
  Engine reader = open_engine(dir.path());
  ASSERT_TRUE(reader.mem_write_pack(request(1, 1)).ok());
  {
    Engine writer = open_engine(dir.path());
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
  EXPECT_EQ(reader.status().pack_count, before.pack_count);
  EXPECT_EQ(reader.status().governance_entries, before.governance_entries);
  EXPECT_EQ(reader.status().trace_edges, before.trace_edges);
  EXPECT_FALSE(reader.load_pack_by_id(2).ok());
  // Only the ids moved on, past everything the rescan found, so the next
  // write takes none of the other writer's.
  EXPECT_GT(reader.next_cell_id(), *std::prev(reader.block_pool().cell_ids().end()));
  EXPECT_EQ(*reader.mem_write_pack(request(1, 3)), 3u);
  ASSERT_TRUE(reader.refresh().ok());
  EXPECT_EQ(reader.pack_count(), 3u);
  EXPECT_EQ(reader.load_pack_by_id(2)->text, "t");
  EXPECT_EQ(reader.pack_links(1, 2), std::vector<PackId>{2});
}

TEST(EngineVamanaTest, ActivationReloadAndFailedActivation) {
  test::TempDir dir;
  const std::string idx = dir.file("vamana.idx");
  auto nodes_in_file = [&] {
    auto g = VamanaIndex::load(dir.path(), {});
    return (g.ok() && g->has_value()) ? (*g)->len() : 0;
  };
  {
    Engine e = open_engine(dir.path(), 1);
    // A direct pack write does not run the activation check; refresh does.
    ASSERT_TRUE(e.mem_write_pack(request(1, 1)).ok());
    EXPECT_FALSE(e.has_vamana());
    ASSERT_TRUE(e.refresh().ok());
    EXPECT_TRUE(e.has_vamana());
    EXPECT_EQ(e.pipeline_stage_count(), 3u);
    EXPECT_EQ(nodes_in_file(), 1u);
    // Active now: a new cell joins the live graph, not the file.
    ASSERT_TRUE(e.mem_write(1, 0, vec(16, 2), {}, 50, std::nullopt).ok());
  }
  EXPECT_EQ(nodes_in_file(), 1u);
  EXPECT_TRUE(open_engine(dir.path(), 1).has_vamana());
  EXPECT_EQ(nodes_in_file(), 2u);  // the stale file was rebuilt and rewritten
  test::truncate_to(idx, 10);
  EXPECT_TRUE(open_engine(dir.path(), 1).has_vamana());
  EXPECT_EQ(nodes_in_file(), 2u);

  // A failed activation after a durable write is not that write's error.
  test::TempDir other;
  Engine e = open_engine(other.path(), 1);
  fault::arm(fault::Op::Rename, 1);
  auto id = e.mem_write(1, 0, vec(16, 3), {}, 50, std::nullopt);
  const bool fired = fault::fired();
  fault::disarm();
  ASSERT_TRUE(fired);
  ASSERT_TRUE(id.ok()) << id.error().to_string();
  EXPECT_FALSE(e.has_vamana());
  EXPECT_EQ(e.mem_read(vec(16, 3), 1, std::nullopt)->size(), 1u);
  ASSERT_TRUE(e.mem_write(1, 0, vec(16, 4), {}, 50, std::nullopt).ok());
  EXPECT_TRUE(e.has_vamana());
}

TEST(EngineWriteBufferTest, BatchSizesFailedFlushAndCloseDrain) {
  for (uint64_t batch : {0u, 1u}) {
    test::TempDir dir;
    Engine e = must(Engine::open_with_write_buffer(dir.path(), batch, 0));
    EXPECT_EQ(*e.mem_write_pack(request(1, 1)), 1u);
    EXPECT_EQ(e.pack_count(), 1u) << batch;
  }
  test::TempDir dir;
  {
    // A huge batch size is only a number: it reserves nothing of its size.
    Engine e = must(Engine::open_with_write_buffer(dir.path(), UINT64_MAX, 0));
    EXPECT_EQ(*e.mem_write_pack(request(1, 1, "one")), 1u);
    EXPECT_EQ(e.pack_count(), 0u);
    fault::arm(fault::Op::Write, 1);
    ASSERT_FALSE(e.flush_buffer().ok());
    fault::disarm();
    EXPECT_EQ(e.pack_count(), 0u);
    ASSERT_TRUE(e.flush().ok());
    EXPECT_EQ(e.load_pack_by_id(1)->text, "one");
    // Acknowledged but never flushed: dropping the engine must write it.
    EXPECT_EQ(*e.mem_write_pack(request(2, 2, "two")), 2u);
  }
  Engine e = open_engine(dir.path());
  EXPECT_EQ(e.pack_count(), 2u);
  EXPECT_EQ(e.load_pack_by_id(2)->text, "two");
}

// Buffered ids that another writer used where the block pool's catch-up
// cannot see it: the text a pack write left when its cells failed, and a
// pack stored, deleted and compacted away before the buffered engine looked;
// seen by the drain's own catch-up, or by a refresh before it.
TEST(EngineWriteBufferTest, IdsUsedByOthersOnlyInTextsOrDeletionsAreRefused) {
  for (bool refresh_first : {false, true}) {
    SCOPED_TRACE(refresh_first ? "refresh first" : "drain at once");
    test::TempDir texts;
    {
      Engine buffered = must(Engine::open_with_write_buffer(texts.path(), 100, 0));
      EXPECT_EQ(*buffered.mem_write_pack(request(1, 1)), 1u);
      EXPECT_EQ(*buffered.mem_write_pack(request(1, 2, "own")), 2u);
      {
        Engine plain = open_engine(texts.path());
        for (float seed : {3.0f, 4.0f}) {
          fault::arm(fault::Op::Write, 3, EIO);  // the text's two writes land, the cells' does not
          ASSERT_FALSE(plain.mem_write_pack(request(2, seed, "theirs")).ok());
          fault::disarm();
        }
      }
      if (refresh_first) {
        ASSERT_TRUE(buffered.refresh().ok());
      }
      // Pack 2 brings a text of its own, written after the other one: it is kept.
      auto r = buffered.flush_buffer();
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().to_string(),
                "storage I/O error: pack id 1 was stored by another writer before this engine's write buffer "
                "stored it; that buffered pack was dropped");
    }
    Engine e = open_engine(texts.path());
    EXPECT_EQ(e.pack_count(), 1u);
    EXPECT_EQ(e.load_pack_by_id(2)->text, "own");

    test::TempDir deletions;
    Engine buffered = must(Engine::open_with_write_buffer(deletions.path(), 100, 0));
    EXPECT_EQ(*buffered.mem_write_pack(request(1, 1)), 1u);
    {
      // Every append of this engine starts a segment of its own.
      Engine plain = open_engine(deletions.path(), DEFAULT_VAMANA_THRESHOLD, 1);
      ASSERT_EQ(*plain.mem_write_pack(request(2, 2)), 1u);
      ASSERT_EQ(*plain.mem_write_pack(request(2, 3)), 2u);
      ASSERT_TRUE(plain.delete_pack(1).ok());
      auto stats = plain.compact();
      ASSERT_TRUE(stats.ok());
      ASSERT_GT(stats->segments_compacted, 0u);
    }
    if (refresh_first) {
      ASSERT_TRUE(buffered.refresh().ok());
    }
    ASSERT_FALSE(buffered.flush_buffer().ok());
    ASSERT_TRUE(buffered.refresh().ok());
    EXPECT_EQ(buffered.pack_count(), 1u);
    EXPECT_EQ(buffered.load_pack_by_id(2)->owner, 2u);
  }
}

// A pack write stores its text, then its cells. When it dies between the two
// the pack must not come back half, and a failed parent edge leaves every
// item of a batch indexed.
TEST(EngineWriteTest, FailedWritesLeaveNoHalfPackAndBatchesStayIndexed) {
  for (bool buffered : {false, true}) {
    test::TempDir dir;
    {
      Engine e = must(buffered ? Engine::open_with_write_buffer(dir.path(), 1, 0)
                               : Engine::open(dir.path(), DEFAULT_VAMANA_THRESHOLD, std::nullopt));
      fault::arm(fault::Op::Write, 3, EIO);  // the cells' write, after the text's two
      auto r = e.mem_write_pack(request(1, 1, "lost"));
      fault::disarm();
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(e.text_store().get(1), nullptr);
      EXPECT_EQ(e.pack_count(), 0u);
    }
    Engine e = open_engine(dir.path());
    EXPECT_EQ(e.pack_count(), 0u) << buffered;
    EXPECT_EQ(e.text_store().get(1), nullptr);
    // The orphan text's id is not handed out again.
    EXPECT_EQ(*e.mem_write_pack(request(1, 2)), 2u);
    EXPECT_FALSE(e.load_pack_by_id(2)->text.has_value());
  }

  test::TempDir dir;
  Engine e = open_engine(dir.path());
  auto items = [](float base, bool parents) {
    std::vector<CellWriteItem> v(3);
    for (int i = 0; i < 3; ++i) v[i] = {4, 0, vec(16, base + i), {}, 30, parents ? std::optional<CellId>(0) : std::nullopt};
    return v;
  };
  fault::arm(fault::Op::Write, UINT64_MAX);
  ASSERT_TRUE(e.mem_write_batch(items(10, false)).ok());
  const uint64_t batch_writes = fault::calls(fault::Op::Write);
  fault::disarm();
  const CellId first = e.next_cell_id();
  fault::arm(fault::Op::Write, batch_writes + 1);
  auto batch = e.mem_write_batch(items(20, true));
  fault::disarm();
  ASSERT_FALSE(batch.ok());
  EXPECT_EQ(batch.error().kind(), EngineError::Kind::WalRecovery);
  EXPECT_EQ(e.status().trace_edges, 0u);
  for (CellId id = first; id < first + 3; ++id) EXPECT_NE(e.governance().get(id), nullptr) << id;
  auto all = e.mem_read(vec(16, 22), 6, 4);
  ASSERT_EQ(all->size(), 6u);

  // A text update naming an unknown pack writes none of its texts.
  PackId bare = *e.mem_write_pack(request(1, 1, std::nullopt, 0));
  EXPECT_EQ(e.set_pack_texts({{bare, "kept out"}, {77, "x"}}).error().to_string(), "pack not found: 77");
  EXPECT_FALSE(e.load_pack_by_id(bare)->text.has_value());
  EXPECT_FALSE(std::filesystem::exists(dir.file("text_store.bin")));
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
    Engine e = open_engine(src.path());
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
      auto hits = e.mem_read_pack(vec(16, 7), 2, std::nullopt);
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
        Engine reopened = open_engine(dir.path());
        auto again = reopened.load_pack_by_id(*next);
        ASSERT_TRUE(again.ok());
        EXPECT_TRUE(same_layers(*again, written));
        EXPECT_EQ(reopened.status().cell_count, 6u);
      }
      EXPECT_EQ(st.governance_entries, st.cell_count);
    }
  }
  EXPECT_EQ(found, 2u);  // only the whole file, cut or zero-filled after its end
  EXPECT_GT(absent, 0u);
}

TEST(EngineDeleteTest, DeletedPacksNeverComeBackAndIdsAreNotReused) {
  test::TempDir dir;
  {
    // A small segment size puts each pack in its own segment so compaction
    // can drop the deleted one whole.
    Engine e = open_engine(dir.path(), DEFAULT_VAMANA_THRESHOLD, 200);
    ASSERT_TRUE(e.mem_write_pack(request(1, 1)).ok());
    ASSERT_TRUE(e.mem_write_pack(request(1, 2, "bye")).ok());
    ASSERT_TRUE(e.mem_write_pack(request(1, 3)).ok());
    ASSERT_TRUE(e.mem_write(1, 0, vec(16, 5), vec(4, 5), 50, std::nullopt).ok());
    ASSERT_TRUE(e.delete_pack(2).ok());
    auto stats = e.compact();
    ASSERT_TRUE(stats.ok()) << stats.error().to_string();
    EXPECT_GE(stats->segments_compacted, 1u);
    // Deleted but still stored: the reopen must not index its cells.
    ASSERT_TRUE(e.delete_pack(3).ok());
  }
  Engine e = open_engine(dir.path());
  EXPECT_EQ(e.pack_count(), 1u);
  for (PackId gone : {2, 3}) {
    EXPECT_FALSE(e.load_pack_by_id(gone).ok());
    auto packs = e.mem_read_pack(vec(16, gone), 5, std::nullopt);
    auto cells = e.mem_read(vec(16, gone), 10, std::nullopt);
    for (const PackHit& h : *packs) EXPECT_NE(h.pack_id, gone);
    for (const CellHit& h : *cells) EXPECT_NE(h.cell.pack_id, gone);
  }
  // The deleted packs' ids stay used even though their cells are gone.
  EXPECT_EQ(*e.mem_write_pack(request(1, 9)), 4u);
  // The standalone cell survived compaction.
  auto cells = e.mem_read(vec(16, 5), 1, std::nullopt);
  ASSERT_EQ(cells->size(), 1u);
  EXPECT_EQ((*cells)[0].cell.pack_id, 0u);
}

// A copy of an engine made by fork() shares the directory descriptor's open
// file description, so the writer lock cannot keep it apart from the parent:
// every write of the copy is refused, its destructor drains nothing, and the
// parent's packs, buffered ones included, are stored once each.
TEST(EngineWriterTurnTest, CopyMadeByForkNeverWrites) {
  test::TempDir dir, buffered_dir;
  Engine plain = open_engine(dir.path());
  ASSERT_EQ(*plain.mem_write_pack(request(1, 1, "one")), 1u);
  {
    auto buffered = std::make_unique<Engine>(must(Engine::open_with_write_buffer(buffered_dir.path(), 100, 0)));
    ASSERT_EQ(*buffered->mem_write_pack(request(2, 2, "buffered")), 1u);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // No gtest assertions here: the verdict is the exit code.
      auto refused = [](const auto& r) {
        return !r.ok() && r.error().to_string().find("(a copy made by fork()); open the engine in this process") !=
                              std::string::npos;
      };
      const bool ok = refused(plain.mem_write_pack(request(3, 3))) && refused(plain.delete_pack(1)) &&
                      refused(plain.set_pack_texts({{1, "x"}})) && refused(plain.compact()) &&
                      refused(plain.add_pack_edge(1, 1, 1)) && refused(buffered->flush_buffer()) &&
                      plain.load_pack_by_id(1).ok();
      buffered.reset();  // its destructor would drain the parent's request
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(*plain.mem_write_pack(request(4, 4, "two")), 2u);
    ASSERT_TRUE(buffered->flush_buffer().ok());
  }
  // Three records per pack (a head and two layers), none of them twice.
  Engine reopened = open_engine(dir.path());
  EXPECT_EQ(reopened.pack_count(), 2u);
  EXPECT_EQ(reopened.cell_count(), 6u);
  EXPECT_EQ(reopened.load_pack_by_id(1)->text, "one");
  EXPECT_EQ(reopened.load_pack_by_id(2)->text, "two");
  Engine buffered = open_engine(buffered_dir.path());
  EXPECT_EQ(buffered.pack_count(), 1u);
  EXPECT_EQ(buffered.cell_count(), 3u);
  EXPECT_EQ(buffered.load_pack_by_id(1)->text, "buffered");
}

}  // namespace
}  // namespace qvn
