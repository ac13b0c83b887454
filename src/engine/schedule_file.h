// "scheduled_actions.json": the on-disk records of the scheduler and their
// JSON form. The byte layout is described in docs/formats.md.
//
// Writing produces one fixed pretty-printed shape; reading is lenient (any
// member order, unknown keys skipped, records also accepted as arrays of
// their field values) and reports errors with line and column.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/cell.h"
#include "core/error.h"
#include "engine/json_record.h"

namespace qvn {

inline constexpr const char* SCHEDULE_FILE_NAME = "scheduled_actions.json";
inline constexpr const char* SCHEDULE_TMP_FILE_NAME = "scheduled_actions.json.tmp";

// Evict the Draft packs of `owner` whose importance is below `threshold`.
struct EvictDraft {
  OwnerId owner = 0;
  float threshold = 0.0f;

  bool operator==(const EvictDraft&) const = default;
};

// The closed set of actions; the JSON object key is the member's name.
using ScheduledAction = std::variant<EvictDraft>;

struct DiskEntry {
  uint64_t id = 0;
  u128 fires_at_unix_nanos = 0;
  ScheduledAction action;
};

struct ScheduleFile {
  uint64_t next_id = 0;
  std::vector<DiskEntry> entries;
};

// The pretty form, without a trailing newline. Fails only for a NaN
// threshold, which no number in the file could read back as.
Expected<std::string, std::string> write_schedule_file(const ScheduleFile& file);

// The error is the reader's description, ending in " at line L column C".
Expected<ScheduleFile, std::string> read_schedule_file(std::string_view bytes);

// Shortest decimal that reads back as the same float32, always with a
// decimal point or an exponent ("15.0", "0.1", "1e-7", "3.4028235e38").
// An infinity is written as the shortest number beyond the float32 range,
// "4e38" or "-4e38", which reads back as that infinity.
std::string format_threshold(float value);

}  // namespace qvn
