// Queries on several threads while another thread registers and
// unregisters handlers, inserts and removes sysORTable rows and runs SETs
// that create and destroy table rows. Meant for the ThreadSanitizer build
// as much as for its own checks: every walk stays strictly increasing and
// names that never change owner always answer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BMibHandler.h"
#include "BMibTableImplEx.h"
#include "FakeSubtreeHandler.h"

namespace QVT {
namespace {

using test::FakeSubtreeHandler;
using Oid = BObjectIdentifier;

std::string Arc(const char* base, int k) {
  return std::string(base) + "." + std::to_string(k);
}

TEST(MibConcurrencyTest, QueriesRunWhileHandlersComeAndGo) {
  BMibHandler mib;
  std::vector<std::unique_ptr<FakeSubtreeHandler>> fixed, moving;
  for (int k = 0; k < 8; ++k) {
    const std::string oid = Arc("1.3.6.1.4.1.500", k);
    fixed.push_back(std::make_unique<FakeSubtreeHandler>(
        oid.c_str(), std::initializer_list<const char*>{Arc(oid.c_str(), 1).c_str(), Arc(oid.c_str(), 9).c_str()}));
    ASSERT_NE(mib.RegisterSubtreeHandler(fixed.back().get()), 0);
    const std::string nested = Arc(oid.c_str(), 5);
    moving.push_back(std::make_unique<FakeSubtreeHandler>(
        nested.c_str(), std::initializer_list<const char*>{Arc(nested.c_str(), 1).c_str()}));
    const std::string sibling = Arc("1.3.6.1.4.1.501", k);
    moving.push_back(std::make_unique<FakeSubtreeHandler>(
        sibling.c_str(), std::initializer_list<const char*>{Arc(sibling.c_str(), 0).c_str()}));
  }
  BMibTableImplEx rows("rows", Oid("1.3.6.1.4.1.502.1"));
  rows.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
  rows.SetRowStatusColumn(2);
  rows.AddIndex(1, MIB_INDEX_INTEGER);
  ASSERT_NE(mib.RegisterSubtreeHandler(&rows), 0);

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  auto reader = [&] {
    for (int rounds = 0; rounds < 10 || !stop.load(); ++rounds) {
      Oid name("1.3.6.1.4.1.500");
      for (int steps = 0; steps < 200; ++steps) {
        BVarBindList list;
        list.Append(name);
        int errorIndex = 0;
        if (mib.Query(SNMP_REQ_GET_NEXT, 1, BSecurityParams(), BString(), list, errorIndex) != 0) ++failures;
        if (list[0].value.IsException()) break;
        if (list[0].name.Compare(name) <= 0) ++failures;
        name = list[0].name;
      }
      BVarBindList get;
      get.Append(Oid("1.3.6.1.4.1.500.3.9"));
      get.Append(Oid("1.3.6.1.2.1.1.9.1.2.1"));
      int errorIndex = 0;
      mib.Query(SNMP_REQ_GET, 1, BSecurityParams(), BString(), get, errorIndex);
      if (get[0].value.GetInt() != 2) ++failures;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader);

  std::thread setter([&] {
    for (int i = 0; i < 2000; ++i) {
      BVarBindList list;
      BObjectSyntax status;
      status.SetInt(i % 2 == 0 ? ROW_CREATE_AND_GO : ROW_DESTROY);
      list.Append(Oid("1.3.6.1.4.1.502.1.2.7"), status);
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

}  // namespace
}  // namespace QVT
