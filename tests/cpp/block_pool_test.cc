#include "storage/block_pool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/platform.h"
#include "storage/segment_format.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using test::TempDir;

Cell make_cell(CellId id, size_t dim = 8, Tier tier = Tier::Draft) {
  Cell c;
  c.cell_id = id;
  c.owner = 100 + id;
  c.layer = static_cast<LayerIndex>(id % 7);
  for (size_t i = 0; i < dim; ++i) {
    c.key.push_back(static_cast<float>(i % 15) - 7.0f);
    c.value.push_back(static_cast<float>((i + id) % 15) - 7.0f);
  }
  // A group maximum of 7 makes the scale 1.0 and every value exact in Q4.
  if (dim > 0) c.value[0] = -7.0f;
  c.created_at_ns = c.stamp_ns = 1000 + id;
  c.importance = 12.5f;
  c.tier = tier;
  return c;
}

std::vector<Cell> make_cells(CellId first, size_t n, size_t dim = 8) {
  std::vector<Cell> v;
  for (size_t i = 0; i < n; ++i) v.push_back(make_cell(first + i, dim));
  return v;
}

// Every field survives; the test cells' keys and values are exact in Q4.
void expect_same(const Cell& got, const Cell& want) {
  EXPECT_EQ(got.cell_id, want.cell_id);
  EXPECT_EQ(got.owner, want.owner);
  EXPECT_EQ(got.layer, want.layer);
  EXPECT_EQ(got.key, want.key);
  EXPECT_EQ(got.value, want.value);
  EXPECT_EQ(got.aux, want.aux);
  EXPECT_EQ(got.pack_id, want.pack_id);
  EXPECT_EQ(got.view_marker, want.view_marker);
  EXPECT_EQ(got.created_at_ns, want.created_at_ns);
  EXPECT_EQ(got.stamp_ns, want.stamp_ns);
  EXPECT_EQ(got.importance, want.importance);
  EXPECT_EQ(got.counter, want.counter);
  EXPECT_EQ(got.tier, want.tier);
}

BlockPool open_pool(const TempDir& dir, uint64_t segment_size = 1 << 20) {
  auto p = BlockPool::open(dir.path(), segment_size);
  EXPECT_TRUE(p.ok()) << p.error().to_string();
  return std::move(p).value();
}

std::string seg_file(const TempDir& dir, uint32_t id) { return dir.file(segment_format::file_name(id)); }

const std::vector<uint8_t> kHeader = {'Q', 'V', 'N', 'S', 1, 0, 0, 0};

// A value read through a RecordReader, with a read-ahead plan over `plan`
// (none when empty), into the caller's memory.
Result<std::vector<float>> reader_value(const BlockPool& pool, ReadWindow& window,
                                        std::vector<CellId> plan, CellId id) {
  RecordReader reader(pool, window);
  if (!plan.empty()) reader.read_ahead(plan);
  QVN_TRY(RecordView rec, reader.read(id));
  EXPECT_EQ(rec.cell_id(), id);
  std::vector<float> out(rec.value_size());
  rec.decode_value_into(out.data());
  return out;
}

// ---------------------------------------------------------------------------

TEST(SegmentFilesTest, NamesAndListing) {
  EXPECT_EQ(segment_format::file_name(7), "segment_000007.qvn");
  EXPECT_EQ(segment_format::file_name(1234567), "segment_1234567.qvn");
  TempDir dir;
  for (const char* n : {"segment_abc.qvn", "segment_.qvn", "segment_+.qvn", "segment_4294967296.qvn",
                        "segment_-1.qvn", "segment_1.qvnx", "other.qvn", "segment_000005.qvn",
                        "segment_5.qvn", "segment_+9.qvn", "segment_4294967295.qvn", "segment_000000.qvn"}) {
    test::write_bytes(dir.file(n), {});
  }
  auto ids = list_segment_ids(dir.path());
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ(*ids, (std::vector<uint32_t>{0, 5, 9, 4294967295u}));
}

