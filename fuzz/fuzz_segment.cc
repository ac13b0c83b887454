// A segment file as found on disk: the scan stays within the file, every
// scanned record either decodes true to its header or is refused, and a pool
// opened on it keeps whatever it indexed readable after a further append and
// a reopen.
#include <cstring>
#include <map>
#include <set>

#include "core/le_bytes.h"
#include "fuzz_support.h"
#include "storage/block_pool.h"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  const std::string path = segment_path(dir, 0);
  fuzz::write_input(dir, "segment_000000.qvn", data, size);

  auto scan = scan_segment(path);
  if (!scan.ok()) {
    // Only the magic is ever refused; a short file has no magic to check.
    QVN_FUZZ_CHECK(size >= 8 && std::memcmp(data, "QVNS", 4) != 0);
    QVN_FUZZ_CHECK(!BlockPool::open(dir, 1 << 20).ok());
    return 0;
  }
  uint64_t next = 8;
  for (const RecordRef& r : scan->records) {
    QVN_FUZZ_CHECK(r.offset == next && r.offset + 12 <= size);
    const uint64_t body_len = le::load<uint32_t>(data + r.offset);
    QVN_FUZZ_CHECK(r.offset + 4 + body_len <= size);
    QVN_FUZZ_CHECK(r.cell_id == le::load<uint64_t>(data + r.offset + 4));
    next = r.offset + 4 + body_len;
  }
  for (size_t i = 0; i < scan->records.size() && i < 64; ++i) {  // a few decodes keep inputs fast
    const RecordRef& r = scan->records[i];
    auto cell = decode_cell_record(path, r.offset);
    if (!cell.ok()) continue;
    QVN_FUZZ_CHECK(cell->cell_id == r.cell_id);
    // Too few stored groups end a vector early rather than read past them.
    QVN_FUZZ_CHECK(cell->key.size() <= le::load<uint32_t>(data + r.offset + 22));
    QVN_FUZZ_CHECK(cell->value.size() <= le::load<uint32_t>(data + r.offset + 26));
    QVN_FUZZ_CHECK(cell->aux.size() == le::load<uint32_t>(data + r.offset + 30));
    QVN_FUZZ_CHECK(static_cast<uint8_t>(cell->tier) <= 2);
  }

  auto opened = BlockPool::open(dir, 1 << 20);
  QVN_FUZZ_CHECK(opened.ok());
  BlockPool& pool = *opened;
  // The first record of an id stands; a pack's other records count only
  // with the pack's head.
  std::set<PackId> heads;
  for (const RecordRef& r : scan->records) {
    if (r.header.is_pack_head()) heads.insert(r.header.pack_id);
  }
  std::map<CellId, uint64_t> expected;
  for (const RecordRef& r : scan->records) {
    if (!r.header.is_pack_member() || heads.count(r.header.pack_id)) expected.try_emplace(r.cell_id, r.offset);
  }
  QVN_FUZZ_CHECK(pool.index().size() == expected.size());
  for (const auto& [id, e] : pool.index()) {
    QVN_FUZZ_CHECK(e.location.segment_id == 0 && expected.at(id) == e.location.offset);
  }

  // An append after whatever the file holds, torn tail included, must read
  // back now and after a reopen, and leave every indexed cell where it was.
  // The tail is judged first, as a writer turn does with the lock held.
  Cell probe;
  probe.cell_id = 0xC0FFEE;
  probe.owner = 3;
  probe.key = {1.0f, -2.0f, 3.0f, 0.5f};
  probe.value = {7.0f, 0.0f, -7.0f};
  probe.aux = {0.25f};
  probe.tier = Tier::Validated;
  // A stored record of the probe's id would stand before it at the reopen.
  if (expected.count(probe.cell_id)) return 0;
  pool.settle_active_tail();
  auto appended = pool.append_cell(probe);
  QVN_FUZZ_CHECK(appended.ok());
  auto now = pool.read_cell(probe.cell_id);
  QVN_FUZZ_CHECK(now.ok());
  auto again = BlockPool::open(dir, 1 << 20);
  QVN_FUZZ_CHECK(again.ok());
  auto later = again->read_cell(probe.cell_id);
  QVN_FUZZ_CHECK(later.ok());
  QVN_FUZZ_CHECK(later->key == now->key && later->value == now->value && later->aux == probe.aux);
  QVN_FUZZ_CHECK(later->owner == probe.owner && later->tier == probe.tier);
  for (const auto& [id, e] : pool.index()) {
    if (id == probe.cell_id) continue;
    QVN_FUZZ_CHECK(again->locate(id) == e.location);
  }
  return 0;
}
