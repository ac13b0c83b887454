#include "retrieval/refinement.h"

namespace qvn {

std::unique_ptr<RefinementStrategy> parse_mode(std::string_view mode, std::optional<float>,
                                               std::optional<float>, std::optional<uint64_t>) {
  if (mode == "none") return std::make_unique<NoOpStrategy>();
  return nullptr;
}

}  // namespace qvn
