// Maps packs to their cells (head first, ascending) and cells back to packs.
#pragma once

#include <optional>
#include <unordered_map>
#include <vector>

#include "core/cell.h"

namespace qvn {

class PackDirectory {
 public:
  // Replaces the pack's cells: repeats dropped (first stays), then sorted.
  void set_cells(PackId pack, const std::vector<CellId>& cells);
  // Appends one cell to the pack's list (creating it) and maps it.
  void insert(PackId pack, CellId cell);
  const std::vector<CellId>* cells(PackId pack) const;
  std::optional<PackId> pack_of(CellId cell) const;
  std::optional<std::vector<CellId>> remove_pack(PackId pack);
  void unmap_cell(CellId cell) { cell_to_pack_.erase(cell); }
  // Sorts every list ascending and drops repeated ids (after a rebuild).
  void normalize();

  size_t pack_count() const { return packs_.size(); }
  bool empty() const { return packs_.empty(); }
  const std::unordered_map<PackId, std::vector<CellId>>& packs() const { return packs_; }
  const std::unordered_map<CellId, PackId>& cell_to_pack() const { return cell_to_pack_; }

 private:
  std::unordered_map<PackId, std::vector<CellId>> packs_;
  std::unordered_map<CellId, PackId> cell_to_pack_;
};

}  // namespace qvn
