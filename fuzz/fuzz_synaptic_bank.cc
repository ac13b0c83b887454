// "synaptic.qvn" as found on disk: open indexes only records that lie whole
// within the file, loads either fail or give entries true to their header;
// an append cuts a torn last record and reads back in its place, and after
// damage in the middle it goes to the end of the file, leaving every byte
// before it as it was.
#include <algorithm>
#include <optional>
#include <set>

#include "core/le_bytes.h"
#include "fuzz_support.h"
#include "storage/synaptic_bank.h"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "synaptic.qvn", data, size);

  auto opened = SynapticBank::open(dir);
  QVN_FUZZ_CHECK(opened.ok());
  SynapticBank& bank = *opened;

  // Records are back to back from offset 0, each whole within the file.
  uint64_t next = 0;
  std::set<OwnerId> owners;
  for (const auto& ie : bank.index()) {
    QVN_FUZZ_CHECK(ie.offset == next);
    QVN_FUZZ_CHECK(ie.offset + 42 <= size);
    const uint64_t body_len = le::load<uint32_t>(data + ie.offset);
    QVN_FUZZ_CHECK(body_len >= 38 && ie.offset + 4 + body_len <= size);
    QVN_FUZZ_CHECK(ie.id == le::load<uint64_t>(data + ie.offset + 4));
    QVN_FUZZ_CHECK(ie.owner == le::load<uint64_t>(data + ie.offset + 12));
    owners.insert(ie.owner);
    next = ie.offset + 4 + body_len;
  }
  // The walk as the rules give it: it ends at a prefix of 0 (an uncommitted
  // append), at a prefix torn at a 64-byte boundary of a last record (the
  // length its dimensions give, less the bytes past the boundary), at junk,
  // at a torn record, or before a last whole record that does not fit its
  // dimensions.
  auto dims_len = [&](uint64_t at) -> std::optional<unsigned __int128> {
    if (at + 28 > size) return std::nullopt;
    return 38 + 4 * static_cast<unsigned __int128>(le::load<uint32_t>(data + at + 20)) * le::load<uint32_t>(data + at + 24);
  };
  uint64_t end = 0, last_start = 0;
  size_t count = 0;
  bool last_fits = true, torn = true, stopped = false;
  while (end + 4 <= size) {
    const uint64_t body_len = le::load<uint32_t>(data + end);
    const auto dims = dims_len(end);
    const uint64_t boundary = (end / 64 + 1) * 64;
    const bool straddles = boundary < end + 4;
    const uint64_t kept_mask = straddles ? (uint64_t{1} << (8 * (boundary - end))) - 1 : 0;
    const bool torn_prefix = straddles && dims && 4 + *dims == size - end && body_len != *dims &&
                             body_len == (*dims & kept_mask);
    stopped = body_len == 0 || torn_prefix || body_len < 38 || end + 4 + body_len > size;
    if (stopped) {
      if (body_len != 0 && !torn_prefix) torn = body_len >= 38 && (!dims || *dims == body_len);
      break;
    }
    last_fits = dims && *dims == body_len;
    last_start = end;
    ++count;
    end += 4 + body_len;
  }
  if (!stopped && !last_fits && end == size) {
    end = last_start;
    --count;
    torn = false;
  }
  QVN_FUZZ_CHECK(bank.index().size() == count && next == end);

  size_t tried = 0;
  for (OwnerId owner : owners) {
    if (++tried > 8) break;
    auto loaded = bank.load_for_owner(owner);
    if (!loaded.ok()) continue;
    for (const SynapticEntry& e : *loaded) {
      QVN_FUZZ_CHECK(e.owner == owner);
      QVN_FUZZ_CHECK(e.lora_a.size() == uint64_t{e.rank} * e.d_model);
      QVN_FUZZ_CHECK(e.lora_b.size() == e.lora_a.size());
    }
  }

  OwnerId fresh = 1;
  while (owners.count(fresh)) ++fresh;
  const SynapticEntry e{7, fresh, {1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}, 0x3C00, 2, 3, 0, 0.0f};
  const size_t before = bank.index().size();
  QVN_FUZZ_CHECK(bank.append(e).ok());
  QVN_FUZZ_CHECK(bank.index().size() == before + 1);
  QVN_FUZZ_CHECK(bank.index().back().offset == (torn ? next : size));
  auto again = SynapticBank::open(dir);
  QVN_FUZZ_CHECK(again.ok());
  QVN_FUZZ_CHECK(again->index().size() >= before);
  for (size_t i = 0; i < before; ++i) QVN_FUZZ_CHECK(again->index()[i].offset == bank.index()[i].offset);
  if (torn) {
    QVN_FUZZ_CHECK(again->index().size() == before + 1 && again->index().back().offset == next);
    auto mine = again->load_for_owner(fresh);
    QVN_FUZZ_CHECK(mine.ok() && mine->size() == 1 && mine->front() == e);
  } else {
    const auto bytes = test::read_bytes(bank.path());
    QVN_FUZZ_CHECK(bytes.size() == size + 4 + 62 && std::equal(data, data + size, bytes.begin()));
  }
  return 0;
}
