// Queries on three threads while others register and unregister handlers and
// sysORTable rows and create and destroy table rows (for ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "BMibHandler.h"
#include "BMibTableImplEx.h"
#include "FakeSubtreeHandler.h"

namespace QVT::test {
namespace {

using Oid = BObjectIdentifier;

TEST(MibConcurrencyTest, QueriesRunWhileHandlersComeAndGo) {
  BMibHandler mib;
  std::vector<std::unique_ptr<FakeSubtreeHandler>> fixed, moving;
  auto make = [](const std::string& oid, const std::string& instance) {
    return std::make_unique<FakeSubtreeHandler>(oid.c_str(), std::initializer_list<const char*>{instance.c_str()});
  };
  for (int k = 0; k < 8; ++k) {
    const std::string oid = "1.3.6.1.4.1.500." + std::to_string(k);
    fixed.push_back(make(oid, oid + ".9"));  // oid.9 always answers 1
    ASSERT_NE(mib.RegisterSubtreeHandler(fixed.back().get()), 0);
    moving.push_back(make(oid + ".5", oid + ".5.1"));  // nested in it
    moving.push_back(make("1.3.6.1.4.1.501." + std::to_string(k), "1.3.6.1.4.1.501.0"));
  }
  BMibTableImplEx rows("rows", Oid("1.3.6.1.4.1.502.1"));
  rows.SetRowStatusColumn(2);
  rows.AddIndex(1, MIB_INDEX_INTEGER);
  ASSERT_NE(mib.RegisterSubtreeHandler(&rows), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  auto query = [&](int code, BVarBindList& list) {
    int errorIndex = 0;
    if (mib.Query(code, 1, BSecurityParams(), BString(), list, errorIndex) != 0) ++failures;
  };
  auto reader = [&] {
    for (int rounds = 0; rounds < 10 || !stop.load(); ++rounds) {
      BVarBindList list;  // from sysORTable on, through the handlers that come and go
      list.Append(Oid("1.3.6.1.2.1.1.9"));
      for (int steps = 0; steps < 200 && !list[0].value.IsException(); ++steps) {
        const Oid from = list[0].name;
        query(SNMP_REQ_GET_NEXT, list);
        if (!list[0].value.IsException() && list[0].name.Compare(from) <= 0) ++failures;
      }
      BVarBindList get;
      get.Append(Oid("1.3.6.1.4.1.500.3.9"));
      query(SNMP_REQ_GET, get);
      if (get[0].value.GetInt() != 1) ++failures;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
  std::thread setter([&] {
    BVarBindList list;
    list.Append(Oid("1.3.6.1.4.1.502.1.2.7"));
    for (int i = 0; i < 2000; ++i) {
      list[0].value.SetInt(i % 2 == 0 ? ROW_CREATE_AND_GO : ROW_DESTROY);
      int errorIndex = 0;
      if (mib.ProcessSet(static_cast<unsigned>(i), BSecurityParams(), list, errorIndex) != 0) ++failures;
    }
  });
  for (int round = 0; round < 2000; ++round) {
    for (auto& h : moving) ASSERT_NE(mib.RegisterSubtreeHandler(h.get()), 0);
    mib.Mib2System().InsertORRow(Oid("1.3.6.1.4.1.501"), "moving");
    for (auto& h : moving) ASSERT_NE(mib.UnregisterSubtreeHandler(h.get()), 0);
    mib.Mib2System().RemoveORRow(1);
  }
  setter.join();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(rows.RowExists(Oid{7})) << "an even number of SETs: created, then destroyed";
}

// A registration never waits for a query, however long that holds the MIB (one waiting for a slow
// sub-agent); an unregistration does.
TEST(MibConcurrencyTest, RegistrationGoesInWhileAQueryHoldsTheMib) {
  BMibHandler mib;
  FakeSubtreeHandler handler("1.3.6.1.4.1.503", {"1.3.6.1.4.1.503.1"});
  TEvent reading, done;
  std::thread query([&] {
    TReadLock lock(mib.Synch());
    reading.Set();
    done.Wait(kWaitForever);
  });
  ASSERT_EQ(reading.Wait(3000), 0);
  EXPECT_NE(mib.RegisterSubtreeHandler(&handler), 0);
  EXPECT_EQ(mib.Tree().FindSubtreeHandlerNode(Oid("1.3.6.1.4.1.503.1"))->Handler(), &handler);
  std::atomic<bool> removed{false};
  std::thread remover([&] { removed = mib.UnregisterSubtreeHandler(&handler) != 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed.load());  // held back by the query
  done.Set();
  query.join();
  remover.join();
  EXPECT_TRUE(removed.load());
}

}  // namespace
}  // namespace QVT::test
