#pragma once
// The one mutex wrapper: a value behind a mutex that is poisoned for good when
// a holder unwinds with an exception, so later users know the value may be
// half-written. Lock with `lock()` (blocks; the guard tells whether the mutex
// was poisoned) or `try_lock()` (never blocks; busy and poisoned both fail).
#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace melodara {

template <class T>
class Mutex {
 public:
  template <class... Args>
  explicit Mutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  class Guard {
   public:
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)),
          poisoned_(other.poisoned_),
          exceptions_(other.exceptions_) {}
    Guard& operator=(Guard&&) = delete;
    ~Guard() { release(); }

    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }
    // The mutex was already poisoned when this guard took it.
    bool poisoned() const { return poisoned_; }
    // Unlocks early; poisons when called while an exception unwinds.
    void release() {
      if (owner_ == nullptr) return;
      if (std::uncaught_exceptions() > exceptions_) owner_->poisoned_.store(true);
      owner_->mutex_.unlock();
      owner_ = nullptr;
    }

   private:
    friend class Mutex;
    explicit Guard(Mutex* owner)
        : owner_(owner), poisoned_(owner->poisoned_.load()), exceptions_(std::uncaught_exceptions()) {}
    Mutex* owner_;
    bool poisoned_;
    int exceptions_;
  };

  // Thread: any; the engine only outside its block loop. Allocates: no. Blocks: until free.
  Guard lock() {
    mutex_.lock();
    return Guard(this);
  }

  // Thread: any, realtime included. Allocates: no. Blocks: no.
  std::optional<Guard> try_lock() {
    if (!mutex_.try_lock()) return std::nullopt;
    if (poisoned_.load()) {
      mutex_.unlock();
      return std::nullopt;
    }
    return Guard(this);
  }

  // Thread: any. Allocates: no. Blocks: no.
  bool is_poisoned() const { return poisoned_.load(); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace melodara
