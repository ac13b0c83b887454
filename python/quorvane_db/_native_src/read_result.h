// The Python class `ReadResult`: one cell hit of the cell-level reads. It
// cannot be created from Python and never changes after creation.
#pragma once

#include "objects.h"

#include <cstdint>
#include <vector>

#include "core/cell.h"

namespace qvn::py {

struct ReadResultState {
  static constexpr const char* kTypeName = "ReadResult";
  static PyTypeObject* type();

  std::vector<float> key;
  std::vector<float> value;
  uint64_t cell_id = 0;
  uint64_t owner = 0;
  float score = 0.0f;
  float importance = 0.0f;
  uint16_t layer = 0;
  uint8_t tier = 0;

  // The record for one hit, taking the cell's vectors without copying.
  // Built under the engine mutex; turned into Python objects after it.
  static ReadResultState from_cell(Cell&& cell, float score, float importance, Tier tier) noexcept {
    return ReadResultState{std::move(cell.key), std::move(cell.value), cell.cell_id, cell.owner,
                           score, importance, cell.layer, tier_byte(tier)};
  }
};

// A new ReadResult object holding `record`.
PyRef new_read_result(ReadResultState&& record);
// A list of ReadResult objects, one per record, in order.
PyRef read_result_list(std::vector<ReadResultState>&& records);

PyTypeObject* create_read_result_type();

}  // namespace qvn::py
