// The coalesced progress of one service: one update queued at a time, the
// latest position shown, and an earlier start's update no obstacle.
#include "server/progress_post.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quarvent::test {
namespace {

// A queue of updates as the owner's thread would run them, each noting the
// generation it was queued for.
struct Queue {
  ProgressPost post;
  std::vector<std::uint64_t> queued;

  void Offer(std::uint64_t generation, int position) {
    if (post.Offer(generation, position)) queued.push_back(generation);
  }
  // Runs the oldest update: the position it shows, if any.
  std::optional<int> RunOne() {
    const std::uint64_t generation = queued.front();
    queued.erase(queued.begin());
    int position = -1;
    if (!post.Take(generation, &position)) return std::nullopt;
    return position;
  }
};

TEST(ProgressPostTest, OneUpdateQueuedShowsTheLatestPosition) {
  Queue q;
  for (int p = 1; p <= 60; ++p) q.Offer(1, p);
  ASSERT_EQ(q.queued.size(), 1u);
  EXPECT_EQ(q.RunOne(), 60);
  // Once it ran, the next position queues again.
  q.Offer(1, 61);
  ASSERT_EQ(q.queued.size(), 1u);
  EXPECT_EQ(q.RunOne(), 61);
}

TEST(ProgressPostTest, AnEarlierStartsUpdateDoesNotHoldBackTheCurrentOnes) {
  Queue q;
  q.Offer(1, 57);  // queued by a start that is stopped before it runs
  q.Offer(3, 5);   // the next start (a stop took generation 2)
  q.Offer(3, 9);
  ASSERT_EQ(q.queued.size(), 2u);
  EXPECT_EQ(q.RunOne(), std::nullopt);  // the stale one shows nothing
  EXPECT_EQ(q.RunOne(), 9);
  q.Offer(3, 10);
  ASSERT_EQ(q.queued.size(), 1u);
  EXPECT_EQ(q.RunOne(), 10);
}

// A stale update that runs before the next start offers anything frees the
// slot; the owner's check of its generation drops what it shows.
TEST(ProgressPostTest, AStaleUpdateRunBeforeTheNextStartFreesTheSlot) {
  Queue q;
  q.Offer(1, 57);
  EXPECT_EQ(q.RunOne(), 57);
  q.Offer(3, 2);
  ASSERT_EQ(q.queued.size(), 1u);
  EXPECT_EQ(q.RunOne(), 2);
}

}  // namespace
}  // namespace quarvent::test
