// A mutex that owns the value it protects and remembers whether a thread
// left it by an exception. Once that happens the value may be half-updated,
// so every later lock attempt is refused for good; callers report the
// refusal ("engine lock poisoned") instead of working on broken state.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace qvn {

template <class T>
class PoisonableMutex {
 public:
  template <class... Args>
  explicit PoisonableMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

  PoisonableMutex(const PoisonableMutex&) = delete;
  PoisonableMutex& operator=(const PoisonableMutex&) = delete;

  // Holds the lock; access to the value goes only through a guard.
  class Guard {
   public:
    Guard(Guard&& o) noexcept
        : owner_(std::exchange(o.owner_, nullptr)), exceptions_at_lock_(o.exceptions_at_lock_) {}
    Guard& operator=(Guard&&) = delete;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    // An exception unwinding through the guard's scope poisons the mutex:
    // the holder was interrupted half-way through its change.
    ~Guard() {
      if (!owner_) return;
      if (std::uncaught_exceptions() > exceptions_at_lock_) {
        owner_->poisoned_.store(true, std::memory_order_release);
      }
      owner_->mutex_.unlock();
    }

    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

   private:
    friend class PoisonableMutex;
    explicit Guard(PoisonableMutex* owner)
        : owner_(owner), exceptions_at_lock_(std::uncaught_exceptions()) {}
    PoisonableMutex* owner_;
    int exceptions_at_lock_;
  };

  // Blocks until the mutex is free. Returns nullopt, with the mutex released
  // again, when it is poisoned.
  std::optional<Guard> lock() {
    mutex_.lock();
    if (poisoned_.load(std::memory_order_acquire)) {
      mutex_.unlock();
      return std::nullopt;
    }
    return Guard(this);
  }

  // Takes the mutex only when it is free. Returns nullopt when it is held
  // by another thread (`*busy` set) or poisoned (`*busy` cleared, the mutex
  // released again).
  std::optional<Guard> try_lock(bool* busy) {
    *busy = !mutex_.try_lock();
    if (*busy) return std::nullopt;
    if (poisoned_.load(std::memory_order_acquire)) {
      mutex_.unlock();
      return std::nullopt;
    }
    return Guard(this);
  }

  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace qvn
