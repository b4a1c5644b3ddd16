// The process-wide services: the up-time clock, the message dispatcher,
// the singleton registry and the transaction registry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "BMessageDispatcher.h"
#include "BSingleton.h"
#include "BTime.h"
#include "BTransactions.h"
#include "BTrapOIDs.h"

namespace QVT {
namespace {

using std::chrono::steady_clock;

long long MillisecondsSince(steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start).count();
}

TEST(BTimeTest, SysUptimeCountsHundredthsFromTheStartMonotonically) {
  const steady_clock::time_point before = steady_clock::now();
  BTime clock;
  std::this_thread::sleep_for(std::chrono::milliseconds(35));
  const uint32_t ticks = clock.SysUptime();
  EXPECT_GE(ticks, 3u);                                  // at least 35 ms have passed
  EXPECT_LE(ticks, MillisecondsSince(before) / 10 + 1);  // and hundredths, not milliseconds
  uint32_t last = ticks;
  for (int i = 0; i < 1000; ++i) {
    const uint32_t now = clock.SysUptime();
    ASSERT_GE(now, last);
    last = now;
  }
  const steady_clock::time_point restart = steady_clock::now();
  clock.Restart();
  EXPECT_LE(clock.SysUptime(), MillisecondsSince(restart) / 10 + 1);
}

class RecordingSubscriber : public IMessageSubscriber {
 public:
  void OnMessage(const BMessage& message) override { texts.push_back(message.Text().str()); }
  std::vector<std::string> texts;
};

class PrefixFilter : public IMessageFilter {
 public:
  bool Accept(const BMessage& message) override { return message.Text().view().starts_with("[SUBAG] "); }
};

BMessage Message(int type, const char* text) {
  BMessage message(type);
  message.SetText(text);
  return message;
}

TEST(BMessageDispatcherTest, DeliversByTypeThroughFiltersUntilUnsubscribed) {
  BMessageDispatcher* dispatcher = BMessageDispatcher::Instance();
  ASSERT_EQ(dispatcher, BMessageDispatcher::Instance());
  RecordingSubscriber all;
  RecordingSubscriber filtered;
  PrefixFilter filter;
  EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(7)), 0);
  EXPECT_EQ(dispatcher->Publish(Message(7, "[SUBAG] unheard")), 0);
  EXPECT_EQ(dispatcher->Subscribe(7, nullptr, &all), 0);
  EXPECT_EQ(dispatcher->Subscribe(7, &filter, &filtered), 0);
  EXPECT_EQ(dispatcher->Subscribe(7, nullptr, &all), -1);  // once per type
  EXPECT_EQ(dispatcher->Subscribe(7, nullptr, nullptr), -1);
  EXPECT_EQ(dispatcher->Subscribe(8, nullptr, &all), 0);

  EXPECT_NE(dispatcher->HasSubscriberFor(BMessage(7)), 0);
  EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(9)), 0);
  EXPECT_EQ(dispatcher->Publish(Message(7, "[SUBAG] one")), 2);
  EXPECT_EQ(dispatcher->Publish(Message(7, "other")), 1);
  EXPECT_EQ(dispatcher->Publish(Message(8, "eight")), 1);
  EXPECT_EQ(dispatcher->Publish(Message(9, "nine")), 0);
  EXPECT_EQ(all.texts, (std::vector<std::string>{"[SUBAG] one", "other", "eight"}));
  EXPECT_EQ(filtered.texts, (std::vector<std::string>{"[SUBAG] one"}));

  EXPECT_EQ(dispatcher->Unsubscribe(7, &all), 0);
  EXPECT_EQ(dispatcher->Unsubscribe(7, &all), -1);
  EXPECT_NE(dispatcher->HasSubscriberFor(BMessage(7)), 0);  // `filtered` still listens
  EXPECT_EQ(dispatcher->Unsubscribe(7, &filtered), 0);
  EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(7)), 0);
  EXPECT_EQ(dispatcher->Publish(Message(7, "[SUBAG] late")), 0);
  EXPECT_EQ(dispatcher->Unsubscribe(8, &all), 0);
  EXPECT_EQ(all.texts.size(), 3u);
}

TEST(BMessageDispatcherTest, TypesOutsideTheFastRangeAreTrackedEachOnTheirOwn) {
  BMessageDispatcher* dispatcher = BMessageDispatcher::Instance();
  RecordingSubscriber subscriber;
  for (const int type : {64, 1000, -1}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(dispatcher->Subscribe(type, nullptr, &subscriber), 0);
    EXPECT_NE(dispatcher->HasSubscriberFor(BMessage(type)), 0);
    EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(type + 1)), 0);
    EXPECT_EQ(dispatcher->Publish(Message(type + 1, "x")), 0);
    EXPECT_EQ(dispatcher->Publish(Message(type, "y")), 1);
    EXPECT_EQ(dispatcher->Unsubscribe(type, &subscriber), 0);
    EXPECT_EQ(dispatcher->HasSubscriberFor(BMessage(type)), 0);
  }
}

