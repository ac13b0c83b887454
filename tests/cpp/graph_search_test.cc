// The graph stage's beam search against a plain reading of its rule, on a
// graph large enough for several start points, built over only part of the
// nodes, and with coarse vectors so that many scores tie exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "index/vamana/vamana.h"
#include "retrieval/simd_distance.h"

namespace qvn {
namespace {

struct Hit {
  uint64_t node;
  float score;
  bool operator==(const Hit&) const = default;
};

// The rule: start from the entry, then every (n / starts)-th node; expand
// the best unexpanded entry (of equal ones, the latest in list order),
// append its unseen neighbours, sort best first keeping list order among
// equals, keep the first L; stop when every entry is expanded.
std::vector<Hit> reference_search(const VamanaIndex& g, const std::vector<float>& q, uint64_t L) {
  const auto& nodes = g.nodes();
  const uint64_t n = nodes.size();
  const uint64_t starts = n < 100 ? 1 : std::min<uint64_t>(n / 100, 10);
  std::vector<bool> seen(n);
  std::vector<Hit> list;
  std::vector<bool> done;
  auto visit = [&](uint64_t v) {
    if (seen[v]) return;
    seen[v] = true;
    list.push_back({v, dot_f32(q.data(), nodes[v].vector.data(), q.size())});
    done.push_back(false);
  };
  for (uint64_t i = 0; i < starts; ++i) visit(i == 0 ? g.entry().value_or(0) : i * (n / starts));
  while (true) {
    int best = -1;
    for (int t = static_cast<int>(list.size()) - 1; t >= 0; --t) {
      if (!done[t] && (best < 0 || list[t].score > list[best].score)) best = t;
    }
    if (best < 0) break;
    done[best] = true;
    for (uint64_t nb : nodes[list[best].node].neighbours) visit(nb);
    std::vector<size_t> order(list.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return list[a].score > list[b].score; });
    std::vector<Hit> sorted;
    std::vector<bool> sorted_done;
    for (size_t i = 0; i < order.size() && i < L; ++i) {
      sorted.push_back(list[order[i]]);
      sorted_done.push_back(done[order[i]]);
    }
    list.swap(sorted);
    done.swap(sorted_done);
  }
  return list;
}

TEST(GraphSearchTest, BeamFollowsTheSearchRuleOnAPartialGraphWithTies) {
  constexpr uint64_t kDim = 4, kBuilt = 2400, kAll = 3000;
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> coarse(-2, 2);  // small integers: exact, often equal sums
  auto draw = [&] {
    std::vector<float> v(kDim);
    for (float& x : v) x = static_cast<float>(coarse(rng));
    return v;
  };
  VamanaIndex g(kDim, 6, 1.2f);
  for (uint64_t i = 0; i < kBuilt; ++i) ASSERT_TRUE(g.add_node(1000 + i, draw()));
  g.rebuild();
  // Nodes added after the build have no edges but still serve as start points.
  for (uint64_t i = kBuilt; i < kAll; ++i) ASSERT_TRUE(g.add_node(1000 + i, draw()));
  g.rebuild();

  for (int trial = 0; trial < 40; ++trial) {
    const std::vector<float> q = draw();
    for (uint64_t L : {1u, 5u, 12u, 40u}) {
      std::vector<Hit> got;
      for (const auto& s : g.beam_search(q, L)) got.push_back({s.node, s.score});
      ASSERT_EQ(got, reference_search(g, q, L)) << "trial " << trial << " L " << L;
    }
  }
}

}  // namespace
}  // namespace qvn
