// TSWMRSynch: a single-writer / multiple-reader lock.
//
// Shaped for the MIB handler: queries hold it for reading for as long as
// they run (possibly across a network exchange); unregistering a handler
// takes it for writing, so that the caller may free the handler on return.
// Both sides may nest: the writing thread may take it again for writing or
// for reading, and a reading thread may read again (a handler that queries
// its own MIB) even while a writer waits. Waiting writers block new
// readers, so an unregistration is not starved by a stream of queries.
// Upgrading a read lock to a write lock is not supported.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "QVExport.h"

namespace QVT {

class QV_API TSWMRSynch {
 public:
  TSWMRSynch() = default;
  TSWMRSynch(const TSWMRSynch&) = delete;
  TSWMRSynch& operator=(const TSWMRSynch&) = delete;

  void WaitToRead();
  void DoneReading();
  void WaitToWrite();
  // WaitToWrite that gives up after `ms` milliseconds: true when the lock
  // is now held for writing (released with DoneWriting), false when
  // readers still held it when the time ran out. A writer that does not
  // `holdReaders` lets new readers in while it waits: it takes the lock
  // only in a moment when no reader holds it or waits for it, and never
  // delays a query.
  bool TryWaitToWrite(unsigned ms, bool holdReaders = true);
  void DoneWriting();

 private:
  friend class TSWMRSynchPeer;  // tests read the counters below
  int& ThreadReadDepth();
  // Both write-lock waits: without limit, or for at most `limit`; true when
  // the lock is now held for writing.
  bool AcquireWrite(std::optional<std::chrono::milliseconds> limit, bool holdReaders);

  std::mutex m_lock;  // guards the fields below; innermost lock
  std::condition_variable m_changed;
  int m_readers = 0;         // threads holding a read lock
  int m_waitingReaders = 0;  // threads blocked in WaitToRead
  int m_waitingWriters = 0;  // threads blocked in WaitToWrite
  std::thread::id m_writer;  // owner of the write lock, or none
  int m_writeDepth = 0;      // nested write and read locks of the writer
};

class TReadLock {
 public:
  explicit TReadLock(TSWMRSynch& lock) : m_lock(lock) { m_lock.WaitToRead(); }
  ~TReadLock() { m_lock.DoneReading(); }
  TReadLock(const TReadLock&) = delete;
  TReadLock& operator=(const TReadLock&) = delete;

 private:
  TSWMRSynch& m_lock;
};

class TWriteLock {
 public:
  explicit TWriteLock(TSWMRSynch& lock) : m_lock(lock) { m_lock.WaitToWrite(); }
  ~TWriteLock() { m_lock.DoneWriting(); }
  TWriteLock(const TWriteLock&) = delete;
  TWriteLock& operator=(const TWriteLock&) = delete;

 private:
  TSWMRSynch& m_lock;
};

}  // namespace QVT