TEST(SegmentFilesTest, GoldenRecordBytes) {
  TempDir dir;
  BlockPool pool = open_pool(dir);
  EXPECT_EQ(test::read_bytes(seg_file(dir, 0)), kHeader);  // open creates segment 0
  Cell c;
  c.cell_id = 0x0102030405060708ull;
  c.owner = 9;
  c.layer = VIEW_KEY_LAYER;
  c.key = {7.0f, -7.0f, 3.5f, 0.0f};
  c.value = {-2.0f};
  c.aux = {1.5f};
  c.pack_id = 3;
  c.view_marker = VIEW_MARKER_ALL_ONES;
  c.created_at_ns = 10;
  c.stamp_ns = 11;
  c.importance = 42.5f;
  c.tier = Tier::Validated;
  ASSERT_TRUE(pool.append_cell(c).ok());

  std::vector<uint8_t> want = kHeader;
  auto add = [&](std::vector<uint8_t> b) { want.insert(want.end(), b.begin(), b.end()); };
  add({0x83, 0, 0, 0});                                  // body_len 131
  add({8, 7, 6, 5, 4, 3, 2, 1});                         // cell_id
  add({9, 0, 0, 0, 0, 0, 0, 0});                         // owner
  add({0xFE, 0xFF});                                     // layer
  add({4, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0});             // key, value, aux counts
  add({3, 0, 0, 0, 0, 0, 0, 0});                         // pack_id
  add(std::vector<uint8_t>(8, 0xFF));                    // view_marker
  add({10, 0, 0, 0, 0, 0, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0});  // created, stamp
  add({0x00, 0x00, 0x2A, 0x42, 0, 0, 0, 0, 1});          // importance, counter, tier
  add({1, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0});  // KS KB VS VB
  add({0x00, 0x00, 0x80, 0x3F, 0x1F, 0x8C});             // key scale 1.0, codes
  add(std::vector<uint8_t>(14, 0x88));
  add({0x25, 0x49, 0x92, 0x3E, 0x81});                   // value scale 2/7, odd tail
  add(std::vector<uint8_t>(15, 0x88));
  add({0x00, 0x00, 0xC0, 0x3F});                         // aux 1.5
  EXPECT_EQ(test::read_bytes(seg_file(dir, 0)), want);

  auto back = pool.read_cell(c.cell_id);
  ASSERT_TRUE(back.ok());
  Cell expect = c;
  expect.key = {7.0f, -7.0f, 4.0f, 0.0f};
  expect.value = {-7.0f * (2.0f / 7.0f)};
  expect_same(*back, expect);
  EXPECT_EQ(pool.locate(c.cell_id), (CellLocation{0, 8}));
}

TEST(SegmentFilesTest, OddFilesAtOpen) {
  {  // Only the short name exists: the segment's real name is missing.
    TempDir dir;
    test::write_bytes(dir.file("segment_5.qvn"), kHeader);
    auto pool = BlockPool::open(dir.path(), 1000);
    ASSERT_FALSE(pool.ok());
    EXPECT_EQ(pool.error().io().os_code, ENOENT);
  }
  {  // Eight bytes or more must carry the magic.
    TempDir dir;
    test::write_bytes(seg_file(dir, 0), {'Q', 'V', 'N', 'X', 1, 0, 0, 0});
    auto pool = BlockPool::open(dir.path(), 1000);
    ASSERT_FALSE(pool.ok());
    EXPECT_EQ(pool.error().to_string(), "storage I/O error: invalid segment magic in " + seg_file(dir, 0));
  }
  {  // A file shorter than the header is accepted and gets its header before
     // the first record.
    TempDir dir;
    test::write_bytes(seg_file(dir, 0), {'Q', 'V', 'N'});
    BlockPool pool = open_pool(dir);
    ASSERT_TRUE(pool.append_cell(make_cell(1)).ok());
    EXPECT_EQ(pool.locate(1), (CellLocation{0, 8}));
    BlockPool again = open_pool(dir);
    auto c = again.read_cell(1);
    ASSERT_TRUE(c.ok()) << c.error().to_string();
    expect_same(*c, make_cell(1));
  }
}

