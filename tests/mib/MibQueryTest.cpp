// GET and GET-NEXT through BMibHandler::Query over adjacent, nested and
// sparse registrations, checked against tables of cases and against a
// brute-force model of the registration rule over random trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BMibHandler.h"
#include "FakeSubtreeHandler.h"

namespace QVT {
namespace {

using test::FakeSubtreeHandler;
using Oid = BObjectIdentifier;

std::string QueryOne(BMibHandler& mib, int code, const char* name, int* status = nullptr) {
  BVarBindList list;
  list.Append(Oid(name));
  int errorIndex = 0;
  const int rc = mib.Query(code, 1, BSecurityParams(), BString(), list, errorIndex);
  if (status != nullptr) *status = rc;
  if (list[0].value.Syntax() == ASN_END_OF_MIB_VIEW) return "end";
  if (list[0].value.IsException()) return BObjectSyntax::SyntaxName(list[0].value.Syntax()).str();
  return list[0].name.ToString().str();
}

// Every name a walk from 0.0 returns; fails the test when names do not grow.
std::vector<std::string> Walk(BMibHandler& mib, size_t limit = 100000) {
  std::vector<std::string> names;
  Oid name("0.0");
  while (names.size() < limit) {
    BVarBindList list;
    list.Append(name);
    int errorIndex = 0;
    EXPECT_EQ(mib.Query(SNMP_REQ_GET_NEXT, 1, BSecurityParams(), BString(), list, errorIndex), 0);
    if (list[0].value.Syntax() == ASN_END_OF_MIB_VIEW) {
      EXPECT_EQ(list[0].name, name) << "endOfMibView must leave the name";
      break;
    }
    EXPECT_GT(list[0].name.Compare(name), 0) << list[0].name.ToString().str() << " after " << name.ToString().str();
    name = list[0].name;
    names.push_back(name.ToString().str());
  }
  return names;
}

TEST(MibTreeTest, SubtreeEndCarriesOverMaximalArcs) {
  struct Case {
    const char* oid;
    const char* end;  // nullptr: nothing follows
  } cases[] = {{"1.3.5", "1.3.6"}, {"1.3.4294967295", "1.4"}, {"4294967295.4294967295", nullptr}, {"", nullptr}};
  for (const Case& c : cases) {
    Oid end;
    const bool found = BMibTree::SubtreeEnd(Oid(c.oid), end);
    EXPECT_EQ(found, c.end != nullptr) << c.oid;
    if (c.end != nullptr) {
      EXPECT_EQ(end, Oid(c.end)) << c.oid;
    }
  }
}

class MibQueryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(mib.UnregisterSubtreeHandler(&mib.Mib2System()), 0); }
  FakeSubtreeHandler* Add(const char* oid, std::initializer_list<const char*> instances) {
    handlers.push_back(std::make_unique<FakeSubtreeHandler>(oid, instances));
    EXPECT_NE(mib.RegisterSubtreeHandler(handlers.back().get()), 0) << oid;
    return handlers.back().get();
  }
  BMibHandler mib;
  std::vector<std::unique_ptr<FakeSubtreeHandler>> handlers;
};

TEST_F(MibQueryTest, GetServesAContiguousOwnerInPlaceAndGathersTheOthers) {
  FakeSubtreeHandler* a = Add("1.3.9.1", {"1.3.9.1.1.0", "1.3.9.1.2.0"});
  FakeSubtreeHandler* b = Add("1.3.9.2", {"1.3.9.2.1.0"});
  BVarBindList list;
  for (const char* name : {"1.3.9.1.1.0", "1.3.9.2.1.0", "1.3.9.1.2.0", "1.3.8.1", "1.3.9.1.3.0"})
    list.Append(Oid(name));
  int errorIndex = -1;
  ASSERT_EQ(mib.Query(SNMP_REQ_GET, 7, BSecurityParams(), BString(), list, errorIndex), 0);
  EXPECT_EQ(errorIndex, 0);
  EXPECT_EQ(list[0].value.GetInt(), 1);
  EXPECT_EQ(list[1].value.GetInt(), 1);
  EXPECT_EQ(list[2].value.GetInt(), 2);
  EXPECT_EQ(list[3].value.Syntax(), ASN_NO_SUCH_OBJECT);
  EXPECT_EQ(list[4].value.Syntax(), ASN_NO_SUCH_INSTANCE);
  ASSERT_EQ(a->Calls().size(), 1u);
  EXPECT_NE(a->Calls()[0].list, &list);  // positions 0, 2, 4: gathered
  EXPECT_EQ(a->Calls()[0].count, 3);
  ASSERT_EQ(b->Calls().size(), 1u);
  EXPECT_EQ(b->Calls()[0].list, &list);  // position 1 alone: served in place
  EXPECT_EQ(b->Calls()[0].index, 1);

  BVarBindList own;
  own.Append(Oid("1.3.9.1.1.0"));
  own.Append(Oid("1.3.9.1.2.0"));
  ASSERT_EQ(mib.Query(SNMP_REQ_GET, 8, BSecurityParams(), BString(), own, errorIndex), 0);
  EXPECT_EQ(a->Calls().back().list, &own) << "a list one handler owns is not copied";
}

