// Pack texts: the append-only file "text_store.bin" and its in-memory map.
// Requires: engine mutex held for every call (no locking of its own).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "storage/append_file.h"

namespace qvn {

class TextStore {
 public:
  // Loads "text_store.bin" in `dir`. No file of that name gives an empty
  // store and is not created; anything else there that cannot be read whole
  // as a regular file fails (see read_if_present).
  static IoResult<TextStore> open(const std::string& dir);

  // Requires: the writer turn held (see append_file.h).
  // Appends every entry in one write and one sync, then sets them in the map
  // in list order (a later entry for the same pack wins). An empty list does
  // not touch the file. On error the map and the file are as before; a text
  // of 2^32 bytes or more is refused before anything is written.
  IoResult<void> set(std::span<const std::pair<PackId, std::string_view>> entries);
  IoResult<void> set(const std::vector<std::pair<PackId, std::string>>& entries);

  // Replaces the map from the file; on a read error the old map stays.
  IoResult<void> reload();

  // Walks the entries appended since the last load, catch-up or append of
  // this store, by any writer, and returns the highest pack id among them.
  // The map does not change: other writers' texts appear at reload(). Also
  // brings up to date what the next append knows about a torn tail.
  IoResult<std::optional<PackId>> catch_up();

  // The pack's text, or nullptr. Valid until the next non-const call.
  const std::string* get(PackId pack) const;
  // Forgets the pack's text in memory only; the file keeps it.
  void remove(PackId pack) { texts_.erase(pack); }
  size_t size() const { return texts_.size(); }
  const std::unordered_map<PackId, std::string>& texts() const { return texts_; }
  const std::string& path() const { return path_; }

 private:
  explicit TextStore(std::string path) : path_(std::move(path)) {}
  // Fills `out` from the file when there is one, else leaves it empty.
  IoResult<void> load_into(std::unordered_map<PackId, std::string>& out, TornTail& tail) const;

  std::string path_;
  std::unordered_map<PackId, std::string> texts_;
  TornTail tail_;
};

}  // namespace qvn
