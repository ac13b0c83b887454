#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "retrieval/lru_cache.h"

namespace qvn {
namespace {

using Cache = LruCache<uint64_t, std::string>;
std::shared_ptr<const std::string> val(const char* s) { return std::make_shared<const std::string>(s); }

TEST(LruCacheTest, EvictsLeastRecentAndPromotesOnGetAndPut) {
  Cache c(2);
  c.put(1, val("a"));
  c.put(2, val("b"));
  ASSERT_TRUE(c.get(1));  // 2 is now least recent
  c.put(3, val("c"));
  EXPECT_FALSE(c.contains(2));
  EXPECT_TRUE(c.contains(1));
  EXPECT_TRUE(c.contains(3));

  // Replacing an existing key changes its value, promotes it and evicts
  // nothing; put hands back the value that left.
  EXPECT_EQ(*c.put(1, val("a2")), "a");
  EXPECT_EQ(c.len(), 2u);
  EXPECT_EQ(*c.get(1), "a2");
  EXPECT_EQ(*c.put(4, val("d")), "c");  // 3 was least recent
  EXPECT_FALSE(c.contains(3));
  EXPECT_EQ(*c.get(4), "d");

  // contains() does not promote: 1 stays least recent after looking at it.
  EXPECT_TRUE(c.contains(1));
  c.put(5, val("e"));
  EXPECT_FALSE(c.contains(1));
  EXPECT_TRUE(c.contains(4));
}

TEST(LruCacheTest, PopAndValuesOutliveEntries) {
  Cache c(1);
  EXPECT_FALSE(c.put(1, val("a")));
  auto held = c.get(1);
  c.put(2, val("b"));  // evicts 1 while we still hold its value
  EXPECT_FALSE(c.get(1));
  EXPECT_EQ(*held, "a");

  EXPECT_FALSE(c.pop(7));
  auto popped = c.pop(2);
  ASSERT_TRUE(popped);
  EXPECT_EQ(*popped, "b");
  EXPECT_EQ(c.len(), 0u);
}

TEST(LruCacheTest, CapacityIsNeverReservedAndZeroMeansOne) {
  // A caller-given capacity must not be turned into an allocation.
  Cache huge(SIZE_MAX);
  for (uint64_t i = 0; i < 100; ++i) huge.put(i, val("x"));
  EXPECT_EQ(huge.len(), 100u);

  Cache one(0);
  EXPECT_EQ(one.capacity(), 1u);
  one.put(1, val("a"));
  one.put(2, val("b"));
  EXPECT_EQ(one.len(), 1u);
  EXPECT_TRUE(one.contains(2));
}

TEST(GuardedLruTest, PoisonedCacheDegradesToMissesAndNoOps) {
  GuardedLru<uint64_t, std::string> c(4);
  c.put(1, val("a"));
  ASSERT_TRUE(c.get(1));
  EXPECT_FALSE(c.poisoned());

  // An update interrupted by an exception while the mutex is held.
  EXPECT_THROW(c.locked(
                   [](LruCache<uint64_t, std::string>& inner) -> int {
                     inner.pop(1);
                     throw std::runtime_error("interrupted");
                   },
                   0),
               std::runtime_error);
  EXPECT_TRUE(c.poisoned());

  EXPECT_FALSE(c.get(1));
  c.put(2, val("b"));
  EXPECT_FALSE(c.get(2));
  EXPECT_FALSE(c.pop(2));
  EXPECT_FALSE(c.contains(2));
  EXPECT_EQ(c.len(), 0u);
  // The fallback is returned without running the operation.
  bool ran = false;
  EXPECT_EQ(c.locked([&](auto&) { ran = true; return 1; }, 5), 5);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace qvn
