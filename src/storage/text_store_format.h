// Layout of "text_store.bin"; byte table in docs/formats.md.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvn::text_store_format {

inline constexpr char FILE_NAME[] = "text_store.bin";
// Pack id (u64) then text length (u32), both little-endian.
inline constexpr uint64_t ENTRY_HEAD_SIZE = 12;
inline constexpr size_t PACK_ID_SIZE = 8;
// An append's first pack id until its second sync; never a pack's id.
inline constexpr uint64_t UNCOMMITTED_PACK = 0;
inline constexpr uint64_t MAX_TEXT_LEN = UINT32_MAX;

}  // namespace qvn::text_store_format
