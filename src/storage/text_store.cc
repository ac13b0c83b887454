#include "storage/text_store.h"

#include <algorithm>
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

// Where the entries that a load accepts end. The walk stops where fewer than
// 12 bytes remain or a length runs past the end of the file (a torn append,
// or damage). Then the power-loss signature: a file whose size reached the
// disk before its last bytes did ends in a run of zeros, and the entries in
// that run are not the ones written:
// - an entry that lies wholly in the run has pack id 0, which no text is
//   ever stored under;
// - the entry in which the run begins is torn when its text is non-empty
//   (the text was cut to zeros), or when its text is empty and only 1 to 11
//   zero bytes follow it: no append is that short, so the zeros began inside
//   this entry and its id or length was zeroed. An empty text followed by
//   nothing is a whole entry like any other.
//
// Whatever lies behind the accepted entries is a torn last entry when the
// entry that starts there is too short to give its length or is one the
// zeros made torn. One that declares a length running past the end of the
// file is a torn append, unless a whole entry ends exactly at the end of the
// file behind it: then its length was damaged in the middle of the file and
// the entries behind it are kept (an append goes after them). A text holding
// the bytes of a whole entry, cut right at that entry's end, would be taken
// for such damage; texts hold no such bytes unless they hold NULs.
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
  const uint64_t zeros_from = zero_run_start(bytes);
  std::optional<uint64_t> last_before;  // the last entry that begins before the zeros
  uint64_t p = 0;
  while (p + fmt::ENTRY_HEAD_SIZE <= size) {
    const uint64_t len = le::load<uint32_t>(b + p + 8);
    if (p + fmt::ENTRY_HEAD_SIZE + len > size) break;
    if (p < zeros_from) last_before = p;
    p += fmt::ENTRY_HEAD_SIZE + len;
  }
  // Here fewer than 12 bytes remain or the entry at `p` runs past the end.
  if (zeros_from >= p) {
    return {p, zeros_from < size || !whole_entry_ends_at_end(bytes.subspan(static_cast<size_t>(p)))};
  }
  if (!last_before) return {0, true};
  const uint64_t s = *last_before;
  const uint64_t len = le::load<uint32_t>(b + s + 8);
  const uint64_t s_end = s + fmt::ENTRY_HEAD_SIZE + len;
  if (s_end <= zeros_from) return {s_end, true};
  const uint64_t zeros_behind = size - s_end;
  const bool torn = le::load<uint64_t>(b + s) == 0 || len > 0 ||
                    (zeros_behind > 0 && zeros_behind < fmt::ENTRY_HEAD_SIZE);
  return {torn ? s : s_end, true};
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
  QVN_TRY(auto bytes, read_if_examinable(path_));
  tail = TornTail();
  if (!bytes) return {};
  const WalkEnd end = walk_entries(*bytes, [&](PackId id, std::string_view text) {
    if (valid_utf8(text)) out.insert_or_assign(id, std::string(text));
  });
  const auto rest = std::span<const uint8_t>(*bytes).subspan(static_cast<size_t>(end.whole_end));
  tail.observe(end.whole_end, rest, end.torn);
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
          platform::File::open(path_, platform::Access::ReadAppend, platform::Create::IfMissing));
  QVN_TRY_VOID(append_synced(f, path_, tail_, buf.size(), [&](platform::File& file) {
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
