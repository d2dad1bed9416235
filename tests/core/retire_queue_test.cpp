// The retire queue and the queue under it: what the realtime side hands over
// stays alive until the other side reclaims it, and a full queue refuses.
#include "core/retire_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace melodara {
namespace {

TEST(RetireQueue, KeepsItemsAliveUntilReclaimedAndRefusesWhenFull) {
  RetireQueue<std::shared_ptr<int>> queue(2);
  auto a = std::make_shared<int>(1), b = std::make_shared<int>(2), c = std::make_shared<int>(3);
  std::weak_ptr<int> wa = a, wb = b;
  EXPECT_TRUE(queue.retire(std::move(a)));
  EXPECT_TRUE(queue.retire(std::move(b)));
  EXPECT_FALSE(queue.retire(std::move(c)));
  EXPECT_TRUE(c);  // a refused item stays with the caller
  EXPECT_FALSE(wa.expired());
  std::size_t reclaimed = 0;
  std::thread([&] { reclaimed = queue.reclaim(); }).join();
  EXPECT_EQ(reclaimed, 2u);
  EXPECT_TRUE(wa.expired());
  EXPECT_TRUE(wb.expired());
  EXPECT_TRUE(queue.retire(std::move(c)));
  EXPECT_EQ(queue.size(), 1u);
}

TEST(SpscQueue, ClearDropsWhatTheItemsOwnAndTheQueueWrapsAround) {
  SpscQueue<std::shared_ptr<int>> queue(3);
  auto kept = std::make_shared<int>(7);
  std::weak_ptr<int> watch = kept;
  for (int round = 0; round < 10; ++round) {  // storage of 4: the indices wrap
    ASSERT_TRUE(queue.try_push(std::make_shared<int>(round)));
    std::shared_ptr<int> out;
    ASSERT_TRUE(queue.try_pop(out));
    EXPECT_EQ(*out, round);
  }
  ASSERT_TRUE(queue.try_push(std::move(kept)));
  EXPECT_FALSE(watch.expired());
  queue.clear();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(queue.size(), 0u);
}

}  // namespace
}  // namespace melodara
