// Turns taken in one order are acted on in that order, whichever thread gets
// to them first; a turn dropped unused still lets the later ones go.
#include "core/turns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace melodara {
namespace {

using namespace std::chrono_literals;

TEST(Turns, HoldersStartedInReverseActInTheOrderTaken) {
  TurnQueue queue;
  constexpr int kTurns = 8;
  std::vector<Turn> turns;
  for (int i = 0; i < kTurns; ++i) turns.push_back(queue.take());

  std::mutex mutex;
  std::vector<int> acted;
  std::vector<std::thread> threads;
  for (int i = kTurns - 1; i >= 0; --i) {
    threads.emplace_back([&, i, turn = std::move(turns[static_cast<std::size_t>(i)])]() mutable {
      turn.wait();
      {
        std::lock_guard lock(mutex);
        acted.push_back(i);
      }
      turn.end();
    });
    std::this_thread::sleep_for(2ms);  // the later turns really are first at the line
  }
  for (std::thread& t : threads) t.join();
  std::vector<int> expected;
  for (int i = 0; i < kTurns; ++i) expected.push_back(i);
  EXPECT_EQ(acted, expected);
}

TEST(Turns, ATurnDroppedUnusedStillLetsTheNextGo) {
  TurnQueue queue;
  Turn first = queue.take();
  Turn second = queue.take();
  Turn third = queue.take();

  std::atomic<bool> third_acted = false;
  std::thread later([&] {
    third.wait();
    third_acted = true;
    third.end();
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(third_acted) << "a turn went before two earlier ones";
  first.end();
  { Turn dropped = std::move(second); }  // never waited: ends in its place
  later.join();
  EXPECT_TRUE(third_acted);

  // A moved-from turn holds no place, and a new one is served at once.
  Turn next = queue.take();
  next.wait();
  next.end();
}

}  // namespace
}  // namespace melodara