// A torn, zero-filled or foreign tail ends the scan; nothing before it is
// lost, nothing is invented from it, the file is never cut, and cells
// appended afterwards are still there at the next open.
TEST(SegmentFilesTest, DamagedTailsEndTheScan) {
  struct Damage {
    const char* name;
    std::function<void(const std::string&)> apply;
  };
  std::vector<Damage> damages = {
      {"torn record", [](const std::string& p) { test::truncate_to(p, test::size_of(p) - 10); }},
      {"zero fill", [](const std::string& p) { test::append_zeros(p, 4096); }},
      {"two zero bytes", [](const std::string& p) { test::append_zeros(p, 2); }},
      {"short length", [](const std::string& p) { test::append_bytes(p, {50, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}); }},
      {"length past end", [](const std::string& p) { test::append_bytes(p, {0xFF, 0xFF, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9}); }},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    TempDir dir;
    {
      BlockPool pool = open_pool(dir);
      ASSERT_TRUE(pool.append_cells(make_cells(1, 3)).ok());
    }
    d.apply(seg_file(dir, 0));
    uint64_t damaged_size = test::size_of(seg_file(dir, 0));
    {
      BlockPool pool = open_pool(dir);
      size_t whole = std::string(d.name) == "torn record" ? 2 : 3;
      EXPECT_EQ(pool.index().size(), whole);
      for (CellId id = 1; id <= whole; ++id) EXPECT_TRUE(pool.read_cell(id).ok());
      ASSERT_TRUE(pool.append_cell(make_cell(10)).ok());
      EXPECT_EQ(pool.locate(10)->segment_id, 1u);
    }
    EXPECT_EQ(test::size_of(seg_file(dir, 0)), damaged_size);
    BlockPool pool = open_pool(dir);
    auto c = pool.read_cell(10);
    ASSERT_TRUE(c.ok());
    expect_same(*c, make_cell(10));
  }
}

TEST(SegmentFilesTest, DamagedRecordsFailTheirRead) {
  TempDir dir;
  uint64_t off1 = 0;
  {
    BlockPool pool = open_pool(dir);
    ASSERT_TRUE(pool.append_cells(std::vector<Cell>{make_cell(1, 64), make_cell(2, 64, static_cast<Tier>(3)), make_cell(3, 64)}).ok());
    off1 = pool.locate(1)->offset;
  }
  const std::string path = seg_file(dir, 0);
  const auto pristine = test::read_bytes(path);
  auto put_u32 = [&](uint64_t at, uint32_t v) {
    auto b = pristine;
    std::memcpy(b.data() + at, &v, 4);
    test::write_bytes(path, b);
  };
  // The header-only read, served from what the scan kept, refuses exactly
  // the records the full read refuses; so do the reads of a RecordReader,
  // with or without a plan.
  ReadWindow window;
  auto reader_errors = [&](const BlockPool& pool, CellId id) {
    std::vector<EngineError> out;
    for (auto plan : {std::vector<CellId>{}, std::vector<CellId>{1, 2, 3}}) {
      auto r = reader_value(pool, window, plan, id);
      EXPECT_FALSE(r.ok());
      if (!r.ok()) out.push_back(r.error());
    }
    return out;
  };
  auto expect_invalid = [&](CellId id, const std::string& text) {
    BlockPool pool = open_pool(dir);
    for (auto r : {pool.read_cell(id), pool.read_cell_header(id)}) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), EngineError::Kind::StorageIo);
      EXPECT_EQ(r.error().io().kind, IoError::Kind::InvalidData);
      EXPECT_EQ(r.error().io().message, text);
    }
    for (const EngineError& e : reader_errors(pool, id)) EXPECT_EQ(e.to_string(), pool.read_cell(id).error().to_string());
  };
  std::string damaged1 = "damaged cell record at offset " + std::to_string(off1) + " in " + path;

  expect_invalid(2, "invalid tier byte 3 in cell 2");
  put_u32(off1 + segment_format::OFF_KEY_SCALES, 0xFFFFFFFFu);  // scale count beyond body_len
  expect_invalid(1, damaged1);
  put_u32(off1 + segment_format::OFF_AUX_LEN, 0x40000000u);  // aux beyond body_len
  expect_invalid(1, damaged1);
  // Consistent with body_len, but 8 code bytes cannot hold two groups.
  uint32_t body;
  std::memcpy(&body, pristine.data() + off1, 4);
  {
    auto b = pristine;
    uint32_t shorter = body - 24, eight = 8;
    std::memcpy(b.data() + off1, &shorter, 4);
    std::memcpy(b.data() + off1 + segment_format::OFF_KEY_BYTES, &eight, 4);
    test::write_bytes(path, b);
  }
  expect_invalid(1, damaged1);
  put_u32(off1, 20);  // shorter than the fixed body: a read by offset refuses it
  auto short_body = decode_cell_record(path, off1);
  ASSERT_FALSE(short_body.ok());
  EXPECT_EQ(short_body.error().message, damaged1);

  test::write_bytes(path, pristine);
  BlockPool pool = open_pool(dir);
  ASSERT_TRUE(pool.read_cell(1).ok());
  Cell head = *pool.read_cell_header(1);
  Cell want = make_cell(1, 64);
  want.key.clear();
  want.value.clear();
  want.aux.clear();
  want.created_at_ns = want.stamp_ns = 0;  // not kept for header reads
  expect_same(head, want);

  // The file loses its last record's end after it was indexed.
  test::truncate_to(path, test::size_of(path) - 1);
  auto r = pool.read_cell(3);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "storage I/O error: failed to fill whole buffer");
  for (const EngineError& e : reader_errors(pool, 3)) EXPECT_EQ(e.to_string(), r.error().to_string());

  r = pool.read_cell(99);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "cell not found: 99");
  EXPECT_EQ(pool.read_cell_header(99).error().to_string(), "cell not found: 99");
  for (const EngineError& e : reader_errors(pool, 99)) EXPECT_EQ(e.to_string(), r.error().to_string());
}

