// The append discipline shared by the small append-only files of the engine
// directory: an append either lands whole and synced, or leaves the file as
// it was, and bytes a load could not read as a whole record never sit in
// front of a new one when that can be done without removing anything that
// may be a record.
//
// Several engines may append to one file. The engine serialises its appends
// with every other writer on the directory (see engine/dir_lock.h), so under
// that lock a torn tail is what a dead or failed writer left behind; the
// rules below still never cut bytes that could be someone's record.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/platform.h"

namespace qvn {

// What the last walk over a file (a load, a catch-up, or a failed append)
// learned about the bytes behind its last whole record. `whole_end` is also
// where the next catch-up resumes. Opening a store never modifies its file:
// a cut happens only at the next append.
class TornTail {
 public:
  // `whole_end`: where the last whole record ends; `rest`: the bytes from
  // there to the end of the file as seen; `torn_last`: no record hides in
  // `rest` (tail_holds_no_entry), so cutting it removes nobody's record.
  void observe(uint64_t whole_end, std::span<const uint8_t> rest, bool torn_last);
  bool pending() const { return seen_size_ > whole_end_; }
  // Whether the next append may cut the rest off (see begin_append).
  bool cuttable() const { return pending() && torn_last_; }
  uint64_t whole_end() const { return whole_end_; }
  uint64_t seen_size() const { return seen_size_; }
  uint64_t digest() const { return digest_; }

 private:
  uint64_t whole_end_ = 0;
  uint64_t seen_size_ = 0;
  bool torn_last_ = false;
  uint64_t digest_ = 0;
};

// 64-bit FNV-1a of `bytes`: tells whether a tail is still the one seen.
uint64_t tail_digest(std::span<const uint8_t> bytes);

// Whether `rest`, the bytes behind the last whole entry of a file, holds no
// entry at all: no chain of whole entries starting anywhere inside it ends
// exactly at its end. A torn append (a cut-short entry) and junk such as a
// zero-filled tail hold none and may be cut; damage in the middle with
// entries behind it holds some and is left alone. `entry_size(head)` gives
// the total size of the entry whose first `head_size` bytes are given, or
// nullopt when no entry of the format starts like that.
bool tail_holds_no_entry(std::span<const uint8_t> rest, size_t head_size,
                         const std::function<std::optional<uint64_t>(const uint8_t*)>& entry_size);

// The whole file, read in one go, or nullopt when its metadata cannot be
// taken (missing, or unexaminable for any other reason). Exactly the size
// the metadata gave is read; a file that shrank meanwhile is a short read.
IoResult<std::optional<std::vector<uint8_t>>> read_if_examinable(const std::string& path);

// The bytes of `path` from `from` to its end, or nullopt when its metadata
// cannot be taken; `from` past the end gives nullopt too (the file shrank:
// the caller walks it again from the start).
IoResult<std::optional<std::vector<uint8_t>>> read_from(const std::string& path, uint64_t from);

// What a catch-up reads: the bytes behind `tail.whole_end()`, or the whole
// file again when it shrank below that; nullopt when it cannot be examined.
struct NewBytes {
  uint64_t base = 0;  // file offset of bytes[0]
  std::vector<uint8_t> bytes;
};
IoResult<std::optional<NewBytes>> read_new_bytes(const std::string& path, const TornTail& tail);

// The catch-up every store makes before it appends: the highest id among the
// entries written since `tail` last looked (nullopt: none, or the file cannot
// be examined), after which `tail` observes what lies behind the last whole
// entry. `walk(bytes, on_id)` calls on_id for each id of each whole entry and
// returns where the last one ends; `holds_no_entry(rest)` says whether that
// rest may be cut.
template <class Walk, class HoldsNoEntry>
IoResult<std::optional<uint64_t>> catch_up_highest(const std::string& path, TornTail& tail, Walk&& walk,
                                                  HoldsNoEntry&& holds_no_entry) {
  QVN_TRY(auto fresh, read_new_bytes(path, tail));
  std::optional<uint64_t> highest;
  if (!fresh) return highest;
  const std::span<const uint8_t> bytes(fresh->bytes);
  const uint64_t whole = walk(bytes, [&](uint64_t id) { highest = std::max(highest.value_or(0), id); });
  const auto rest = bytes.subspan(static_cast<size_t>(whole));
  tail.observe(fresh->base + whole, rest, holds_no_entry(rest));
  return highest;
}

// Cuts off the tail recorded in `tail` when it holds no entry and the file
// still ends with exactly those bytes; returns the size of `f`
// (opened with Access::ReadAppend) at which the next record starts.
IoResult<uint64_t> begin_append(platform::File& f, TornTail& tail);

// After a failed write or sync of `len` bytes begun at `start`: cuts the
// file back to `start`, but only while nothing but our own bytes follows
// `start`. When the cut fails, `tail` remembers our partial bytes so that
// the next append removes them.
void abandon_append(platform::File& f, TornTail& tail, uint64_t start, uint64_t len);

// Appends the `len` bytes that `write(f)` writes to `f` (opened with
// Access::ReadAppend) and syncs them. Returns the offset at which the bytes
// landed. On any error the file is cut back as abandon_append says.
template <class WriteFn>
IoResult<uint64_t> append_synced(platform::File& f, TornTail& tail, uint64_t len, WriteFn&& write) {
  QVN_TRY(uint64_t start, begin_append(f, tail));
  IoResult<void> r = std::forward<WriteFn>(write)(f);
  if (r.ok()) r = f.sync();
  if (!r.ok()) {
    abandon_append(f, tail, start, len);
    return make_unexpected(std::move(r).error());
  }
  return start;
}

}  // namespace qvn
