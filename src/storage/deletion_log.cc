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

// Walks the whole ids at the start of `bytes`; returns how many bytes they
// take. Fewer than 8 bytes behind them hold no id: they are always cut.
template <class OnId>
uint64_t walk_ids(std::span<const uint8_t> bytes, OnId&& on_id) {
  uint64_t p = 0;
  for (; p + fmt::ENTRY_SIZE <= bytes.size(); p += fmt::ENTRY_SIZE) on_id(le::load<uint64_t>(bytes.data() + p));
  return p;
}

void observe_rest(TornTail& tail, uint64_t base, std::span<const uint8_t> bytes, uint64_t whole) {
  tail.observe(base + whole, bytes.subspan(static_cast<size_t>(whole)), true);
}

}  // namespace

IoResult<void> DeletionLog::load_into(std::unordered_set<PackId>& out, TornTail& tail) const {
  QVN_TRY(auto bytes, read_if_examinable(path_));
  tail = TornTail();
  if (!bytes) return {};
  observe_rest(tail, 0, *bytes, walk_ids(*bytes, [&](PackId id) { out.insert(id); }));
  return {};
}

IoResult<std::optional<PackId>> DeletionLog::catch_up() {
  return catch_up_highest(
      path_, tail_,
      [this](std::span<const uint8_t> b, auto&& on_id) {
        return walk_ids(b, [&](PackId id) {
          ids_.insert(id);
          on_id(id);
        });
      },
      [](std::span<const uint8_t>) { return true; });
}

IoResult<void> DeletionLog::append(PackId pack) {
  std::vector<uint8_t> buf;
  le::put(buf, uint64_t{pack});
  // What lies behind the last whole id now decides whether it is cut.
  QVN_TRY_VOID(catch_up());
  QVN_TRY(platform::File f,
          platform::File::open(path_, platform::Access::ReadAppend, platform::Create::IfMissing));
  QVN_TRY_VOID(append_synced(f, tail_, buf.size(), [&](platform::File& file) {
    return file.write_all(buf.data(), buf.size());
  }));
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