TEST(SegmentFilesTest, RecordReaderReadsWhatReadCellReads) {
  TempDir dir;
  // Small segments: the batches land in three files.
  BlockPool pool = open_pool(dir, 100000);
  // Values from empty to larger than any read-ahead step, in batches like
  // packs, with one late cell far from its batch.
  const size_t sizes[] = {0, 1, 33, 700, 2000, 9000, 40000, 130000, 5, 64};
  CellId next = 0;
  std::vector<std::vector<CellId>> batches;
  for (int b = 0; b < 4; ++b) {
    std::vector<Cell> cells;
    for (size_t n : sizes) cells.push_back(make_cell(next++, n % 97 + 1));
    for (size_t i = 0; i < cells.size(); ++i) cells[i].value.assign(sizes[(i + b) % 10], 0.25f * (i + 1));
    auto ids = pool.append_cells(cells);
    ASSERT_TRUE(ids.ok());
    batches.push_back(*ids);
  }
  ASSERT_TRUE(pool.append_cell(make_cell(next, 3)).ok());
  batches[0].push_back(next);
  ASSERT_GE(pool.segment_count(), 3u);

  ReadWindow window;  // shared by every reader, as the engine shares it
  for (const auto& batch : batches) {
    for (bool planned : {false, true}) {
      RecordReader reader(pool, window);
      if (planned) reader.read_ahead(batch);
      // Backwards as well as forwards: a read never depends on the last one.
      for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < batch.size(); ++i) {
          CellId id = pass == 0 ? batch[i] : batch[batch.size() - 1 - i];
          Cell want = *pool.read_cell(id);
          auto rec = reader.read(id);
          ASSERT_TRUE(rec.ok()) << rec.error().to_string();
          EXPECT_EQ(rec->owner(), want.owner);
          EXPECT_EQ(rec->layer(), want.layer);
          std::vector<float> got(rec->value_size());
          rec->decode_value_into(got.data());
          EXPECT_EQ(got, want.value) << "cell " << id;
        }
      }
    }
  }
}

TEST(SegmentFilesTest, RecordLimitsAreRefusedNotTruncated) {
  EXPECT_EQ(*cell_record_body_len(4, 1, 1), 131u);
  EXPECT_EQ(*cell_record_body_len(0, 0, 1073741802), 4294967295u);
  auto big = cell_record_body_len(0, 0, 1073741803);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().kind, IoError::Kind::InvalidInput);
  EXPECT_EQ(big.error().message, "record size 4294967299 exceeds u32::MAX");
  EXPECT_TRUE(cell_record_body_len(4294967295ull, 0, 0).ok());
  for (auto r : {cell_record_body_len(4294967296ull, 0, 0), cell_record_body_len(0, 4294967296ull, 0)}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, IoError::Kind::InvalidInput);
    EXPECT_EQ(r.error().message, "element count 4294967296 exceeds u32::MAX");
  }
}

// ---------------------------------------------------------------------------