TEST_F(MibQueryTest, HandlerErrorIndexMapsToTheRequestPosition) {
  Add("1.3.9.1", {"1.3.9.1.1.0"})->FailGet(SNMP_ERR_GENERR);
  Add("1.3.9.2", {"1.3.9.2.1.0"});
  BVarBindList list;
  for (const char* name : {"1.3.9.2.1.0", "1.3.9.1.1.0", "1.3.9.2.1.0", "1.3.9.1.1.0"}) list.Append(Oid(name));
  int errorIndex = 0;
  EXPECT_EQ(mib.Query(SNMP_REQ_GET, 1, BSecurityParams(), BString(), list, errorIndex), SNMP_ERR_GENERR);
  EXPECT_EQ(errorIndex, 4);  // the handler's last varbind
  BVarBindList next;
  next.Append(Oid("1.3.9.2.1.0"));
  next.Append(Oid("1.3.9.1"));
  EXPECT_EQ(mib.Query(SNMP_REQ_GET_NEXT, 1, BSecurityParams(), BString(), next, errorIndex), SNMP_ERR_GENERR);
  EXPECT_EQ(errorIndex, 2);
  EXPECT_EQ(mib.Query(0xA2, 1, BSecurityParams(), BString(), next, errorIndex), SNMP_ERR_GENERR);
}

TEST_F(MibQueryTest, GetNextCrossesAdjacentNestedAndSparseRegistrations) {
  Add("1.3.6.1.4.1.100", {"1.3.6.1.4.1.100.1.0", "1.3.6.1.4.1.100.2.0", "1.3.6.1.4.1.100.5.1", "1.3.6.1.4.1.100.9.0"});
  Add("1.3.6.1.4.1.100.5", {"1.3.6.1.4.1.100.5.2", "1.3.6.1.4.1.100.5.3"});
  Add("1.3.6.1.4.1.101", {"1.3.6.1.4.1.101.1"});
  Add("1.3.6.1.4.1.102", {});
  Add("1.3.6.1.4.1.200.7", {"1.3.6.1.4.1.200.7.7"});
  Add("1.3.6.1.4.1.200.7.7", {"1.3.6.1.4.1.200.7.7"});  // a single instance, like a row-instance proxy
  struct Case {
    const char* from;
    const char* next;
  } cases[] = {
      {"0.0", "1.3.6.1.4.1.100.1.0"},
      {"1.3.6.1.4.1.100.2.0", "1.3.6.1.4.1.100.5.2"},  // 100.5.1 belongs to the nested registration
      {"1.3.6.1.4.1.100.5", "1.3.6.1.4.1.100.5.2"},
      {"1.3.6.1.4.1.100.5.3", "1.3.6.1.4.1.100.9.0"},  // the enclosing one resumes
      {"1.3.6.1.4.1.100.9.0", "1.3.6.1.4.1.101.1"},    // adjacent
      {"1.3.6.1.4.1.101.1", "1.3.6.1.4.1.200.7.7"},    // past an empty one
      {"1.3.6.1.4.1.150", "1.3.6.1.4.1.200.7.7"},      // from a gap
      {"1.3.6.1.4.1.200.7.7", "end"},
      {"2", "end"},
  };
  for (const Case& c : cases) EXPECT_EQ(QueryOne(mib, SNMP_REQ_GET_NEXT, c.from), c.next) << c.from;
  FakeSubtreeHandler twin("1.3.6.1.4.1.101", {});
  EXPECT_EQ(mib.RegisterSubtreeHandler(&twin), 0) << "an identical OID is refused";
  EXPECT_EQ(mib.UnregisterSubtreeHandler(&twin), 0) << "only the registered object can be removed";
  EXPECT_EQ(QueryOne(mib, SNMP_REQ_GET, "1.3.6.1.4.1.100.5.1"), "noSuchInstance") << "shadowed by the nested one";
}

TEST_F(MibQueryTest, MisbehavingHandlersAreSkippedAndTheWalkEnds) {
  Add("1.3.1", {"1.3.1.1", "1.3.1.2"});
  Add("1.3.1.1", {"1.3.1.1.5"})->SetMisbehave(FakeSubtreeHandler::Misbehave::kOutside);
  Add("1.3.2", {"1.3.2.1"})->SetMisbehave(FakeSubtreeHandler::Misbehave::kSmaller);
  Add("1.3.3", {"1.3.3.1"});
  EXPECT_EQ(Walk(mib), (std::vector<std::string>{"1.3.1.2", "1.3.3.1"}));
}

