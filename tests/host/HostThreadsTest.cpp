// Locks, threads, the clock, the message dispatcher, singletons and the trap
// conversions of RFC 3584 section 3; also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BGracePeriods.h"
#include "BMessageDispatcher.h"
#include "BSingleton.h"
#include "BTime.h"
#include "BTrapOIDs.h"
#include "ChildProcess.h"
#include "TSWMRSynchPeer.h"
#include "TThread.h"

namespace QVT {
namespace {

using test::WaitUntil;

TEST(TMutexTest, RecursiveIsHeldUntilReleasedAsOftenAsTakenPlainIsNot) {
  TMutex recursive(true);
  const auto otherWaits = [&](unsigned ms) {  // released again if taken
    int result = -1;
    std::thread([&] { (result = recursive.Wait(ms)) == 0 ? recursive.Done() : void(); }).join();
    return result;
  };
  ASSERT_EQ(recursive.Wait(kWaitForever) | recursive.Wait(0), 0);
  recursive.Done();
  EXPECT_EQ(otherWaits(20), 1);
  recursive.Done();
  EXPECT_EQ(otherWaits(5000), 0);

  TMutex plain(false);
  ASSERT_EQ(plain.Wait(kWaitForever), 0);
  EXPECT_EQ(plain.Wait(/*ms=*/10), 1);  // the owner waits too
  plain.Done();
}

// Waits on its stop event in long slices, as the library's monitor threads do.
class SlicedThread : public TThread {
 public:
  ~SlicedThread() override { Stop(kWaitForever); }
  int Run() override {
    ++runs;
    while (StopEvent().Wait(/*ms=*/30000) != 0) {
    }
    return 40 + runs.load();
  }
  std::atomic<int> runs{0};
};

TEST(TThreadTest, StopWakesRunAndARestartRunsAgainUntilStopped) {
  SlicedThread thread;
  ASSERT_EQ(thread.Start(0, 0), 0);
  EXPECT_EQ(thread.Join(0), 1);
  EXPECT_EQ(thread.Stop(/*ms=*/10000), 0);  // long before Run's 30 s slice ends
  EXPECT_EQ(thread.ExitCode(), 41);
  ASSERT_EQ(thread.Start(0, 0), 0);
  EXPECT_EQ(thread.Join(/*ms=*/20), 1);  // the restart cleared the stop event
  EXPECT_EQ(thread.Stop(kWaitForever), 0);
  EXPECT_EQ(thread.ExitCode(), 42);
}

TEST(TSWMRSynchTest, WriterNestsAndGoesBeforeNewReadersButNotBeforeANestedRead) {
  TSWMRSynch lock;
  std::atomic<int> step{0}, writerAt{0}, readerAt{0};
  lock.WaitToRead();
  std::thread([&] { TReadLock read(lock); }).join();  // readers share the lock
  std::thread writer([&] {
    TWriteLock write(lock);
    lock.WaitToRead();  // a clean-up that queries its own MIB
    lock.WaitToWrite();
    lock.DoneWriting();
    lock.DoneReading();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // still held: the reader waits
    writerAt = ++step;
  });
  ASSERT_TRUE(WaitUntil([&] { return TSWMRSynchPeer::WaitingWriters(lock) == 1; }, 10000, 1));
  lock.WaitToRead();  // a nested read must not queue behind the writer: that would deadlock
  lock.DoneReading();
  std::atomic<bool> readerTrying{false};
  std::thread reader([&] {
    readerTrying = true;
    TReadLock read(lock);
    readerAt = ++step;
  });
  ASSERT_TRUE(WaitUntil([&] { return readerTrying.load(); }, 10000, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(step.load(), 0);  // the new reader waits behind the writer
  lock.DoneReading();
  writer.join();
  reader.join();
  EXPECT_EQ(writerAt.load(), 1);
  EXPECT_EQ(readerAt.load(), 2);
}

// A writer that does not hold readers back lets new readers in while it waits, and takes the lock in the
// first moment no reader holds it; its time-out leaves the lock as it was.
TEST(TSWMRSynchTest, AWriterThatDoesNotHoldReadersBackNeverDelaysAQuery) {
  TSWMRSynch lock;
  lock.WaitToRead();
  std::thread([&] { EXPECT_FALSE(lock.TryWaitToWrite(/*ms=*/10, /*holdReaders=*/false)); }).join();
  std::atomic<bool> written{false};
  std::thread writer([&] {
    if (lock.TryWaitToWrite(/*ms=*/10000, /*holdReaders=*/false)) {
      written = true;
      lock.DoneWriting();
    }
  });
  for (int i = 0; i < 20; ++i) {  // readers come and go while it waits; none of them waits
    std::thread([&] { TReadLock read(lock); }).join();
    EXPECT_EQ(TSWMRSynchPeer::WaitingWriters(lock), 0);
  }
  EXPECT_FALSE(written.load());
  lock.DoneReading();
  writer.join();
  EXPECT_TRUE(written.load());
}

// What is retired is freed once every reader that entered before has left, whatever readers came after,
// in the order it was retired; with no reader inside, at once.
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
  std::atomic<int> inside{0};
  BGracePeriods shared;
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      for (int k = 0; k < 2000; ++k) {
        BGracePeriod reading(shared);
        ++inside;
        --inside;
      }
    });
  }
  std::atomic<int> retired{0};
  for (int k = 0; k < 2000; ++k) shared.Retire([&] { ++retired; });
  for (auto& t : readers) t.join();
  shared.Collect();
  EXPECT_EQ(retired.load(), 2000);
  EXPECT_EQ(shared.Pending(), 0u);
}