TEST(BlockPoolTest, RotationAtSegmentSize) {
  TempDir dir;
  BlockPool pool = open_pool(dir, 1000);
  // 16-dimensional cells take 4 + 87 + 2 * 20 = 131 bytes.
  ASSERT_TRUE(pool.append_cells(make_cells(0, 9, 16)).ok());  // 8 + 9 * 131 = 1187
  EXPECT_EQ(pool.segment_count(), 1u);
  ASSERT_TRUE(pool.append_cell(make_cell(9, 16)).ok());
  EXPECT_EQ(pool.segment_count(), 2u);
  EXPECT_EQ(pool.locate(9), (CellLocation{1, 8}));
  // A batch is never split, even past segment_size.
  ASSERT_TRUE(pool.append_cells(make_cells(10, 8, 16)).ok());
  EXPECT_EQ(pool.segment_count(), 2u);
  EXPECT_EQ(pool.segments()[1].size, 8u + 9 * 131);
  EXPECT_EQ(pool.arena_bytes(), test::size_of(seg_file(dir, 0)) + test::size_of(seg_file(dir, 1)));

  // Nothing at all for an empty batch, not even a rotation.
  auto none = pool.append_cells({});
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(pool.segment_count(), 2u);
  EXPECT_EQ(test::size_of(seg_file(dir, 1)), 8u + 9 * 131);

  BlockPool again = open_pool(dir, 1000);
  EXPECT_EQ(again.cell_ids().size(), 18u);
  for (CellId id = 0; id < 18; ++id) expect_same(*again.read_cell(id), make_cell(id, 16));
}

TEST(BlockPoolTest, OtherWritersSegmentsAreNeverOverwritten) {
  TempDir dir;
  BlockPool a = open_pool(dir, 200);
  ASSERT_TRUE(a.append_cells(make_cells(0, 2, 16)).ok());
  {
    // Another writer's pool sees segment 0 full and starts segment 1.
    BlockPool b = open_pool(dir, 200);
    ASSERT_TRUE(b.append_cell(make_cell(50, 16)).ok());
    ASSERT_EQ(b.locate(50)->segment_id, 1u);
  }
  auto theirs = test::read_bytes(seg_file(dir, 1));
  // `a` has not rescanned; its rotation must not reuse id 1.
  ASSERT_TRUE(a.append_cell(make_cell(2, 16)).ok());
  EXPECT_EQ(a.locate(2)->segment_id, 2u);
  EXPECT_EQ(test::read_bytes(seg_file(dir, 1)), theirs);

  ASSERT_TRUE(a.rescan().ok());
  ASSERT_EQ(a.segment_count(), 3u);
  EXPECT_EQ(a.segments()[1].id, 1u);
  EXPECT_EQ(a.segments().back().id, 2u);
  expect_same(*a.read_cell(50), make_cell(50, 16));
  // Existing entries stay as they are.
  EXPECT_EQ(a.locate(2)->segment_id, 2u);
}

TEST(BlockPoolTest, RescanKeepsKnownEntriesAndAddsNewOnes) {
  TempDir dir;
  BlockPool a = open_pool(dir);
  ASSERT_TRUE(a.append_cell(make_cell(1)).ok());
  {
    BlockPool b = open_pool(dir);
    ASSERT_TRUE(b.append_cells(std::vector<Cell>{make_cell(1, 4), make_cell(2)}).ok());
  }
  ASSERT_TRUE(a.rescan().ok());
  EXPECT_EQ(a.cell_ids(), (std::vector<CellId>{1, 2}));
  EXPECT_EQ(a.locate(1)->offset, 8u);
  // At open, a later record of the same id wins.
  BlockPool c = open_pool(dir);
  EXPECT_EQ(c.read_cell(1)->key.size(), 4u);
}

TEST(BlockPoolTest, SegmentIdsRunOutCleanly) {
  TempDir dir;
  test::write_bytes(seg_file(dir, 4294967295u), kHeader);
  BlockPool pool = open_pool(dir, 100);
  ASSERT_TRUE(pool.append_cell(make_cell(1, 16)).ok());
  auto r = pool.append_cell(make_cell(2, 16));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), EngineError::Kind::StorageIo);
  EXPECT_FALSE(pool.contains(2));
  EXPECT_EQ(pool.segment_count(), 1u);
}

