#include "engine/scheduler.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_set>

#include "core/platform.h"

namespace qvn {

namespace {

constexpr u128 NANOS_PER_SEC = 1000000000u;

u128 time_to_disk(WallTime t) {
  if (t.secs < 0) return 0;  // before the epoch
  return static_cast<u128>(t.secs) * NANOS_PER_SEC + t.nanos;
}

// A value beyond 64 bits lies past any time the engine can be asked about;
// it maps to the epoch, which makes the entry due at once.
WallTime time_from_disk(u128 ns) {
  if (ns > UINT64_MAX) return WallTime{};
  return WallTime::from_unix_nanos(static_cast<uint64_t>(ns));
}

std::string float_text(float v) {
  if (std::isnan(v)) return "NaN";
  return v > 0 ? "inf" : "-inf";
}

}  // namespace

Result<Scheduler> Scheduler::load(const std::string& engine_dir) {
  Scheduler s(engine_dir, platform::join(engine_dir, SCHEDULE_FILE_NAME));
  QVN_TRY_VOID(s.read_file(/*keep_next_id=*/false));
  return s;
}

Result<void> Scheduler::reload() { return read_file(/*keep_next_id=*/true); }

Result<void> Scheduler::read_file(bool keep_next_id) {
  std::vector<ScheduledEntry> entries;
  uint64_t next_id = 1;
  QVN_TRY(std::optional<platform::FileInfo> present, platform::own_file_info(path_));
  if (present) {
    QVN_TRY(std::vector<uint8_t> bytes, platform::read_file(path_));
    auto parsed = read_schedule_file(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!parsed.ok()) {
      return make_unexpected(
          EngineError::snapshot_integrity("scheduled_actions.json parse error: " + parsed.error()));
    }
    for (DiskEntry& e : parsed->entries) {
      entries.push_back(ScheduledEntry{e.id, time_from_disk(e.fires_at_unix_nanos), e.action});
    }
    if (parsed->next_id != 0) next_id = parsed->next_id;
  }
  entries_ = std::move(entries);
  next_id_ = keep_next_id ? std::max(next_id_, next_id) : next_id;
  return {};
}

Result<void> Scheduler::save() {
  ScheduleFile file;
  file.next_id = next_id_;
  file.entries.reserve(entries_.size());
  for (const ScheduledEntry& e : entries_) {
    file.entries.push_back(DiskEntry{e.id, time_to_disk(e.fires_at), e.action});
  }
  auto text = write_schedule_file(file);
  if (!text.ok()) {
    return make_unexpected(
        EngineError::snapshot_integrity("scheduled_actions.json serialize error: " + text.error()));
  }
  // The temporary file is synced before the rename and the directory after
  // it: otherwise a power loss could leave the new name pointing at an
  // empty or partial file, which would keep the engine from opening.
  const std::string tmp = platform::join(dir_, SCHEDULE_TMP_FILE_NAME);
  QVN_TRY(platform::File f, platform::create_fresh(tmp));
  auto written = f.write_all(text->data(), text->size());
  if (written.ok()) written = f.sync();
  if (written.ok()) written = f.close();
  if (written.ok()) written = platform::rename(tmp, path_);
  if (!written.ok()) {
    // Best effort: a stale temporary would otherwise sit in the directory
    // (and in every snapshot of it) until the next successful save.
    (void)f.close();
    (void)platform::unlink(tmp);
    return make_unexpected(std::move(written).error());
  }
  QVN_TRY_VOID(platform::sync_dir(dir_));
  return {};
}

Result<uint64_t> Scheduler::schedule(const ScheduledAction& action, WallTime fires_at) {
  float threshold = std::get<EvictDraft>(action).threshold;
  if (!std::isfinite(threshold)) {
    return make_unexpected(EngineError::snapshot_integrity(
        "scheduled_actions.json serialize error: threshold must be a finite number, got " +
        float_text(threshold)));
  }
  // The file can hold such a time, but it reads back as the epoch: the
  // action would fire at the next open instead of never.
  if (time_to_disk(fires_at) > UINT64_MAX) {
    return make_unexpected(EngineError::snapshot_integrity(
        "scheduled_actions.json serialize error: fire time must be before 2^64 nanoseconds "
        "since the Unix epoch, got " + std::to_string(fires_at.secs) + " s"));
  }
  uint64_t id = next_id_;
  next_id_ += 1;
  entries_.push_back(ScheduledEntry{id, fires_at, action});
  QVN_TRY_VOID(save());
  return id;
}

Result<bool> Scheduler::cancel(uint64_t id) {
  size_t before = entries_.size();
  std::erase_if(entries_, [id](const ScheduledEntry& e) { return e.id == id; });
  if (entries_.size() == before) return false;
  QVN_TRY_VOID(save());
  return true;
}

std::vector<ScheduledEntry> Scheduler::list() const {
  std::vector<ScheduledEntry> out = entries_;
  std::stable_sort(out.begin(), out.end(),
                   [](const ScheduledEntry& a, const ScheduledEntry& b) { return a.fires_at < b.fires_at; });
  return out;
}

std::vector<ScheduledEntry> Scheduler::due(WallTime now) const {
  std::vector<ScheduledEntry> out;
  for (const ScheduledEntry& e : entries_) {
    if (e.fires_at <= now) out.push_back(e);
  }
  return out;
}

Result<void> Scheduler::remove_fired(const std::vector<uint64_t>& ids) {
  std::unordered_set<uint64_t> fired(ids.begin(), ids.end());
  size_t before = entries_.size();
  std::erase_if(entries_, [&](const ScheduledEntry& e) { return fired.count(e.id) != 0; });
  if (entries_.size() == before) return {};
  return save();
}

}  // namespace qvn
