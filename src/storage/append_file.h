// The append discipline shared by the small append-only files of the engine
// directory: an append either lands whole and synced, or leaves the file as
// it was, and it never lands behind a torn last entry.
//
// Several engines may append to one file. Every append runs inside the
// engine's writer turn (the advisory lock on the directory), so at that
// moment no other writer is live. Where a load stops, the bytes behind the
// last whole entry are cut off only when they are provably a torn last
// entry, judged from the entry that starts there alone (never by looking
// for entries inside its bytes, which may hold anything): too short to give
// its length, a length that runs past the end of the file, or, in a file
// whose appends commit in two steps (see append_synced), a leading field
// still zero. Zeros that a power loss leaves are never guessed at: where
// they could be real values, the order of writes and syncs tells instead.
// Anything else there is damage in the middle of the file: it stays, with
// whatever lies behind it, and the append lands at the end of the file.
// Loads run outside that lock, where a tail may still be growing: they skip
// it and never judge or cut it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/platform.h"

namespace qvn {

// Where a walk over the entries of a file stops: `whole_end`, the end of
// the last entry a load accepts, and whether the bytes from there to the end
// of the file are a torn last entry (see the rule above). Meaningless when
// nothing lies behind `whole_end`.
struct WalkEnd {
  uint64_t whole_end = 0;
  bool torn = false;
};

// What the last walk over a file (a load, a catch-up, or a failed append)
// saw behind its last whole entry. `whole_end` is also where the next
// catch-up resumes. Only begin_append, inside the writer turn, acts on it.
class TornTail {
 public:
  // `whole_end`: where the last whole entry ends; `rest`: the bytes from
  // there to the end of the file as seen; `torn`: they are a torn last
  // entry, to be cut before the next append; `before`: the bytes that end
  // at `whole_end` (up to MARK_SIZE of them), which a catch-up checks before
  // it resumes there. Without `before`, an unchanged `whole_end` keeps the
  // bytes it had.
  void observe(uint64_t whole_end, std::span<const uint8_t> rest, bool torn,
               std::span<const uint8_t> before = {});
  bool pending() const { return seen_size_ > whole_end_; }
  // Whether the next append cuts the rest off (see begin_append).
  bool cuttable() const { return pending() && torn_; }
  uint64_t whole_end() const { return whole_end_; }
  uint64_t seen_size() const { return seen_size_; }
  uint64_t digest() const { return digest_; }
  // Whether `f` still holds, right before whole_end(), the bytes seen there.
  // A file cut behind the walk and appended to again may hold another
  // entry's middle at whole_end(): a walk resumed there would read its
  // bytes as entries, and might take them for a torn tail to cut.
  bool still_ends_there(const platform::File& f) const;

  static constexpr size_t MARK_SIZE = 16;

 private:
  uint64_t whole_end_ = 0;
  uint64_t seen_size_ = 0;
  bool torn_ = false;
  uint64_t digest_ = 0;
  uint64_t mark_len_ = 0;
  uint64_t mark_digest_ = 0;
};

// 64-bit FNV-1a of `bytes`: tells whether a tail is still the one seen.
uint64_t tail_digest(std::span<const uint8_t> bytes);

// Where a power loss shows: a file whose size reached the disk before its
// last bytes did ends in zeros. Returns the offset in `bytes` at which the
// final run of zero bytes begins (bytes.size() when the last byte is not 0).
size_t zero_run_start(std::span<const uint8_t> bytes);
// Whether bytes [from, size) of `f` are all zero (none: true); a failed
// read counts as not.
bool zeros_to_end(const platform::File& f, uint64_t from, uint64_t size);

// Creates the file at `path` for a store that exists from its open on, and
// makes the new name durable (syncs its directory); an existing file is only
// opened for appending, so that a name that cannot take appends fails here.
IoResult<void> create_at_open(const std::string& path);

// The whole file, read in one go, or nullopt when no file has that name
// (platform::own_file_info decides; a link or anything but a regular file is
// an error). Exactly the size the open file had is read; a file that shrank
// meanwhile is a short read.
IoResult<std::optional<std::vector<uint8_t>>> read_if_present(const std::string& path);

// Has `tail` observe a walk over `bytes`, which start at file offset `base`
// and end at the end of the file.
void observe_walk(TornTail& tail, uint64_t base, std::span<const uint8_t> bytes, WalkEnd end);

// What a catch-up reads: the bytes behind `tail.whole_end()`, or the whole
// file again when it shrank below that or no longer holds the bytes seen
// before it (see TornTail::still_ends_there); nullopt when no file has that
// name, as read_if_present judges.
struct NewBytes {
  uint64_t base = 0;  // file offset of bytes[0]
  std::vector<uint8_t> bytes;
};
IoResult<std::optional<NewBytes>> read_new_bytes(const std::string& path, const TornTail& tail);

// The catch-up every store makes before it appends: the highest id among the
// entries written since `tail` last looked (nullopt: none, or no file has
// that name yet), after which `tail` observes what lies behind the last whole
// entry. `walk(bytes, on_id)` calls on_id for each id of each whole entry and
// returns where it stopped (a WalkEnd).
template <class Walk>
IoResult<std::optional<uint64_t>> catch_up_highest(const std::string& path, TornTail& tail, Walk&& walk) {
  QVN_TRY(auto fresh, read_new_bytes(path, tail));
  std::optional<uint64_t> highest;
  if (!fresh) return highest;
  const std::span<const uint8_t> bytes(fresh->bytes);
  const WalkEnd end = walk(bytes, [&](uint64_t id) { highest = std::max(highest.value_or(0), id); });
  observe_walk(tail, fresh->base, bytes, end);
  return highest;
}

// Requires: the writer turn held, and `tail` brought up to date by a
// catch-up made inside it. Cuts off a torn last entry behind the last whole
// one, while the file still ends with exactly the bytes seen, and returns
// the size of `f` (opened with Access::ReadAppend) at which the next entry
// starts. Damage in the middle is not cut: the entry then starts at the end
// of the file. A file that changed since the catch-up was written to by
// someone outside the lock: then nothing is cut.
IoResult<uint64_t> begin_append(platform::File& f, TornTail& tail);

// After a failed write or sync of `len` bytes begun at `start`: cuts the
// file back to `start`, but only while nothing but our own bytes follows
// `start`. When the cut fails, `tail` remembers our partial bytes so that
// the next append removes them.
void abandon_append(platform::File& f, TornTail& tail, uint64_t start, uint64_t len);

// Requires: the writer turn held. Appends `bytes` to `f`, the file at
// `path` opened with Access::ReadWrite, and syncs them; the first entry of a
// file (maybe just created) also syncs the directory that names it, so an
// acknowledged entry never hangs on a name the disk may not have. Returns
// the offset at which the bytes landed. On any error the file is cut back
// as abandon_append says.
//
// With `commit_len` > 0 (at most 8) the append commits in two steps: all of
// `bytes` with its leading `commit_len` bytes zero, a sync, then those
// bytes, and a second sync. The leading field is one that no writer ever
// stores as zero, so an entry whose field is still zero is an append that
// has not finished or that a power loss stopped before its second step,
// whatever zeros that loss left in the rest: loads stop before it and the
// next append cuts it. The bytes on disk end up the same as with one step.
// `bytes` is only borrowed for the first step and holds its own values again
// on return.
IoResult<uint64_t> append_synced(platform::File& f, const std::string& path, TornTail& tail,
                                 std::span<uint8_t> bytes, size_t commit_len = 0);

}  // namespace qvn
