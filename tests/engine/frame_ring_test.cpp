// FrameRing: pre-fill, the producers' drop-oldest rule, and poisoning.
#include "engine/frame_ring.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace melodara {
namespace {

TEST(FrameRing, StartsWithSilenceAndKeepsOrder) {
  FrameRing ring(3);
  auto g = ring.lock();
  EXPECT_EQ(g->size(), 3u);
  g->push_back({1, 2});
  StereoFrame f;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(g->pop_front(f));
    EXPECT_EQ(f, (StereoFrame{0, 0}));
  }
  ASSERT_TRUE(g->pop_front(f));
  EXPECT_EQ(f, (StereoFrame{1, 2}));
  EXPECT_FALSE(g->pop_front(f));
  g->fill_to(5);
  EXPECT_EQ(g->size(), 5u);
}

TEST(FrameRing, CappedPushHoldsAtMost4096AndDropsTheOldest) {
  FrameRing ring;
  auto g = ring.lock();
  for (int i = 0; i < 5000; ++i) g->push_back_capped({float(i), 0});
  EXPECT_EQ(g->size(), FrameRing::kLimit);
  EXPECT_EQ(g->at(0).left, 5000.0f - 4096.0f);
  EXPECT_EQ(g->at(4095).left, 4999.0f);
  // Plain pushes may go past the limit up to the storage, then drop the oldest.
  for (int i = 0; i < 20000; ++i) g->push_back({float(i), 0});
  EXPECT_EQ(g->size(), FrameRing::kCapacity);
  EXPECT_EQ(g->at(0).left, 20000.0f - 16384.0f);
}

TEST(FrameRing, HolderLeavingByExceptionPoisonsIt) {
  FrameRing ring(1);
  EXPECT_FALSE(ring.lock().poisoned());
  try {
    auto g = ring.lock();
    throw std::runtime_error("holder failed");
  } catch (const std::runtime_error&) {}
  EXPECT_TRUE(ring.lock().poisoned());
}

}  // namespace
}  // namespace melodara
