#include "engine/frame_ring.h"

namespace melodara {

FrameQueue::FrameQueue(std::size_t silent_frames) : frames_(kCapacity) {
  size_ = silent_frames < kCapacity ? silent_frames : kCapacity;
}

void FrameQueue::push_back(StereoFrame f) {
  if (size_ == kCapacity) drop_front();
  frames_[(head_ + size_) % kCapacity] = f;
  ++size_;
}

void FrameQueue::push_back_capped(StereoFrame f) {
  if (size_ >= kLimit) drop_front();
  push_back(f);
}

bool FrameQueue::pop_front(StereoFrame& out) {
  if (size_ == 0) return false;
  out = frames_[head_];
  drop_front();
  return true;
}

void FrameQueue::drop_front() {
  if (size_ == 0) return;
  head_ = (head_ + 1) % kCapacity;
  --size_;
}

void FrameQueue::fill_to(std::size_t frames) {
  while (size_ < frames && size_ < kCapacity) push_back({});
}

StereoFrame FrameQueue::at(std::size_t i) const { return frames_[(head_ + i) % kCapacity]; }

}  // namespace melodara
