#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "retrieval/pipeline.h"

namespace qvn {
namespace {

// A stage that answers with a fixed list and records how it was asked.
struct ScriptedStage final : VectorIndex {
  explicit ScriptedStage(std::vector<Candidate> answer, uint64_t size) : answer(std::move(answer)), size(size) {}
  std::vector<Candidate> search(std::span<const float>, uint64_t, std::optional<uint64_t>) override { return {}; }
  void insert(uint64_t, uint64_t, std::span<const float>) override {}
  void remove(uint64_t) override {}
  uint64_t len() const override { return size; }
  std::vector<Candidate> search_cascade(std::span<const float>, uint64_t k, std::optional<uint64_t> owner,
                                        const IdSet* exclude, const KeyFetcher* fetch) override {
    ++calls;
    asked_k = k;
    asked_owner = owner;
    excluded = exclude ? std::optional<IdSet>(*exclude) : std::nullopt;
    got_fetcher = fetch != nullptr;
    return answer;
  }
  std::vector<Candidate> answer;
  uint64_t size;
  int calls = 0;
  uint64_t asked_k = 0;
  std::optional<uint64_t> asked_owner;
  std::optional<IdSet> excluded;
  bool got_fetcher = false;
};

struct Fixture {
  RetrievalPipeline pipe;
  std::vector<ScriptedStage*> stages;
  FnKeyFetcher fetch{[](uint64_t) { return std::optional<std::vector<float>>(); }};

  ScriptedStage* add(std::vector<Candidate> answer, uint64_t size = 1) {
    auto s = std::make_unique<ScriptedStage>(std::move(answer), size);
    stages.push_back(s.get());
    pipe.add_stage(std::move(s));
    return stages.back();
  }
  std::vector<Candidate> search(uint64_t k, std::optional<uint64_t> owner = std::nullopt) {
    std::vector<float> q{1.0f};
    return pipe.search(q, k, owner, fetch);
  }
};

std::vector<uint64_t> ids_of(const std::vector<Candidate>& c) {
  std::vector<uint64_t> out;
  for (const auto& x : c) out.push_back(x.id);
  return out;
}

TEST(PipelineTest, AsksForTwiceKWithExclusionsAndStopsWhenFull) {
  Fixture f;
  EXPECT_TRUE(f.search(5).empty());  // no stages at all
  ScriptedStage* empty = f.add({{1, 0, 1.0f}}, 0);
  ScriptedStage* a = f.add({{1, 5, 0.2f}, {2, 5, 0.9f}});
  ScriptedStage* b = f.add({{2, 6, 5.0f}, {3, 6, 0.5f}, {4, 6, 0.1f}});
  ScriptedStage* c = f.add({{9, 0, 9.0f}});
  auto r = f.search(3, 5);
  EXPECT_EQ(empty->calls, 0);
  EXPECT_EQ(a->asked_k, 6u);
  EXPECT_EQ(a->asked_owner, std::optional<uint64_t>(5));
  EXPECT_TRUE(a->got_fetcher);
  EXPECT_FALSE(a->excluded.has_value());  // nothing seen yet: no set at all
  EXPECT_EQ(b->excluded, (IdSet{1, 2}));
  EXPECT_EQ(c->calls, 0);  // 4 distinct ids after b
  // The repeated id 2 keeps the score and owner of its first occurrence.
  ASSERT_EQ(ids_of(r), (std::vector<uint64_t>{2, 3, 1}));
  EXPECT_EQ(r[0].score, 0.9f);
  EXPECT_EQ(r[0].owner, 5u);
  // k 0 stops after the first stage; a huge k saturates the stage limit.
  EXPECT_TRUE(f.search(0).empty());
  EXPECT_EQ(b->calls, 1);
  f.search(UINT64_MAX);
  EXPECT_EQ(a->asked_k, UINT64_MAX);
}

TEST(PipelineTest, EqualScoresKeepArrivalOrderAndNanGoesLast) {
  Fixture f;
  f.add({{1, 0, NAN}, {2, 0, 0.5f}});
  f.add({{3, 0, 0.5f}, {4, 0, 0.7f}, {5, 0, NAN}});
  EXPECT_EQ(ids_of(f.search(10)), (std::vector<uint64_t>{4, 2, 3, 1, 5}));
  EXPECT_EQ(ids_of(f.search(4)), (std::vector<uint64_t>{4, 2, 3, 1}));
}

}  // namespace
}  // namespace qvn
