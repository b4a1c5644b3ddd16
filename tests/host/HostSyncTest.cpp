// The reader/writer lock's policy (writers before new readers but not before
// a nested read, timed writes that give up and let the held-back readers go,
// writers that let readers first), the mutex, events and grace periods; part
// of the thread tests, so also run under ThreadSanitizer. Threads are
// ordered by what the lock has seen (TSWMRSynchPeer) or by events; every
// wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BGracePeriods.h"
#include "ChildProcess.h"
#include "TEvent.h"
#include "TSWMRSynchPeer.h"

namespace QVT {
namespace {

using test::WaitUntil;

constexpr int kPatienceMs = 10000;  // far beyond what any step here takes

bool WaitForWriters(TSWMRSynch& lock, int n) {
  return WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(lock) == n; }, kPatienceMs, 1);
}
bool WaitForReaders(TSWMRSynch& lock, int n) {
  return WaitUntil([&] { return TSWMRSynchPeer::WaitingReaders(lock) == n; }, kPatienceMs, 1);
}

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

// Two writers wait while this thread reads: a nested read of this thread still goes in (queued behind them
// it would deadlock), a new reader waits, also one that reads another lock already. The writers go one at
// a time, each nesting a read and a write (a clean-up that queries its own MIB), then the reader.
TEST(TSWMRSynchPolicyTest, WaitingWritersGoOneAtATimeBeforeNewReadersButNotBeforeANestedRead) {
  TSWMRSynch lock, other;
  Log log;
  lock.WaitToRead();
  std::thread([&] { TReadLock read(lock); }).join();  // readers share the lock
  const auto writer = [&] {
    TWriteLock write(lock);
    lock.WaitToRead();
    lock.WaitToWrite();
    log.Add('W');
    lock.DoneWriting();
    lock.DoneReading();
    log.Add('w');
  };
  std::thread first(writer), second(writer);
  ASSERT_TRUE(WaitForWriters(lock, 2));
  lock.WaitToRead();
  lock.DoneReading();
  std::thread reader([&] {
    TReadLock outer(other);
    TReadLock inner(lock);
    log.Add('R');
  });
  ASSERT_TRUE(WaitForReaders(lock, 1));
  EXPECT_EQ(log.Text(), "");
  lock.DoneReading();
  first.join();
  second.join();
  reader.join();
  EXPECT_EQ(log.Text(), "WwWwR");
}

// A timed write that can succeed (now, or once the holder lets go within the
// limit) does; one that cannot returns false when the limit is reached and
// leaves the lock to its holder; whether it holds readers back or not.
TEST(TSWMRSynchPolicyTest, TimedWritesSucceedWhenTheyCanAndGiveUpWhenTheyCannot) {
  enum Holding { kNone, kReader, kWriter };
  // clang-format off
  const struct { const char* name; Holding held; bool releasedDuringWait; unsigned ms; bool acquired; } kCases[] = {
      {"free", kNone, false, 0, true}, {"read, kept", kReader, false, 20, false},
      {"written, kept", kWriter, false, 20, false}, {"read, released", kReader, true, kPatienceMs, true},
      {"written, released", kWriter, true, kPatienceMs, true}};
  // clang-format on
  for (const auto& c : kCases) {
    for (const bool holdReaders : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (holdReaders ? "" : ", not holding readers"));
      TSWMRSynch lock;
      std::unique_ptr<Holder> holder;
      if (c.held != kNone) {
        holder = std::make_unique<Holder>(lock, c.held == kReader ? Holder::kRead : Holder::kWrite);
        ASSERT_TRUE(holder->Holding());
      }
      std::atomic<int> result{-1};
      std::thread writer([&] {
        result = lock.TryWaitToWrite(c.ms, holdReaders) ? 1 : 0;
        if (result == 1) lock.DoneWriting();
      });
      if (c.releasedDuringWait) {
        if (holdReaders) {  // only a writer that holds readers back shows as waiting
          ASSERT_TRUE(WaitForWriters(lock, 1));
        }
        holder->Release();
      }
      writer.join();
      EXPECT_EQ(result.load(), c.acquired ? 1 : 0);
      EXPECT_EQ(TSWMRSynchPeer::WaitingWriters(lock), 0);
      holder.reset();
      // Whatever happened, the lock is free again for both kinds.
      std::thread([&] { TWriteLock write(lock); }).join();
      std::thread([&] { TReadLock read(lock); }).join();
    }
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
  ASSERT_TRUE(WaitForWriters(lock, 1));
  std::atomic<bool> entered{false};
  std::thread reader([&] {
    TReadLock read(lock);
    entered = true;
  });
  ASSERT_TRUE(WaitForReaders(lock, 1));
  EXPECT_FALSE(entered.load());  // held back while the writer waits
  writer.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(WaitUntil([&] { return entered.load(); }, kPatienceMs, 1)) << "the reader stayed blocked";
  reading.Release();
  reader.join();
}

