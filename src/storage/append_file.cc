#include "storage/append_file.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qvn {

void TornTail::observe(uint64_t whole_end, std::span<const uint8_t> rest, bool torn,
                       std::span<const uint8_t> before) {
  if (!before.empty() || whole_end != whole_end_) {
    before = before.last(std::min<size_t>({before.size(), MARK_SIZE, static_cast<size_t>(whole_end)}));
    mark_len_ = before.size();
    mark_digest_ = tail_digest(before);
  }
  whole_end_ = whole_end;
  seen_size_ = whole_end + rest.size();
  torn_ = torn;
  digest_ = tail_digest(rest);
}

bool TornTail::still_ends_there(const platform::File& f) const {
  if (mark_len_ == 0) return true;
  std::array<uint8_t, MARK_SIZE> mark;
  if (!f.pread_exact(mark.data(), mark_len_, whole_end_ - mark_len_).ok()) return false;
  return tail_digest(std::span<const uint8_t>(mark.data(), mark_len_)) == mark_digest_;
}

void observe_walk(TornTail& tail, uint64_t base, std::span<const uint8_t> bytes, WalkEnd end) {
  const auto at = static_cast<size_t>(end.whole_end);
  tail.observe(base + end.whole_end, bytes.subspan(at), end.torn, bytes.first(at));
}

uint64_t tail_digest(std::span<const uint8_t> bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

size_t zero_run_start(std::span<const uint8_t> bytes) {
  size_t z = bytes.size();
  while (z > 0 && bytes[z - 1] == 0) --z;
  return z;
}

bool zeros_to_end(const platform::File& f, uint64_t from, uint64_t size) {
  std::array<uint8_t, 16384> buf;
  while (from < size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - from, buf.size()));
    if (!f.pread_exact(buf.data(), n, from).ok()) return false;
    if (std::any_of(buf.begin(), buf.begin() + n, [](uint8_t b) { return b != 0; })) return false;
    from += n;
  }
  return true;
}

IoResult<void> create_at_open(const std::string& path) {
  QVN_TRY(bool created, platform::create_file_if_missing(path));
  if (created) return platform::sync_dir(platform::parent_dir(path));
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Append, platform::Create::IfMissing));
  return f.close();
}

IoResult<std::optional<std::vector<uint8_t>>> read_if_present(const std::string& path) {
  QVN_TRY(auto all, read_new_bytes(path, TornTail()));
  if (!all) return std::optional<std::vector<uint8_t>>();
  return std::optional<std::vector<uint8_t>>(std::move(all->bytes));
}

IoResult<std::optional<NewBytes>> read_new_bytes(const std::string& path, const TornTail& tail) {
  QVN_TRY(std::optional<platform::File> opened, platform::open_own_file(path));
  if (!opened) return std::optional<NewBytes>();
  const platform::File& f = *opened;
  // Even a file of the size seen last may have been cut behind this engine
  // and grown back by others' entries: only the bytes before the mark tell.
  QVN_TRY(uint64_t size, f.size());
  uint64_t from = tail.whole_end();
  if (size < from || !tail.still_ends_there(f)) from = 0;
  std::vector<uint8_t> bytes(static_cast<size_t>(size - from));
  QVN_TRY_VOID(f.pread_exact(bytes.data(), bytes.size(), from));
  return std::optional<NewBytes>(NewBytes{from, std::move(bytes)});
}

IoResult<uint64_t> begin_append(platform::File& f, TornTail& tail) {
  QVN_TRY(uint64_t size, f.size());
  if (!tail.cuttable() || size != tail.seen_size()) return size;
  // Same size is not enough: a writer outside the lock may have replaced the
  // bytes seen by others of the same length.
  std::vector<uint8_t> rest(static_cast<size_t>(size - tail.whole_end()));
  QVN_TRY_VOID(f.pread_exact(rest.data(), rest.size(), tail.whole_end()));
  if (tail_digest(rest) != tail.digest()) return size;
  QVN_TRY_VOID(f.truncate(tail.whole_end()));
  tail.observe(tail.whole_end(), {}, false);
  return tail.whole_end();
}

void abandon_append(platform::File& f, TornTail& tail, uint64_t start, uint64_t len) {
  auto size = f.size();
  // Bytes past our own belong to a writer that came after us: keep all.
  if (!size.ok() || *size < start || *size - start > len) return;
  // The file is then as it was before the append, and so is what `tail`
  // knows about it.
  if (f.truncate(start).ok()) return;
  // Our partial bytes stay for now; the next append cuts them if the file
  // still ends with exactly them.
  std::vector<uint8_t> ours(static_cast<size_t>(*size - start));
  if (!f.pread_exact(ours.data(), ours.size(), start).ok()) return;
  tail.observe(start, ours, true);
}

IoResult<uint64_t> append_synced(platform::File& f, const std::string& path, TornTail& tail,
                                 std::span<uint8_t> bytes, size_t commit_len) {
  std::array<uint8_t, 8> field{};
  commit_len = std::min({commit_len, field.size(), bytes.size()});
  QVN_TRY(uint64_t start, begin_append(f, tail));
  std::memcpy(field.data(), bytes.data(), commit_len);
  std::memset(bytes.data(), 0, commit_len);
  IoResult<void> r = f.write_all_at(bytes.data(), bytes.size(), start);
  std::memcpy(bytes.data(), field.data(), commit_len);
  if (r.ok()) r = f.sync();
  if (r.ok() && start == 0) r = platform::sync_dir(platform::parent_dir(path));
  if (r.ok() && commit_len > 0) {
    r = f.write_all_at(field.data(), commit_len, start);
    if (r.ok()) r = f.sync();
  }
  if (!r.ok()) {
    abandon_append(f, tail, start, bytes.size());
    return make_unexpected(std::move(r).error());
  }
  return start;
}

}  // namespace qvn
