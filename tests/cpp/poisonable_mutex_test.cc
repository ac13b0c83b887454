#include "core/poisonable_mutex.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace qvn {
namespace {

TEST(PoisonableMutex, ExceptionWhileHeldPoisonsForGood) {
  PoisonableMutex<std::vector<int>> m(3, 7);
  {
    auto g = m.lock();
    ASSERT_TRUE(g);
    (*g)->push_back(8);
  }
  // An exception that is caught before the guard is created, or that never
  // crosses the guard's scope, leaves the mutex sound.
  try {
    throw std::runtime_error("outside");
  } catch (const std::exception&) {
    auto g = m.lock();
    ASSERT_TRUE(g);
    EXPECT_EQ((*g)->size(), 4u);
  }
  EXPECT_FALSE(m.is_poisoned());

  EXPECT_THROW(
      {
        auto g = m.lock();
        (*g)->push_back(9);
        throw std::runtime_error("aborted half-way");
      },
      std::runtime_error);
  EXPECT_TRUE(m.is_poisoned());
  EXPECT_FALSE(m.lock());
  // The refusal released the mutex again: another thread is refused too
  // instead of blocking.
  bool other_refused = false;
  std::thread([&] { other_refused = !m.lock(); }).join();
  EXPECT_TRUE(other_refused);
}

TEST(PoisonableMutex, SerialisesThreads) {
  PoisonableMutex<long> counter(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        auto g = counter.lock();
        ++**g;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(**counter.lock(), 40000);
}

}  // namespace
}  // namespace qvn
