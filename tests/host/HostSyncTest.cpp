// The reader/writer lock's policy (waiting writers first, timed writes that
// give up and let the held-back readers go), events, thread start and
// shutdown, the dispatcher's bookkeeping by message type and the clock's
// restart; part of the thread tests, so also run under ThreadSanitizer.
// Threads are ordered by what the lock has seen (TSWMRSynchPeer) or by
// events; every wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BMessageDispatcher.h"
#include "BTime.h"
#include "ChildProcess.h"
#include "TSWMRSynchPeer.h"
#include "TThread.h"

namespace QVT {
namespace {

using test::WaitUntil;

constexpr int kPatienceMs = 10000;  // far beyond what any step here takes

// A thread that takes the lock for reading or writing and keeps it until released.
class Holder {
 public:
  enum Mode { kRead, kWrite };
  Holder(TSWMRSynch& lock, Mode mode)
      : m_thread([this, &lock, mode] {
          mode == kRead ? lock.WaitToRead() : lock.WaitToWrite();
          m_holding.Set();
          m_release.Wait(kWaitForever);
          mode == kRead ? lock.DoneReading() : lock.DoneWriting();
        }) {}
  ~Holder() {
    m_release.Set();
    m_thread.join();
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  bool Holding() { return m_holding.Wait(kPatienceMs) == 0; }
  void Release() { m_release.Set(); }

 private:
  TEvent m_holding, m_release;
  std::thread m_thread;  // last: starts once the events exist
};

// What the threads of one test did, in order.
class Log {
 public:
  void Add(char step) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_text += step;
  }
  std::string Text() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_text;
  }

 private:
  std::mutex m_lock;
  std::string m_text;
};

TEST(TSWMRSynchPolicyTest, WaitingWritersGoOneAtATimeBeforeTheReadersThatCameAfterThem) {
  TSWMRSynch lock;
  Log log;
  Holder first(lock, Holder::kWrite);
  ASSERT_TRUE(first.Holding());
  const auto writer = [&] {
    TWriteLock write(lock);
    log.Add('W');
    log.Add('w');
  };
  std::thread second(writer), third(writer);
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(lock) == 2; }, kPatienceMs, 1));
  std::thread reader([&] {
    TReadLock read(lock);
    log.Add('R');
  });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingReaders(lock) == 1; }, kPatienceMs, 1));
  first.Release();
  second.join();
  third.join();
  reader.join();
  EXPECT_EQ(log.Text(), "WwWwR");  // writers never overlap, the reader waits for both
}