TEST(BlockPoolTest, FailedAppendsLeaveFileAndIndexAsBefore) {
  struct Fault {
    const char* name;
    platform::fault::Op op;
    bool short_write;
  };
  for (Fault f : {Fault{"short write", platform::fault::Op::Write, true},
                  Fault{"failed write", platform::fault::Op::Write, false},
                  Fault{"failed sync", platform::fault::Op::Sync, false}}) {
    SCOPED_TRACE(f.name);
    TempDir dir;
    BlockPool pool = open_pool(dir);
    ASSERT_TRUE(pool.append_cell(make_cell(1, 64)).ok());
    uint64_t before = test::size_of(seg_file(dir, 0));

    platform::fault::arm(f.op, 1, ENOSPC, f.short_write);
    auto single = pool.append_cell(make_cell(2, 64));
    platform::fault::disarm();
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(single.error().to_string(), "storage I/O error: " + os_error_text(ENOSPC));
    platform::fault::arm(f.op, 1, EIO, f.short_write);
    auto batch = pool.append_cells(make_cells(3, 4, 64));
    platform::fault::disarm();
    ASSERT_FALSE(batch.ok());

    EXPECT_EQ(test::size_of(seg_file(dir, 0)), before);
    EXPECT_EQ(pool.segments().back().size, before);
    EXPECT_EQ(pool.cell_ids(), std::vector<CellId>{1});
    ASSERT_TRUE(pool.append_cells(make_cells(3, 4, 64)).ok());
    EXPECT_EQ(pool.locate(3)->offset, before);

    BlockPool again = open_pool(dir);
    EXPECT_EQ(again.cell_ids(), (std::vector<CellId>{1, 3, 4, 5, 6}));
    for (CellId id : again.cell_ids()) expect_same(*again.read_cell(id), make_cell(id, 64));
  }
}

// ---------------------------------------------------------------------------

// Segments of ten 16-dimensional cells each: ids 10 s .. 10 s + 9 in segment s.
BlockPool pool_with_segments(const TempDir& dir, int segments) {
  BlockPool pool = open_pool(dir, 500);
  for (int s = 0; s < segments; ++s) {
    EXPECT_TRUE(pool.append_cells(make_cells(10 * s, 10, 16)).ok());
  }
  EXPECT_EQ(pool.segment_count(), static_cast<size_t>(segments));
  return pool;
}

TEST(CompactionTest, OneSegmentIsLeftAlone) {
  TempDir dir;
  BlockPool pool = open_pool(dir);
  ASSERT_TRUE(pool.append_cells(make_cells(0, 10)).ok());
  auto st = pool.compact(std::unordered_set<CellId>{});
  ASSERT_TRUE(st.ok());
  EXPECT_EQ(st->segments_compacted + st->cells_moved + st->bytes_reclaimed, 0u);
  EXPECT_EQ(pool.cell_ids().size(), 10u);
}

TEST(CompactionTest, MostlyDeadSegmentsAreRewritten) {
  TempDir dir;
  BlockPool pool = pool_with_segments(dir, 4);
  // Segment 0: 5 of 10 live, kept. Segment 1: 4 live, rewritten. Segment 2:
  // none live, removed. Segment 3 is active.
  std::unordered_set<CellId> live = {0, 1, 2, 3, 4, 10, 11, 12, 13, 30};
  uint64_t size1 = test::size_of(seg_file(dir, 1)), size2 = test::size_of(seg_file(dir, 2));
  auto st = pool.compact(live);
  ASSERT_TRUE(st.ok()) << st.error().to_string();
  EXPECT_EQ(st->segments_compacted, 2u);
  EXPECT_EQ(st->cells_moved, 4u);
  EXPECT_EQ(st->bytes_reclaimed, size1 + size2);

  std::vector<uint32_t> ids;
  for (const Segment& s : pool.segments()) ids.push_back(s.id);
  // The active segment was full, so the moved cells opened segment 4.
  EXPECT_EQ(ids, (std::vector<uint32_t>{0, 3, 4}));
  EXPECT_EQ(*list_segment_ids(dir.path()), ids);
  for (CellId id : {10, 11, 12, 13}) {
    EXPECT_EQ(pool.locate(id)->segment_id, 4u);
    expect_same(*pool.read_cell(id), make_cell(id, 16));
  }
  for (CellId id : {14, 20, 29}) EXPECT_EQ(pool.read_cell(id).error().kind(), EngineError::Kind::CellNotFound);
  // Dead cells of kept segments stay indexed.
  EXPECT_TRUE(pool.contains(9));
  EXPECT_TRUE(pool.contains(35));

  BlockPool again = open_pool(dir, 500);
  EXPECT_EQ(again.cell_ids(), pool.cell_ids());
}

