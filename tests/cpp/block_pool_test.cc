#include "storage/block_pool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/platform.h"
#include "storage/record_reader.h"
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
  EXPECT_EQ(std::tie(got.cell_id, got.owner, got.layer, got.key, got.value, got.aux, got.pack_id, got.view_marker),
            std::tie(want.cell_id, want.owner, want.layer, want.key, want.value, want.aux, want.pack_id, want.view_marker));
  EXPECT_EQ(std::tie(got.created_at_ns, got.stamp_ns, got.importance, got.counter, got.tier),
            std::tie(want.created_at_ns, want.stamp_ns, want.importance, want.counter, want.tier));
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
    EXPECT_EQ(pool.error().io().os_code, ENOENT);
  }
  {  // Eight bytes or more must carry the magic.
    TempDir dir;
    test::write_bytes(seg_file(dir, 0), {'Q', 'V', 'N', 'X', 1, 0, 0, 0});
    auto pool = BlockPool::open(dir.path(), 1000);
    EXPECT_EQ(pool.error().to_string(), "storage I/O error: invalid segment magic in " + seg_file(dir, 0));
  }
  // A file shorter than the header gets its header before the first record.
  TempDir dir;
  test::write_bytes(seg_file(dir, 0), {'Q', 'V', 'N'});
  ASSERT_TRUE(open_pool(dir).append_cell(make_cell(1)).ok());
  BlockPool again = open_pool(dir);
  EXPECT_EQ(again.locate(1), (CellLocation{0, 8}));
  expect_same(*again.read_cell(1), make_cell(1));
}

// A torn, zero-filled or foreign tail ends the scan; nothing before it is
// lost, nothing is invented from it, the file is never cut, and cells
// appended afterwards are still there at the next open.
// A new segment's header is on disk before its name: a power loss between
// the two leaves no name, never a named file of zeros.
TEST(SegmentFilesTest, ANewSegmentsHeaderIsSyncedBeforeItsName) {
  TempDir dir;
  BlockPool pool = open_pool(dir, 8 + 131);
  ASSERT_TRUE(pool.append_cell(make_cell(0, 16)).ok());
  using platform::fault::Op;
  platform::fault::arm(Op::Sync, 1);  // the first sync of the append that rotates
  auto failed = pool.append_cell(make_cell(1, 16));
  const std::vector<std::string> names_made_durable = platform::fault::synced_dirs();
  platform::fault::disarm();
  EXPECT_FALSE(failed.ok());
  EXPECT_TRUE(names_made_durable.empty());
  EXPECT_FALSE(std::filesystem::exists(seg_file(dir, 1)));
  ASSERT_TRUE(pool.append_cell(make_cell(1, 16)).ok());
  EXPECT_EQ(pool.locate(1), (CellLocation{1, 8}));
}

// A segment file of zeros (a creation that a power loss tore: its size
// reached the disk, its header did not) holds no record, opens, and takes
// its header at the next append, before records behind it could be lost.
TEST(SegmentFilesTest, ASegmentOfZerosOpensEmptyAndTakesItsHeader) {
  for (size_t zeros : {size_t{8}, size_t{300}}) {
    SCOPED_TRACE(zeros);
    TempDir dir;
    ASSERT_TRUE(open_pool(dir).append_cell(make_cell(0, 16)).ok());
    test::write_bytes(seg_file(dir, 1), std::vector<uint8_t>(zeros, 0));
    auto scan = scan_segment(seg_file(dir, 1));
    ASSERT_TRUE(scan.ok());
    EXPECT_TRUE(scan->records.empty());
    BlockPool pool = open_pool(dir);
    expect_same(*pool.read_cell(0), make_cell(0, 16));
    pool.settle_active_tail();
    ASSERT_TRUE(pool.append_cell(make_cell(1, 16)).ok());
    EXPECT_EQ(pool.locate(1), (CellLocation{1, 8}));
    const std::vector<uint8_t> bytes = test::read_bytes(seg_file(dir, 1));
    ASSERT_EQ(bytes.size(), 8u + 131);
    EXPECT_TRUE(std::equal(kHeader.begin(), kHeader.end(), bytes.begin()));
    BlockPool again = open_pool(dir);
    EXPECT_EQ(again.cell_ids(), (std::vector<CellId>{0, 1}));
    expect_same(*again.read_cell(1), make_cell(1, 16));
  }
}

