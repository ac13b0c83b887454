// "vamana.idx" as found on disk: a load either fails or gives a graph whose
// every index is in range, that searches without fault, and that a save and
// a second load reproduce exactly.
#include <cstring>

#include "fuzz_support.h"
#include "index/vamana/vamana.h"

using namespace qvn;

namespace {

void check_graph(const VamanaIndex& g, const std::unordered_map<uint64_t, std::vector<float>>& vectors) {
  const uint64_t n = g.nodes().size();
  if (g.entry()) QVN_FUZZ_CHECK(*g.entry() < n);
  for (const auto& node : g.nodes()) {
    for (uint64_t nb : node.neighbours) QVN_FUZZ_CHECK(nb < n);
    auto it = vectors.find(node.cell_id);
    if (it != vectors.end()) {
      QVN_FUZZ_CHECK(node.vector == it->second);
    } else {
      QVN_FUZZ_CHECK(node.vector.size() == g.dim());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto vectors = fuzz::vamana_vectors();
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "vamana.idx", data, size);

  auto loaded = VamanaIndex::load(dir, vectors);
  if (!loaded.ok()) return 0;
  QVN_FUZZ_CHECK(loaded->has_value());
  VamanaIndex& g = **loaded;
  check_graph(g, vectors);

  const std::vector<float> query(fuzz::VAMANA_SEED_DIM, 1.0f);
  const uint64_t k = 10;
  const auto hits = g.search(query, k, std::nullopt);
  QVN_FUZZ_CHECK(hits.size() <= std::min<uint64_t>(k, g.nodes().size()));
  for (const Candidate& c : hits) QVN_FUZZ_CHECK(c.owner == 0);

  QVN_FUZZ_CHECK(g.save(dir).ok());
  auto reloaded = VamanaIndex::load(dir, vectors);
  QVN_FUZZ_CHECK(reloaded.ok() && reloaded->has_value());
  const VamanaIndex& h = **reloaded;
  QVN_FUZZ_CHECK(h.dim() == g.dim() && h.r() == g.r() && h.entry() == g.entry());
  QVN_FUZZ_CHECK(h.nodes().size() == g.nodes().size());
  for (size_t i = 0; i < g.nodes().size(); ++i) {
    QVN_FUZZ_CHECK(h.nodes()[i].cell_id == g.nodes()[i].cell_id);
    QVN_FUZZ_CHECK(h.nodes()[i].neighbours == g.nodes()[i].neighbours);
    QVN_FUZZ_CHECK(fuzz::same_bits(h.nodes()[i].vector, g.nodes()[i].vector));
  }
  return 0;
}
