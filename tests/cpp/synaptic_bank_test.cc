#include "storage/synaptic_bank.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "core/fault.h"
#include "core/half.h"
#include "core/le_bytes.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using test::TempDir;

uint16_t h(float f) { return f32_to_f16(f); }
float f_bits(uint32_t b) { return std::bit_cast<float>(b); }
uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// Values the exhaustive test below does not reach: far outside the half
// range, below its smallest subnormal, NaN payloads, and the widening side.
TEST(HalfTest, KnownBitPatterns) {
  EXPECT_EQ(h(0.1f), 0x2E66);
  EXPECT_EQ(h(-1.0e6f), 0xFC00);
  EXPECT_EQ(h(std::numeric_limits<float>::infinity()), 0x7C00);
  EXPECT_EQ(h(std::nextafter(std::ldexp(1.0f, -25), 1.0f)), 0x0001);  // just past the tie
  EXPECT_EQ(h(-std::ldexp(1.0f, -26)), 0x8000);
  EXPECT_EQ(h(f_bits(0x00000001)), 0x0000);  // float32 subnormal
  EXPECT_EQ(h(f_bits(0x7F800001)), 0x7E00);  // signalling NaN comes out quiet
  EXPECT_EQ(h(f_bits(0xFF812345)), 0xFE09);  // sign and top payload bits kept

  EXPECT_EQ(bits(f16_to_f32(0x0001)), bits(std::ldexp(1.0f, -24)));
  EXPECT_EQ(bits(f16_to_f32(0x8000)), 0x80000000u);
  EXPECT_EQ(f16_to_f32(0x7BFF), 65504.0f);
  EXPECT_EQ(bits(f16_to_f32(0xFC00)), 0xFF800000u);
  EXPECT_EQ(bits(f16_to_f32(0xFC01)), 0xFFC02000u);
}

TEST(HalfTest, EveryHalfRoundTripsAndMidpointsRoundToEven) {
  for (uint32_t x = 0; x <= 0xFFFF; ++x) {
    const auto v = static_cast<uint16_t>(x);
    const bool nan = (v & 0x7C00) == 0x7C00 && (v & 0x3FF) != 0;
    const float f = f16_to_f32(v);
    if (nan) {
      ASSERT_TRUE(std::isnan(f)) << x;
      ASSERT_EQ(h(f), v | 0x200) << x;
    } else {
      ASSERT_EQ(h(f), v) << x;
    }
  }
  for (uint16_t v = 0; v <= 0x7BFF; ++v) {
    const double lo = f16_to_f32(v);
    const double hi = v == 0x7BFF ? 65536.0 : f16_to_f32(static_cast<uint16_t>(v + 1));
    const auto mid = static_cast<float>((lo + hi) / 2);  // exact: 12 significant bits
    const uint16_t even = (v & 1) ? static_cast<uint16_t>(v + 1) : v;
    ASSERT_EQ(h(mid), even) << v;
    ASSERT_EQ(h(-mid), even | 0x8000) << v;
    ASSERT_EQ(h(std::nextafter(mid, 0.0f)), v) << v;
    ASSERT_EQ(h(std::nextafter(mid, 1.0e9f)), v + 1) << v;
  }
}

SynapticEntry entry(uint64_t id, OwnerId owner, uint32_t rank, uint32_t d_model, uint16_t seed = 0) {
  SynapticEntry e;
  e.id = id;
  e.owner = owner;
  e.rank = rank;
  e.d_model = d_model;
  const size_t n = size_t{rank} * d_model;
  for (size_t i = 0; i < n; ++i) {
    e.lora_a.push_back(static_cast<uint16_t>(seed + i));
    e.lora_b.push_back(static_cast<uint16_t>(0x8000 + seed + i));
  }
  e.scale = h(0.5f);
  return e;
}

SynapticBank open_ok(const std::string& dir) {
  auto b = SynapticBank::open(dir);
  EXPECT_TRUE(b.ok()) << b.error().to_string();
  return std::move(b).value();
}

std::vector<SynapticEntry> load_ok(const SynapticBank& b, OwnerId owner) {
  auto r = b.load_for_owner(owner);
  EXPECT_TRUE(r.ok()) << r.error().to_string();
  return r.ok() ? std::move(r).value() : std::vector<SynapticEntry>{};
}