TEST_F(MibQueryTest, AccessControlHidesNamesFromGetAndGetNext) {
  struct HideSecret : IAccessControl {
    int IsAccessAllowed(const BSecurityParams&, const BObjectIdentifier& name, int) override {
      return Oid("1.3.5.2").IsStartingSubOidOf(name) ? 0 : 1;
    }
  } hide;
  BMibHandler guarded(&hide);
  FakeSubtreeHandler h("1.3.5", {"1.3.5.1", "1.3.5.2.1", "1.3.5.2.2", "1.3.5.3"});
  ASSERT_NE(guarded.RegisterSubtreeHandler(&h), 0);
  EXPECT_EQ(QueryOne(guarded, SNMP_REQ_GET, "1.3.5.2.1"), "noSuchObject");
  EXPECT_EQ(QueryOne(guarded, SNMP_REQ_GET_NEXT, "1.3.5.1"), "1.3.5.3");
  EXPECT_EQ(guarded.UnregisterSubtreeHandler(&h), 1);
}

// Random trees of nested registrations, each with instances of its own (some
// of them inside deeper registrations, where they must stay hidden). The
// model: an instance is visible when its handler is the deepest
// registration whose OID starts it.
TEST_F(MibQueryTest, WalksMatchTheRegistrationModelOnRandomTrees) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    auto randomOid = [&](Oid base, int minArcs, int maxArcs) {
      const int n = std::uniform_int_distribution<int>(minArcs, maxArcs)(rng);
      for (int i = 0; i < n; ++i) base.Append(std::uniform_int_distribution<uint32_t>(0, 3)(rng));
      return base;
    };
    BMibHandler mib;
    mib.UnregisterSubtreeHandler(&mib.Mib2System());
    std::vector<std::unique_ptr<FakeSubtreeHandler>> owned;
    std::map<Oid, FakeSubtreeHandler*> registered;
    for (int i = 0; i < 25; ++i) {
      const Oid oid = randomOid(Oid("1.3"), 1, 4);
      if (registered.count(oid) != 0) continue;
      owned.push_back(
          std::make_unique<FakeSubtreeHandler>(oid.ToString().c_str(), std::initializer_list<const char*>{}));
      FakeSubtreeHandler* h = owned.back().get();
      if (rng() % 4 == 0) h->Add(oid.ToString().c_str(), 1);  // the registration is itself an instance
      for (int k = 0; k < 6; ++k) h->Add(randomOid(oid, 1, 3).ToString().c_str(), k);
      ASSERT_NE(mib.RegisterSubtreeHandler(h), 0);
      registered[oid] = h;
    }
    for (int i = 0; i < 5; ++i) {  // unregister a few again
      auto it = std::next(registered.begin(), static_cast<long>(rng() % registered.size()));
      ASSERT_NE(mib.UnregisterSubtreeHandler(it->second), 0);
      registered.erase(it);
    }
    auto ownerOf = [&](const Oid& name) {
      FakeSubtreeHandler* best = nullptr;
      for (const auto& [oid, h] : registered) {
        if (oid.IsStartingSubOidOf(name) && (best == nullptr || oid.Length() > best->Oid().Length())) best = h;
      }
      return best;
    };
    std::set<Oid> visible;
    for (const auto& [oid, h] : registered) {
      for (const auto& [name, value] : h->Instances()) {
        if (ownerOf(name) == h) visible.insert(name);
      }
      // Parents as the model sees them.
      const BMibTreeNode* node = mib.Tree().FindExact(oid);
      Oid stem = oid;
      stem.SetLength(oid.Length() - 1);
      FakeSubtreeHandler* parent = ownerOf(stem);
      EXPECT_EQ(node->Parent() == nullptr ? nullptr : node->Parent()->Handler(), parent) << "seed " << seed;
    }
    std::vector<std::string> expected;
    for (const Oid& name : visible) expected.push_back(name.ToString().str());
    EXPECT_EQ(Walk(mib), expected) << "seed " << seed;
    for (int probe = 0; probe < 20; ++probe) {  // GET-NEXT from names that are not instances
      const Oid from = randomOid(Oid("1.3"), 0, 6);
      auto next = visible.upper_bound(from);
      EXPECT_EQ(QueryOne(mib, SNMP_REQ_GET_NEXT, from.ToString().c_str()),
                next == visible.end() ? "end" : next->ToString().str())
          << "seed " << seed << " from " << from.ToString().str();
    }
  }
}

TEST_F(MibQueryTest, DiagnosticCommandsListAndQuery) {
  Add("1.3.9", {"1.3.9.1"});
  Add("1.3.9.4", {});
  BString out;
  ASSERT_EQ(mib.CmdExecute(mib.CmdId("handlers"), BString(), out), 0);
  EXPECT_EQ(out.str(), "1.3.9 1.3.9 (type 2)\n  1.3.9.4 1.3.9.4 (type 2)\n");
  ASSERT_EQ(mib.CmdExecute(mib.CmdId("next"), " 1.3.9 ", out), 0);
  EXPECT_EQ(out.str(), "1.3.9.1 = INTEGER: 1\n");
  EXPECT_NE(mib.CmdExecute(mib.CmdId("get"), "1..3", out), 0);
  EXPECT_EQ(mib.CmdId("nope"), -1);
  EXPECT_NE(mib.CmdGetMap().str().find("get OID - "), std::string::npos);
}

}  // namespace
}  // namespace QVT