TEST(CompactionTest, SupersededCopiesAreNotLive) {
  TempDir dir;
  BlockPool pool = pool_with_segments(dir, 2);
  // Newer copies of 0..5 in segment 2; segment 0 then holds only 6..9 live.
  std::vector<Cell> newer = make_cells(0, 6, 32);
  ASSERT_TRUE(pool.append_cells(newer).ok());
  std::unordered_set<CellId> live = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  auto st = pool.compact(live);
  ASSERT_TRUE(st.ok());
  EXPECT_EQ(st->cells_moved, 3u);
  EXPECT_GE(st->segments_compacted, 1u);
  for (CellId id = 0; id < 6; ++id) expect_same(*pool.read_cell(id), newer[id]);
  for (CellId id = 6; id < 9; ++id) expect_same(*pool.read_cell(id), make_cell(id, 16));
  EXPECT_FALSE(pool.contains(9));
}

TEST(CompactionTest, MovedRecordsReadBackBitForBit) {
  TempDir dir;
  BlockPool pool = open_pool(dir, 100);
  Cell odd = make_cell(1, 40);
  odd.key[3] = std::numeric_limits<float>::infinity();  // a group that decodes to NaN
  odd.aux = {0.25f, -1.0f};
  ASSERT_TRUE(pool.append_cells(std::vector<Cell>{odd, make_cell(2), make_cell(3)}).ok());
  ASSERT_TRUE(pool.append_cell(make_cell(4)).ok());
  auto before = pool.read_cell(1);
  auto st = pool.compact(std::unordered_set<CellId>{1, 4});
  ASSERT_TRUE(st.ok());
  EXPECT_EQ(st->cells_moved, 1u);
  auto after = pool.read_cell(1);
  ASSERT_EQ(after->key.size(), before->key.size());
  EXPECT_EQ(std::memcmp(after->key.data(), before->key.data(), before->key.size() * 4), 0);
  EXPECT_TRUE(std::isnan(after->key[3]));
  EXPECT_EQ(after->aux, odd.aux);
}

TEST(CompactionTest, UnlinkFailuresAndEmptySegments) {
  TempDir dir;
  BlockPool pool = pool_with_segments(dir, 3);
  platform::fault::arm(platform::fault::Op::Unlink, 1);
  auto st = pool.compact(std::unordered_set<CellId>{});
  uint64_t unlinks = platform::fault::calls(platform::fault::Op::Unlink);
  platform::fault::disarm();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), EngineError::Kind::StorageIo);
  EXPECT_EQ(unlinks, 2u);  // the second unlink was still tried
  // The segment whose file stayed stays listed, out of the index, and the
  // next compaction removes it.
  EXPECT_EQ(pool.segment_count(), 2u);
  EXPECT_EQ(pool.cell_ids().size(), 10u);
  EXPECT_EQ(*list_segment_ids(dir.path()), (std::vector<uint32_t>{0, 2}));
  auto again = pool.compact(std::unordered_set<CellId>{});
  ASSERT_TRUE(again.ok()) << again.error().to_string();
  EXPECT_EQ(again->segments_compacted, 1u);
  EXPECT_EQ(pool.segment_count(), 1u);
  EXPECT_EQ(pool.cell_ids().size(), 10u);
  EXPECT_EQ(*list_segment_ids(dir.path()), (std::vector<uint32_t>{2}));

  // A non-active segment without records is never removed.
  TempDir dir2;
  test::write_bytes(seg_file(dir2, 0), kHeader);
  test::write_bytes(seg_file(dir2, 1), kHeader);
  BlockPool p2 = open_pool(dir2);
  ASSERT_TRUE(p2.append_cell(make_cell(1)).ok());
  auto st2 = p2.compact(std::unordered_set<CellId>{});
  ASSERT_TRUE(st2.ok());
  EXPECT_EQ(st2->segments_compacted, 0u);
  EXPECT_EQ(p2.segment_count(), 2u);
}

}  // namespace
}  // namespace qvn
