#include "storage/deletion_log.h"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "core/le_bytes.h"
#include "core/platform.h"
#include "storage/deletion_log_format.h"

namespace qvn {

namespace fmt = deletion_log_format;

IoResult<DeletionLog> DeletionLog::open(const std::string& dir) {
  DeletionLog log(platform::join(dir, fmt::FILE_NAME));
  QVN_TRY_VOID(log.load_into(log.ids_, log.tail_));
  return log;
}

namespace {

// Walks the ids at the start of `bytes` that a load accepts; returns where
// they end. Fewer than 8 bytes behind them hold no id. Ids that lie wholly
// in the run of zeros the file ends with are what a power loss leaves when
// the size reached the disk before the bytes did: pack 0 is never deleted
// (no pack has that id), so they are not taken. Ids are 8 bytes at offsets
// that are multiples of 8, so a sector never holds part of one: a power
// loss zeroes whole ids.
//
// Behind the ids taken lies either part of one id (a torn append) or ids in
// that zero run: a torn last entry either way, so it is always cut.
template <class OnId>
WalkEnd walk_ids(std::span<const uint8_t> bytes, OnId&& on_id) {
  const uint64_t whole = bytes.size() / fmt::ENTRY_SIZE * fmt::ENTRY_SIZE;
  const uint64_t zeros_from = zero_run_start(bytes);
  const uint64_t end = std::min(whole, (zeros_from + fmt::ENTRY_SIZE - 1) / fmt::ENTRY_SIZE * fmt::ENTRY_SIZE);
  for (uint64_t p = 0; p < end; p += fmt::ENTRY_SIZE) on_id(le::load<uint64_t>(bytes.data() + p));
  return {end, true};
}

}  // namespace

IoResult<void> DeletionLog::load_into(std::unordered_set<PackId>& out, TornTail& tail) const {
  QVN_TRY(auto bytes, read_if_present(path_));
  tail = TornTail();
  if (!bytes) return {};
  observe_walk(tail, 0, *bytes, walk_ids(*bytes, [&](PackId id) { out.insert(id); }));
  return {};
}

IoResult<std::optional<PackId>> DeletionLog::catch_up() {
  return catch_up_highest(path_, tail_, [this](std::span<const uint8_t> b, auto&& on_id) {
    return walk_ids(b, [&](PackId id) {
      ids_.insert(id);
      on_id(id);
    });
  });
}

IoResult<void> DeletionLog::append(PackId pack) {
  std::vector<uint8_t> buf;
  le::put(buf, uint64_t{pack});
  // What lies behind the last whole id now decides whether it is cut.
  QVN_TRY_VOID(catch_up());
  QVN_TRY(platform::File f,
          platform::File::open(path_, platform::Access::ReadWrite, platform::Create::IfMissing));
  QVN_TRY_VOID(append_synced(f, path_, tail_, buf));
  ids_.insert(pack);
  return {};
}

IoResult<void> DeletionLog::reload() {
  std::unordered_set<PackId> fresh;
  TornTail tail;
  QVN_TRY_VOID(load_into(fresh, tail));
  ids_ = std::move(fresh);
  tail_ = tail;
  return {};
}

}  // namespace qvn
