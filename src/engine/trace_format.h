// Constants of "trace.wal"; the byte layout is described in docs/formats.md.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvn::trace_format {

inline constexpr const char* FILE_NAME = "trace.wal";
inline constexpr size_t RECORD_SIZE = 26;
inline constexpr uint8_t RECORD_TAG = 1;

inline constexpr size_t OFF_TAG = 0;
inline constexpr size_t OFF_FROM = 1;
inline constexpr size_t OFF_TO = 9;
inline constexpr size_t OFF_KIND = 17;
inline constexpr size_t OFF_CREATED = 18;

}  // namespace qvn::trace_format
