// Deleted pack ids: the append-only file "deletion_log.bin" and its set.
// Requires: engine mutex held for every call (no locking of its own).
#pragma once

#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "core/cell.h"
#include "core/error.h"
#include "storage/append_file.h"

namespace qvn {

class DeletionLog {
 public:
  // Loads "deletion_log.bin" in `dir`. No file of that name gives an empty
  // set and is not created; anything else there that cannot be read whole as
  // a regular file fails (see read_if_present).
  static IoResult<DeletionLog> open(const std::string& dir);

  // Requires: the writer turn held (see append_file.h).
  // Appends the id and syncs it; only then is it in the set. On error the
  // set and the file are as before.
  IoResult<void> append(PackId pack);

  // Replaces the set from the file; on a read error the old set stays.
  IoResult<void> reload();

  // Reads the ids appended since the last load, catch-up or append of this
  // log, by any writer, adds them to the set and returns the highest. Run
  // under the writer lock, it lets a write refuse a pack that another
  // engine deleted.
  IoResult<std::optional<PackId>> catch_up();

  bool contains(PackId pack) const { return ids_.count(pack) != 0; }
  const std::unordered_set<PackId>& ids() const { return ids_; }
  const std::string& path() const { return path_; }

 private:
  explicit DeletionLog(std::string path) : path_(std::move(path)) {}
  IoResult<void> load_into(std::unordered_set<PackId>& out, TornTail& tail) const;

  std::string path_;
  std::unordered_set<PackId> ids_;
  TornTail tail_;
};

}  // namespace qvn