TEST(BTimeTest, SysUptimeCountsHundredthsFromTheStart) {
  const auto before = std::chrono::steady_clock::now();
  BTime clock;
  std::this_thread::sleep_for(std::chrono::milliseconds(35));
  EXPECT_GE(clock.SysUptime(), 3u);
  EXPECT_LE(clock.SysUptime(), (std::chrono::steady_clock::now() - before) / std::chrono::milliseconds(10) + 1);
}

// Records what it is handed, slowly; as a filter it lets trace lines through.
struct Recorder : IMessageSubscriber, IMessageFilter {
  void OnMessage(const BMessage& message) override {
    inDelivery = true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    texts.push_back(message.Text().str()), ++delivered, inDelivery = false;
  }
  bool Accept(const BMessage& message) override { return message.Text().view().starts_with("[SUBAG] "); }
  std::vector<std::string> texts;
  std::atomic<bool> inDelivery{false};
  std::atomic<int> delivered{0};
};

int Publish(int type, const char* text) {
  BMessage message(type);
  message.SetText(text);
  return BMessageDispatcher::Instance()->Publish(message);
}

TEST(BMessageDispatcherTest, DeliversByTypeThroughFiltersAndNotOnceUnsubscribeReturns) {
  BMessageDispatcher* dispatcher = BMessageDispatcher::Instance();
  Recorder all, filtered;
  for (const int type : {7, 1000}) {  // inside and outside the fast range of types
    EXPECT_EQ(dispatcher->Subscribe(type, nullptr, &all), 0);
    EXPECT_EQ(dispatcher->Subscribe(type, &filtered, &filtered), 0);
    EXPECT_EQ(Publish(type, "[SUBAG] one"), 2);
    EXPECT_EQ(Publish(type, "other"), 1);
    EXPECT_EQ(dispatcher->Unsubscribe(type, &all), 0);
    EXPECT_NE(dispatcher->HasSubscriberFor(BMessage(type)), 0);  // `filtered` still listens
    EXPECT_EQ(dispatcher->Unsubscribe(type, &filtered), 0);
    EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(type)), 0);
  }
  EXPECT_EQ(all.texts, (std::vector<std::string>{"[SUBAG] one", "other", "[SUBAG] one", "other"}));
  EXPECT_EQ(filtered.texts, (std::vector<std::string>{"[SUBAG] one", "[SUBAG] one"}));
  Recorder slow;  // unsubscribing while another thread publishes
  ASSERT_EQ(dispatcher->Subscribe(12, nullptr, &slow), 0);
  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    while (!stop) Publish(12, "tick");
  });
  WaitUntil([&] { return slow.delivered >= 3; }, 1000, 1);
  EXPECT_EQ(dispatcher->Unsubscribe(12, &slow), 0);
  EXPECT_FALSE(slow.inDelivery);
  stop = true;
  publisher.join();
}

