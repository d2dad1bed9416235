// The chunk pool and the chunked list: contents across chunk boundaries,
// all-or-nothing appends when the pool runs dry, recycling, the keeper, and a
// consumer racing the producers.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "core/chunk_pool.h"

namespace melodara {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kN = 1000;  // values per chunk: not a power of two
using Pool = ChunkPool<float, kN>;
using List = ChunkedList<float, kN, 8>;

std::vector<float> counting(std::size_t from, std::size_t n) {
  std::vector<float> v(n);
  std::iota(v.begin(), v.end(), float(from));
  return v;
}

std::vector<float> contents(const List& list) {
  std::vector<float> out;
  list.for_each_span([&](std::span<const float> s) { out.insert(out.end(), s.begin(), s.end()); });
  return out;
}

// Waits up to ten seconds for `done`.
template <class F>
bool eventually(F done) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(ChunkedList, AppendsAcrossChunksInOrder) {
  Pool pool(8);
  pool.prime();
  List list;
  // Pieces that end inside a chunk, on its boundary and across two.
  std::size_t n = 0;
  for (std::size_t piece : {1u, 999u, 1000u, 1500u, 2499u}) {
    ASSERT_TRUE(list.append(counting(n, piece), pool));
    n += piece;
  }
  EXPECT_EQ(list.size(), 5999u);
  EXPECT_EQ(list.chunk_count(), 6u);
  EXPECT_EQ(contents(list), counting(0, 5999));
  EXPECT_EQ(list[1000], 1000.0f);
  std::vector<std::size_t> spans;
  list.for_each_span([&](std::span<const float> s) { spans.push_back(s.size()); });
  EXPECT_EQ(spans, (std::vector<std::size_t>{1000, 1000, 1000, 1000, 1000, 999}));

  // Cleared, it keeps its chunks and fills them again without the pool.
  list.clear();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.capacity(), 6000u);
  Pool dry(1);
  ASSERT_TRUE(list.append(counting(5, 6000), dry));
  EXPECT_EQ(contents(list), counting(5, 6000));
  EXPECT_FALSE(list.append(counting(0, 1), dry));
}

TEST(ChunkedList, AppendIsAllOrNothing) {
  Pool pool(2);  // never primed: no keeper, two chunks given by hand
  std::vector<Pool::Chunk*> two = {Pool::fresh_chunk(), Pool::fresh_chunk()};
  pool.give_back(two);
  ASSERT_EQ(pool.stock(), 2u);
  List list;
  ASSERT_TRUE(list.append(counting(0, 500), pool));
  // 2,000 more need two more chunks; one is left: nothing is appended, the
  // chunk taken stays with the list.
  EXPECT_FALSE(list.append(counting(500, 2000), pool));
  EXPECT_EQ(list.size(), 500u);
  EXPECT_EQ(list.chunk_count(), 2u);
  EXPECT_EQ(pool.stock(), 0u);
  EXPECT_EQ(pool.take(), nullptr);
  // What fits in the chunks already held still goes in.
  ASSERT_TRUE(list.append(counting(500, 1500), pool));
  EXPECT_EQ(contents(list), counting(0, 2000));

  // A full table refuses like a dry pool.
  Pool big(16);
  big.prime();
  List full;
  ASSERT_TRUE(full.append(counting(0, 8000), big));
  EXPECT_FALSE(full.append(counting(0, 1), big));
  EXPECT_EQ(full.size(), 8000u);
  EXPECT_EQ(big.stock(), 8u);
}

TEST(ChunkedList, MovesAndSwapsHandOverChunks) {
  Pool pool(8);
  pool.prime();
  List a, b;
  ASSERT_TRUE(a.append(counting(0, 2500), pool));
  ASSERT_TRUE(b.append(counting(100, 10), pool));
  a.swap(b);
  EXPECT_EQ(contents(a), counting(100, 10));
  EXPECT_EQ(contents(b), counting(0, 2500));
  List c(std::move(b));
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.chunk_count(), 0u);
  EXPECT_EQ(contents(c), counting(0, 2500));
  a = std::move(c);  // a's old chunk is freed
  EXPECT_EQ(contents(a), counting(0, 2500));
}

