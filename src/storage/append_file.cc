#include "storage/append_file.h"

namespace qvn {

IoResult<std::optional<std::vector<uint8_t>>> read_if_examinable(const std::string& path) {
  auto size = platform::file_size(path);
  if (!size.ok()) return std::optional<std::vector<uint8_t>>();
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
  std::vector<uint8_t> bytes(static_cast<size_t>(*size));
  QVN_TRY_VOID(f.read_exact(bytes.data(), bytes.size()));
  return std::optional<std::vector<uint8_t>>(std::move(bytes));
}

IoResult<uint64_t> begin_append(platform::File& f, TornTail& tail) {
  QVN_TRY(uint64_t size, f.size());
  if (tail.pending()) {
    if (size == tail.seen_size()) {
      QVN_TRY_VOID(f.truncate(tail.whole_end()));
      size = tail.whole_end();
    }
    tail.clear();
  }
  return size;
}

void abandon_append(platform::File& f, TornTail& tail, uint64_t start) {
  if (f.truncate(start).ok()) return;
  // The partial bytes stay for now; cut them before the next append if the
  // file is still exactly as this failure left it.
  auto size = f.size();
  if (size.ok()) tail.observe(start, *size);
}

}  // namespace qvn
