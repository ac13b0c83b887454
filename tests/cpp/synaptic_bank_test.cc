// Half floats and what the adapter file adds to the append-file discipline
// (see shared_files_test.cc): owners, record checks and refusals.
#include "storage/synaptic_bank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/half.h"
#include "core/le_bytes.h"
#include "support/temp_dir.h"

namespace qvn {
namespace {

using test::TempDir;
using Bytes = std::vector<uint8_t>;

uint16_t h(float f) { return f32_to_f16(f); }
uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

TEST(HalfTest, EveryHalfRoundTripsAndMidpointsRoundToEven) {
  // Beyond the exhaustive walk: far outside the range, below the smallest
  // subnormal, and NaN payloads.
  const std::pair<float, uint16_t> narrow[] = {
      {-1.0e6f, 0xFC00},
      {std::nextafter(std::ldexp(1.0f, -25), 1.0f), 0x0001},
      {-std::ldexp(1.0f, -26), 0x8000},
      {std::bit_cast<float>(0x00000001u), 0x0000},
      {std::bit_cast<float>(0x7F800001u), 0x7E00},
      {std::bit_cast<float>(0xFF812345u), 0xFE09},
  };
  for (auto [f, want] : narrow) EXPECT_EQ(h(f), want) << f;
  EXPECT_EQ(bits(f16_to_f32(0xFC01)), 0xFFC02000u);
  for (uint32_t x = 0; x <= 0xFFFF; ++x) {
    const auto v = static_cast<uint16_t>(x);
    const bool nan = (v & 0x7C00) == 0x7C00 && (v & 0x3FF) != 0;
    ASSERT_EQ(h(f16_to_f32(v)), nan ? v | 0x200 : v) << x;
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
  SynapticEntry e{id, owner, {}, {}, h(0.5f), rank, d_model, 0, 0.0f};
  for (size_t i = 0; i < size_t{rank} * d_model; ++i) {
    e.lora_a.push_back(static_cast<uint16_t>(seed + i));
    e.lora_b.push_back(static_cast<uint16_t>(0x8000 + seed + i));
  }
  return e;
}

SynapticBank open_ok(const std::string& dir) {
  auto b = SynapticBank::open(dir);
  EXPECT_TRUE(b.ok()) << b.error().to_string();
  return std::move(b).value();
}

std::vector<SynapticEntry> load_ok(SynapticBank& b, OwnerId owner) {
  auto r = b.load_for_owner(owner);
  EXPECT_TRUE(r.ok()) << r.error().to_string();
  return r.ok() ? std::move(r).value() : std::vector<SynapticEntry>{};
}

TEST(SynapticBankTest, OwnersSeeOnlyTheirEntriesInFileOrder) {
  TempDir tmp;
  SynapticBank b = open_ok(tmp.path());
  // 2 x 64 x 128 halves: several trips through the write buffer.
  const std::vector<SynapticEntry> written = {entry(7, 1, 64, 128, 1), entry(7, 2, 1, 1, 2),
                                              entry(7, 1, 2, 2, 3), entry(8, 1, 0, 3, 4)};
  for (const auto& e : written) ASSERT_TRUE(b.append(e).ok());
  SynapticBank reopened = open_ok(tmp.path());
  EXPECT_EQ(reopened.index()[1].offset, 42u + 4u * 64 * 128);
  for (SynapticBank* bank : {&b, &reopened}) {
    EXPECT_EQ(load_ok(*bank, 1), (std::vector<SynapticEntry>{written[0], written[2], written[3]}));
    EXPECT_EQ(load_ok(*bank, 2), (std::vector<SynapticEntry>{written[1]}));
    EXPECT_TRUE(load_ok(*bank, 3).empty());
  }
}

// Zeros are values: an adapter starts with a zero lora_b, and its lora_a
// may end in zeros or be all zeros. As the last record, each reads back
// after a reopen and stays when the next append comes.
TEST(SynapticBankTest, ZeroWeightsInTheLastRecordAreReadAsWritten) {
  auto zeroed = [](SynapticEntry e, size_t a_from) {
    std::fill(e.lora_a.begin() + static_cast<ptrdiff_t>(a_from), e.lora_a.end(), 0);
    std::fill(e.lora_b.begin(), e.lora_b.end(), 0);
    return e;
  };
  const SynapticEntry first = entry(1, 7, 2, 3, 1);
  for (size_t a_from : {size_t{6}, size_t{5}, size_t{3}, size_t{0}}) {
    SCOPED_TRACE(a_from);
    TempDir tmp;
    const SynapticEntry last = zeroed(entry(2, 7, 2, 3, 2), a_from);
    {
      SynapticBank b = open_ok(tmp.path());
      ASSERT_TRUE(b.append(first).ok());
      ASSERT_TRUE(b.append(last).ok());
    }
    SynapticBank reopened = open_ok(tmp.path());
    EXPECT_EQ(load_ok(reopened, 7), (std::vector<SynapticEntry>{first, last}));
    const SynapticEntry next = entry(3, 7, 1, 1, 3);
    ASSERT_TRUE(reopened.append(next).ok());
    SynapticBank again = open_ok(tmp.path());
    EXPECT_EQ(load_ok(again, 7), (std::vector<SynapticEntry>{first, last, next}));
  }
}

// A record is written with its length prefix zero and synced before the
// prefix is: a last record whose prefix is still zero, or torn where it
// straddles a 64-byte boundary (its low bytes kept, the rest zero), is an
// append that never committed, whatever the rest holds. It is not indexed,
// and the next append cuts it.
TEST(SynapticBankTest, ARecordWithoutItsLengthIsTorn) {
  TempDir tmp;
  // 62 bytes: the next prefix straddles the boundary at 64.
  const SynapticEntry first = entry(1, 7, 1, 5, 1), next = entry(3, 7, 1, 1, 3);
  SynapticEntry last = entry(2, 7, 8, 2048, 2);  // body_len 65574, 0x10026
  std::fill(last.lora_b.begin(), last.lora_b.end(), 0);
  Bytes firsts, record;
  {
    SynapticBank b = open_ok(tmp.path());
    ASSERT_TRUE(b.append(first).ok());
    firsts = test::read_bytes(b.path());
    ASSERT_TRUE(b.append(last).ok());
    const Bytes all = test::read_bytes(b.path());
    record.assign(all.begin() + static_cast<ptrdiff_t>(firsts.size()), all.end());
  }
  ASSERT_EQ(firsts.size(), 62u);
  ASSERT_EQ(le::load<uint32_t>(record.data()), 0x10026u);
  auto with_prefix = [&](uint32_t prefix) {
    Bytes r = record;
    le::store(r.data(), prefix);
    return r;
  };
  std::vector<std::pair<std::string, Bytes>> torn = {
      {"whole but its prefix", with_prefix(0)},
      {"its prefix torn at 64", with_prefix(0x0026)},
  };
  for (size_t at : {size_t{2}, size_t{4}, size_t{28}, size_t{43}, record.size() - 1}) {
    Bytes zeros = with_prefix(0), cut = with_prefix(0);
    std::fill(zeros.begin() + static_cast<ptrdiff_t>(at), zeros.end(), 0);
    cut.resize(at);
    torn.emplace_back("zeros from " + std::to_string(at), zeros);
    torn.emplace_back("cut at " + std::to_string(at), cut);
  }
  for (const auto& [what, tail] : torn) {
    SCOPED_TRACE(what);
    Bytes file = firsts;
    file.insert(file.end(), tail.begin(), tail.end());
    test::write_bytes(tmp.file("synaptic.qvn"), file);
    SynapticBank b = open_ok(tmp.path());
    EXPECT_EQ(load_ok(b, 7), std::vector<SynapticEntry>{first});
    ASSERT_TRUE(b.append(next).ok());
    SynapticBank reopened = open_ok(tmp.path());
    EXPECT_EQ(load_ok(reopened, 7), (std::vector<SynapticEntry>{first, next}));
  }
}

TEST(SynapticBankTest, LoadRefusesInconsistentOrShortRecords) {
  TempDir tmp;
  SynapticBank b = open_ok(tmp.path());
  ASSERT_TRUE(b.append(entry(1, 5, 2, 3)).ok());
  ASSERT_TRUE(b.append(entry(2, 6, 2, 3)).ok());
  auto patch = [&](uint64_t at, uint32_t v) {
    auto bytes = test::read_bytes(b.path());
    le::store(bytes.data() + at, v);
    test::write_bytes(b.path(), bytes);
  };
  auto refusal = [&](OwnerId owner) {
    auto r = b.load_for_owner(owner);
    return r.ok() ? std::string("loaded") : EngineError(r.error()).to_string();
  };
  patch(20, 3);  // rank no longer matches body_len
  EXPECT_EQ(refusal(5), "storage I/O error: adapter record at offset 0 has body length 62, which does not fit "
                        "rank 3 and d_model 3");
  patch(20, 0xFFFFFFFFu);  // 4 x rank x d_model overflows 64 bits
  patch(24, 0xFFFFFFFFu);
  EXPECT_NE(refusal(5), "loaded");
  test::truncate_to(b.path(), 66 + 50);  // cut short under the index
  EXPECT_EQ(refusal(6), "storage I/O error: failed to fill whole buffer");
  // A length that changed under the index, enormous but consistent with its
  // dimensions, is another record than the one indexed: it is never read,
  // and the file is indexed again, up to that length running past its end.
  patch(0, 38 + 4 * 0x10000000u);
  patch(20, 0x4000);
  patch(24, 0x4000);
  EXPECT_EQ(refusal(5), "loaded");
  EXPECT_TRUE(b.index().empty());
}

TEST(SynapticBankTest, AppendRefusalsAndHalfFlushedFailures) {
  TempDir tmp;
  SynapticBank b = open_ok(tmp.path());
  SynapticEntry short_b = entry(1, 5, 2, 3), no_a = entry(1, 5, 2, 3);
  short_b.lora_b.pop_back();
  no_a.lora_a.clear();
  for (const SynapticEntry& bad : {short_b, no_a}) {
    auto r = b.append(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "adapter matrices must hold rank * d_model values each");
    EXPECT_EQ(test::size_of(b.path()), 0u);
  }
  // The second write is the record's length prefix, after the record itself
  // is synced: a whole record is in the file when half of its length fails.
  platform::fault::arm(platform::fault::Op::Write, 2, ENOSPC, /*short_write=*/true);
  auto r = b.append(entry(2, 5, 32, 64));
  platform::fault::disarm();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(test::size_of(b.path()), 0u);
  EXPECT_TRUE(b.index().empty());
  // The file is not recreated by an append.
  ASSERT_TRUE(platform::unlink(b.path()).ok());
  r = b.append(entry(1, 5, 1, 1));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_code, ENOENT);
  EXPECT_FALSE(platform::exists(b.path()).value());
}

}  // namespace
}  // namespace qvn
