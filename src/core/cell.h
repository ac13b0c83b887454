// The stored unit shared by storage, retrieval and the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace qvn {

using CellId = uint64_t;
using PackId = uint64_t;
using OwnerId = uint64_t;
using LayerIndex = uint16_t;

// Marks a pack's retrieval-key cell (its head) and its view-key cells.
inline constexpr LayerIndex VIEW_KEY_LAYER = 0xFFFE;
// `view_marker` of a view-key cell; every other cell carries 0.
inline constexpr uint64_t VIEW_MARKER_ALL_ONES = ~uint64_t{0};

enum class Tier : uint8_t { Draft = 0, Validated = 1, Core = 2 };

// A stored tier byte of 3 or more is refused by readers.
inline std::optional<Tier> tier_from_byte(uint8_t b) {
  if (b > 2) return std::nullopt;
  return static_cast<Tier>(b);
}

inline uint8_t tier_byte(Tier t) { return static_cast<uint8_t>(t); }

// Cells are immutable once written; importance and tier changes live in the
// engine's governance map, never in the stored record.
struct Cell {
  CellId cell_id = 0;
  OwnerId owner = 0;
  LayerIndex layer = 0;
  std::vector<float> key;
  std::vector<float> value;
  std::vector<float> aux;
  PackId pack_id = 0;
  uint64_t view_marker = 0;
  uint64_t created_at_ns = 0;
  uint64_t stamp_ns = 0;
  float importance = 0.0f;
  uint32_t counter = 0;
  Tier tier = Tier::Draft;

  // Retrieval cells are the ones the stages and the SLB index: standalone
  // cells, pack heads and view keys.
  bool is_retrieval() const { return pack_id == 0 || layer == VIEW_KEY_LAYER; }
};

}  // namespace qvn
