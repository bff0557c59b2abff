// Threads with message queues, events and semaphores: what the reader, the recorder and the
// device threads rely on.
#include <atomic>

#include <gtest/gtest.h>
#include "platform/sync.h"
#include "platform/thread.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
constexpr Milliseconds kBound = 5000ms;  // every wait for something that must happen

ThreadMessage Msg(uint32_t id) {
  ThreadMessage m;
  m.id = id;
  return m;
}

TEST(ThreadQueue, PostingToAThreadThatEndedOrNeverWasFails) {
  EXPECT_FALSE(PostThreadMessage(0, Msg(1)));
  EXPECT_FALSE(PostThreadMessage(0xFFFFFFF0u, Msg(1)));
  Thread t;
  ASSERT_TRUE(t.Start([] {}));
  ThreadId id = t.id();
  ASSERT_TRUE(t.WaitForEnd(kBound));
  EXPECT_FALSE(t.Running());
  EXPECT_FALSE(PostThreadMessage(id, Msg(1)));
  ThreadId scoped;
  {
    QueueScope scope;
    scoped = scope.id();
    EXPECT_EQ(CurrentThreadId(), scoped);
    EXPECT_TRUE(PostThreadMessage(scoped, Msg(1)));
  }
  EXPECT_EQ(CurrentThreadId(), 0u);
  EXPECT_FALSE(PostThreadMessage(scoped, Msg(1)));
}

TEST(ThreadQueue, ABlockedGetWakesOnAPostAndMessagesKeepTheirOrder) {
  Event got_all;
  std::vector<int64_t> seen;
  Thread t;
  ASSERT_TRUE(t.Start([&] {
    ThreadMessage m;
    while (CurrentQueue()->Get(m) && m.id != 99) seen.push_back(m.param);
    got_all.Set();
  }));
  // Posted at once after Start: the queue exists before the body runs.
  for (int64_t i = 1; i <= 3; ++i) ASSERT_TRUE(PostThreadMessage(t.id(), {7, nullptr, i, nullptr}));
  ASSERT_TRUE(PostThreadMessage(t.id(), Msg(99)));
  ASSERT_EQ(got_all.Wait(kBound), WaitResult::kSignaled);
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, 3}));
  EXPECT_TRUE(t.WaitForEnd(kBound));
}

TEST(ThreadQueue, PeekTakesTheFirstAndGetForGivesUpWhenNothingComes) {
  QueueScope scope;
  ThreadMessage m;
  EXPECT_FALSE(scope.queue().Peek(m));
  EXPECT_FALSE(scope.queue().GetFor(m, 10ms));
  PostThreadMessage(scope.id(), {1, nullptr, 10, nullptr});
  PostThreadMessage(scope.id(), {2, nullptr, 20, nullptr});
  EXPECT_TRUE(scope.queue().Contains(2));
  ASSERT_TRUE(scope.queue().Peek(m));
  EXPECT_EQ(m.param, 10);
  ASSERT_TRUE(scope.queue().GetFor(m, 10ms));
  EXPECT_EQ(m.param, 20);
  EXPECT_EQ(scope.queue().Size(), 0u);
}

// A sender waiting for an answer from a thread that ends without handling its message is
// released by the thread's end, not by its own time-out.
TEST(ThreadQueue, AThreadsEndSignalsTheRepliesOfWhatItLeftUnread) {
  Event go;
  Thread t;
  ASSERT_TRUE(t.Start([&] { go.Wait(); }));
  auto a = std::make_shared<Event>();
  auto b = std::make_shared<Event>();
  ASSERT_TRUE(PostThreadMessage(t.id(), {1, a, 0, nullptr}));
  ASSERT_TRUE(PostThreadMessage(t.id(), {2, b, 0, nullptr}));
  ASSERT_TRUE(PostThreadMessage(t.id(), Msg(3)));  // no reply event: just dropped
  EXPECT_FALSE(t.WaitForEnd(10ms));                // still waiting for go
  go.Set();
  EXPECT_EQ(a->Wait(kBound), WaitResult::kSignaled);
  EXPECT_EQ(b->Wait(kBound), WaitResult::kSignaled);
  EXPECT_TRUE(t.WaitForEnd(kBound));
}

