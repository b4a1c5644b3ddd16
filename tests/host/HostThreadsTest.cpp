// Thread start and shutdown, the message dispatcher, the clock, singletons
// and the trap conversions of RFC 3584 section 3; part of the thread tests,
// so also run under ThreadSanitizer. Every wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BMessageDispatcher.h"
#include "BSingleton.h"
#include "BTime.h"
#include "BTrapOIDs.h"
#include "ChildProcess.h"
#include "TThread.h"

namespace QVT {
namespace {

using test::WaitUntil;

constexpr int kPatienceMs = 10000;  // far beyond what any step here takes

// Run bodies of the kinds the library has: waiting on the stop event in long
// slices, stopping itself (which cannot wait for its own end), or ending by
// itself.
class ProbeThread : public TThread {
 public:
  enum Body { kWaitForStop, kStopItself, kReturnAtOnce };
  explicit ProbeThread(Body body) : m_body(body) {}
  ~ProbeThread() override { Stop(kWaitForever); }

  int Run() override {
    const int run = ++runs;
    started.Set();
    if (m_body == kStopItself) selfStop = Stop(kWaitForever);
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
  std::atomic<int> runs{0}, slicesRunOut{0}, selfStop{-1};
  std::atomic<bool> endedOnThread{false};
  TEvent started, ended;
};

TEST(TThreadShutdownTest, StopAndJoinAreSafeInEveryStateAndNeverLoseAStop) {
  ProbeThread thread(ProbeThread::kWaitForStop);
  EXPECT_EQ(thread.Stop(0), 0);  // never started: nothing to wait for
  EXPECT_EQ(thread.Join(kWaitForever), 0);
  EXPECT_FALSE(thread.IsRunning());
  // A stop right after the start is not lost, however early it comes, and wakes Run's 30 s wait.
  for (int i = 1; i <= 30; ++i) {
    ASSERT_EQ(thread.Start(0, 0), 0) << i;
    ASSERT_EQ(thread.Stop(kPatienceMs), 0) << i;
    EXPECT_EQ(thread.ExitCode(), 100 + i) << i;
  }
  EXPECT_EQ(thread.Stop(kWaitForever), 0);   // stopped twice: the second returns at once
  EXPECT_EQ(thread.slicesRunOut.load(), 0);  // every stop woke the wait, none ran out
  // A restart clears the stop event; a second start while running is refused and leaves the run alone.
  thread.started.Reset();
  ASSERT_EQ(thread.Start(0, 0), 0);
  ASSERT_EQ(thread.started.Wait(kPatienceMs), 0);
  EXPECT_EQ(thread.Join(/*ms=*/20), 1);
  EXPECT_EQ(thread.Start(0, 0), -1);
  EXPECT_TRUE(thread.IsRunning());
  thread.Terminate();  // the stop event alone, then the join
  EXPECT_EQ(thread.Join(kPatienceMs), 0);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.runs.load(), 31);
  EXPECT_TRUE(thread.endedOnThread.load());
}

TEST(TThreadShutdownTest, ThreadsThatEndOnTheirOwnAreJoinedWithoutAStop) {
  for (const ProbeThread::Body body : {ProbeThread::kStopItself, ProbeThread::kReturnAtOnce}) {
    SCOPED_TRACE(body == ProbeThread::kReturnAtOnce ? "returns at once" : "stops itself");
    ProbeThread thread(body);
    ASSERT_EQ(thread.Start(0, 0), 0);
    ASSERT_EQ(thread.ended.Wait(kPatienceMs), 0);
    EXPECT_EQ(thread.Join(kPatienceMs), 0);
    EXPECT_EQ(thread.ExitCode(), 101);
    EXPECT_EQ(thread.selfStop.load(), body == ProbeThread::kStopItself ? 1 : -1);
    EXPECT_TRUE(thread.endedOnThread.load());
    EXPECT_EQ(thread.slicesRunOut.load(), 0);
  }
}

// The base's destructor, a last resort for a Run that only uses the stop event, stops a running thread and
// wakes its long timed wait. (A derived class's destructor calls Stop, which the test above drives.)
TEST(TThreadShutdownTest, DestroyingARunningThreadStopsItMidWait) {
  std::atomic<int> slicesRunOut{0};
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

// Types 0 to 63 are tracked in a bit mask, every other type by a count; at both edges and outside, a type
// is listened to exactly while it has a subscriber, each subscriber gets what its filter accepts, and a
// neighbouring type is untouched. Once Unsubscribe returns, no delivery is under way.
TEST(BMessageDispatcherTest, DeliversByTypeThroughFiltersExactlyWhileSubscribedAtEveryEdgeOfTheMask) {
  BMessageDispatcher* dispatcher = BMessageDispatcher::Instance();
  for (const int type : {0, 1, 31, 32, 62, 63, 64, 65, -1, 1000}) {
    SCOPED_TRACE(type);
    Recorder all, filtered, neighbour;
    const int other = type == 0 ? 1 : type - 1;  // a neighbour in the mask, or another type outside it
    ASSERT_EQ(dispatcher->Subscribe(type, nullptr, &all), 0);
    EXPECT_EQ(dispatcher->Subscribe(type, nullptr, &all), -1);  // once per type
    ASSERT_EQ(dispatcher->Subscribe(type, &filtered, &filtered), 0);
    ASSERT_EQ(dispatcher->Subscribe(other, nullptr, &neighbour), 0);
    EXPECT_EQ(Publish(type, "[SUBAG] one"), 2);
    EXPECT_EQ(Publish(type, "other"), 1);
    EXPECT_EQ(dispatcher->Unsubscribe(type, &all), 0);
    EXPECT_EQ(dispatcher->Unsubscribe(type, &all), -1);              // gone already
    EXPECT_NE(dispatcher->HasSubscriberFor(BMessage(type)), 0);     // `filtered` still listens
    EXPECT_EQ(Publish(type, "[SUBAG] two"), 1);
    EXPECT_EQ(dispatcher->Unsubscribe(type, &filtered), 0);
    EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(type)), 0);
    EXPECT_EQ(Publish(type, "[SUBAG] three"), 0);
    EXPECT_NE(dispatcher->HasSubscriberFor(BMessage(other)), 0);
    EXPECT_EQ(Publish(other, "next door"), 1);
    EXPECT_EQ(dispatcher->Unsubscribe(other, &neighbour), 0);
    EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(other)), 0);
    EXPECT_EQ(all.texts, (std::vector<std::string>{"[SUBAG] one", "other"}));
    EXPECT_EQ(filtered.texts, (std::vector<std::string>{"[SUBAG] one", "[SUBAG] two"}));
    EXPECT_EQ(neighbour.texts, std::vector<std::string>{"next door"});
  }
  Recorder nobody;
  EXPECT_EQ(dispatcher->Subscribe(5, nullptr, nullptr), -1);
  EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(5)), 0);
  EXPECT_EQ(dispatcher->Unsubscribe(5, &nobody), -1);
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

TEST(BTimeTest, SysUptimeCountsHundredthsFromTheStartAndFromZeroAfterARestart) {
  const auto before = std::chrono::steady_clock::now();
  BTime clock;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GE(clock.SysUptime(), 5u);
  EXPECT_LE(clock.SysUptime(), (std::chrono::steady_clock::now() - before) / std::chrono::milliseconds(10) + 1);
  const auto restarted = std::chrono::steady_clock::now();
  clock.Restart();
  const uint32_t afterRestart = clock.SysUptime();
  EXPECT_LE(afterRestart, (std::chrono::steady_clock::now() - restarted) / std::chrono::milliseconds(10));
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
