#include "engine/frame_ring.h"

namespace melodara {

FrameRing::FrameRing(std::size_t silent_frames) : frames_(kCapacity) {
  size_ = silent_frames < kCapacity ? silent_frames : kCapacity;
}

FrameRing::Guard::Guard(FrameRing& r)
    : ring_(r), lock_(r.mutex_), exceptions_(std::uncaught_exceptions()) {}

FrameRing::Guard::~Guard() {
  if (std::uncaught_exceptions() > exceptions_) ring_.poisoned_ = true;
}

void FrameRing::Guard::push_back(StereoFrame f) {
  FrameRing& r = ring_;
  if (r.size_ == kCapacity) drop_front();
  r.frames_[(r.head_ + r.size_) % kCapacity] = f;
  ++r.size_;
}

void FrameRing::Guard::push_back_capped(StereoFrame f) {
  if (ring_.size_ >= kLimit) drop_front();
  push_back(f);
}

bool FrameRing::Guard::pop_front(StereoFrame& out) {
  FrameRing& r = ring_;
  if (r.size_ == 0) return false;
  out = r.frames_[r.head_];
  drop_front();
  return true;
}

void FrameRing::Guard::drop_front() {
  FrameRing& r = ring_;
  if (r.size_ == 0) return;
  r.head_ = (r.head_ + 1) % kCapacity;
  --r.size_;
}

void FrameRing::Guard::fill_to(std::size_t frames) {
  while (ring_.size_ < frames && ring_.size_ < kCapacity) push_back({});
}

StereoFrame FrameRing::Guard::at(std::size_t i) const {
  return ring_.frames_[(ring_.head_ + i) % kCapacity];
}

void FrameRing::poison() {
  std::lock_guard lk(mutex_);
  poisoned_ = true;
}

}  // namespace melodara
