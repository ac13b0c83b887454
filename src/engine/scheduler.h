// Actions that run at a wall-clock time, persisted in
// "scheduled_actions.json" of the engine directory so they survive a
// restart. Delivery is at least once: an entry leaves the file only after
// its action ran (see Engine::fire_due_scheduled).
//
// No lock of its own. Requires: engine mutex held for every call. Several
// engines share the file: the engine reloads it and saves it back within one
// writer turn (see Engine::schedule_action).
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"
#include "engine/schedule_file.h"

namespace qvn {

// A wall-clock time point: signed seconds since the Unix epoch plus
// nanoseconds in [0, 999999999].
struct WallTime {
  int64_t secs = 0;
  uint32_t nanos = 0;

  static WallTime from_unix_nanos(uint64_t ns) {
    return {static_cast<int64_t>(ns / 1000000000u), static_cast<uint32_t>(ns % 1000000000u)};
  }
  auto operator<=>(const WallTime&) const = default;
};

struct ScheduledEntry {
  uint64_t id = 0;
  WallTime fires_at;
  ScheduledAction action;
};

class Scheduler {
 public:
  // Reads "scheduled_actions.json" of `engine_dir`. No file of that name
  // counts as absent: no entries, next id 1, nothing written; a link or
  // anything but a regular file there fails as its load (see
  // platform::own_file_info). A read failure is `StorageIo`; a parse failure is
  // `SnapshotIntegrity` "scheduled_actions.json parse error: {}".
  static Result<Scheduler> load(const std::string& engine_dir);

  // Replaces the entries by the file's current ones and raises the next id
  // to the file's. Several engines share the file, so it is the truth: a
  // change whose save failed is dropped here, and the ids this scheduler
  // handed out stay used. Errors as for load; on error nothing changes.
  // Requires: the writer lock, when a change and its save follow.
  Result<void> reload();

  // Rewrites the whole file: a synced temporary file renamed over it, then
  // the directory synced, so a crash leaves either the old or the new
  // content. On failure the in-memory list keeps its change.
  Result<void> save();

  // Takes the next id, appends the entry and saves. A save failure is
  // returned while the entry stays in memory and its id stays used. A
  // threshold that is not finite, or a fire time of 2^64 ns after the epoch
  // or later, is refused before an id is taken: the file could not hold it
  // in a form that loads again.
  Result<uint64_t> schedule(const ScheduledAction& action, WallTime fires_at);

  // Removes every entry with `id`; saves only when something was removed.
  Result<bool> cancel(uint64_t id);

  // Copies of all entries by ascending fire time; equal times keep their
  // insertion order.
  std::vector<ScheduledEntry> list() const;

  // Copies of the entries due at `now` (fire time at or before it), in
  // insertion order.
  std::vector<ScheduledEntry> due(WallTime now) const;

  // Removes the entries whose id is listed; saves only when something was
  // removed.
  Result<void> remove_fired(const std::vector<uint64_t>& ids);

  uint64_t next_id() const { return next_id_; }
  const std::vector<ScheduledEntry>& entries() const { return entries_; }
  const std::string& path() const { return path_; }

 private:
  Scheduler(std::string dir, std::string path) : dir_(std::move(dir)), path_(std::move(path)) {}
  Result<void> read_file(bool keep_next_id);

  std::string dir_;
  std::string path_;
  std::vector<ScheduledEntry> entries_;
  uint64_t next_id_ = 1;
};

}  // namespace qvn
