// What the sub-agent tells the master: the varbinds of its registrations
// (handlers, ranges, table rows), the two list builders, notifications and
// index requests, each checked on the PDU the scripted master received.
#include <gtest/gtest.h>

#include "BMibTableImpl.h"
#include "BSAMibImpl.h"
#include "FakeSubtreeHandler.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

constexpr const char* kEntry = "1.3.6.1.4.1.99.4.1";  // 9 arcs

class RegistryTest : public SubAgentTest {
 protected:
  void SetUp() override {
    SubAgentTest::SetUp();
    OpenSubAgent();
  }

  BSAPdu LastRequest() const { return m_master.Received().back(); }

  // The varbinds of the last request, with its type and session in front.
  std::vector<std::string> Sent() const {
    const BSAPdu request = LastRequest();
    std::vector<std::string> texts = Texts(request.varBindList);
    texts.insert(texts.begin(), "type " + std::to_string(request.type) + " session " +
                                    std::to_string(request.sessionId) + " flags " + std::to_string(request.flags));
    return texts;
  }

  static std::string Header(int type, int flags = 0) {
    return "type " + std::to_string(type) + " session " + std::to_string(ScriptedMaster::kSessionId) + " flags " +
           std::to_string(flags);
  }
};

TEST_F(RegistryTest, HandlerRegistrationsCarryThreeVarbindsOrFiveForARange) {
  FakeSubtreeHandler plain("1.3.6.1.4.1.99.1", {});
  FakeSubtreeHandler range("1.3.6.1.4.1.99.2.1", {});
  range.SetHandlerType(MIB_HANDLER_RANGE);
  range.SetRange(9, 4);
  const std::vector<std::string> plainVbs = {"2.18.3=INTEGER: 2", "2.18.2=STRING: \"1.3.6.1.4.1.99.1\"",
                                             "2.18.4=OID: .1.3.6.1.4.1.99.1"};
  const std::vector<std::string> rangeVbs = {"2.18.3=INTEGER: 6", "2.18.2=STRING: \"1.3.6.1.4.1.99.2.1\"",
                                             "2.18.4=OID: .1.3.6.1.4.1.99.2.1", "2.18.5=INTEGER: 9",
                                             "2.18.5=INTEGER: 4"};
  for (const int type : {SA_PDU_REGISTER, SA_PDU_UNREGISTER}) {
    const bool reg = type == SA_PDU_REGISTER;
    for (auto [handler, varbinds] : {std::pair{&plain, &plainVbs}, std::pair{&range, &rangeVbs}}) {
      EXPECT_EQ(reg ? m_subAgent->Register(handler) : m_subAgent->Unregister(handler), 0);
      std::vector<std::string> expected = *varbinds;
      expected.insert(expected.begin(), Header(type));
      EXPECT_EQ(Sent(), expected);
    }
  }
}

// The master's refusal comes back as its wire code, a failed exchange as
// its negative status.
TEST_F(RegistryTest, RegistrationsReturnTheVerdictOrTheExchangeFailure) {
  FakeSubtreeHandler plain("1.3.6.1.4.1.99.1", {});
  BMibTableImpl table("tbl", BObjectIdentifier(kEntry));
  struct Row {
    int errorStatus;  // -1: no answer
    int result;
  };
  for (const Row row :
       {Row{SA_WIRE_DUPLICATE_REGISTRATION, 263}, Row{SA_WIRE_NOT_OPEN, 257}, Row{-1, SA_ERR_TIMEOUT}}) {
    SCOPED_TRACE(row.errorStatus);
    m_master.SetScript([row](const BSAPdu& request) {
      return row.errorStatus < 0 ? std::vector<Datagram>{} : std::vector<Datagram>{Answer(request, row.errorStatus)};
    });
    EXPECT_EQ(m_subAgent->Register(&plain), row.result);
    EXPECT_EQ(m_subAgent->UnregisterRow(&table, BObjectIdentifier{1}), row.result);
  }
}