// A writer that does not hold readers back never delays a query: new readers
// come and go while it waits, none of them waiting, and readers already
// waiting when the lock comes free go before it.
TEST(TSWMRSynchPolicyTest, AWriterThatDoesNotHoldReadersBackLetsEveryReaderGoFirst) {
  TSWMRSynch lock;
  Log log;
  const auto politeWriter = [&] {
    if (lock.TryWaitToWrite(kPatienceMs, /*holdReaders=*/false)) {
      log.Add('W');
      lock.DoneWriting();
    }
  };
  lock.WaitToRead();
  std::thread writer(politeWriter);
  for (int i = 0; i < 20; ++i) {
    std::thread([&] { TReadLock read(lock); }).join();
    EXPECT_EQ(TSWMRSynchPeer::WaitingWriters(lock), 0);
  }
  EXPECT_EQ(log.Text(), "");
  lock.DoneReading();
  writer.join();
  EXPECT_EQ(log.Text(), "W");

  Holder writing(lock, Holder::kWrite);
  ASSERT_TRUE(writing.Holding());
  std::thread reader([&] {
    TReadLock read(lock);
    log.Add('R');
  });
  ASSERT_TRUE(WaitForReaders(lock, 1));
  std::thread second(politeWriter);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it wait too (a head start, no condition)
  writing.Release();
  reader.join();
  second.join();
  EXPECT_EQ(log.Text(), "WRW");
}

// A recursive mutex is held until released as often as taken; a plain one
// taken again by its owner times out; a timed wait gets the mutex when its
// owner lets go in time.
TEST(TMutexTest, RecursionAndTimedWaits) {
  TMutex recursive(true);
  std::atomic<int> result{-1};
  ASSERT_EQ(recursive.Wait(kWaitForever) | recursive.Wait(0), 0);
  recursive.Done();
  std::thread([&] { result = recursive.Wait(20); }).join();
  EXPECT_EQ(result.load(), 1);  // still held once
  TEvent waiting;
  std::thread other([&] {
    waiting.Set();
    result = recursive.Wait(kPatienceMs);
    if (result == 0) recursive.Done();
  });
  ASSERT_EQ(waiting.Wait(kPatienceMs), 0);
  recursive.Done();
  other.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(recursive.Wait(0), 0);  // released by the other thread: free
  recursive.Done();

  TMutex plain(false);
  ASSERT_EQ(plain.Wait(kWaitForever), 0);
  EXPECT_EQ(plain.Wait(/*ms=*/10), 1);  // the owner waits too
  plain.Done();
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

// Whoever waits may destroy the event or the mutex as soon as its wait returns: the thread that set or released
// it is done with it by then. A fault here is a use after free that the sanitizer builds report.
TEST(TEventTest, AWaiterMayDestroyWhatItWaitedForOnceTheWaitReturns) {
  for (int i = 0; i < 2000; ++i) {
    auto event = std::make_unique<TEvent>();
    std::thread setter([&event] { event->Set(); });
    while (event->Wait(0) != 0) {
    }
    event.reset();
    setter.join();
  }
  for (int i = 0; i < 2000; ++i) {
    auto mutex = std::make_unique<TMutex>();
    std::atomic<bool> held{false};
    std::thread owner([&] {
      mutex->Wait(kWaitForever);
      held = true;
      mutex->Done();
    });
    while (!held) std::this_thread::yield();
    while (mutex->Wait(0) != 0) {
    }
    mutex->Done();
    mutex.reset();
    owner.join();
  }
}

// What is retired is freed once every reader that entered before has left, whatever readers came after,
// in the order it was retired; with no reader inside, at once. (Readers and retirements on several threads
// at once: MibConcurrencyTest, whose queries enter grace periods while handlers are retired.)
TEST(BGracePeriodsTest, RetiredGoesOnceTheReadersBeforeItHaveLeft) {
  BGracePeriods periods;
  std::string freed;
  periods.Retire([&] { freed += "a"; });
  EXPECT_EQ(freed, "a");
  const uint64_t early = periods.Enter();
  periods.Retire([&] { freed += "b"; });
  const uint64_t late = periods.Enter();  // cannot have seen b
  periods.Retire([&] { freed += "c"; });
  periods.Leave(late);
  EXPECT_EQ(freed, "a");  // the early reader may still use b and c
  EXPECT_EQ(periods.Pending(), 2u);
  const uint64_t later = periods.Enter();
  periods.Leave(early);
  EXPECT_EQ(freed, "abc");  // the later reader came after both
  periods.Leave(later);
  // A reader that leaves frees a few at most; the owner collects the rest.
  const uint64_t holding = periods.Enter();
  for (size_t k = 0; k < 3 * BGracePeriods::kRunOnLeave; ++k) periods.Retire([&] { freed += "."; });
  periods.Leave(holding);
  EXPECT_EQ(freed.size(), 3 + BGracePeriods::kRunOnLeave);
  EXPECT_EQ(periods.Collect(BGracePeriods::kRunOnLeave), BGracePeriods::kRunOnLeave);
  EXPECT_EQ(periods.Collect(), BGracePeriods::kRunOnLeave);
  EXPECT_EQ(periods.Pending(), 0u);
}

}  // namespace
}  // namespace QVT
