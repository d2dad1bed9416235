#pragma once
// FrameRing: the queue of stereo 32-bit float frames between a device
// callback and the engine thread, with its own mutex. Storage is fixed at
// construction, so no push or pop allocates.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace melodara {

struct StereoFrame {
  float left = 0.0f;
  float right = 0.0f;
  friend bool operator==(const StereoFrame&, const StereoFrame&) = default;
};

class FrameRing {
 public:
  static constexpr std::size_t kCapacity = 16384;
  // A producer that finds this many frames drops the oldest before appending.
  static constexpr std::size_t kLimit = 4096;

  // Starts with `silent_frames` silent frames queued. Allocates.
  explicit FrameRing(std::size_t silent_frames = 0);

  // The locked view. A holder that leaves by an exception poisons the ring.
  class Guard {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard();
    bool poisoned() const { return ring_.poisoned_; }
    std::size_t size() const { return ring_.size_; }
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
    friend class FrameRing;
    explicit Guard(FrameRing& r);
    FrameRing& ring_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  // Thread: any. Allocates: no. Blocks: on the ring's mutex.
  Guard lock() { return Guard(*this); }
  // Marks the ring poisoned, as a holder that failed would (tests).
  void poison();

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  std::vector<StereoFrame> frames_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

// Callback counter: one per stream, advanced once per data callback.
using CallbackCounter = std::atomic<std::uint64_t>;

}  // namespace melodara