TEST(SegmentFilesTest, DamagedTailsEndTheScan) {
  struct Damage {
    const char* name;
    uint64_t cut;
    std::vector<uint8_t> tail;
  };
  const Damage damages[] = {
      {"torn record", 10, {}},
      {"zero fill", 0, std::vector<uint8_t>(4096, 0)},
      {"two zero bytes", 0, {0, 0}},
      {"short length", 0, {50, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"length past end", 0, {0xFF, 0xFF, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9}},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    TempDir dir;
    const std::string path = seg_file(dir, 0);
    ASSERT_TRUE(open_pool(dir).append_cells(make_cells(1, 3)).ok());
    test::truncate_to(path, test::size_of(path) - d.cut);
    test::append_bytes(path, d.tail);
    const uint64_t damaged_size = test::size_of(path);
    {
      BlockPool pool = open_pool(dir);
      const CellId whole = d.cut ? 2 : 3;
      EXPECT_EQ(pool.index().size(), whole);
      for (CellId id = 1; id <= whole; ++id) EXPECT_TRUE(pool.read_cell(id).ok());
      // As a writer turn does, with the directory's lock held.
      pool.settle_active_tail();
      ASSERT_TRUE(pool.append_cell(make_cell(10)).ok());
      EXPECT_EQ(pool.locate(10)->segment_id, 1u);
    }
    EXPECT_EQ(test::size_of(path), damaged_size);
    expect_same(*open_pool(dir).read_cell(10), make_cell(10));
  }
}

// A zero run that power loss leaves inside the last record written, not
// reaching the end of the file: a record whose own fields show it cannot be
// as its writer left it is a torn tail, the records before it are whole, and
// the next append goes to a new segment. The same run inside a record that
// others follow is not a tail.
TEST(SegmentFilesTest, AHoleInTheLastRecordEndsTheScan) {
  namespace sf = segment_format;
  Cell head = make_cell(1, 64);
  head.pack_id = 5;
  head.layer = VIEW_KEY_LAYER;
  Cell view = make_cell(2, 64);
  view.pack_id = 5;
  view.layer = VIEW_KEY_LAYER;
  view.view_marker = VIEW_MARKER_ALL_ONES;
  struct Hole {
    const char* name;
    const Cell* last;
    uint64_t at, len;  // inside the last record
    bool kept;
  };
  const Cell standalone = make_cell(2, 64);
  const Hole holes[] = {
      {"key count", &standalone, sf::OFF_KEY_LEN, 2, false},
      {"value count", &standalone, sf::OFF_VALUE_LEN, 1, false},
      {"a scale", &standalone, sf::FIXED_END, 4, false},
      {"codes", &standalone, sf::FIXED_END + 8 + 3, 2, false},
      {"part of a view marker", &view, sf::OFF_VIEW_MARKER + 2, 3, false},
      {"the owner", &standalone, sf::OFF_OWNER, 1, true},  // no field shows it
  };
  for (const Hole& h : holes) {
    SCOPED_TRACE(h.name);
    TempDir dir;
    const std::string path = seg_file(dir, 0);
    uint64_t at = 0;
    {
      BlockPool pool = open_pool(dir);
      ASSERT_TRUE(pool.append_cell(head).ok());
      ASSERT_TRUE(pool.append_cell(*h.last).ok());
      at = pool.locate(2)->offset;
    }
    auto bytes = test::read_bytes(path);
    ASSERT_LT(at + h.at + h.len, bytes.size());
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at + h.at), h.len, 0);
    test::write_bytes(path, bytes);
    {
      BlockPool pool = open_pool(dir);
      EXPECT_EQ(pool.contains(2), h.kept);
      expect_same(*pool.read_cell(1), head);
      pool.settle_active_tail();
      ASSERT_TRUE(pool.append_cell(make_cell(3, 64)).ok());
      EXPECT_EQ(pool.locate(3)->segment_id, h.kept ? 0u : 1u);
    }
    BlockPool again = open_pool(dir);
    EXPECT_EQ(again.contains(2), h.kept);
    expect_same(*again.read_cell(3), make_cell(3, 64));
    if (h.kept) continue;
    // Followed by a whole record, the damage is no tail: the scan goes on
    // (reads report what they can see of it).
    auto followed = bytes;
    ASSERT_TRUE(encode_cell_record(followed, make_cell(4, 64)).ok());
    test::write_bytes(path, followed);
    BlockPool middle = open_pool(dir);
    EXPECT_TRUE(middle.contains(2) && middle.contains(4));
  }
}

// Whatever values a writer stores, its last record is whole: infinities,
// NaN, zeros, subnormal maxima (scale 0.0 or subnormal) and short groups.
TEST(SegmentFilesTest, EveryWrittenLastRecordIsWhole) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float tiny = std::numeric_limits<float>::denorm_min();
  struct Case {
    std::vector<float> values;  // repeated up to each length
    std::vector<size_t> lengths;
  };
  const std::vector<Case> cases = {
      {{0.0f}, {0, 1, 33, 64}},
      {{-0.0f, 0.0f, nan}, {3, 33, 64}},
      {{inf, 1.0f, -2.0f}, {3, 33, 64}},
      {{-inf, nan, 3.0f}, {3, 33, 64}},
      {{tiny, -tiny, 0.0f, 2 * tiny}, {4, 33, 64}},
      {{5 * tiny, -3 * tiny, tiny}, {3, 33, 64}},
      {{std::numeric_limits<float>::max(), -1.0f}, {2, 33, 64}},
      {{1e-40f, -1e-39f, 7e-39f}, {3, 33, 64}},
      {{-tiny}, {2, 31}},  // every code 0 under scale 0.0: in a short group only
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    for (size_t len : cases[i].lengths) {
      SCOPED_TRACE(testing::Message() << "case " << i << " length " << len);
      TempDir dir;
      Cell c = make_cell(7, 0);
      for (size_t j = 0; j < len; ++j) c.key.push_back(cases[i].values[j % cases[i].values.size()]);
      c.value = c.key;
      c.aux = {nan};
      ASSERT_TRUE(open_pool(dir).append_cell(c).ok());
      EXPECT_TRUE(open_pool(dir).contains(7));
    }
  }
}

