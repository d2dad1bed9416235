#pragma once
// Sample storage that a realtime thread can grow without allocating or
// faulting pages in.
//
// `ChunkPool<T, N>` hands chunks of N values to one consumer at a time. The
// chunks are allocated, and every page of them written, off the consumer's
// thread: by `prime` on the caller, and by a keeper thread of the pool's own
// that tops the stock up every `period` while a user is active. The consumer's
// `take` neither locks nor allocates; it only meets memory that is resident.
// Chunks come back through `give_back`; the keeper recycles what the stock
// lacks and frees the rest. Idle (no active user), the keeper sleeps until
// chunks come back or a user begins.
//
// `ChunkedList<T, N, MaxChunks>` is a growing list of values stored in such
// chunks behind a fixed table of chunk pointers, so growing it never allocates:
// `reserve_more` takes chunks from the pool, `append_reserved` copies into
// them. It owns its chunks; destroying it frees them (never do that on the
// realtime thread: clear it, or move it out and release it elsewhere).
//
//     ChunkPool<float, 65536> pool(32, 20ms);
//     pool.prime();                                // request thread, before a take
//     if (list.append(block, pool)) ...            // realtime thread
//     list.release_to(pool);                       // any other thread, after it
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/spsc_queue.h"
#include "core/threads.h"

namespace melodara {

template <class T, std::size_t N>
class ChunkPool {
  static_assert(std::is_trivially_copyable_v<T> && N > 0);

 public:
  using Chunk = std::array<T, N>;

  // Keeps `stock` chunks ready; the keeper (named `keeper_name`) looks at the
  // stock every `period` while a user is active. Allocates: the stock table only.
  explicit ChunkPool(std::size_t stock, std::chrono::milliseconds period = std::chrono::milliseconds(20),
                     std::string_view keeper_name = "melodara-chunks")
      : stock_(stock), period_(period), keeper_name_(keeper_name) {}
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;

