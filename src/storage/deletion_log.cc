#include "storage/deletion_log.h"

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

IoResult<void> DeletionLog::load_into(std::unordered_set<PackId>& out, TornTail& tail) const {
  QVN_TRY(auto bytes, read_if_examinable(path_));
  tail = TornTail();
  if (!bytes) return {};
  const uint64_t size = bytes->size();
  uint64_t p = 0;
  for (; p + fmt::ENTRY_SIZE <= size; p += fmt::ENTRY_SIZE) {
    out.insert(le::load<uint64_t>(bytes->data() + p));
  }
  tail.observe(p, size);
  return {};
}

IoResult<void> DeletionLog::append(PackId pack) {
  std::vector<uint8_t> buf;
  le::put(buf, uint64_t{pack});
  QVN_TRY(platform::File f,
          platform::File::open(path_, platform::Access::Append, platform::Create::IfMissing));
  QVN_TRY_VOID(append_synced(f, tail_, [&](platform::File& file) {
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