// A damaged record fails its full read, its header read (served from what
// the scan kept) and the reads of a RecordReader, with or without a plan,
// all with the same text.
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
  uint32_t body;
  std::memcpy(&body, pristine.data() + off1, 4);
  const std::string damaged1 = "storage I/O error: damaged cell record at offset " + std::to_string(off1) + " in " + path;
  struct Case {
    const char* name;
    std::vector<std::pair<uint64_t, uint32_t>> patches;  // u32 written at offset
    uint64_t cut;                                        // bytes cut off the end after open
    CellId id;
    std::string text;
  };
  const Case cases[] = {
      {"tier byte", {}, 0, 2, "storage I/O error: invalid tier byte 3 in cell 2"},
      {"scale count beyond body", {{off1 + segment_format::OFF_KEY_SCALES, 0xFFFFFFFFu}}, 0, 1, damaged1},
      {"aux beyond body", {{off1 + segment_format::OFF_AUX_LEN, 0x40000000u}}, 0, 1, damaged1},
      // Consistent with body_len, but 8 code bytes cannot hold two groups.
      {"too few codes", {{off1, body - 24}, {off1 + segment_format::OFF_KEY_BYTES, 8}}, 0, 1, damaged1},
      {"file cut under the index", {}, 1, 3, "storage I/O error: failed to fill whole buffer"},
      {"unknown id", {}, 0, 99, "cell not found: 99"},
  };
  ReadWindow window;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = pristine;
    for (auto [at, v] : c.patches) std::memcpy(bytes.data() + at, &v, 4);
    test::write_bytes(path, bytes);
    BlockPool pool = open_pool(dir);
    if (c.cut) test::truncate_to(path, bytes.size() - c.cut);
    std::vector<std::string> texts;
    for (auto r : {pool.read_cell(c.id), pool.read_cell_header(c.id)}) texts.push_back(r.ok() ? "ok" : r.error().to_string());
    for (auto plan : {std::vector<CellId>{}, std::vector<CellId>{1, 2, 3}}) {
      auto r = reader_value(pool, window, plan, c.id);
      texts.push_back(r.ok() ? "ok" : r.error().to_string());
    }
    if (c.cut) texts[1] = c.text;  // the header read needs no bytes of the file
    EXPECT_EQ(texts, std::vector<std::string>(4, c.text));
  }
  // A length shorter than the fixed body: a read by offset refuses it.
  auto bytes = pristine;
  const uint32_t twenty = 20;
  std::memcpy(bytes.data() + off1, &twenty, 4);
  test::write_bytes(path, bytes);
  auto short_body = decode_cell_record(path, off1);
  ASSERT_FALSE(short_body.ok());
  EXPECT_EQ("storage I/O error: " + short_body.error().message, damaged1);

  test::write_bytes(path, pristine);
  BlockPool pool = open_pool(dir);
  Cell want = make_cell(1, 64);
  want.key.clear();
  want.value.clear();
  want.aux.clear();
  want.created_at_ns = want.stamp_ns = 0;  // not kept for header reads
  expect_same(*pool.read_cell_header(1), want);
}

TEST(SegmentFilesTest, RecordReaderReadsWhatReadCellReads) {
  TempDir dir;
  BlockPool pool = open_pool(dir, 100000);  // the batches land in three files
  // Values from empty to larger than any read-ahead step, in batches like
  // packs, with one late cell far from its batch.
  const size_t sizes[] = {0, 1, 33, 700, 2000, 9000, 40000, 130000, 5, 64};
  CellId next = 0;
  std::vector<std::vector<CellId>> batches;
  for (int b = 0; b < 4; ++b) {
    std::vector<Cell> cells;
    for (size_t i = 0; i < 10; ++i) {
      cells.push_back(make_cell(next++, sizes[i] % 97 + 1));
      cells.back().value.assign(sizes[(i + b) % 10], 0.25f * (i + 1));
    }
    batches.push_back(*pool.append_cells(cells));
  }
  ASSERT_TRUE(pool.append_cell(make_cell(next, 3)).ok());
  batches[0].push_back(next);
  ASSERT_GE(pool.segment_count(), 3u);
  ReadWindow window;  // shared by every reader, as the engine shares it
  for (const auto& batch : batches) {
    for (auto plan : {std::vector<CellId>{}, batch}) {
      // Backwards as well as forwards: a read never depends on the last one.
      for (size_t i = 0; i < 2 * batch.size(); ++i) {
        const CellId id = i < batch.size() ? batch[i] : batch[2 * batch.size() - 1 - i];
        auto got = reader_value(pool, window, plan, id);
        ASSERT_TRUE(got.ok()) << got.error().to_string();
        EXPECT_EQ(*got, pool.read_cell(id)->value) << "cell " << id;
      }
    }
  }
}

