// Events, mutexes and threads: set/reset/time-out of TEvent, recursive and
// timed TMutex, and the TThread life cycle (start, stop, restart, and a
// prompt Stop while Run() waits on its stop event).
#include "TThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TEvent.h"

namespace QVT {
namespace {

TEST(TEventTest, WaitReportsSetStateAndTimeOut) {
  TEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.Wait(0), 1);
  EXPECT_EQ(event.Wait(/*ms=*/10), 1);
  event.Set();
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(event.Wait(0), 0);
  EXPECT_EQ(event.Wait(kWaitForever), 0);  // stays set: manual reset
  event.Reset();
  EXPECT_EQ(event.Wait(0), 1);
}

TEST(TEventTest, SetOnAnotherThreadWakesEveryWaiter) {
  TEvent event;
  std::atomic<int> woken{0};
  std::thread a([&] { woken += event.Wait(kWaitForever) == 0; });
  std::thread b([&] { woken += event.Wait(/*ms=*/20000) == 0; });
  TTimer().Sleep(10);
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

// The result of mutex.Wait(ms) on another thread (released again if taken).
int WaitFromOtherThread(TMutex& mutex, unsigned ms) {
  int result = -1;
  std::thread other([&] {
    result = mutex.Wait(ms);
    if (result == 0) mutex.Done();
  });
  other.join();
  return result;
}

TEST(TMutexTest, RecursiveMutexIsHeldUntilReleasedAsOftenAsTaken) {
  TMutex mutex(/*recursive=*/true);
  ASSERT_EQ(mutex.Wait(kWaitForever), 0);
  ASSERT_EQ(mutex.Wait(0), 0);
  EXPECT_EQ(WaitFromOtherThread(mutex, /*ms=*/20), 1);
  mutex.Done();
  EXPECT_EQ(WaitFromOtherThread(mutex, 0), 1);
  mutex.Done();
  EXPECT_EQ(WaitFromOtherThread(mutex, /*ms=*/5000), 0);
}

TEST(TMutexTest, PlainMutexTimesOutForEveryoneUntilReleased) {
  TMutex mutex(/*recursive=*/false);
  ASSERT_EQ(mutex.Wait(kWaitForever), 0);
  EXPECT_EQ(WaitFromOtherThread(mutex, 0), 1);
  EXPECT_EQ(mutex.Wait(/*ms=*/10), 1);  // not recursive: the owner waits too
  int result = -1;
  std::thread other([&] {
    result = mutex.Wait(/*ms=*/20000);
    if (result == 0) mutex.Done();
  });
  TTimer().Sleep(10);
  mutex.Done();
  other.join();
  EXPECT_EQ(result, 0);
  {
    TMutexLock lock(mutex);
    EXPECT_EQ(WaitFromOtherThread(mutex, 0), 1);
  }
  EXPECT_EQ(WaitFromOtherThread(mutex, 0), 0);
}

// A thread whose Run() waits on its stop event in long slices, as the
// library's monitor threads do, and counts its runs.
class SlicedThread : public TThread {
 public:
  ~SlicedThread() override { Stop(kWaitForever); }
  int Run() override {
    ++runs;
    while (StopEvent().Wait(/*ms=*/30000) != 0) {
    }
    return 40 + runs.load();
  }
  void OnThreadEnd() override { ended = true; }

  std::atomic<int> runs{0};
  std::atomic<bool> ended{false};
};

TEST(TThreadTest, StopWakesRunWaitingOnItsStopEventAndTheThreadRestarts) {
  SlicedThread thread;
  EXPECT_EQ(thread.Stop(kWaitForever), 0);  // never started
  ASSERT_EQ(thread.Start(0, 0), 0);
  EXPECT_EQ(thread.Start(0, 0), -1);  // running already
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_EQ(thread.Join(0), 1);
  // Run() would wait 30 s on its own; Stop must end it long before.
  EXPECT_EQ(thread.Stop(/*ms=*/10000), 0);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_TRUE(thread.ended);
  EXPECT_EQ(thread.ExitCode(), 41);

  // A restart clears the stop event: the new run keeps waiting.
  thread.ended = false;
  ASSERT_EQ(thread.Start(0, 0), 0);
  EXPECT_EQ(thread.Join(/*ms=*/20), 1);
  EXPECT_TRUE(thread.IsRunning());
  thread.Terminate();
  EXPECT_EQ(thread.Join(kWaitForever), 0);
  EXPECT_EQ(thread.runs.load(), 2);
  EXPECT_EQ(thread.ExitCode(), 42);
  EXPECT_TRUE(thread.ended);
  EXPECT_EQ(thread.Stop(kWaitForever), 0);  // stopped already
}

TEST(TThreadTest, RunThatReturnsByItselfNeedsNoStop) {
  class OneShot : public TThread {
   public:
    int Run() override { return 7; }
  } thread;
  ASSERT_EQ(thread.Start(0, 0), 0);
  EXPECT_EQ(thread.Join(kWaitForever), 0);
  EXPECT_EQ(thread.ExitCode(), 7);
  ASSERT_EQ(thread.Start(0, 0), 0);  // restart after a natural end
  EXPECT_EQ(thread.Stop(kWaitForever), 0);
}

}  // namespace
}  // namespace QVT