TEST(BMessageDispatcherTest, NoDeliveryIsInProgressOnceUnsubscribeReturns) {
  class SlowSubscriber : public IMessageSubscriber {
   public:
    void OnMessage(const BMessage&) override {
      inDelivery = true;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      ++delivered;
      inDelivery = false;
    }
    std::atomic<bool> inDelivery{false};
    std::atomic<int> delivered{0};
  } subscriber;
  BMessageDispatcher* dispatcher = BMessageDispatcher::Instance();
  ASSERT_EQ(dispatcher->Subscribe(12, nullptr, &subscriber), 0);
  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    while (!stop) dispatcher->Publish(Message(12, "tick"));
  });
  for (int i = 0; i < 1000 && subscriber.delivered < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(dispatcher->Unsubscribe(12, &subscriber), 0);
  EXPECT_FALSE(subscriber.inDelivery);
  const int delivered = subscriber.delivered;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(subscriber.delivered, delivered);
  stop = true;
  publisher.join();
}

// A singleton that notes when it is destroyed.
class NotingSingleton : public BSingleton {
 public:
  NotingSingleton(std::vector<std::string>& log, std::string name) : m_log(log), m_name(std::move(name)) {}
  void Destroy() override {
    m_log.push_back(m_name);
    delete this;
  }

 private:
  std::vector<std::string>& m_log;
  std::string m_name;
};

TEST(BSingletonsTest, DestroyAllDestroysNewestFirstAndInstancesComeBack) {
  BSingletons::DestroyAll();
  ASSERT_EQ(BSingletons::Count(), 0);
  std::vector<std::string> log;
  new NotingSingleton(log, "first");
  ASSERT_NE(BMessageDispatcher::Instance(), nullptr);
  ASSERT_NE(BTransactions::Instance(), nullptr);
  ASSERT_NE(BTrapOIDs::Instance(), nullptr);
  new NotingSingleton(log, "last");
  EXPECT_EQ(BSingletons::Count(), 5);
  RecordingSubscriber subscriber;
  ASSERT_EQ(BMessageDispatcher::Instance()->Subscribe(7, nullptr, &subscriber), 0);

  BSingletons::DestroyAll();
  EXPECT_EQ(log, (std::vector<std::string>{"last", "first"}));
  EXPECT_EQ(BSingletons::Count(), 0);
  EXPECT_EQ(BMessageDispatcher::s_pInstance.load(), nullptr);
  EXPECT_EQ(BTransactions::s_pInstance.load(), nullptr);
  EXPECT_EQ(BTrapOIDs::s_pInstance.load(), nullptr);

  // Made again on next use, empty.
  EXPECT_EQ(BMessageDispatcher::Instance()->HasSubscriberFor(BMessage(7)), 0);
  EXPECT_EQ(BSingletons::Count(), 1);
  BSingletons::DestroyAll();
}

TEST(BTransactionsTest, StartFindEndAndRefuseDuplicates) {
  BTransactions* registry = BTransactions::Instance();
  BTransaction first;
  BTransaction second;
  EXPECT_EQ(registry->StartTransaction(5, &first), 0);
  EXPECT_EQ(registry->StartTransaction(5, &second), -1);
  EXPECT_EQ(registry->StartTransaction(6, nullptr), -1);
  EXPECT_EQ(registry->StartTransaction(0xFFFFFFFFu, &second), 0);
  EXPECT_EQ(registry->Count(), 2);
  EXPECT_EQ(registry->Find(5), &first);
  EXPECT_EQ(registry->Find(0xFFFFFFFFu), &second);
  EXPECT_EQ(registry->Find(6), nullptr);
  EXPECT_EQ(registry->EndTransaction(5), 0);
  EXPECT_EQ(registry->EndTransaction(5), -1);
  EXPECT_EQ(registry->Find(5), nullptr);
  EXPECT_EQ(registry->StartTransaction(5, &second), 0);  // the id is free again
  EXPECT_EQ(registry->EndTransaction(5), 0);
  EXPECT_EQ(registry->EndTransaction(0xFFFFFFFFu), 0);
  EXPECT_EQ(registry->Count(), 0);

  const unsigned a = registry->NewTransactionId();
  const unsigned b = registry->NewTransactionId();
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace QVT