TEST(BSingletonsTest, DestroyAllDestroysNewestFirst) {
  static std::string log;
  struct Noting : BSingleton {
    explicit Noting(char name) : m_name(name) {}
    void Destroy() override { log += m_name, delete this; }
    char m_name;
  };
  BSingletons::DestroyAll();
  for (const char name : {'a', 'b', 'c'}) new Noting(name);
  BSingletons::DestroyAll();
  EXPECT_EQ(log, "cba");
}

#define TRAPS "1.3.6.1.6.3.1.1.5"  // snmpTraps: the generic traps are its children 1 to 6
#define ENTERPRISE "1.3.6.1.4.1.32473.1"

TEST(BTrapOIDsTest, V1TrapsConvertToNotificationOidsAndBack) {
  const BTrapOIDs* oids = BTrapOIDs::Instance();
  // Rows from v1 go there and back, the enterprise as snmpTrapEnterprise.0; the others only come from v2.
  // clang-format off
  const struct { bool fromV1; const char* enterprise; int generic, specific; const char* trapOid; } kCases[] = {
      {true, ENTERPRISE, 0, 0, TRAPS ".1"}, {true, ENTERPRISE, 5, 0, TRAPS ".6"},
      {true, ENTERPRISE, 6, 42, ENTERPRISE ".0.42"}, {true, ENTERPRISE ".0", 6, 5, ENTERPRISE ".0.0.5"},
      {false, TRAPS, 2, 0, TRAPS ".3"}, {false, ENTERPRISE, 6, 5, ENTERPRISE ".5"}, {false, TRAPS, 6, 7, TRAPS ".7"},
      {false, TRAPS ".1", 6, 0, TRAPS ".1.0"}};
  // clang-format on
  for (const auto& c : kCases) {
    BObjectIdentifier trapOid(c.trapOid), enterprise;
    BVarBindList varbinds;
    if (c.fromV1) {
      ASSERT_NE(oids->V1ToV2(BObjectIdentifier(c.enterprise), ESNMPv1TrapType(c.generic), c.specific, trapOid), 0);
      EXPECT_EQ(trapOid, BObjectIdentifier(c.trapOid));
      BObjectSyntax value;
      value.SetObjectId(BObjectIdentifier(c.enterprise));
      varbinds.Append(oids->SnmpTrapEnterprise(), value);
    }
    ESNMPv1TrapType generic = SNMP_TRAP_COLD_START;
    int specific = -1;
    ASSERT_NE(oids->V2ToV1(trapOid, varbinds, enterprise, generic, specific), 0) << c.trapOid;
    EXPECT_EQ(enterprise, BObjectIdentifier(c.enterprise)) << c.trapOid;
    EXPECT_EQ(generic, c.generic) << c.trapOid;
    EXPECT_EQ(specific, c.specific) << c.trapOid;
  }
  BObjectIdentifier result;  // specific traps need an enterprise; generic 7 has no form
  EXPECT_EQ(oids->V1ToV2({}, SNMP_TRAP_ENTERPRISE_SPECIFIC, 1, result), 0);
}

}  // namespace
}  // namespace QVT
