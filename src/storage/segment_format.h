// Constants of the segment file format; the byte tables are in
// docs/formats.md under "Segment files".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qvn::segment_format {

inline constexpr char MAGIC[4] = {'Q', 'V', 'N', 'S'};
inline constexpr uint32_t VERSION = 1;
inline constexpr uint64_t HEADER_SIZE = 8;

inline constexpr std::string_view FILE_PREFIX = "segment_";
inline constexpr std::string_view FILE_SUFFIX = ".qvn";

// "segment_{:06}.qvn": at least six digits, more when the id needs them.
inline std::string file_name(uint32_t id) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "segment_%06u.qvn", static_cast<unsigned>(id));
  return buf;
}

// Cell record, offsets from the record's first byte (its length prefix).
inline constexpr uint64_t LEN_PREFIX = 4;
// Bytes of `body_len` that every record has: cell_id up to the value code
// byte count.
inline constexpr uint32_t FIXED_BODY = 87;
inline constexpr uint64_t FIXED_END = LEN_PREFIX + FIXED_BODY;  // 91

inline constexpr size_t OFF_CELL_ID = 4;
inline constexpr size_t OFF_OWNER = 12;
inline constexpr size_t OFF_LAYER = 20;
inline constexpr size_t OFF_KEY_LEN = 22;
inline constexpr size_t OFF_VALUE_LEN = 26;
inline constexpr size_t OFF_AUX_LEN = 30;
inline constexpr size_t OFF_PACK_ID = 34;
inline constexpr size_t OFF_VIEW_MARKER = 42;
inline constexpr size_t OFF_CREATED_AT = 50;
inline constexpr size_t OFF_STAMP = 58;
inline constexpr size_t OFF_IMPORTANCE = 66;
inline constexpr size_t OFF_COUNTER = 70;
inline constexpr size_t OFF_TIER = 74;
inline constexpr size_t OFF_KEY_SCALES = 75;
inline constexpr size_t OFF_KEY_BYTES = 79;
inline constexpr size_t OFF_VALUE_SCALES = 83;
inline constexpr size_t OFF_VALUE_BYTES = 87;

}  // namespace qvn::segment_format
