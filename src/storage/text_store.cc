#include "storage/text_store.h"

#include <string_view>

#include "core/le_bytes.h"
#include "core/platform.h"
#include "core/utf8.h"
#include "storage/text_store_format.h"

namespace qvn {

namespace fmt = text_store_format;

IoResult<TextStore> TextStore::open(const std::string& dir) {
  TextStore store(platform::join(dir, fmt::FILE_NAME));
  QVN_TRY_VOID(store.load_into(store.texts_, store.tail_));
  return store;
}

IoResult<void> TextStore::load_into(std::unordered_map<PackId, std::string>& out,
                                    TornTail& tail) const {
  QVN_TRY(auto bytes, read_if_examinable(path_));
  tail = TornTail();
  if (!bytes) return {};
  const uint8_t* b = bytes->data();
  const uint64_t size = bytes->size();
  uint64_t p = 0;
  while (p + fmt::ENTRY_HEAD_SIZE <= size) {
    const PackId id = le::load<uint64_t>(b + p);
    const uint64_t len = le::load<uint32_t>(b + p + 8);
    const uint64_t text_at = p + fmt::ENTRY_HEAD_SIZE;
    // A length running past the end is the writer dying mid-append.
    if (text_at + len > size) break;
    if (valid_utf8(std::string_view(reinterpret_cast<const char*>(b + text_at), len))) {
      out.insert_or_assign(id, std::string(reinterpret_cast<const char*>(b + text_at), len));
    }
    p = text_at + len;
  }
  tail.observe(p, size);
  return {};
}

IoResult<void> TextStore::set(const std::vector<std::pair<PackId, std::string>>& entries) {
  std::vector<std::pair<PackId, std::string_view>> views(entries.begin(), entries.end());
  return set(views);
}

IoResult<void> TextStore::set(std::span<const std::pair<PackId, std::string_view>> entries) {
  if (entries.empty()) return {};
  size_t total = 0;
  for (const auto& [id, text] : entries) {
    if (text.size() > fmt::MAX_TEXT_LEN) return make_unexpected(IoError::invalid_input("text too large"));
    total += fmt::ENTRY_HEAD_SIZE + text.size();
  }
  std::vector<uint8_t> buf;
  buf.reserve(total);
  for (const auto& [id, text] : entries) {
    le::put(buf, uint64_t{id});
    le::put(buf, static_cast<uint32_t>(text.size()));
    buf.insert(buf.end(), text.begin(), text.end());
  }
  QVN_TRY(platform::File f,
          platform::File::open(path_, platform::Access::Append, platform::Create::IfMissing));
  QVN_TRY_VOID(append_synced(f, tail_, [&](platform::File& file) {
    return file.write_all(buf.data(), buf.size());
  }));
  for (const auto& [id, text] : entries) texts_.insert_or_assign(id, std::string(text));
  return {};
}

IoResult<void> TextStore::reload() {
  std::unordered_map<PackId, std::string> fresh;
  TornTail tail;
  QVN_TRY_VOID(load_into(fresh, tail));
  texts_ = std::move(fresh);
  tail_ = tail;
  return {};
}

const std::string* TextStore::get(PackId pack) const {
  auto it = texts_.find(pack);
  return it == texts_.end() ? nullptr : &it->second;
}

}  // namespace qvn