  // Stops and joins the keeper; frees the stock and whatever came back.
  ~ChunkPool() {
    {
      std::lock_guard g(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (keeper_) keeper_->join();
    while (Chunk* c = take()) delete c;
    for (Chunk* c : returned_) delete c;
  }

  // A resident chunk, or nullptr when the stock is empty.
  // Thread: one consumer at a time (callers that share the pool serialise
  // their takes, as the recorder does under the state lock). Allocates: no.
  // Blocks: no.
  Chunk* take() noexcept {
    Chunk* c = nullptr;
    return stock_.try_pop(c) ? c : nullptr;
  }

  // Chunks ready now. Thread: any. Allocates: no. Blocks: no.
  std::size_t stock() const noexcept { return stock_.size(); }
  std::size_t stock_target() const noexcept { return stock_.limit(); }

  // Fills the stock on the calling thread and starts the keeper.
  // Thread: any but the consumer's realtime path. Allocates: yes. Blocks: yes.
  void prime() {
    refill();
    ensure_keeper();
  }

  // A user of the chunks (a take) begins or ends: while any is active the
  // keeper watches the stock. Thread: not realtime. Allocates: once (keeper).
  void user_begins() {
    {
      std::lock_guard g(mutex_);
      ++users_;
    }
    ensure_keeper();
    wake_.notify_all();
  }
  void user_ends() {
    {
      std::lock_guard g(mutex_);
      if (users_ > 0) --users_;
    }
    wake_.notify_all();
  }

  // Hands chunks back (nullptr entries are skipped); the keeper recycles or
  // frees them. Without a keeper they are dealt with here.
  // Thread: not realtime. Allocates: yes. Blocks: briefly.
  void give_back(std::span<Chunk* const> chunks) {
    bool keeper = false;
    {
      std::lock_guard g(mutex_);
      for (Chunk* c : chunks)
        if (c) returned_.push_back(c);
      keeper = keeper_.has_value();
    }
    if (keeper)
      wake_.notify_all();
    else
      recycle();
  }

  // A fresh chunk with every page written. Thread: not realtime. Allocates: yes.
  static Chunk* fresh_chunk() {
    auto* c = new Chunk;
    // Write (not read) bytes no further apart than a page, the last one
    // included, so every page the chunk spans is resident: a read could map
    // the shared zero page.
    auto* bytes = reinterpret_cast<volatile unsigned char*>(c->data());
    for (std::size_t i = 0; i < sizeof(Chunk); i += kPageBytes) bytes[i] = 0;
    bytes[sizeof(Chunk) - 1] = 0;
    return c;
  }

 private:
  static constexpr std::size_t kPageBytes = 4096;

  // Producer side; the caller holds `mutex_`.
  bool push_locked(Chunk* c) noexcept { return stock_.try_push(c); }

  // Puts what came back into the stock and frees the surplus (outside the
  // lock); returns how many chunks the stock still lacks.
  std::size_t recycle() {
    std::vector<Chunk*> surplus;
    std::size_t missing = 0;
    {
      std::lock_guard g(mutex_);
      for (Chunk* c : returned_)
        if (!push_locked(c)) surplus.push_back(c);
      returned_.clear();
      missing = stock_target() - std::min(stock(), stock_target());
    }
    for (Chunk* c : surplus) delete c;
    return missing;
  }

  // Recycles, then allocates the rest of the stock outside the lock.
  void refill() {
    const std::size_t missing = recycle();
    if (missing == 0) return;
    std::vector<Chunk*> fresh;
    fresh.reserve(missing);
    for (std::size_t i = 0; i < missing; ++i) fresh.push_back(fresh_chunk());
    std::lock_guard g(mutex_);
    for (Chunk* c : fresh)
      if (!push_locked(c)) delete c;
  }

  void ensure_keeper() {
    std::lock_guard g(mutex_);
    if (keeper_ || stop_) return;
    keeper_ = spawn_joinable(keeper_name_, [this] { keep(); });
  }

  void keep() {
    for (;;) {
      refill();
      std::unique_lock lock(mutex_);
      const auto woken = [this] { return stop_ || !returned_.empty() || users_ != seen_users_; };
      seen_users_ = users_;
      if (users_ > 0)
        wake_.wait_for(lock, period_, woken);
      else
        wake_.wait(lock, woken);
      if (stop_) return;
    }
  }

  SpscQueue<Chunk*> stock_;  // single producer (under mutex_), single consumer
  std::chrono::milliseconds period_;
  std::string keeper_name_;

  std::mutex mutex_;  // producers, returns, users, keeper
  std::condition_variable wake_;
  std::vector<Chunk*> returned_;
  std::size_t users_ = 0, seen_users_ = 0;
  bool stop_ = false;
  std::optional<std::thread> keeper_;
};

template <class T, std::size_t N, std::size_t MaxChunks>
class ChunkedList {
 public:
  using Pool = ChunkPool<T, N>;
  using Chunk = typename Pool::Chunk;
  static constexpr std::size_t kMaxValues = N * MaxChunks;

  ChunkedList() = default;
  ChunkedList(const ChunkedList&) = delete;
  ChunkedList& operator=(const ChunkedList&) = delete;
  // Takes the other's chunks; the other is left empty without chunks.
  ChunkedList(ChunkedList&& other) noexcept { swap(other); }
  ChunkedList& operator=(ChunkedList&& other) noexcept {
    ChunkedList gone(std::move(other));
    swap(gone);
    return *this;
  }
  // Thread: not realtime (frees).
  ~ChunkedList() {
    for (std::size_t i = 0; i < count_; ++i) delete chunks_[i];
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return count_ * N; }
  std::size_t chunk_count() const noexcept { return count_; }

  // Takes chunks until `extra` more values fit. False when the pool is dry or
  // the table full; chunks already taken stay with the list.
  // Thread: the pool's consumer. Allocates: no. Blocks: no.
  bool reserve_more(std::size_t extra, Pool& pool) noexcept {
    while (capacity() - size_ < extra) {
      if (count_ == MaxChunks) return false;
      Chunk* c = pool.take();
      if (!c) return false;
      chunks_[count_++] = c;
    }
    return true;
  }

  // Appends values that fit (see reserve_more). Allocates: no. Blocks: no.
  void append_reserved(std::span<const T> values) noexcept {
    while (!values.empty()) {
      const std::size_t at = size_ % N;
      const std::size_t n = std::min(values.size(), N - at);
      std::memcpy(chunks_[size_ / N]->data() + at, values.data(), n * sizeof(T));
      size_ += n;
      values = values.subspan(n);
    }
  }

  // All of `values` or, when they do not fit, none. Allocates: no. Blocks: no.
  bool append(std::span<const T> values, Pool& pool) noexcept {
    if (!reserve_more(values.size(), pool)) return false;
    append_reserved(values);
    return true;
  }

  // Empties the list; its chunks stay for the next values. Allocates: no.
  void clear() noexcept { size_ = 0; }

  // Hands every chunk back to the pool and empties the list.
  // Thread: not realtime. Allocates: yes.
  void release_to(Pool& pool) {
    pool.give_back(std::span<Chunk* const>(chunks_.data(), count_));
    count_ = size_ = 0;
  }

  // The value at i < size().
  T operator[](std::size_t i) const noexcept { return (*chunks_[i / N])[i % N]; }

  // Calls `f(std::span<const T>)` for each filled stretch, in order.
  template <class F>
  void for_each_span(F&& f) const {
    for (std::size_t i = 0; i * N < size_; ++i)
      f(std::span<const T>(chunks_[i]->data(), std::min(N, size_ - i * N)));
  }

  void swap(ChunkedList& other) noexcept {
    // Only the used part of the tables moves.
    const std::size_t n = std::max(count_, other.count_);
    std::swap_ranges(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(n),
                     other.chunks_.begin());
    std::swap(count_, other.count_);
    std::swap(size_, other.size_);
  }

 private:
  std::array<Chunk*, MaxChunks> chunks_{};
  std::size_t count_ = 0;  // chunks held
  std::size_t size_ = 0;   // values held
};

}  // namespace melodara
