// Layout of "deletion_log.bin"; byte table in docs/formats.md.
#pragma once

#include <cstdint>

namespace qvn::deletion_log_format {

inline constexpr char FILE_NAME[] = "deletion_log.bin";
// One little-endian u64 pack id per entry, no header.
inline constexpr uint64_t ENTRY_SIZE = 8;

}  // namespace qvn::deletion_log_format