TEST(ChunkPool, TakenChunksAreResident) {
  // Chunks of whole pages start 16 bytes into a page of their own (the
  // allocator maps them apart) and so end 16 bytes into one more.
  ChunkPool<float, 65'536> pool(8);
  pool.prime();
  std::array<decltype(pool)::Chunk*, 8> taken{};
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  for (auto*& c : taken) {
    c = pool.take();
    if (c) std::fill(c->begin(), c->end(), 1.0f);
  }
  getrusage(RUSAGE_THREAD, &after);
  EXPECT_EQ(std::ranges::count(taken, nullptr), 0);
  EXPECT_EQ(after.ru_minflt - before.ru_minflt, 0);
  pool.give_back(taken);
}

TEST(ChunkPool, RecyclesUpToItsStockAndFreesTheRest) {
  Pool pool(4);
  pool.prime();
  EXPECT_EQ(pool.stock(), 4u);
  List list;
  ASSERT_TRUE(list.append(counting(0, 4000), pool));
  EXPECT_EQ(pool.stock(), 0u);
  pool.prime();  // the caller stocks up again
  EXPECT_EQ(pool.stock(), 4u);
  ASSERT_TRUE(list.append(counting(0, 2000), pool));
  EXPECT_EQ(pool.stock(), 2u);
  // Six chunks come back: two refill the stock, four are freed.
  list.release_to(pool);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.chunk_count(), 0u);
  EXPECT_TRUE(eventually([&] { return pool.stock() == 4u; }));
}

TEST(ChunkPool, KeeperRefillsWhileAUserIsActive) {
  Pool pool(6, 5ms);
  pool.prime();
  pool.user_begins();
  std::vector<List> lists(3);
  for (int round = 0; round < 5; ++round) {
    for (auto& l : lists) {
      l.clear();
      ASSERT_TRUE(eventually([&] { return l.append(counting(0, 2000), pool); }));
    }
    // Each round took six chunks; the keeper brings the stock back.
    EXPECT_TRUE(eventually([&] { return pool.stock() == 6u; }));
    for (auto& l : lists) l.release_to(pool);
  }
  pool.user_ends();
}

TEST(ChunkPool, ConsumerRacingProducersNeverSharesAChunk) {
  Pool pool(16, 1ms);
  pool.prime();
  pool.user_begins();
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> handed{0};
  std::vector<Pool::Chunk*> back;
  std::mutex back_mutex;
  std::thread consumer([&] {
    std::set<Pool::Chunk*> held;
    while (!stop) {
      Pool::Chunk* c = pool.take();
      if (!c) continue;
      ASSERT_TRUE(held.insert(c).second);
      (*c)[0] = 1.0f;  // the consumer writes into it
      (*c)[kN - 1] = 2.0f;
      ++handed;
      if (held.size() == 8) {
        std::lock_guard g(back_mutex);
        back.insert(back.end(), held.begin(), held.end());
        held.clear();
      }
    }
    std::lock_guard g(back_mutex);
    back.insert(back.end(), held.begin(), held.end());
  });
  // Producers: the keeper, and this thread priming and giving back.
  for (int i = 0; i < 2000 && handed < 5000; ++i) {
    std::vector<Pool::Chunk*> give;
    {
      std::lock_guard g(back_mutex);
      give.swap(back);
    }
    pool.give_back(give);
    if (i % 10 == 0) pool.prime();
    std::this_thread::sleep_for(100us);
  }
  stop = true;
  consumer.join();
  pool.give_back(back);
  pool.user_ends();
  EXPECT_GT(handed.load(), 100u);
}

}  // namespace
}  // namespace melodara