// Two readers in relay keep the lock read at every moment: each leaves only
// once the other is back in (or is seen blocked). Without waiting writers
// holding new readers back, a writer would never find the lock free.
TEST(TSWMRSynchPolicyTest, AStreamOfOverlappingReadersDoesNotStarveAWriter) {
  TSWMRSynch lock;
  std::atomic<bool> stop{false}, written{false};
  std::atomic<int> entries{0}, readsAfterWrite{0};
  const auto relay = [&] {
    while (!stop) {
      TReadLock read(lock);
      if (written) ++readsAfterWrite;
      const int mine = ++entries;
      while (!stop && entries == mine && TSWMRSynchPeer::WaitingReaders(lock) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
  };
  std::thread a(relay), b(relay);
  ASSERT_TRUE(WaitUntil([&] { return entries >= 50; }, kPatienceMs, 1));  // the relay runs
  std::thread writer([&] {
    TWriteLock write(lock);
    written = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return written.load(); }, kPatienceMs, 1)) << "the writer starved";
  EXPECT_TRUE(WaitUntil([&] { return readsAfterWrite > 0; }, kPatienceMs, 1)) << "readers stayed out";
  stop = true;
  a.join();
  b.join();
  writer.join();
}

// A timed write that can succeed (now, or once the holder lets go within the
// limit) does; one that cannot returns false when the limit is reached and
// leaves the lock to its holder.
TEST(TSWMRSynchPolicyTest, TimedWritesSucceedWhenTheyCanAndGiveUpWhenTheyCannot) {
  enum Holding { kNone, kReader, kWriter };
  // clang-format off
  const struct {
    const char* name;
    Holding held;
    bool releasedDuringWait, holdReaders;
    unsigned ms;
    bool acquired;
  } kCases[] = {
      {"free", kNone, false, true, 0, true},
      {"free, not holding readers", kNone, false, false, 0, true},
      {"read, kept", kReader, false, true, 20, false},
      {"read, kept, not holding readers", kReader, false, false, 20, false},
      {"written, kept", kWriter, false, true, 20, false},
      {"written, kept, not holding readers", kWriter, false, false, 20, false},
      {"read, released", kReader, true, true, kPatienceMs, true},
      {"read, released, not holding readers", kReader, true, false, kPatienceMs, true},
      {"written, released", kWriter, true, true, kPatienceMs, true},
      {"written, released, not holding readers", kWriter, true, false, kPatienceMs, true}};
  // clang-format on
  for (const auto& c : kCases) {
    TSWMRSynch lock;
    std::unique_ptr<Holder> holder;
    if (c.held != kNone) {
      holder = std::make_unique<Holder>(lock, c.held == kReader ? Holder::kRead : Holder::kWrite);
      ASSERT_TRUE(holder->Holding()) << c.name;
    }
    std::atomic<int> result{-1};
    std::thread writer([&] {
      result = lock.TryWaitToWrite(c.ms, c.holdReaders) ? 1 : 0;
      if (result == 1) lock.DoneWriting();
    });
    if (c.releasedDuringWait) {
      if (c.holdReaders) {  // only a writer that holds readers back shows as waiting
        ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(lock) == 1; }, kPatienceMs, 1)) << c.name;
      }
      holder->Release();
    }
    writer.join();
    EXPECT_EQ(result.load(), c.acquired ? 1 : 0) << c.name;
    EXPECT_EQ(TSWMRSynchPeer::WaitingWriters(lock), 0) << c.name;
    holder.reset();
    // Whatever happened, the lock is free again for both kinds.
    std::thread([&] { TWriteLock write(lock); }).join();
    std::thread([&] { TReadLock read(lock); }).join();
  }
  TSWMRSynch lock;  // the thread that writes may take it again, timed, at once
  ASSERT_TRUE(lock.TryWaitToWrite(0));
  EXPECT_TRUE(lock.TryWaitToWrite(0, false));
  lock.DoneWriting();
  Holder other(lock, Holder::kRead);
  EXPECT_EQ(TSWMRSynchPeer::Readers(lock), 0);  // still written: the reader waits
  lock.DoneWriting();
  EXPECT_TRUE(other.Holding());
}

// Readers that queue behind a timed writer go in when it gives up, while the
// reader that defeated it still reads.
TEST(TSWMRSynchPolicyTest, ReadersHeldBackByATimedWriterGoOnWhenItGivesUp) {
  TSWMRSynch lock;
  Holder reading(lock, Holder::kRead);
  ASSERT_TRUE(reading.Holding());
  std::atomic<int> result{-1};
  std::thread writer([&] { result = lock.TryWaitToWrite(/*ms=*/2000) ? 1 : 0; });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(lock) == 1; }, kPatienceMs, 1));
  std::atomic<bool> entered{false};
  std::thread reader([&] {
    TReadLock read(lock);
    entered = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingReaders(lock) == 1; }, kPatienceMs, 1));
  EXPECT_FALSE(entered.load());  // held back while the writer waits
  writer.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(WaitUntil([&] { return entered.load(); }, kPatienceMs, 1)) << "the reader stayed blocked";
  reading.Release();
  reader.join();
}

// A thread's read lock on one lock makes it no nested reader of another: a
// writer waiting there holds it back like any new reader.
TEST(TSWMRSynchPolicyTest, AReadOnOneLockIsNoNestedReadOfAnother) {
  TSWMRSynch first, second;
  Log log;
  Holder reading(second, Holder::kRead);
  ASSERT_TRUE(reading.Holding());
  std::thread writer([&] {
    TWriteLock write(second);
    log.Add('W');
  });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(second) == 1; }, kPatienceMs, 1));
  std::thread reader([&] {
    TReadLock outer(first);
    TReadLock inner(second);
    log.Add('R');
  });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingReaders(second) == 1; }, kPatienceMs, 1));
  EXPECT_EQ(log.Text(), "");
  reading.Release();
  writer.join();
  reader.join();
  EXPECT_EQ(log.Text(), "WR");
}

