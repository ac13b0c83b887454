// The interface of one retrieval stage, the candidate record every stage and
// the SLB return, and the callback through which stages read stored keys.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

namespace qvn {

struct Candidate {
  uint64_t id = 0;
  uint64_t owner = 0;  // 0 when the stage does not know the owner
  float score = 0.0f;
};

// Returns the stored key of a cell id; absent on any failure to read it.
// Borrows the engine's storage for the duration of one call.
class KeyFetcher {
 public:
  virtual ~KeyFetcher() = default;
  virtual std::optional<std::vector<float>> fetch(uint64_t id) const = 0;
};

// Adapts any callable to a KeyFetcher.
class FnKeyFetcher final : public KeyFetcher {
 public:
  explicit FnKeyFetcher(std::function<std::optional<std::vector<float>>(uint64_t)> fn)
      : fn_(std::move(fn)) {}
  std::optional<std::vector<float>> fetch(uint64_t id) const override { return fn_(id); }

 private:
  std::function<std::optional<std::vector<float>>(uint64_t)> fn_;
};

using IdSet = std::unordered_set<uint64_t>;

class PerTokenIndex;

// Operations in this order: search, insert, remove, len, is_empty, as_any,
// search_cascade. Every stage receives every retrieval key through insert as
// the raw key and derives what it stores from it.
class VectorIndex {
 public:
  virtual ~VectorIndex() = default;
  virtual std::vector<Candidate> search(std::span<const float> query, uint64_t k,
                                        std::optional<uint64_t> owner) = 0;
  virtual void insert(uint64_t id, uint64_t owner, std::span<const float> key) = 0;
  virtual void remove(uint64_t id) = 0;
  virtual uint64_t len() const = 0;
  virtual bool is_empty() const { return len() == 0; }
  // Only the per-token stage answers; lets callers find that concrete stage.
  virtual PerTokenIndex* as_per_token() { return nullptr; }
  virtual std::vector<Candidate> search_cascade(std::span<const float> query, uint64_t k,
                                                std::optional<uint64_t> owner,
                                                const IdSet* exclude,
                                                const KeyFetcher* fetch) = 0;
};

}  // namespace qvn
