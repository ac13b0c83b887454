#include "engine/pack_directory.h"

#include <algorithm>
#include <unordered_set>

namespace qvn {

void PackDirectory::set_cells(PackId pack, const std::vector<CellId>& cells) {
  if (auto old = remove_pack(pack)) {
    for (CellId c : *old) cell_to_pack_.erase(c);
  }
  std::vector<CellId> list;
  std::unordered_set<CellId> seen;
  for (CellId c : cells) {
    if (seen.insert(c).second) {
      list.push_back(c);
      cell_to_pack_[c] = pack;
    }
  }
  std::sort(list.begin(), list.end());
  packs_[pack] = std::move(list);
}

void PackDirectory::insert(PackId pack, CellId cell) {
  packs_[pack].push_back(cell);
  cell_to_pack_[cell] = pack;
}

const std::vector<CellId>* PackDirectory::cells(PackId pack) const {
  auto it = packs_.find(pack);
  return it == packs_.end() ? nullptr : &it->second;
}

std::optional<PackId> PackDirectory::pack_of(CellId cell) const {
  auto it = cell_to_pack_.find(cell);
  if (it == cell_to_pack_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::vector<CellId>> PackDirectory::remove_pack(PackId pack) {
  auto it = packs_.find(pack);
  if (it == packs_.end()) return std::nullopt;
  std::vector<CellId> cells = std::move(it->second);
  packs_.erase(it);
  return cells;
}

void PackDirectory::normalize() {
  for (auto& [pack, list] : packs_) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
  }
}

}  // namespace qvn
