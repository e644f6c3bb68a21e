#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.hpp"
#include "support/platform_fixture.hpp"

namespace {

using platform::dispatch::Timer;
using quorvel::testing::PlatformTest;
namespace dispatch = platform::dispatch;

class VirtualSchedulerTest : public PlatformTest {};

TEST_F(VirtualSchedulerTest, SameTimeWorkRunsInPostingOrderAcrossQueues) {
  auto camera = dispatch::makeSerialQueue("com.tessmin.quorvel.camera");
  std::vector<std::string> ran;
  dispatch::mainQueue().asyncAfter(1.0, [&] { ran.push_back("main-a"); });
  camera->asyncAfter(1.0, [&] { ran.push_back("camera"); });
  dispatch::mainQueue().asyncAfter(1.0, [&] { ran.push_back("main-b"); });
  dispatch::globalQueue(dispatch::QoS::UserInitiated).async([&] { ran.push_back("global"); });
  advance(1.0);
  EXPECT_EQ(ran, (std::vector<std::string>{"global", "main-a", "camera", "main-b"}));
}

TEST_F(VirtualSchedulerTest, NothingRunsUntilTimeMovesAndWorkPostedWhileRunningKeepsTimeOrder) {
  const double date = dispatch::currentDate();
  std::vector<std::pair<std::string, double>> ran;
  dispatch::mainQueue().async([&] { ran.emplace_back("at once", dispatch::now()); });
  dispatch::mainQueue().asyncAfter(0.2, [&] {
    ran.emplace_back("first", dispatch::now());
    dispatch::mainQueue().asyncAfter(0.3, [&] { ran.emplace_back("nested", dispatch::now()); });
  });
  dispatch::mainQueue().asyncAfter(0.4, [&] { ran.emplace_back("second", dispatch::now()); });
  EXPECT_TRUE(ran.empty());
  runUntilIdle();
  EXPECT_EQ(ran.size(), 1u);
  advance(0.19);
  EXPECT_EQ(ran.size(), 1u);
  advance(0.81);
  ASSERT_EQ(ran.size(), 4u);
  EXPECT_EQ(ran[1], std::make_pair(std::string("first"), 0.2));
  EXPECT_EQ(ran[2], std::make_pair(std::string("second"), 0.4));
  EXPECT_EQ(ran[3].first, "nested");
  EXPECT_NEAR(ran[3].second, 0.5, 1e-12);
  EXPECT_DOUBLE_EQ(now(), 1.0);
  EXPECT_DOUBLE_EQ(dispatch::currentDate() - date, 1.0);
}

TEST_F(VirtualSchedulerTest, QueuesKnowWhichOneIsCurrent) {
  auto camera = dispatch::makeSerialQueue("com.tessmin.quorvel.camera");
  std::vector<bool> current;  // camera: its own queue, the main thread; main: the main thread
  camera->async([&] { current = {camera->isCurrent(), dispatch::isMainThread()}; });
  dispatch::mainQueue().async([&] { current.push_back(dispatch::isMainThread()); });
  runUntilIdle();
  EXPECT_EQ(current, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(scheduler().ranOn(),
            (std::vector<std::string>{"com.tessmin.quorvel.camera", "com.apple.main-thread"}));
}

TEST_F(VirtualSchedulerTest, WorkOfAReleasedQueueIsDropped) {
  int ran = 0;
  {
    auto queue = dispatch::makeSerialQueue("short-lived");
    queue->asyncAfter(1.0, [&] { ++ran; });
  }
  advance(2.0);
  EXPECT_EQ(ran, 0);
}

TEST_F(VirtualSchedulerTest, TimersFireOnTheirGridUntilInvalidated) {
  std::vector<double> fires;
  int once = 0, never = 0;
  auto repeating = Timer::scheduled(0.25, true, [&](Timer& t) {
    fires.push_back(dispatch::now());
    if (fires.size() == 3) t.invalidate();
  });
  auto oneShot = Timer::scheduled(0.1, false, [&](Timer&) { ++once; });
  auto cancelled = Timer::scheduled(0.1, true, [&](Timer&) { ++never; });
  cancelled->invalidate();
  advance(2.0);
  ASSERT_EQ(fires.size(), 3u);
  for (std::size_t i = 0; i < fires.size(); ++i) EXPECT_NEAR(fires[i], 0.25 * (i + 1), 1e-12);
  EXPECT_FALSE(repeating->isValid());
  EXPECT_EQ(once, 1);
  EXPECT_FALSE(oneShot->isValid());
  EXPECT_EQ(never, 0);
}

TEST_F(VirtualSchedulerTest, TheMainLoopRunsUntilStoppedOrItsConditionHolds) {
  bool flag = false;
  dispatch::mainQueue().asyncAfter(2.0, [&] { flag = true; });
  EXPECT_FALSE(dispatch::runMainLoopUntil([&] { return flag; }, 1.0));
  EXPECT_DOUBLE_EQ(now(), 1.0);
  EXPECT_TRUE(dispatch::runMainLoopUntil([&] { return flag; }, 5.0));
  EXPECT_DOUBLE_EQ(now(), 2.0);
  dispatch::mainQueue().asyncAfter(1.0, [] { dispatch::stopMainLoop(7); });
  dispatch::mainQueue().asyncAfter(3.0, [] { FAIL() << "ran after the loop stopped"; });
  EXPECT_EQ(dispatch::runMainLoop(), 7);
  EXPECT_DOUBLE_EQ(now(), 3.0);
}

// Work ahead keeps the starter's order in tests: it runs on the waiting thread at its first
// wait, once, and never when it is dropped unwaited.
TEST_F(VirtualSchedulerTest, WorkAheadRunsWhenFirstWaitedForAndNeverWhenDropped) {
  std::vector<std::string> ran;
  {
    dispatch::AheadValue<std::thread::id> ahead([&] {
      ran.push_back("ahead");
      return std::this_thread::get_id();
    });
    ran.push_back("starter");
    EXPECT_EQ(ahead.get(), std::this_thread::get_id());
    ahead.get();
    auto dropped = dispatch::startAhead([&] { ran.push_back("dropped"); });
  }
  EXPECT_EQ(ran, (std::vector<std::string>{"starter", "ahead"}));
}

// The real scheduler, briefly: work leaves the caller's thread and arrives in order.
TEST(RealSchedulerTest, SerialQueueRunsInOrderOnItsOwnThreadAndSyncWaits) {
  auto scheduler = dispatch::makeRealScheduler();
  auto queue = scheduler->makeSerialQueue("serial");
  std::vector<int> ran;
  std::thread::id worker;
  for (int i = 0; i < 100; ++i) queue->async([&, i] { ran.push_back(i); });
  queue->sync([&] { worker = std::this_thread::get_id(); });
  ASSERT_EQ(ran.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[i], i);
  EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(RealSchedulerTest, MainLoopRunsDelayedWorkAndStopsAndTheDateIsSecondsSince2001) {
  auto scheduler = dispatch::makeRealScheduler();
  auto main = scheduler->mainQueue();
  std::atomic<bool> fromBackground{false};
  std::atomic<int> ran{0};  // the second of the two to run stops the loop
  scheduler->globalQueue(dispatch::QoS::UserInitiated)->async([&, main] {
    main->async([&] {
      fromBackground = scheduler->isMainThread();
      if (++ran == 2) scheduler->stopMainLoop(3);
    });
  });
  main->asyncAfter(0.05, [&] {
    if (++ran == 2) scheduler->stopMainLoop(3);
  });
  EXPECT_EQ(scheduler->runMainLoop(nullptr, 60.0), 3);
  EXPECT_EQ(ran.load(), 2);
  EXPECT_TRUE(fromBackground.load());
  const auto unixNow = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - 978307200.0;
  };
  const double before = unixNow(), date = scheduler->currentDate(), after = unixNow();
  EXPECT_GE(date, before - 0.001);
  EXPECT_LE(date, after + 0.001);
}

// Work ahead runs on another thread while the starter goes on; a dropped handle waits for
// its work to end.
TEST(RealSchedulerTest, WorkAheadRunsAlongsideItsStarterAndIsWaitedForWhenDropped) {
  auto scheduler = dispatch::makeRealScheduler();
  std::atomic<bool> started{false}, starterWent{false}, ended{false};
  {
    auto ahead = scheduler->startAhead([&] {
      started = true;
      // Ends only after the starter has gone on.
      while (!starterWent) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ended = true;
    });
    while (!started) std::this_thread::yield();
    starterWent = true;
  }
  EXPECT_TRUE(ended);
}

}  // namespace
