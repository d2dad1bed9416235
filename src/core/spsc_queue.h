#pragma once
// A bounded single-producer single-consumer queue without locks, for handing
// things between a realtime thread and another thread: neither side ever
// waits, and nothing allocates after construction. Storage is allocated and
// touched once, rounded up to a power of two; at most `limit` items are
// queued. Items leave by move, so whatever an item owns is released on the
// side that takes it.
//
// Exactly one thread pushes and exactly one thread takes (each may change
// over time only with a happens-before between the old and the new one).
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace melodara {

template <class T>
class SpscQueue {
  static_assert(std::is_nothrow_default_constructible_v<T> && std::is_nothrow_move_assignable_v<T>);

 public:
  // Thread: any, before the two sides start. Allocates: yes.
  explicit SpscQueue(std::size_t limit)
      : limit_(limit),
        mask_(std::bit_ceil(std::max<std::size_t>(limit, 1)) - 1),
        slots_(std::make_unique<T[]>(mask_ + 1)) {}
  SpscQueue(const SpscQueue&) = delete;
  SpscQueue& operator=(const SpscQueue&) = delete;

  // Appends `item` unless `limit` items are queued; on false `item` is left
  // as it was. Thread: the producer. Allocates: no. Blocks: no. Frees: no.
  bool try_push(T&& item) noexcept {
    T* slot = free_slot();
    if (!slot) return false;
    *slot = std::move(item);
    tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return true;
  }
  bool try_push(const T& item) noexcept requires std::is_nothrow_copy_assignable_v<T> {
    T* slot = free_slot();
    if (!slot) return false;
    *slot = item;
    tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return true;
  }

  // Moves up to `max` items from the front into `out`; returns how many.
  // Thread: the consumer. Allocates: no. Blocks: no.
  std::size_t take(T* out, std::size_t max) noexcept {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    // The producer's index is read again only when the cached one falls
    // short, so the consumer rarely touches the producer's cache line.
    if (consumer_tail_ - head < max) consumer_tail_ = tail_.load(std::memory_order_acquire);
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(consumer_tail_ - head, max));
    for (std::size_t i = 0; i < n; ++i) out[i] = std::move(slots_[(head + i) & mask_]);
    head_.store(head + n, std::memory_order_release);
    return n;
  }
  bool try_pop(T& out) noexcept { return take(&out, 1) == 1; }

  // Drops every queued item (items pushed meanwhile may stay).
  // Thread: the consumer. Blocks: no. Frees: what the dropped items own.
  void clear() noexcept {
    consumer_tail_ = tail_.load(std::memory_order_acquire);
    std::uint64_t head = head_.load(std::memory_order_relaxed);
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (; head != consumer_tail_; ++head) T dropped = std::move(slots_[head & mask_]);
    }
    head_.store(consumer_tail_, std::memory_order_release);
  }

  // Items queued now; a snapshot only. Thread: any. Allocates: no.
  std::size_t size() const noexcept {
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    return tail > head ? static_cast<std::size_t>(tail - head) : 0;
  }
  std::size_t limit() const noexcept { return limit_; }

 private:
  T* free_slot() noexcept {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - producer_head_ >= limit_) {
      producer_head_ = head_.load(std::memory_order_acquire);
      if (tail - producer_head_ >= limit_) return nullptr;
    }
    return &slots_[tail & mask_];
  }

  const std::size_t limit_;
  const std::size_t mask_;  // storage size - 1
  std::unique_ptr<T[]> slots_;
  alignas(64) std::atomic<std::uint64_t> head_{0};  // next item to take; the consumer writes it
  std::uint64_t consumer_tail_ = 0;                 // the consumer's last look at tail_
  alignas(64) std::atomic<std::uint64_t> tail_{0};  // next free slot; the producer writes it
  std::uint64_t producer_head_ = 0;                 // the producer's last look at head_
};

}  // namespace melodara
