#pragma once
// FrameRing: the queue of stereo 32-bit float frames between a device
// callback and the engine thread, behind the service's poisoning mutex.
// Storage is fixed at construction, so no push or pop allocates.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/mutex.h"
#include "core/realtime.h"

namespace melodara {

struct StereoFrame {
  float left = 0.0f;
  float right = 0.0f;
  friend bool operator==(const StereoFrame&, const StereoFrame&) = default;
};

// The queue itself; reach it through FrameRing::lock(). No member allocates,
// blocks or frees but the constructor (which allocates the storage).
class FrameQueue {
 public:
  static constexpr std::size_t kCapacity = 16384;
  // A producer that finds this many frames drops the oldest before appending.
  static constexpr std::size_t kLimit = 4096;

  // Starts with `silent_frames` silent frames queued. Allocates.
  explicit FrameQueue(std::size_t silent_frames = 0);

  std::size_t size() const { return size_; }
  // Appends; when the storage is full the oldest frame goes first.
  void push_back(StereoFrame f);
  // The producers' rule: at kLimit or more frames, drop the oldest first.
  void push_back_capped(StereoFrame f);
  bool pop_front(StereoFrame& out);
  void drop_front();
  // Appends silent frames until `frames` are queued.
  void fill_to(std::size_t frames);
  StereoFrame at(std::size_t i) const;  // 0 is the oldest

 private:
  std::vector<StereoFrame> frames_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

// lock() blocks on the ring's mutex; a holder that leaves by an exception
// poisons the ring. Each holder keeps it for one callback's or one block's
// frames at most. Thread: any, the device callbacks and the engine included
// (the one lock the realtime threads wait on). Allocates: no.
class FrameRing : public Mutex<FrameQueue> {
 public:
  static constexpr std::size_t kCapacity = FrameQueue::kCapacity;
  static constexpr std::size_t kLimit = FrameQueue::kLimit;
  explicit FrameRing(std::size_t silent_frames = 0) : Mutex<FrameQueue>(silent_frames) {}

  // The realtime threads' way in: lock() and the unlock at the end of the
  // guard's life pass the realtime checks, the one lock they wait on by design
  // (nothing else in the guard's scope does).
  class RealtimeGuard {
   public:
    explicit RealtimeGuard(FrameRing& ring) noexcept : guard_(locked(ring)) {}
    ~RealtimeGuard() {
      const RealtimeException allow("the frame ring's unlock: the ring's mutex is shared by design");
      guard_.release();
    }
    RealtimeGuard(const RealtimeGuard&) = delete;
    RealtimeGuard& operator=(const RealtimeGuard&) = delete;

    FrameQueue& operator*() const { return *guard_; }
    FrameQueue* operator->() const { return guard_.operator->(); }
    bool poisoned() const { return guard_.poisoned(); }

   private:
    static Guard locked(FrameRing& ring) noexcept {
      const RealtimeException allow("the frame ring's lock: the ring's mutex is shared by design");
      return ring.lock();
    }
    Guard guard_;
  };
  // Thread: a device callback or the engine. Allocates: no.
  // Blocks: on the ring's mutex, held by the other side for one buffer at most.
  RealtimeGuard lock_realtime() noexcept { return RealtimeGuard(*this); }
};

// Callback counter: one per stream, advanced once per data callback, read by
// the engine's watchdog without a lock.
using CallbackCounter = std::atomic<std::uint64_t>;

}  // namespace melodara
