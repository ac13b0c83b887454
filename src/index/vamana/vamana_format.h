// Constants of the graph file "vamana.idx"; byte layout in docs/formats.md
// under "Vamana graph".
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvn::vamana_format {

inline constexpr char FILE_NAME[] = "vamana.idx";
// Written in full and synced before it is renamed over FILE_NAME.
inline constexpr char TMP_FILE_NAME[] = "vamana.idx.tmp";

inline constexpr char MAGIC[4] = {'V', 'A', 'M', 'G'};
inline constexpr uint32_t VERSION = 1;
// Entry cell id written when the graph has no entry node.
inline constexpr uint64_t NO_ENTRY = UINT64_MAX;

// magic, version, dim, R, entry cell id, node count.
inline constexpr size_t HEADER_SIZE = 4 + 4 + 4 + 4 + 8 + 8;
// A node record without neighbours: cell id, neighbour count.
inline constexpr size_t RECORD_MIN_SIZE = 8 + 4;
inline constexpr size_t NEIGHBOUR_SIZE = 8;

}  // namespace qvn::vamana_format
