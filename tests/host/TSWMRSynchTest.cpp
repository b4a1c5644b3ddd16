// The reader/writer lock: writers exclude everybody, readers share, the
// writer may nest reads and writes, a reader may read again while a writer
// waits, and a waiting writer goes before readers that come later. These
// tests are also run under ThreadSanitizer.
#include "TSWMRSynch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace QVT {

// Test access to the lock's counters, so that a test can wait until a
// writer is really queued instead of sleeping and hoping.
class TSWMRSynchPeer {
 public:
  static int WaitingWriters(TSWMRSynch& lock) {
    std::lock_guard<std::mutex> guard(lock.m_lock);
    return lock.m_waitingWriters;
  }
  static int Readers(TSWMRSynch& lock) {
    std::lock_guard<std::mutex> guard(lock.m_lock);
    return lock.m_readers;
  }
};

namespace {

// Polls `done` every millisecond for up to 10 s.
template <class Predicate>
bool WaitUntil(Predicate done) {
  for (int i = 0; i < 10000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

TEST(TSWMRSynchTest, WritersExcludeReadersAndEachOther) {
  TSWMRSynch lock;
  // Written only under the write lock, read under the read lock: a reader
  // must never see the two halves differ (ThreadSanitizer also flags any
  // unguarded access).
  long first = 0;
  long second = 0;
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        TWriteLock write(lock);
        ++first;
        std::this_thread::yield();
        ++second;
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        TReadLock read(lock);
        if (first != second) ++torn;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(first, 4000);
  EXPECT_EQ(second, 4000);
}

TEST(TSWMRSynchTest, ReadersShareTheLock) {
  TSWMRSynch lock;
  lock.WaitToRead();
  std::thread other([&] {
    lock.WaitToRead();  // would block forever if readers excluded each other
    lock.DoneReading();
  });
  other.join();
  EXPECT_EQ(TSWMRSynchPeer::Readers(lock), 1);
  lock.DoneReading();
  EXPECT_EQ(TSWMRSynchPeer::Readers(lock), 0);
}

TEST(TSWMRSynchTest, WriterMayNestReadsAndWrites) {
  TSWMRSynch lock;
  lock.WaitToWrite();
  lock.WaitToRead();  // a clean-up that queries its own MIB
  lock.WaitToWrite();
  lock.DoneWriting();
  lock.DoneReading();
  std::atomic<bool> otherWrote{false};
  std::thread other([&] {
    TWriteLock write(lock);
    otherWrote = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(lock) == 1; }));
  EXPECT_FALSE(otherWrote);  // still held once
  lock.DoneWriting();
  other.join();
  EXPECT_TRUE(otherWrote);
}

TEST(TSWMRSynchTest, ReaderReadsAgainWhileAWriterWaits) {
  TSWMRSynch lock;
  lock.WaitToRead();
  std::atomic<bool> wrote{false};
  std::thread writer([&] {
    TWriteLock write(lock);
    wrote = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(lock) == 1; }));
  lock.WaitToRead();  // must not queue behind the writer: that would deadlock
  lock.DoneReading();
  EXPECT_FALSE(wrote);
  lock.DoneReading();
  writer.join();
  EXPECT_TRUE(wrote);
}

TEST(TSWMRSynchTest, WaitingWriterGoesBeforeLaterReaders) {
  TSWMRSynch lock;
  std::mutex orderLock;
  std::vector<char> order;
  auto record = [&](char who) {
    std::lock_guard<std::mutex> guard(orderLock);
    order.push_back(who);
  };
  lock.WaitToRead();
  std::thread writer([&] {
    TWriteLock write(lock);
    record('W');
  });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(lock) == 1; }));
  std::atomic<bool> readerTrying{false};
  std::thread reader([&] {
    readerTrying = true;
    TReadLock read(lock);
    record('R');
  });
  ASSERT_TRUE(WaitUntil([&] { return readerTrying.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  {
    std::lock_guard<std::mutex> guard(orderLock);
    EXPECT_TRUE(order.empty());  // the new reader waits behind the writer
  }
  lock.DoneReading();
  writer.join();
  reader.join();
  EXPECT_EQ(order, (std::vector<char>{'W', 'R'}));
}

}  // namespace
}  // namespace QVT
