#include "retrieval/pipeline.h"

#include "retrieval/simd_distance.h"

namespace qvn {

std::vector<Candidate> RetrievalPipeline::search(std::span<const float> query, uint64_t k,
                                                 std::optional<uint64_t> owner,
                                                 const KeyFetcher& fetch) {
  IdSet seen;
  std::vector<Candidate> results;
  const uint64_t limit = sat_mul(kOverfetch, k);
  for (const auto& stage : stages_) {
    if (stage->is_empty()) continue;
    const IdSet* exclude = seen.empty() ? nullptr : &seen;
    for (const Candidate& c : stage->search_cascade(query, limit, owner, exclude, &fetch)) {
      if (seen.insert(c.id).second) results.push_back(c);
    }
    if (results.size() >= k) break;
  }
  stable_sort_desc(results, [](const Candidate& c) { return c.score; });
  if (results.size() > k) results.resize(k);
  return results;
}

}  // namespace qvn
