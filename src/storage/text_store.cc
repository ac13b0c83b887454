#include "storage/text_store.h"

#include <optional>
#include <span>
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

namespace {

// Where the entries that a load accepts end, and whether what lies behind
// them is a torn last entry. Every append writes its entries with the first
// one's pack id zero, syncs, and only then writes that id (append_synced):
// an entry with pack id 0, under which no text is ever stored, begins an
// append that has not finished, or that a power loss stopped before its
// second step. It and everything behind it are torn, whatever its length
// and text hold, so no value a text may hold (NULs, an empty text) is ever
// taken for a power loss's zeros. So are fewer than 12 bytes, too short for
// a length. A length that runs past the end of the file is an append cut
// short too, unless a whole entry still ends exactly at the end of the file
// behind it: then the length was damaged in the middle, and the entries
// behind it are kept (an append goes after them). A text holding the bytes
// of a whole entry, cut right at that entry's end, would be taken for such
// damage; texts hold no such bytes unless they hold NULs.
bool whole_entry_ends_at_end(std::span<const uint8_t> rest) {
  const uint64_t n = rest.size();
  for (uint64_t q = 1; q + fmt::ENTRY_HEAD_SIZE <= n; ++q) {
    if (fmt::ENTRY_HEAD_SIZE + le::load<uint32_t>(rest.data() + q + 8) == n - q) return true;
  }
  return false;
}

WalkEnd accepted_end(std::span<const uint8_t> bytes) {
  const uint8_t* b = bytes.data();
  const uint64_t size = bytes.size();
  uint64_t p = 0;
  while (p + fmt::ENTRY_HEAD_SIZE <= size) {
    if (le::load<uint64_t>(b + p) == fmt::UNCOMMITTED_PACK) return {p, true};
    const uint64_t len = le::load<uint32_t>(b + p + 8);
    if (p + fmt::ENTRY_HEAD_SIZE + len > size) {
      return {p, !whole_entry_ends_at_end(bytes.subspan(static_cast<size_t>(p)))};
    }
    p += fmt::ENTRY_HEAD_SIZE + len;
  }
  return {p, true};
}

// Walks the accepted entries at the start of `bytes`, calling on_entry(id,
// text) for each; returns where they end.
template <class OnEntry>
WalkEnd walk_entries(std::span<const uint8_t> bytes, OnEntry&& on_entry) {
  const uint8_t* b = bytes.data();
  const WalkEnd end = accepted_end(bytes);
  for (uint64_t p = 0; p < end.whole_end;) {
    const uint64_t text_at = p + fmt::ENTRY_HEAD_SIZE;
    const uint64_t len = le::load<uint32_t>(b + p + 8);
    on_entry(le::load<uint64_t>(b + p), std::string_view(reinterpret_cast<const char*>(b + text_at), len));
    p = text_at + len;
  }
  return end;
}

}  // namespace

IoResult<void> TextStore::load_into(std::unordered_map<PackId, std::string>& out,
                                    TornTail& tail) const {
  QVN_TRY(auto bytes, read_if_present(path_));
  tail = TornTail();
  if (!bytes) return {};
  const WalkEnd end = walk_entries(*bytes, [&](PackId id, std::string_view text) {
    if (valid_utf8(text)) out.insert_or_assign(id, std::string(text));
  });
  observe_walk(tail, 0, *bytes, end);
  return {};
}

IoResult<std::optional<PackId>> TextStore::catch_up() {
  return catch_up_highest(path_, tail_, [](std::span<const uint8_t> b, auto&& on_id) {
    return walk_entries(b, [&](PackId id, std::string_view) { on_id(id); });
  });
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
  // What lies behind the last whole entry now decides whether it is cut.
  QVN_TRY_VOID(catch_up());
  QVN_TRY(platform::File f,
          platform::File::open(path_, platform::Access::ReadWrite, platform::Create::IfMissing));
  QVN_TRY_VOID(append_synced(f, path_, tail_, buf, fmt::PACK_ID_SIZE));
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