TEST(SynapticBankTest, GoldenBytes) {
  TempDir tmp;
  SynapticBank b = open_ok(tmp.path() + "/a");  // open creates the directory and an empty file
  EXPECT_EQ(b.path(), tmp.path() + "/a/synaptic.qvn");
  EXPECT_EQ(test::size_of(b.path()), 0u);
  SynapticEntry e = entry(0x1122334455667788ull, 9, 2, 3, 0x0101);
  e.last_used = 0x0807060504030201ull;
  e.quality = 1.5f;
  ASSERT_TRUE(b.append(e).ok());

  std::vector<uint8_t> golden = {62, 0, 0, 0,                                    // body_len
                                 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // id
                                 9, 0, 0, 0, 0, 0, 0, 0,                          // owner
                                 2, 0, 0, 0, 3, 0, 0, 0,                          // rank, d_model
                                 0x00, 0x38,                                      // scale 0.5
                                 1, 2, 3, 4, 5, 6, 7, 8,                          // last_used
                                 0x00, 0x00, 0xC0, 0x3F};                         // quality 1.5
  for (int i = 0; i < 6; ++i) golden.insert(golden.end(), {static_cast<uint8_t>(1 + i), 0x01});
  for (int i = 0; i < 6; ++i) golden.insert(golden.end(), {static_cast<uint8_t>(1 + i), 0x81});
  ASSERT_EQ(golden.size(), 66u);
  EXPECT_EQ(test::read_bytes(b.path()), golden);

  // Empty matrices make the 42-byte minimum record; unset fields load as zero.
  ASSERT_TRUE(b.append(entry(1, 9, 0, 7)).ok());
  EXPECT_EQ(test::size_of(b.path()), 66u + 42u);

  for (const SynapticBank& bank : {b, open_ok(tmp.path() + "/a")}) {
    auto got = load_ok(bank, 9);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], e);
    EXPECT_EQ(got[1], entry(1, 9, 0, 7));
    EXPECT_EQ(got[1].last_used, 0u);
    EXPECT_EQ(bits(got[1].quality), 0u);
  }
}

TEST(SynapticBankTest, DuplicatesAndOwnersKeepFileOrder) {
  TempDir tmp;
  SynapticBank b = open_ok(tmp.path());
  // 2 x 64 x 128 halves per record: several trips through the write buffer.
  const std::vector<SynapticEntry> written = {entry(7, 1, 64, 128, 1), entry(7, 2, 1, 1, 2),
                                              entry(7, 1, 2, 2, 3), entry(8, 1, 1, 3, 4)};
  for (const auto& e : written) ASSERT_TRUE(b.append(e).ok());
  SynapticBank reopened = open_ok(tmp.path());
  ASSERT_EQ(reopened.index().size(), 4u);
  EXPECT_EQ(reopened.index()[1].offset, 42u + 4u * 64 * 128);
  for (const SynapticBank* bank : {&b, &reopened}) {
    EXPECT_EQ(load_ok(*bank, 1), (std::vector<SynapticEntry>{written[0], written[2], written[3]}));
    EXPECT_EQ(load_ok(*bank, 2), (std::vector<SynapticEntry>{written[1]}));
    EXPECT_TRUE(load_ok(*bank, 3).empty());
  }
}

TEST(SynapticBankTest, TornAndGarbageTailsEndTheWalkAndAreCutBeforeTheNextAppend) {
  struct Damage {
    const char* name;
    std::vector<uint8_t> tail;  // appended after the whole records
  };
  std::vector<uint8_t> short_len = {20, 0, 0, 0};  // below the fixed body, yet inside the file
  short_len.resize(4 + 60, 0xEE);
  const std::vector<Damage> cases = {
      {"partial prefix", {1, 2}},
      {"body past the end", {100, 0, 0, 0, 1, 2, 3}},
      {"zero fill", std::vector<uint8_t>(64, 0)},
      {"short length", short_len},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    SynapticBank first = open_ok(tmp.path());
    ASSERT_TRUE(first.append(entry(1, 5, 1, 2)).ok());
    ASSERT_TRUE(first.append(entry(2, 5, 2, 1)).ok());
    const uint64_t whole = test::size_of(first.path());
    test::append_bytes(first.path(), c.tail);

    SynapticBank b = open_ok(tmp.path());
    EXPECT_EQ(b.index().size(), 2u);
    EXPECT_EQ(test::size_of(b.path()), whole + c.tail.size()) << "open must not cut";
    ASSERT_TRUE(b.append(entry(3, 5, 1, 1)).ok());
    EXPECT_EQ(b.index().back().offset, whole);
    auto got = load_ok(open_ok(tmp.path()), 5);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], entry(3, 5, 1, 1));
  }
}

// Rewrites bytes of the record at `offset` in place.
void patch_u32(const std::string& path, uint64_t offset, uint32_t v) {
  auto bytes = test::read_bytes(path);
  le::store(bytes.data() + offset, v);
  test::write_bytes(path, bytes);
}

