#pragma once
// What a realtime thread lets go of (a track reference, a buffer) goes here
// instead of being freed on that thread: it retires the item without waiting,
// allocating or freeing, and a non-realtime thread reclaims (destroys) the
// retired items now and then.
#include <cstddef>
#include <utility>

#include "core/spsc_queue.h"

namespace melodara {

template <class T>
class RetireQueue {
 public:
  // Thread: any, before the two sides start. Allocates: yes.
  explicit RetireQueue(std::size_t capacity) : queue_(capacity) {}

  // False when `capacity` items wait for reclaiming: `item` then stays with
  // the caller. Thread: the one retiring (realtime) thread. Allocates: no.
  // Blocks: no. Frees: no.
  bool retire(T&& item) noexcept { return queue_.try_push(std::move(item)); }

  // Destroys what was retired so far; returns how many items.
  // Thread: the one reclaiming thread, never the retiring one. Frees: yes.
  std::size_t reclaim() noexcept {
    std::size_t n = 0;
    for (T item; queue_.try_pop(item); ++n) item = T{};
    return n;
  }

  // Items waiting now; a snapshot only. Thread: any.
  std::size_t size() const noexcept { return queue_.size(); }
  std::size_t capacity() const noexcept { return queue_.limit(); }

 private:
  SpscQueue<T> queue_;
};

}  // namespace melodara
