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
  EXPECT_FALSE(c.put(1, val("a")));
  c.put(2, val("b"));
  auto held = c.get(1);  // 2 is now least recent
  c.put(3, val("c"));
  EXPECT_TRUE(!c.contains(2) && c.contains(1) && c.contains(3));
  // Replacing a key promotes it and evicts nothing; put hands back what left.
  EXPECT_EQ(*c.put(1, val("a2")), "a");
  EXPECT_EQ(c.len(), 2u);
  EXPECT_EQ(*c.put(4, val("d")), "c");
  EXPECT_EQ(*held, "a");  // values outlive their entries
  // contains() does not promote.
  EXPECT_TRUE(c.contains(1));
  c.put(5, val("e"));
  EXPECT_TRUE(!c.contains(1) && c.contains(4));
  EXPECT_EQ(*c.pop(4), "d");
  EXPECT_FALSE(c.pop(4));
  EXPECT_EQ(c.len(), 1u);

  // A caller-given capacity is never reserved; zero means one.
  Cache huge(SIZE_MAX);
  for (uint64_t i = 0; i < 100; ++i) huge.put(i, val("x"));
  EXPECT_EQ(huge.len(), 100u);
  Cache one(0);
  one.put(1, val("a"));
  one.put(2, val("b"));
  EXPECT_TRUE(one.len() == 1 && one.contains(2));
}

TEST(GuardedLruTest, PoisonedCacheDegradesToMissesAndNoOps) {
  GuardedLru<uint64_t, std::string> c(4);
  c.put(1, val("a"));
  // An update interrupted by an exception while the mutex is held.
  EXPECT_THROW(c.locked(
                   [](LruCache<uint64_t, std::string>& inner) -> int {
                     inner.pop(1);
                     throw std::runtime_error("interrupted");
                   },
                   0),
               std::runtime_error);
  EXPECT_TRUE(c.poisoned());
  c.put(2, val("b"));
  EXPECT_FALSE(c.get(2) || c.pop(2) || c.contains(2) || c.get(1));
  EXPECT_EQ(c.len(), 0u);
  bool ran = false;
  EXPECT_EQ(c.locked([&](auto&) { ran = true; return 1; }, 5), 5);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace qvn