TEST(SynapticBankTest, LoadRefusesInconsistentOrShortRecords) {
  TempDir tmp;
  SynapticBank b = open_ok(tmp.path());
  ASSERT_TRUE(b.append(entry(1, 5, 2, 3)).ok());
  ASSERT_TRUE(b.append(entry(2, 6, 2, 3)).ok());
  const std::string path = b.path();

  // rank no longer matches body_len.
  patch_u32(path, 20, 3);
  auto r = b.load_for_owner(5);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, IoError::Kind::InvalidData);
  EXPECT_EQ(EngineError(r.error()).to_string(),
            "storage I/O error: adapter record at offset 0 has body length 62, which does not fit "
            "rank 3 and d_model 3");
  // 4 x rank x d_model overflows 64 bits: refused without allocating.
  patch_u32(path, 20, 0xFFFFFFFFu);
  patch_u32(path, 24, 0xFFFFFFFFu);
  r = b.load_for_owner(5);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, IoError::Kind::InvalidData);
  // A consistent but enormous record must fit in the file before anything is allocated.
  patch_u32(path, 0, 38 + 4 * 0x10000000u);
  patch_u32(path, 20, 0x4000);
  patch_u32(path, 24, 0x4000);
  r = b.load_for_owner(5);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(EngineError(r.error()).to_string(), "storage I/O error: failed to fill whole buffer");

  // A file cut short under the index: the later record is gone.
  test::truncate_to(path, 66 + 50);
  auto r6 = b.load_for_owner(6);
  ASSERT_FALSE(r6.ok());
  EXPECT_EQ(r6.error().to_string(), "failed to fill whole buffer");
}

TEST(SynapticBankTest, FailedAppendCutsBackAndKeepsTheIndex) {
  struct Fault {
    platform::fault::Op op;
    uint64_t nth;
  };
  // The second write is the second flush of the 8192-byte buffer: half a
  // record is already in the file when it fails.
  for (auto f : {Fault{platform::fault::Op::Write, 1}, Fault{platform::fault::Op::Write, 2},
                 Fault{platform::fault::Op::Sync, 1}}) {
    SCOPED_TRACE(static_cast<int>(f.op) * 10 + static_cast<int>(f.nth));
    TempDir tmp;
    SynapticBank b = open_ok(tmp.path());
    ASSERT_TRUE(b.append(entry(1, 5, 1, 2)).ok());
    const uint64_t before = test::size_of(b.path());

    platform::fault::arm(f.op, f.nth, ENOSPC, /*short_write=*/true);
    auto r = b.append(entry(2, 5, 32, 64));
    const bool fired = platform::fault::fired();
    platform::fault::disarm();
    ASSERT_TRUE(fired);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().os_code, ENOSPC);
    EXPECT_EQ(test::size_of(b.path()), before);
    EXPECT_EQ(b.index().size(), 1u);

    ASSERT_TRUE(b.append(entry(3, 5, 1, 1)).ok());
    auto got = load_ok(open_ok(tmp.path()), 5);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].id, 3u);
  }
}

TEST(SynapticBankTest, AppendRefusals) {
  TempDir tmp;
  SynapticBank b = open_ok(tmp.path());
  SynapticEntry short_b = entry(1, 5, 2, 3);
  short_b.lora_b.pop_back();
  SynapticEntry no_a = entry(1, 5, 2, 3);
  no_a.lora_a.clear();
  const std::pair<SynapticEntry, const char*> refused[] = {
      {short_b, "adapter matrices must hold rank * d_model values each"},
      {no_a, "adapter matrices must hold rank * d_model values each"},
  };
  for (const auto& [bad, text] : refused) {
    auto r = b.append(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, IoError::Kind::InvalidInput);
    EXPECT_EQ(r.error().to_string(), text);
    EXPECT_EQ(test::size_of(b.path()), 0u);
    EXPECT_TRUE(b.index().empty());
  }

  // The file is not recreated by an append.
  ASSERT_TRUE(platform::unlink(b.path()).ok());
  auto r = b.append(entry(1, 5, 1, 1));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_code, ENOENT);
  EXPECT_FALSE(platform::exists(b.path()).value());
}

TEST(SynapticBankTest, ReadU16VecReadsLittleEndianAndStopsAtTheEnd) {
  TempDir tmp;
  const std::string path = tmp.file("v");
  test::write_bytes(path, {0x34, 0x12, 0xCD, 0xAB, 0x01});
  auto f = platform::File::open(path, platform::Access::Read);
  ASSERT_TRUE(f.ok());
  auto v = read_u16_vec(*f, 2);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(*v, (std::vector<uint16_t>{0x1234, 0xABCD}));
  ASSERT_TRUE(f->seek(0).ok());
  auto huge = read_u16_vec(*f, uint64_t{1} << 62);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().kind, IoError::Kind::UnexpectedEof);
}

}  // namespace
}  // namespace qvn
