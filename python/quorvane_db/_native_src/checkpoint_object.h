// The Python class `CheckpointRepository`: the root directory of a labeled
// checkpoint series, exactly as given. Immutable, so it is never borrowed.
#pragma once

#include "objects.h"

#include <string>

namespace qvn::py {

struct CheckpointRepositoryState {
  static constexpr const char* kTypeName = "CheckpointRepository";
  static PyTypeObject* type();

  std::string root;
};

PyTypeObject* create_checkpoint_repository_type();

}  // namespace qvn::py