TEST(SegmentFilesTest, RecordLimitsAreRefusedNotTruncated) {
  EXPECT_EQ(*cell_record_body_len(4, 1, 1), 131u);
  EXPECT_EQ(*cell_record_body_len(0, 0, 1073741802), 4294967295u);
  EXPECT_TRUE(cell_record_body_len(4294967295ull, 0, 0).ok());
  EXPECT_EQ(cell_record_body_len(0, 0, 1073741803).error().message, "record size 4294967299 exceeds u32::MAX");
  for (auto r : {cell_record_body_len(4294967296ull, 0, 0), cell_record_body_len(0, 4294967296ull, 0)}) {
    EXPECT_EQ(r.error().message, "element count 4294967296 exceeds u32::MAX");
  }
}

// ---------------------------------------------------------------------------

TEST(BlockPoolTest, RotationAtSegmentSize) {
  TempDir dir;
  // 16-dimensional cells take 4 + 87 + 2 * 20 = 131 bytes; nine fill a
  // segment to exactly 8 + 9 * 131 bytes.
  BlockPool pool = open_pool(dir, 8 + 9 * 131);
  ASSERT_TRUE(pool.append_cells(make_cells(0, 8, 16)).ok());
  // Syncs counted, none failed: a rotation also makes the new file's header
  // and then its name durable, two syncs more than a plain append.
  using platform::fault::Op;
  platform::fault::arm(Op::Sync, UINT64_MAX);
  ASSERT_TRUE(pool.append_cell(make_cell(8, 16)).ok());
  const uint64_t plain = platform::fault::calls(Op::Sync);
  EXPECT_EQ(pool.segment_count(), 1u);
  platform::fault::arm(Op::Sync, UINT64_MAX);
  ASSERT_TRUE(pool.append_cell(make_cell(9, 16)).ok());
  EXPECT_EQ(platform::fault::calls(Op::Sync), plain + 2);
  platform::fault::disarm();
  EXPECT_EQ(pool.segment_count(), 2u);
  EXPECT_EQ(pool.locate(9), (CellLocation{1, 8}));
  // A batch is never split, even past segment_size.
  ASSERT_TRUE(pool.append_cells(make_cells(10, 8, 16)).ok());
  EXPECT_EQ(pool.segment_count(), 2u);
  EXPECT_EQ(pool.segments()[1].size, 8u + 9 * 131);
  EXPECT_EQ(pool.arena_bytes(), test::size_of(seg_file(dir, 0)) + test::size_of(seg_file(dir, 1)));
  // Nothing at all for an empty batch, not even a rotation.
  EXPECT_TRUE(pool.append_cells({})->empty());
  EXPECT_EQ(pool.segment_count(), 2u);
  BlockPool again = open_pool(dir, 8 + 9 * 131);
  EXPECT_EQ(again.cell_ids().size(), 18u);
  for (CellId id = 0; id < 18; ++id) expect_same(*again.read_cell(id), make_cell(id, 16));
}