// A row registers as a range over the table's accessible columns:
// entry.firstColumn.index, varying the column up to the last one.
TEST_F(RegistryTest, RowRegistrationIsARangeOverTheAccessibleColumns) {
  BMibTableImpl table("tbl", BObjectIdentifier(kEntry));
  table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
  table.AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_INTEGER);
  table.AddColumn(3, MIB_ACCESS_NONE, ASN_INTEGER);
  table.AddColumn(5, MIB_ACCESS_READ_CREATE, ASN_INTEGER);
  table.AddColumn(6, MIB_ACCESS_NOTIFY, ASN_INTEGER);
  BMibTableImpl hidden("hidden", BObjectIdentifier(kEntry));
  hidden.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
  const std::string emptyIndex = BObjectIdentifier().ToString().str();
  struct Row {
    BMibTableImpl* table;
    BObjectIdentifier index;
    std::string name;
    std::string subtree;
    int upperBound;
  };
  const Row rows[] = {
      {&table, {3, 7}, "tbl 3.7", "1.3.6.1.4.1.99.4.1.2.3.7", 5},
      {&table, {}, "tbl " + emptyIndex, "1.3.6.1.4.1.99.4.1.2", 5},
      {&hidden, {3, 7}, "hidden 3.7", "1.3.6.1.4.1.99.4.1.0.3.7", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const int type : {SA_PDU_REGISTER, SA_PDU_UNREGISTER}) {
      EXPECT_EQ(type == SA_PDU_REGISTER ? m_subAgent->RegisterRow(row.table, row.index)
                                        : m_subAgent->UnregisterRow(row.table, row.index),
                0);
      EXPECT_EQ(Sent(),
                (std::vector<std::string>{Header(type), "2.18.3=INTEGER: 6", "2.18.2=STRING: \"" + row.name + "\"",
                                          "2.18.4=OID: ." + row.subtree, "2.18.5=INTEGER: 10",
                                          "2.18.5=INTEGER: " + std::to_string(row.upperBound)}));
    }
  }
}

// The list builders append after what the PDU holds already.
TEST_F(RegistryTest, AddSubidsToVblDescribesTheImplementationByItsType) {
  BSAMibImpl range("r", BObjectIdentifier("1.3.6.1.4.1.99.5"), MIB_HANDLER_RANGE);
  range.SetRange(9, 4);
  BSAMibImpl subtree("s", BObjectIdentifier("1.3.6.1.4.1.99.5"), MIB_HANDLER_SUBTREE);
  BSAMibImpl emptyOid("e", BObjectIdentifier(), MIB_HANDLER_SUBTREE);
  BSAMibImpl scalars("c", BObjectIdentifier("1.3.6.1.4.1.99.6"));
  scalars.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_INTEGER);
  scalars.AddEntry(2, MIB_ACCESS_NONE, ASN_INTEGER);
  scalars.AddEntry(3, MIB_ACCESS_READ_WRITE, ASN_INTEGER);
  scalars.AddEntry(4, MIB_ACCESS_NOTIFY, ASN_INTEGER);
  scalars.AddEntry(7, MIB_ACCESS_READ_CREATE, ASN_INTEGER);
  BSAMibImpl hidden("h", BObjectIdentifier("1.3.6.1.4.1.99.6"));
  hidden.AddEntry(2, MIB_ACCESS_NONE, ASN_INTEGER);
  struct Row {
    BSAMibImpl* mib;
    std::vector<std::string> appended;
  };
  const Row rows[] = {
      {&range, {"2.18.5=INTEGER: 9", "2.18.5=INTEGER: 4"}},
      {&subtree, {"2.18.5=INTEGER: 8", "2.18.5=INTEGER: 5"}},
      {&emptyOid, {"2.18.5=INTEGER: 0", "2.18.5=INTEGER: 0"}},
      {&scalars, {"2.18.8=INTEGER: 3", "2.18.5=INTEGER: 1", "2.18.5=INTEGER: 3", "2.18.5=INTEGER: 7"}},
      {&hidden, {"2.18.8=INTEGER: 0"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mib->Name().str());
    BSAPdu pdu(SA_PDU_REGISTER, 1, 1);
    pdu.varBindList.Append(BObjectIdentifier("1.2.3"), Int(1));
    m_subAgent->AddSubidsToVbl(row.mib, pdu);
    std::vector<std::string> expected = row.appended;
    expected.insert(expected.begin(), "1.2.3=INTEGER: 1");
    EXPECT_EQ(Texts(pdu.varBindList), expected);
  }
  EXPECT_EQ(hidden.Get1stAccessibleSubId(), 0u);
  EXPECT_EQ(hidden.GetLastAccessibleSubId(), 0u);
  EXPECT_EQ(scalars.GetAccess(5), 0);
  EXPECT_EQ(scalars.GetNextSubId(7), 0u);
  EXPECT_EQ(emptyOid.Get1stSubId(), 0u);
}

