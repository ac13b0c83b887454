// Bounded least-recently-used caches of shared, immutable values.
//
// `LruCache` is the bare map; `GuardedLru` puts one behind a mutex of its own
// so that searches holding the index by shared reference can still update it.
// Values are handed out as new references: a caller keeps a valid value even
// after the entry is evicted or replaced.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace qvn {

template <class K, class V>
class LruCache {
 public:
  using Value = std::shared_ptr<const V>;

  // A capacity of 0 is taken as 1: the cache always holds at least one entry.
  // Nothing is reserved up front; memory follows the entries actually held.
  explicit LruCache(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

  // A hit becomes the most recent entry.
  Value get(const K& key) {
    auto it = map_.find(key);
    if (it == map_.end()) return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->second;
  }

  // Replaces an existing entry's value (it becomes most recent); a new key at
  // full capacity first evicts the least recent entry, whose list and map
  // nodes then carry the new entry, so a full cache allocates nothing.
  // Returns the value that left the cache (replaced or evicted), if any.
  Value put(const K& key, Value value) {
    auto it = map_.find(key);
    if (it != map_.end()) {
      Value old = std::exchange(it->second->second, std::move(value));
      order_.splice(order_.begin(), order_, it->second);
      return old;
    }
    if (map_.size() >= capacity_) {
      auto last = std::prev(order_.end());
      auto node = map_.extract(last->first);
      Value old = std::exchange(last->second, std::move(value));
      last->first = key;
      order_.splice(order_.begin(), order_, last);
      node.key() = key;
      map_.insert(std::move(node));
      return old;
    }
    order_.emplace_front(key, std::move(value));
    try {
      map_.emplace(key, order_.begin());
    } catch (...) {
      order_.pop_front();
      throw;
    }
    return nullptr;
  }

  Value pop(const K& key) {
    auto it = map_.find(key);
    if (it == map_.end()) return nullptr;
    Value v = std::move(it->second->second);
    order_.erase(it->second);
    map_.erase(it);
    return v;
  }

  // Looks without making the entry most recent.
  bool contains(const K& key) const { return map_.count(key) != 0; }
  size_t len() const { return map_.size(); }
  size_t capacity() const { return capacity_; }

 private:
  size_t capacity_;
  std::list<std::pair<K, Value>> order_;  // front: most recent
  std::unordered_map<K, typename std::list<std::pair<K, Value>>::iterator> map_;
};

// An LruCache behind its own mutex, held for exactly one operation.
//
// Poisoning: if an operation ends in an exception while the mutex is held, the
// cache may be half-updated, so it is marked poisoned. From then on a lookup
// is a miss and an insertion or removal is skipped; callers never fail on it.
template <class K, class V>
class GuardedLru {
 public:
  using Value = std::shared_ptr<const V>;

  explicit GuardedLru(size_t capacity) : cache_(capacity) {}

  Value get(const K& key) {
    return locked([&](LruCache<K, V>& c) { return c.get(key); }, Value{});
  }
  // Returns what left the cache, as LruCache::put; nothing when poisoned.
  Value put(const K& key, Value value) {
    return locked([&](LruCache<K, V>& c) { return c.put(key, std::move(value)); }, Value{});
  }
  Value pop(const K& key) {
    return locked([&](LruCache<K, V>& c) { return c.pop(key); }, Value{});
  }
  size_t len() const {
    std::lock_guard<std::mutex> g(mu_);
    return poisoned_ ? 0 : cache_.len();
  }
  bool contains(const K& key) const {
    std::lock_guard<std::mutex> g(mu_);
    return !poisoned_ && cache_.contains(key);
  }
  bool poisoned() const {
    std::lock_guard<std::mutex> g(mu_);
    return poisoned_;
  }

  // Runs fn(cache) with the mutex held; on a poisoned cache returns
  // `fallback` without calling fn. An exception from fn poisons the cache and
  // propagates to the caller.
  template <class F, class R>
  R locked(F&& fn, R fallback) {
    std::lock_guard<std::mutex> g(mu_);
    if (poisoned_) return fallback;
    try {
      return fn(cache_);
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

 private:
  mutable std::mutex mu_;
  bool poisoned_ = false;
  LruCache<K, V> cache_;
};

}  // namespace qvn