TEST(BlockPoolTest, OtherWritersSegmentsAreNeverOverwritten) {
  TempDir dir;
  BlockPool a = open_pool(dir, 200);
  ASSERT_TRUE(a.append_cells(make_cells(0, 2, 16)).ok());
  {
    // Another writer's pool sees segment 0 full and starts segment 1, with a
    // newer copy of cell 1.
    BlockPool b = open_pool(dir, 200);
    ASSERT_TRUE(b.append_cells(std::vector<Cell>{make_cell(50, 16), make_cell(1, 4)}).ok());
    ASSERT_EQ(b.locate(50)->segment_id, 1u);
  }
  auto theirs = test::read_bytes(seg_file(dir, 1));
  // `a` has not rescanned; its rotation must not reuse id 1.
  ASSERT_TRUE(a.append_cell(make_cell(2, 16)).ok());
  EXPECT_EQ(a.locate(2)->segment_id, 2u);
  EXPECT_EQ(test::read_bytes(seg_file(dir, 1)), theirs);
  // A rescan adds the new entries and keeps the known ones as they are.
  ASSERT_TRUE(a.rescan().ok());
  EXPECT_EQ(a.cell_ids(), (std::vector<CellId>{0, 1, 2, 50}));
  EXPECT_EQ(a.locate(1)->segment_id, 0u);
  EXPECT_EQ(a.locate(2)->segment_id, 2u);
  expect_same(*a.read_cell(50), make_cell(50, 16));
  // At open, the record stored first stands while its segment exists; the
  // later one takes over once that segment is gone.
  EXPECT_EQ(open_pool(dir, 200).read_cell(1)->key.size(), 16u);
  ASSERT_EQ(std::remove(seg_file(dir, 0).c_str()), 0);
  EXPECT_EQ(open_pool(dir, 200).read_cell(1)->key.size(), 4u);
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
  using platform::fault::Op;
  for (auto [op, short_write] : {std::pair{Op::Write, true}, {Op::Write, false}, {Op::Sync, false}}) {
    SCOPED_TRACE(static_cast<int>(op) * 2 + short_write);
    TempDir dir;
    BlockPool pool = open_pool(dir);
    ASSERT_TRUE(pool.append_cell(make_cell(1, 64)).ok());
    const uint64_t before = test::size_of(seg_file(dir, 0));
    platform::fault::arm(op, 1, ENOSPC, short_write);
    auto single = pool.append_cell(make_cell(2, 64));
    platform::fault::arm(op, 1, EIO, short_write);
    auto batch = pool.append_cells(make_cells(3, 4, 64));
    platform::fault::disarm();
    EXPECT_EQ(single.error().to_string(), "storage I/O error: " + os_error_text(ENOSPC));
    EXPECT_FALSE(batch.ok());
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
// Several writers on one directory. What a scan outside the writer lock finds
// at a tail may be another writer's append in progress; only the writer turn
// (settle_active_tail, lock held) may take it for a dead writer's.

TEST(SharedTailTest, OnlyTheWriterTurnJudgesATail) {
  TempDir dir;
  const std::string path = seg_file(dir, 0);
  BlockPool pool = open_pool(dir);
  ASSERT_TRUE(pool.append_cells(make_cells(1, 2, 64)).ok());
  std::vector<uint8_t> theirs, dead;
  ASSERT_TRUE(encode_cell_record(theirs, make_cell(3, 64)).ok());
  ASSERT_TRUE(encode_cell_record(dead, make_cell(5, 64)).ok());

  // A refresh meets another writer's record half written: not indexed, and
  // not held against the segment once the writer has finished it.
  const size_t half = theirs.size() / 2;
  test::append_bytes(path, {theirs.begin(), theirs.begin() + half});
  ASSERT_TRUE(pool.rescan().ok());
  EXPECT_FALSE(pool.contains(3));
  test::append_bytes(path, {theirs.begin() + half, theirs.end()});
  pool.settle_active_tail();
  ASSERT_TRUE(pool.append_cell(make_cell(4, 64)).ok());
  EXPECT_EQ(pool.segment_count(), 1u);
  ASSERT_TRUE(pool.rescan().ok());
  expect_same(*pool.read_cell(3), make_cell(3, 64));

  // A writer that died inside its append: the next append goes to a new
  // segment, the torn bytes stay, and a reopen finds every whole record.
  test::append_bytes(path, {dead.begin(), dead.begin() + 100});
  const uint64_t torn_size = test::size_of(path);
  pool.settle_active_tail();
  ASSERT_TRUE(pool.append_cell(make_cell(6, 64)).ok());
  EXPECT_EQ(pool.locate(6)->segment_id, 1u);
  EXPECT_EQ(test::size_of(path), torn_size);
  BlockPool again = open_pool(dir);
  EXPECT_EQ(again.cell_ids(), (std::vector<CellId>{1, 2, 3, 4, 6}));
  for (CellId id : again.cell_ids()) expect_same(*again.read_cell(id), make_cell(id, 64));
}

// Engines opening a new directory at once may find segment 0 before its
// creator wrote the header: another engine's records then follow a header
// that the creator's late write leaves as it is.
TEST(SharedTailTest, ASegmentOpenedBeforeItsHeaderIsWritten) {
  TempDir dir;
  const std::string path = seg_file(dir, 0);
  test::write_bytes(path, {});
  BlockPool a = open_pool(dir), b = open_pool(dir);
  b.settle_active_tail();
  ASSERT_TRUE(b.append_cells(make_cells(1, 2, 16)).ok());
  std::vector<CellId> seen;
  ASSERT_TRUE(a.catch_up_ids([&](CellId id, PackId) { seen.push_back(id); }).ok());
  EXPECT_EQ(seen, (std::vector<CellId>{1, 2}));
  auto f = platform::File::open(path, platform::Access::Write);  // the creator, late
  ASSERT_TRUE(f.ok() && f->write_all(kHeader.data(), kHeader.size()).ok());
  a.settle_active_tail();
  ASSERT_TRUE(a.append_cell(make_cell(3, 16)).ok());
  BlockPool again = open_pool(dir);
  EXPECT_EQ(again.cell_ids(), (std::vector<CellId>{1, 2, 3}));
  EXPECT_EQ(again.segment_count(), 1u);
}

// A file that takes a segment's name under a live pool is neither read in
// place of the file the index describes nor appended to.
TEST(SharedTailTest, AReplacedSegmentFileIsNeitherReadNorAppendedTo) {
  auto replace = [](const TempDir& dir, uint32_t seg, const std::vector<uint8_t>& bytes) {
    const std::string tmp = dir.file("replacement");
    test::write_bytes(tmp, bytes);
    ASSERT_TRUE(platform::rename(tmp, seg_file(dir, seg)).ok());
  };
  {
    // The active segment is replaced by a copy: appends go to a new segment,
    // and reads of old and new cells alike find them.
    TempDir dir;
    BlockPool pool = open_pool(dir);
    ASSERT_TRUE(pool.append_cells(make_cells(0, 4, 16)).ok());
    expect_same(*pool.read_cell(3), make_cell(3, 16));  // keeps a descriptor
    replace(dir, 0, test::read_bytes(seg_file(dir, 0)));
    pool.settle_active_tail();
    ASSERT_TRUE(pool.append_cell(make_cell(4, 16)).ok());
    EXPECT_EQ(pool.locate(4)->segment_id, 1u);
    for (CellId id : {3, 4}) expect_same(*pool.read_cell(id), make_cell(id, 16));
  }
  TempDir dir;
  BlockPool pool = open_pool(dir, 100);  // one cell per segment
  const CellId n = 70;                   // more segments than kept descriptors
  for (CellId id = 0; id < n; ++id) ASSERT_TRUE(pool.append_cell(make_cell(id, 16)).ok());
  for (CellId id = 0; id < n; ++id) ASSERT_TRUE(pool.read_cell(id).ok());  // the first ones are closed again
  // Segment 0 now holds cell 999 where cell 0 was.
  std::vector<uint8_t> other = kHeader;
  ASSERT_TRUE(encode_cell_record(other, make_cell(999, 16)).ok());
  replace(dir, 0, other);
  ReadWindow window;
  EXPECT_FALSE(pool.read_cell(0).ok());
  EXPECT_FALSE(reader_value(pool, window, {}, 0).ok());
  // A rescan takes the new file as it is.
  ASSERT_TRUE(pool.rescan().ok());
  EXPECT_EQ(pool.read_cell(0).error().kind(), EngineError::Kind::CellNotFound);
  expect_same(*pool.read_cell(999), make_cell(999, 16));
}

// Segments of ten 16-dimensional cells each: ids 10 s .. 10 s + 9 in segment s.
BlockPool pool_with_segments(const TempDir& dir, int segments) {
  BlockPool pool = open_pool(dir, 500);
  for (int s = 0; s < segments; ++s) {
    EXPECT_TRUE(pool.append_cells(make_cells(10 * s, 10, 16)).ok());
  }
  EXPECT_EQ(pool.segment_count(), static_cast<size_t>(segments));
  return pool;
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

TEST(CompactionTest, SupersededCopiesAreNotLiveAndMovesKeepBits) {
  TempDir dir;
  BlockPool pool = pool_with_segments(dir, 2);
  // Newer copies of 0..5 in segment 2; segment 0 then holds only 6..9 live.
  std::vector<Cell> newer = make_cells(0, 6, 32);
  ASSERT_TRUE(pool.append_cells(newer).ok());
  // Cell 300 shares its segment with dead cells and is moved as its stored
  // bytes: a group that decodes to NaN stays so.
  Cell odd = make_cell(300, 40);
  odd.key[3] = std::numeric_limits<float>::infinity();
  odd.aux = {0.25f, -1.0f};
  ASSERT_TRUE(pool.append_cells(std::vector<Cell>{odd, make_cell(301), make_cell(302), make_cell(303)}).ok());
  // The highest id stays stored whatever its liveness; here it is in the
  // active segment.
  ASSERT_TRUE(pool.append_cells(make_cells(1000, 10, 16)).ok());
  const Cell before = *pool.read_cell(300);
  auto st = pool.compact(std::unordered_set<CellId>{0, 1, 2, 3, 4, 5, 6, 7, 8, 1000, 300});
  ASSERT_TRUE(st.ok());
  EXPECT_EQ(st->cells_moved, 4u);
  for (CellId id = 0; id < 6; ++id) expect_same(*pool.read_cell(id), newer[id]);
  for (CellId id = 6; id < 9; ++id) expect_same(*pool.read_cell(id), make_cell(id, 16));
  EXPECT_FALSE(pool.contains(9));
  const Cell after = *pool.read_cell(300);
  ASSERT_EQ(after.key.size(), before.key.size());
  EXPECT_EQ(std::memcmp(after.key.data(), before.key.data(), before.key.size() * 4), 0);
  EXPECT_TRUE(std::isnan(after.key[3]));
  EXPECT_EQ(after.aux, odd.aux);
}

// Of two stored records of one id, the first stands while its segment
// exists. Compaction removes that segment only when every copy stored
// elsewhere holds the same bytes, so a copy that a power loss tore never
// becomes the record of its id.
TEST(CompactionTest, ADifferingCopyKeepsTheFirstRecordsSegment) {
  for (bool torn : {true, false}) {
    SCOPED_TRACE(torn);
    TempDir dir;
    ASSERT_TRUE(open_pool(dir).append_cells(make_cells(0, 10, 16)).ok());
    Cell copy = make_cell(3, 16);
    if (torn) std::fill(copy.value.begin() + 8, copy.value.end(), 0.0f);
    // A full segment 0 makes this append start segment 1.
    ASSERT_TRUE(open_pool(dir, 8).append_cells(std::vector<Cell>{copy, make_cell(20, 16)}).ok());
    BlockPool pool = open_pool(dir);
    expect_same(*pool.read_cell(3), make_cell(3, 16));
    auto st = pool.compact(std::unordered_set<CellId>{3, 20});
    ASSERT_TRUE(st.ok()) << st.error().to_string();
    EXPECT_EQ(st->segments_compacted, torn ? 0u : 1u);
    EXPECT_EQ(std::filesystem::exists(seg_file(dir, 0)), torn);
    expect_same(*pool.read_cell(3), make_cell(3, 16));
    expect_same(*open_pool(dir).read_cell(3), make_cell(3, 16));
  }
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

// A record of pack `pack`: its head (view marker 0 at the view-key layer), a
// view key (all-ones marker) or a layer.
enum class Role { Head, ViewKey, Layer };
Cell pack_cell(CellId id, PackId pack, Role role) {
  Cell c = make_cell(id, 16);
  // A pack's records share their owner and times, as a pack write makes them.
  c.owner = 100 + pack;
  c.created_at_ns = c.stamp_ns = 1000 + pack;
  c.pack_id = pack;
  c.layer = role == Role::Layer ? 3 : VIEW_KEY_LAYER;
  c.view_marker = role == Role::ViewKey ? VIEW_MARKER_ALL_ONES : 0;
  return c;
}

// Every record stored in the directory's segments, by cell id.
std::multiset<CellId> stored_ids(const TempDir& dir) {
  std::multiset<CellId> ids;
  const std::vector<uint32_t> segs = *list_segment_ids(dir.path());
  for (uint32_t seg : segs) {
    auto scan = scan_segment(seg_file(dir, seg));
    EXPECT_TRUE(scan.ok()) << scan.error().to_string();
    if (scan.ok()) for (const RecordRef& r : scan->records) ids.insert(r.cell_id);
  }
  return ids;
}

TEST(CompactionTest, OnlyProvablyDeadRecordsGoAndIdsStayUsed) {
  auto dead_pack_5 = [](CellId, const RecordHeader& h) { return h.pack_id == 5; };
  {
    // Segment 0: view keys 0 and 1 of pack 8, whose head no segment holds
    // (kept); layers 2 and 3 of pack 9, whose append never stored its head
    // (dropped); pack 5, deleted, with a view key (dropped); standalone 8.
    TempDir dir;
    BlockPool writer = open_pool(dir, 500);
    ASSERT_TRUE(writer.append_cells(std::vector<Cell>{pack_cell(0, 8, Role::ViewKey), pack_cell(1, 8, Role::ViewKey),
                                                      pack_cell(2, 9, Role::Layer), pack_cell(3, 9, Role::Layer),
                                                      pack_cell(4, 5, Role::Layer), pack_cell(5, 5, Role::Layer),
                                                      pack_cell(6, 5, Role::Head), pack_cell(7, 5, Role::ViewKey),
                                                      make_cell(8, 16)}).ok());
    ASSERT_TRUE(writer.append_cells(std::vector<Cell>{pack_cell(99, 20, Role::Layer), pack_cell(98, 20, Role::Head)}).ok());
    // A pool that has never seen pack 8's head still keeps its view keys.
    BlockPool pool = open_pool(dir, 500);
    EXPECT_EQ(pool.waiting_count(), 4u);
    auto st = pool.compact(dead_pack_5);
    ASSERT_TRUE(st.ok()) << st.error().to_string();
    EXPECT_EQ(st->segments_compacted, 1u);
    EXPECT_EQ(st->cells_moved, 3u);
    EXPECT_EQ(stored_ids(dir), (std::multiset<CellId>{0, 1, 8, 98, 99}));
    BlockPool again = open_pool(dir, 500);
    EXPECT_EQ(again.cell_ids(), (std::vector<CellId>{8, 98, 99}));
    EXPECT_EQ(again.waiting_max_ids(), (std::pair<CellId, PackId>{1, 8}));
  }
  {
    // The highest cell id (50, a layer of deleted pack 5) and the highest
    // pack id (6, whose head was never stored) are carried only by dead
    // records of segment 0: one record of each stays.
    TempDir dir;
    BlockPool pool = open_pool(dir, 500);
    ASSERT_TRUE(pool.append_cells(std::vector<Cell>{make_cell(0, 16), pack_cell(1, 5, Role::Layer),
                                                    pack_cell(50, 5, Role::Layer), pack_cell(2, 5, Role::Head),
                                                    pack_cell(3, 6, Role::Layer), pack_cell(4, 6, Role::Layer),
                                                    pack_cell(5, 4, Role::Layer), pack_cell(6, 4, Role::Head),
                                                    pack_cell(7, 4, Role::ViewKey)}).ok());
    ASSERT_TRUE(pool.append_cells(make_cells(10, 1, 16)).ok());
    BlockPool other = open_pool(dir, 500);
    auto st = other.compact([](CellId, const RecordHeader& h) { return h.pack_id == 4 || h.pack_id == 5; });
    ASSERT_TRUE(st.ok()) << st.error().to_string();
    EXPECT_EQ(st->segments_compacted, 1u);
    EXPECT_EQ(stored_ids(dir), (std::multiset<CellId>{0, 4, 10, 50}));
    BlockPool again = open_pool(dir, 500);
    EXPECT_EQ(again.cell_ids(), (std::vector<CellId>{0, 10}));
    EXPECT_EQ(again.waiting_max_ids(), (std::pair<CellId, PackId>{50, 6}));
  }
}

TEST(CompactionTest, RecordsOfAPackWhoseHeadWasRemovedWaitAsAtOpen) {
  // Deleted pack 5: its layers and head in segment 0, with one live cell;
  // a view key of it in segment 1, the newest, which compaction keeps.
  TempDir dir;
  BlockPool pool = open_pool(dir, 500);
  std::vector<Cell> first;
  for (CellId id = 0; id < 4; ++id) first.push_back(pack_cell(id, 5, Role::Layer));
  first.push_back(pack_cell(4, 5, Role::Head));
  first.push_back(make_cell(5, 16));
  ASSERT_TRUE(pool.append_cells(first).ok());
  ASSERT_TRUE(pool.append_cells(std::vector<Cell>{pack_cell(6, 5, Role::ViewKey), make_cell(7, 16)}).ok());
  ASSERT_EQ(pool.segment_count(), 2u);
  BlockPool other = open_pool(dir, 500);
  auto st = pool.compact([](CellId, const RecordHeader& h) { return h.pack_id == 5; });
  ASSERT_TRUE(st.ok()) << st.error().to_string();
  EXPECT_EQ(st->segments_compacted, 1u);
  ASSERT_TRUE(other.rescan().ok());
  // The pool that compacted, one that saw the removal at a rescan and a
  // fresh open index the same cells and keep the same ids in use.
  BlockPool reopened = open_pool(dir, 500);
  EXPECT_EQ(reopened.cell_ids(), (std::vector<CellId>{5, 7}));
  EXPECT_EQ(reopened.waiting_max_ids(), (std::pair<CellId, PackId>{6, 5}));
  for (const BlockPool* p : {&pool, &other}) {
    EXPECT_EQ(p->cell_ids(), reopened.cell_ids());
    EXPECT_EQ(p->waiting_max_ids(), reopened.waiting_max_ids());
    EXPECT_EQ(p->read_cell(6).error().kind(), EngineError::Kind::CellNotFound);
  }
}

TEST(CompactionTest, RescanFollowsRecordsMovedOutOfARemovedSegment) {
  TempDir dir;
  BlockPool writer = open_pool(dir, 500);
  ASSERT_TRUE(writer.append_cells(make_cells(0, 10, 16)).ok());
  BlockPool reader = open_pool(dir, 500);
  // Another engine's compaction as a rescan can meet it: the copies are
  // stored in a new segment, then the old one goes.
  ASSERT_TRUE(writer.append_cells(make_cells(0, 10, 16)).ok());
  ASSERT_TRUE(reader.rescan().ok());
  EXPECT_EQ(reader.locate(4)->segment_id, 0u);
  BlockPool stale = open_pool(dir, 500);
  ASSERT_TRUE(platform::unlink(seg_file(dir, 0)).ok());
  ASSERT_TRUE(reader.rescan().ok());
  ASSERT_EQ(reader.cell_ids().size(), 10u);
  for (CellId id = 0; id < 10; ++id) {
    EXPECT_EQ(reader.locate(id)->segment_id, 1u);
    expect_same(*reader.read_cell(id), make_cell(id, 16));
  }
  // A compaction by a pool that still lists the removed segment reads none
  // of it, and keeps every stored cell.
  ASSERT_TRUE(stale.append_cells(make_cells(20, 1, 16)).ok());
  auto st = stale.compact(std::unordered_set<CellId>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 20});
  ASSERT_TRUE(st.ok()) << st.error().to_string();
  EXPECT_EQ(stored_ids(dir), (std::multiset<CellId>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 20}));
}

}  // namespace
}  // namespace qvn