TEST(ThreadQueue, AThreadObjectCanRunAgainAfterItsBodyEnded) {
  Thread t;
  std::atomic<int> runs{0};
  ASSERT_TRUE(t.Start([&] { ++runs; }));
  ASSERT_TRUE(t.WaitForEnd(kBound));
  ThreadId first = t.id();
  ASSERT_TRUE(t.Start([&] { ++runs; }));
  EXPECT_NE(t.id(), first);
  t.Join();
  EXPECT_EQ(runs, 2);
}

TEST(EventTest, ResetsItselfAndLetsOneWaiterThroughPerSet) {
  Event e(true);
  EXPECT_EQ(e.Wait(0ms), WaitResult::kSignaled);
  EXPECT_EQ(e.Wait(0ms), WaitResult::kTimeout);

  Semaphore passed(0, 2);
  Thread w1, w2;
  ASSERT_TRUE(w1.Start([&] {
    e.Wait();
    passed.Release();
  }));
  ASSERT_TRUE(w2.Start([&] {
    e.Wait();
    passed.Release();
  }));
  e.Set();
  EXPECT_EQ(passed.Acquire(kBound), WaitResult::kSignaled);
  EXPECT_EQ(passed.Acquire(20ms), WaitResult::kTimeout) << "one Set let two waiters through";
  e.Set();
  EXPECT_EQ(passed.Acquire(kBound), WaitResult::kSignaled);
}

TEST(SemaphoreTest, CountsUpToItsMaximumAndABlockedAcquireWakesOnRelease) {
  Semaphore s(0, 2);
  EXPECT_TRUE(s.Release());
  EXPECT_FALSE(s.Release(2)) << "beyond the maximum";
  EXPECT_EQ(s.Count(), 1);
  EXPECT_TRUE(s.Release());
  EXPECT_FALSE(s.Release());
  EXPECT_FALSE(s.Release(0));
  EXPECT_EQ(s.Acquire(0ms), WaitResult::kSignaled);
  EXPECT_EQ(s.Acquire(0ms), WaitResult::kSignaled);
  EXPECT_EQ(s.Acquire(0ms), WaitResult::kTimeout);

  Event acquired;
  Thread t;
  ASSERT_TRUE(t.Start([&] {
    if (s.Acquire(kBound) == WaitResult::kSignaled) acquired.Set();
  }));
  s.Release();
  EXPECT_EQ(acquired.Wait(kBound), WaitResult::kSignaled);
}

// A writer blocked for a free buffer still obeys a stop command posted to it; other messages
// do not interrupt the wait.
TEST(SemaphoreTest, AcquireUnlessPostedGivesWayToTheWatchedMessage) {
  constexpr uint32_t kStop = 0x8000;
  Semaphore s(0, 1);
  Event waiting, first_done, result_ready;
  WaitResult first{}, second{};
  bool still_queued = false;
  Thread t;
  ASSERT_TRUE(t.Start([&] {
    waiting.Set();
    first = AcquireUnlessPosted(s, kStop, kBound);
    still_queued = CurrentQueue()->Contains(kStop);
    ThreadMessage m;
    while (CurrentQueue()->Peek(m)) {
    }
    first_done.Set();
    second = AcquireUnlessPosted(s, kStop, kBound);
    result_ready.Set();
  }));
  ASSERT_EQ(waiting.Wait(kBound), WaitResult::kSignaled);
  ASSERT_TRUE(PostThreadMessage(t.id(), Msg(0x8002)));  // not the watched one
  ASSERT_TRUE(PostThreadMessage(t.id(), Msg(kStop)));
  ASSERT_EQ(first_done.Wait(kBound), WaitResult::kSignaled);
  // The thread now waits again, this time for the count.
  s.Release();
  ASSERT_EQ(result_ready.Wait(kBound), WaitResult::kSignaled);
  EXPECT_EQ(first, WaitResult::kInterrupted);
  EXPECT_TRUE(still_queued) << "the stop message must stay for the thread to handle";
  EXPECT_EQ(second, WaitResult::kSignaled);
  EXPECT_EQ(s.Count(), 0);
}

}  // namespace
}  // namespace platform