TEST_F(RegistryTest, AddIndicesToVblListsTheRowsOfTheFirstAccessibleColumn) {
  BMibTableImpl table("tbl", BObjectIdentifier(kEntry));
  table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
  table.AddColumn(2, MIB_ACCESS_NONE, ASN_OCTET_STRING);
  table.AddColumn(3, MIB_ACCESS_READ_ONLY, ASN_INTEGER).Default(Int(0));
  table.AddIndex(1, MIB_INDEX_INTEGER);
  table.AddIndex(2, MIB_INDEX_OCTETS);
  BSAPdu pdu(SA_PDU_REGISTER, 1, 1);
  pdu.varBindList.Append(BObjectIdentifier("1.2.3"), Int(1));
  m_subAgent->AddIndicesToVbl(&table, pdu);
  EXPECT_EQ(Texts(pdu.varBindList), (std::vector<std::string>{"1.2.3=INTEGER: 1", "2.18.8=INTEGER: 0"}));

  for (const BObjectIdentifier& index : {BObjectIdentifier{9, 1, 97}, BObjectIdentifier{4, 2, 97, 98}}) {
    ASSERT_NE(table.AddRow(index), 0);
  }
  pdu.varBindList.Clear();
  m_subAgent->AddIndicesToVbl(&table, pdu);
  EXPECT_EQ(Texts(pdu.varBindList),
            (std::vector<std::string>{"2.18.8=INTEGER: 2", "2.18.7=OID: .2.18.4.2.97.98", "2.18.7=OID: .2.18.9.1.97"}));
}

TEST_F(RegistryTest, NotifyPutsSnmpTrapOidFirst) {
  BVarBindList vbs;
  vbs.Append(BObjectIdentifier("1.3.6.1.4.1.99.9.1"), Int(1));
  vbs.Append(BObjectIdentifier("1.3.6.1.4.1.99.9.2"), Text("two"));
  vbs.Append(BObjectIdentifier("1.3.6.1.4.1.99.9.3"), OidValue("1.3"));
  BNotification v2(BObjectIdentifier("1.3.6.1.4.1.99.0.1"));
  v2.VarBinds() = vbs;
  BTrapV1 specific(BObjectIdentifier("1.3.6.1.4.1.99"), SNMP_TRAP_ENTERPRISE_SPECIFIC, 17);
  specific.VarBinds() = vbs;
  BTrapV1 linkDown(BObjectIdentifier("1.3.6.1.4.1.99"), SNMP_TRAP_LINK_DOWN, 0);
  linkDown.VarBinds() = vbs;
  struct Row {
    const BTrap* trap;
    const char* trapOid;
  };
  const Row rows[] = {
      {&v2, "1.3.6.1.4.1.99.0.1"}, {&specific, "1.3.6.1.4.1.99.0.17"}, {&linkDown, "1.3.6.1.6.3.1.1.5.3"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.trapOid);
    std::vector<std::string> expected = Texts(vbs);
    expected.insert(expected.begin(),
                    {Header(SA_PDU_NOTIFY), std::string("1.3.6.1.6.3.1.1.4.1.0=OID: .") + row.trapOid});
    EXPECT_EQ(m_subAgent->Notify(*row.trap), 0);
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(m_subAgent->SendTrap(*row.trap, "ignored"), 0);
    EXPECT_EQ(Sent(), expected);
  }
}

