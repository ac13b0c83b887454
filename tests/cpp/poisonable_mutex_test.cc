#include "core/poisonable_mutex.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace qvn {
namespace {

TEST(PoisonableMutex, ExceptionWhileHeldPoisonsForGood) {
  PoisonableMutex<std::vector<int>> m(3, 7);
  // An exception caught before the guard exists leaves the mutex sound.
  try {
    throw std::runtime_error("outside");
  } catch (const std::exception&) {
    auto g = m.lock();
    ASSERT_TRUE(g);
    (*g)->push_back(8);
  }
  EXPECT_FALSE(m.is_poisoned());
  EXPECT_EQ((*m.lock())->size(), 4u);
  EXPECT_THROW(
      {
        auto g = m.lock();
        (*g)->push_back(9);
        throw std::runtime_error("aborted half-way");
      },
      std::runtime_error);
  EXPECT_TRUE(m.is_poisoned());
  // The refusal released the mutex: another thread is refused, not blocked.
  bool other_refused = false;
  std::thread([&] { other_refused = !m.lock(); }).join();
  EXPECT_TRUE(other_refused);
}

TEST(PoisonableMutex, SerialisesThreads) {
  PoisonableMutex<long> counter(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) ++**counter.lock();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(**counter.lock(), 40000);
}

}  // namespace
}  // namespace qvn
