// The append discipline shared by the small append-only files of the engine
// directory: an append either lands whole and synced, or leaves the file as
// it was, and bytes a load could not read as a whole record never sit in
// front of a new one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/platform.h"

namespace qvn {

// What the last load (or failed append) learned about junk past the last
// whole record. The cut happens at the next append, never at load: opening
// a store must not modify its file.
class TornTail {
 public:
  // `whole_end` is where the last whole record ends, `file_size` the size
  // the file had; junk exists when the two differ.
  void observe(uint64_t whole_end, uint64_t file_size) {
    pending_ = file_size > whole_end;
    whole_end_ = whole_end;
    seen_size_ = file_size;
  }
  void clear() { pending_ = false; }
  bool pending() const { return pending_; }
  uint64_t whole_end() const { return whole_end_; }
  uint64_t seen_size() const { return seen_size_; }

 private:
  bool pending_ = false;
  uint64_t whole_end_ = 0;
  uint64_t seen_size_ = 0;
};

// The whole file, read in one go, or nullopt when its metadata cannot be
// taken (missing, or unexaminable for any other reason). Exactly the size
// the metadata gave is read; a file that shrank meanwhile is a short read.
IoResult<std::optional<std::vector<uint8_t>>> read_if_examinable(const std::string& path);

// Cuts off junk recorded in `tail` and returns the size of `f` at which the
// next record starts. The cut is made only while the file still has the size
// it had when the junk was seen: a file that changed since belongs to
// someone else's writes, which are not ours to remove.
IoResult<uint64_t> begin_append(platform::File& f, TornTail& tail);

// After a failed write or sync: cuts the file back to `start`. When even
// that fails, `tail` remembers the cut for the next append.
void abandon_append(platform::File& f, TornTail& tail, uint64_t start);

// Appends whatever `write(f)` writes to `f` (opened for appending) and syncs
// it. Returns the offset at which the bytes landed. On any error the file is
// cut back to its size before the append.
template <class WriteFn>
IoResult<uint64_t> append_synced(platform::File& f, TornTail& tail, WriteFn&& write) {
  QVN_TRY(uint64_t start, begin_append(f, tail));
  IoResult<void> r = std::forward<WriteFn>(write)(f);
  if (r.ok()) r = f.sync();
  if (!r.ok()) {
    abandon_append(f, tail, start);
    return make_unexpected(std::move(r).error());
  }
  return start;
}

}  // namespace qvn