TEST_F(RegistryTest, NotifyFailures) {
  const size_t sent = m_master.Received().size();
  for (const BTrapV1& trap : {BTrapV1(BObjectIdentifier(), SNMP_TRAP_ENTERPRISE_SPECIFIC, 1),
                              BTrapV1(BObjectIdentifier("1.3.6.1.4.1.99"), static_cast<ESNMPv1TrapType>(7), 1)}) {
    EXPECT_EQ(m_subAgent->Notify(trap), -1);
  }
  // A notification or index list too large for one datagram is not sent.
  BNotification huge(BObjectIdentifier("1.3.6.1.4.1.99.0.1"));
  huge.VarBinds().Append(BObjectIdentifier("1.3.6.1.4.1.99.9.1"), Text(std::string(3000, 'x')));
  EXPECT_EQ(m_subAgent->Notify(huge), SA_ERR_BUFFER_FULL);
  BVarBindList hugeIndex = huge.VarBinds();
  EXPECT_EQ(m_subAgent->IndexAlloc(SA_IXALLOC_ANY_INDEX, hugeIndex), SA_ERR_BUFFER_FULL);
  EXPECT_EQ(Texts(hugeIndex), Texts(huge.VarBinds()));
  EXPECT_FALSE(m_master.WaitForRequests(sent + 1, /*ms=*/200));

  const BNotification trap(BObjectIdentifier("1.3.6.1.4.1.99.0.1"));
  m_master.SetScript([](const BSAPdu& request) { return std::vector<Datagram>{Answer(request, SA_WIRE_NOT_OPEN)}; });
  EXPECT_EQ(m_subAgent->Notify(trap), SA_WIRE_NOT_OPEN);
  m_master.SetScript([](const BSAPdu&) { return std::vector<Datagram>{}; });
  EXPECT_EQ(m_subAgent->Notify(trap), SA_ERR_TIMEOUT);
}

TEST_F(RegistryTest, IndexAllocReplacesTheListOnlyOnSuccess) {
  BVarBindList picked;
  picked.Append(BObjectIdentifier("1.3.6.1.4.1.99.3.1.1"), Int(17));
  m_master.SetScript([picked](const BSAPdu& request) {
    if (request.flags == SA_IXALLOC_ANY_INDEX) return std::vector<Datagram>{Answer(request, 0, picked)};
    if (request.flags == SA_IXALLOC_NEW_INDEX) return std::vector<Datagram>{};
    return std::vector<Datagram>{Answer(request, SA_WIRE_INDEX_ALREADY_ALLOCATED, picked)};
  });
  BVarBindList asked;
  asked.Append(BObjectIdentifier("1.3.6.1.4.1.99.3.1.1"), Int(0));
  const std::vector<std::string> askedTexts = Texts(asked);
  struct Row {
    ESAIxAlloc mode;
    int result;
    const BVarBindList& after;
  };
  for (const Row& row : {Row{SA_IXALLOC_VALUE, 259, asked}, Row{SA_IXALLOC_NEW_INDEX, SA_ERR_TIMEOUT, asked},
                         Row{SA_IXALLOC_ANY_INDEX, 0, picked}}) {
    SCOPED_TRACE(row.mode);
    BVarBindList list = asked;
    EXPECT_EQ(m_subAgent->IndexAlloc(row.mode, list), row.result);
    EXPECT_EQ(Texts(list), Texts(row.after));
    std::vector<std::string> expected = askedTexts;
    expected.insert(expected.begin(), Header(SA_PDU_INDEX_ALLOCATE, row.mode));
    EXPECT_EQ(Sent(), expected);
  }
}

TEST_F(RegistryTest, IndexDeallocNeverChangesTheList) {
  BVarBindList list;
  list.Append(BObjectIdentifier("1.3.6.1.4.1.99.3.1.1"), Int(5));
  BVarBindList other;
  other.Append(BObjectIdentifier("1.2.3"), Int(6));
  for (const int status : {0, 261}) {
    m_master.SetScript(
        [status, other](const BSAPdu& request) { return std::vector<Datagram>{Answer(request, status, other)}; });
    BVarBindList copy = list;
    EXPECT_EQ(m_subAgent->IndexDealloc(copy), status);
    EXPECT_EQ(Texts(copy), Texts(list));
    std::vector<std::string> expected = Texts(list);
    expected.insert(expected.begin(), Header(SA_PDU_INDEX_DEALLOCATE));
    EXPECT_EQ(Sent(), expected);
  }
}

}  // namespace
}  // namespace QVT::test