// A writer that does not hold readers back lets the readers already waiting
// go first when the lock comes free.
TEST(TSWMRSynchPolicyTest, AWriterThatDoesNotHoldReadersBackLetsWaitingReadersGoFirst) {
  TSWMRSynch lock;
  Log log;
  Holder writing(lock, Holder::kWrite);
  ASSERT_TRUE(writing.Holding());
  std::thread reader([&] {
    TReadLock read(lock);
    log.Add('R');
  });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingReaders(lock) == 1; }, kPatienceMs, 1));
  std::thread writer([&] {
    if (lock.TryWaitToWrite(kPatienceMs, /*holdReaders=*/false)) {
      log.Add('W');
      lock.DoneWriting();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it wait too (a head start, no condition)
  writing.Release();
  reader.join();
  writer.join();
  EXPECT_EQ(log.Text(), "RW");
}

TEST(TEventTest, ASetEventReleasesEveryWaitUntilResetAndAWaitThatRunsOutSaysSo) {
  TEvent event;
  // clang-format off
  const struct { const char* name; std::function<void()> change; bool set; } kSteps[] = {
      {"new", [] {}, false}, {"set", [&] { event.Set(); }, true}, {"set twice", [&] { event.Set(); }, true},
      {"reset", [&] { event.Reset(); }, false}, {"reset twice", [&] { event.Reset(); }, false},
      {"set again", [&] { event.Set(); }, true}};
  // clang-format on
  for (const auto& step : kSteps) {
    step.change();
    EXPECT_EQ(event.IsSet(), step.set) << step.name;
    for (const unsigned ms : {0u, 20u}) EXPECT_EQ(event.Wait(ms), step.set ? 0 : 1) << step.name << ", " << ms;
    if (step.set) {
      EXPECT_EQ(event.Wait(kWaitForever), 0) << step.name;  // and stays set
    }
  }
  // Waiters already asleep, timed and untimed, all wake on one Set.
  TEvent gate;
  std::atomic<int> woken{0}, timedOut{0};
  std::vector<std::thread> waiters;
  for (const unsigned ms : {kWaitForever, kWaitForever, 60000u, 60000u}) {
    waiters.emplace_back([&, ms] { ++(gate.Wait(ms) == 0 ? woken : timedOut); });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // most of them asleep by now
  gate.Set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_EQ(timedOut.load(), 0);
}

TEST(TMutexTest, ATimedWaitGetsTheMutexWhenItsOwnerLetsGoInTime) {
  TMutex mutex(false);
  ASSERT_EQ(mutex.Wait(kWaitForever), 0);
  std::atomic<int> result{-1};
  TEvent waiting;
  std::thread other([&] {
    waiting.Set();
    result = mutex.Wait(kPatienceMs);
    if (result == 0) mutex.Done();
  });
  ASSERT_EQ(waiting.Wait(kPatienceMs), 0);
  mutex.Done();
  other.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(mutex.Wait(0), 0);  // released by the other thread: free
  mutex.Done();
}

// Run bodies of the kinds the library has: waiting on the stop event in long
// slices, stopping itself, or ending by itself.
class ProbeThread : public TThread {
 public:
  enum Body { kWaitForStop, kTerminateItself, kReturnAtOnce };
  explicit ProbeThread(Body body) : m_body(body) {}
  ~ProbeThread() override { Stop(kWaitForever); }

  int Run() override {
    const int run = ++runs;
    started.Set();
    if (m_body == kTerminateItself) Terminate();
    if (m_body != kReturnAtOnce) {
      while (StopEvent().Wait(/*ms=*/30000) != 0) ++slicesRunOut;
    }
    return 100 + run;
  }
  void OnThreadEnd() override {
    endedOnThread = std::this_thread::get_id() != mainThread;
    ended.Set();
  }

  const Body m_body;
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<int> runs{0}, slicesRunOut{0};
  std::atomic<bool> endedOnThread{false};
  TEvent started, ended;
};

TEST(TThreadShutdownTest, StopAndJoinAreSafeInEveryStateAndNeverLoseAStop) {
  ProbeThread thread(ProbeThread::kWaitForStop);
  EXPECT_EQ(thread.Stop(0), 0);  // never started: nothing to wait for
  EXPECT_EQ(thread.Join(kWaitForever), 0);
  EXPECT_FALSE(thread.IsRunning());
  // A stop right after the start is not lost, however early it comes.
  for (int i = 1; i <= 30; ++i) {
    ASSERT_EQ(thread.Start(0, 0), 0) << i;
    ASSERT_EQ(thread.Stop(kPatienceMs), 0) << i;
    EXPECT_EQ(thread.ExitCode(), 100 + i) << i;
  }
  EXPECT_EQ(thread.Stop(kWaitForever), 0);   // stopped twice: the second returns at once
  EXPECT_EQ(thread.slicesRunOut.load(), 0);  // every stop woke the wait, none ran out
  // A second start while running is refused and leaves the run alone.
  thread.started.Reset();
  ASSERT_EQ(thread.Start(0, 0), 0);
  ASSERT_EQ(thread.started.Wait(kPatienceMs), 0);
  EXPECT_EQ(thread.Start(0, 0), -1);
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_EQ(thread.Join(0), 1);
  thread.Terminate();  // the stop event alone, then the join
  EXPECT_EQ(thread.Join(kPatienceMs), 0);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.runs.load(), 31);
  EXPECT_TRUE(thread.endedOnThread.load());
}

TEST(TThreadShutdownTest, ThreadsThatEndOnTheirOwnAreJoinedWithoutAStop) {
  // clang-format off
  const struct { const char* name; ProbeThread::Body body; } kCases[] = {
      {"terminates itself", ProbeThread::kTerminateItself}, {"returns at once", ProbeThread::kReturnAtOnce}};
  // clang-format on
  for (const auto& c : kCases) {
    ProbeThread thread(c.body);
    ASSERT_EQ(thread.Start(0, 0), 0) << c.name;
    ASSERT_EQ(thread.ended.Wait(kPatienceMs), 0) << c.name;
    EXPECT_EQ(thread.Join(kPatienceMs), 0) << c.name;
    EXPECT_EQ(thread.ExitCode(), 101) << c.name;
    EXPECT_TRUE(thread.endedOnThread.load()) << c.name;
    EXPECT_EQ(thread.slicesRunOut.load(), 0) << c.name;
    // It can run again, and a restart clears the stop it gave itself.
    thread.ended.Reset();
    ASSERT_EQ(thread.Start(0, 0), 0) << c.name;
    ASSERT_EQ(thread.ended.Wait(kPatienceMs), 0) << c.name;
    EXPECT_EQ(thread.Join(kPatienceMs), 0) << c.name;
    EXPECT_EQ(thread.ExitCode(), 102) << c.name;
  }
}

// The destructors that stop a running thread: the derived class's own (the
// documented way) and the base's last resort for a Run that only uses the
// stop event. Both wake a Run that is in the middle of a long timed wait.
TEST(TThreadShutdownTest, DestroyingARunningThreadStopsItMidWait) {
  std::atomic<int> slicesRunOut{0};
  {
    ProbeThread thread(ProbeThread::kWaitForStop);
    ASSERT_EQ(thread.Start(0, 0), 0);
    ASSERT_EQ(thread.started.Wait(kPatienceMs), 0);
    slicesRunOut = thread.slicesRunOut.load();
  }
  EXPECT_EQ(slicesRunOut.load(), 0);
  struct BareThread : TThread {
    explicit BareThread(std::atomic<int>& runOut) : m_runOut(runOut) {}
    int Run() override {
      started = true;
      while (StopEvent().Wait(30000) != 0) ++m_runOut;
      return 0;
    }
    std::atomic<int>& m_runOut;
    // A flag rather than an event: an event's Set may still be under way
    // when the wait on it returns, and the object goes right after.
    std::atomic<bool> started{false};
  };
  auto bare = std::make_unique<BareThread>(slicesRunOut);
  ASSERT_EQ(bare->Start(0, 0), 0);
  ASSERT_TRUE(WaitUntil([&] { return bare->started.load(); }, kPatienceMs, 1));
  bare.reset();
  EXPECT_EQ(slicesRunOut.load(), 0);
}

// A detached thread cannot be joined; that it no longer runs is all its
// owner learns before letting the object go, so by then the thread must be
// done with the object.
TEST(TThreadShutdownTest, ADetachedThreadIsDoneWithItsObjectOnceItNoLongerRuns) {
  struct DetachedThread : TThread {
    DetachedThread() : TThread(/*detached=*/true) {}
    int Run() override {
      StopEvent().Wait(kPatienceMs);
      return 7;
    }
  };
  for (int i = 0; i < 20; ++i) {
    auto thread = std::make_unique<DetachedThread>();
    ASSERT_EQ(thread->Start(0, 0), 0) << i;
    thread->Terminate();
    ASSERT_TRUE(WaitUntil([&] { return !thread->IsRunning(); }, kPatienceMs, 1)) << i;
    EXPECT_EQ(thread->Join(kWaitForever), 0) << i;
    EXPECT_EQ(thread->ExitCode(), 7) << i;
    thread.reset();
  }
}

struct Counting : IMessageSubscriber {
  void OnMessage(const BMessage&) override { ++received; }
  int received = 0;
};

// Types 0 to 63 are tracked in a bit mask, every other type by a count; at
// both edges and outside, a type is listened to exactly while it has a subscriber.
TEST(BMessageDispatcherTest, ATypeIsListenedToExactlyWhileItHasSubscribersAtEveryEdgeOfTheMask) {
  BMessageDispatcher* dispatcher = BMessageDispatcher::Instance();
  for (const int type : {0, 1, 31, 32, 62, 63, 64, 65, -1, 1000}) {
    Counting one, two, neighbour;
    const int other = type == 0 ? 1 : type - 1;  // a neighbour in the mask, or another type outside it
    ASSERT_EQ(dispatcher->Subscribe(type, nullptr, &one), 0) << type;
    EXPECT_EQ(dispatcher->Subscribe(type, nullptr, &one), -1) << type;  // once per type
    ASSERT_EQ(dispatcher->Subscribe(type, nullptr, &two), 0) << type;
    ASSERT_EQ(dispatcher->Subscribe(other, nullptr, &neighbour), 0) << type;
    EXPECT_EQ(dispatcher->Publish(BMessage(type)), 2) << type;
    EXPECT_EQ(dispatcher->Unsubscribe(type, &one), 0) << type;
    EXPECT_EQ(dispatcher->Unsubscribe(type, &one), -1) << type;          // gone already
    EXPECT_NE(dispatcher->HasSubscriberFor(BMessage(type)), 0) << type;  // `two` still listens
    EXPECT_EQ(dispatcher->Publish(BMessage(type)), 1) << type;
    EXPECT_EQ(dispatcher->Unsubscribe(type, &two), 0) << type;
    EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(type)), 0) << type;
    EXPECT_EQ(dispatcher->Publish(BMessage(type)), 0) << type;
    EXPECT_NE(dispatcher->HasSubscriberFor(BMessage(other)), 0) << type;  // the neighbour is untouched
    EXPECT_EQ(dispatcher->Publish(BMessage(other)), 1) << type;
    EXPECT_EQ(dispatcher->Unsubscribe(other, &neighbour), 0) << type;
    EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(other)), 0) << type;
    EXPECT_EQ(one.received, 1) << type;
    EXPECT_EQ(two.received, 2) << type;
    EXPECT_EQ(neighbour.received, 1) << type;
  }
  Counting nobody;
  EXPECT_EQ(dispatcher->Subscribe(5, nullptr, nullptr), -1);
  EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(5)), 0);
  EXPECT_EQ(dispatcher->Unsubscribe(5, &nobody), -1);
}

TEST(BTimeTest, RestartCountsFromZeroAgain) {
  BTime clock;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(clock.SysUptime(), 5u);
  const auto restarted = std::chrono::steady_clock::now();
  clock.Restart();
  const uint32_t afterRestart = clock.SysUptime();
  EXPECT_LE(afterRestart, (std::chrono::steady_clock::now() - restarted) / std::chrono::milliseconds(10));
}

}  // namespace
}  // namespace QVT
