// The PDU record, the texts of status codes and PDU types, and the
// parameter OID singleton.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "BSAOIDs.h"
#include "BSAPdu.h"
#include "ProtocolTestUtil.h"

namespace QVT::test {
namespace {

void ExpectHeader(const BSAPdu& pdu, unsigned type, unsigned session, unsigned transaction, unsigned request) {
  EXPECT_EQ(pdu.type, type);
  EXPECT_EQ(pdu.flags, 0);
  EXPECT_EQ(pdu.sessionId, session);
  EXPECT_EQ(pdu.transactionId, transaction);
  EXPECT_EQ(pdu.requestId, request);
  EXPECT_EQ(pdu.errorStatus, 0);
  EXPECT_EQ(pdu.errorIndex, 0);
  EXPECT_EQ(pdu.sysUpTime, 0u);
}

BSAPdu Filled() {
  BSAPdu pdu(SA_PDU_RESPONSE, 7, 42);
  pdu.flags = 4;
  pdu.transactionId = 11;
  pdu.errorStatus = 263;
  pdu.errorIndex = 2;
  pdu.sysUpTime = 1234;
  pdu.varBindList.Append(BObjectIdentifier("1.3.6.1"), Int(5));
  return pdu;
}

TEST(BSAPduTest, ConstructorsSetOnlyWhatTheyAreGiven) {
  ExpectHeader(BSAPdu(SA_PDU_RESPONSE, 7, 42), SA_PDU_RESPONSE, 7, 0, 42);
  ExpectHeader(BSAPdu(SA_PDU_PING), SA_PDU_PING, 0, 0, 0);
  ExpectHeader(BSAPdu(), 0, 0, 0, 0);
  EXPECT_EQ(BSAPdu(SA_PDU_PING).varBindList.Count(), 0);
}

TEST(BSAPduTest, InitFormsPutTheThirdNumberInDifferentFields) {
  BSAPdu pdu = Filled();
  pdu.Init(SA_PDU_GET, 3, 9);
  ExpectHeader(pdu, SA_PDU_GET, 3, 9, 0);
  EXPECT_EQ(pdu.varBindList.Count(), 0);

  BVarBindList list;
  list.Append(BObjectIdentifier("1.3.6.1.2"));
  list.Append(BObjectIdentifier("1.3.6.1.3"));
  pdu = Filled();
  pdu.Init(SA_PDU_GET, 3, 9, list);
  ExpectHeader(pdu, SA_PDU_GET, 3, 0, 9);
  ASSERT_EQ(pdu.varBindList.Count(), 2);
  EXPECT_EQ(pdu.varBindList[1].name.ToString().str(), "1.3.6.1.3");

  pdu = Filled();
  pdu.Init(0, 0, 0);
  ExpectHeader(pdu, 0, 0, 0, 0);
  EXPECT_EQ(pdu.varBindList.Count(), 0);
}

TEST(BSAPduTest, CopiesCarryEveryFieldAndSelfAssignmentChangesNothing) {
  const BSAPdu original = Filled();
  BSAPdu copy(original);
  BSAPdu assigned(SA_PDU_PING);
  assigned.varBindList.Append(BObjectIdentifier("1.3.9"));
  assigned = original;
  for (const BSAPdu* pdu : {&copy, &assigned}) {
    EXPECT_EQ(pdu->type, SA_PDU_RESPONSE);
    EXPECT_EQ(pdu->flags, 4);
    EXPECT_EQ(pdu->sessionId, 7u);
    EXPECT_EQ(pdu->transactionId, 11u);
    EXPECT_EQ(pdu->requestId, 42u);
    EXPECT_EQ(pdu->errorStatus, 263);
    EXPECT_EQ(pdu->errorIndex, 2);
    EXPECT_EQ(pdu->sysUpTime, 1234u);
    ASSERT_EQ(pdu->varBindList.Count(), 1);
    EXPECT_EQ(pdu->varBindList[0].value.GetInt(), 5);
  }

  BSAPdu self = Filled();
  BSAPdu& alias = self;
  self = alias;
  self.Assign(self);
  EXPECT_EQ(self.requestId, 42u);
  EXPECT_EQ(self.varBindList.Count(), 1);

  self.SetFlagsIndex(SA_IXALLOC_NEW_INDEX);
  EXPECT_EQ(self.flags, 2);
}

TEST(BSAPduTest, StatusCodesAreNegativeAsSignedNumbers) {
  EXPECT_EQ(static_cast<unsigned>(SA_ERR_TIMEOUT), 0x800C0001u);
  EXPECT_EQ(static_cast<unsigned>(SA_ERR_ALREADY_BOUND), 0x800B000Bu);
  for (const int code :
       {SA_ERR_TIMEOUT, SA_ERR_ALREADY_OPEN, SA_ERR_BAD_ENCODING, SA_ERR_BAD_VALUE, SA_ERR_WRONG_TAG,
        SA_ERR_BUFFER_FULL, SA_ERR_OCTETS_TOO_LONG, SA_ERR_ALREADY_BOUND, SA_ERR_SOCKET_BASE, SA_ERR_BAD_MAGIC}) {
    EXPECT_LT(code, 0) << std::hex << code;
  }
}

TEST(BSAPduTest, ErrorTexts) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {0, " (0) noError"},
      {256, " (100) openFailed"},
      {257, " (101) notOpen"},
      {258, " (102) indexWrongType"},
      {259, " (103) indexAlreadyAllocated"},
      {260, " (104) indexNoneAvailable"},
      {261, " (105) indexNotAllocated"},
      {262, " (106) unsupportedContext"},
      {263, " (107) duplicateRegistration"},
      {264, " (108) unknownRegistration"},
      {265, " (109) unknownAgentCaps"},
      {266, " (10a) parseError"},
      {267, " (10b) requestDenied"},
      {268, " (10c) processingError"},
      {269, " (10d) internalError"},
      {255, " (ff) internalError"},
      {5, " (5) internalError"},
      {-1, " (ffffffff) internalError"},
      {SA_ERR_BAD_ENCODING, " (800c000b) internalError"},
  };
  for (const auto& c : cases) EXPECT_STREQ(QVSAErr2Str(c.code), c.text) << c.code;
}

TEST(BSAPduTest, PduTypeTexts) {
  const char* const names[] = {"openSession",
                               "closeSession",
                               "registerSubtree",
                               "unregisterSubtree",
                               "GET",
                               "GET-NEXT",
                               "GET-BULK",
                               "SET-test",
                               "SET-commit",
                               "SET-undo",
                               "SET-cleanup",
                               "notify",
                               "ping",
                               "indexAllocate",
                               "indexDeallocate",
                               "addAgentCapabilities",
                               "removeAgentCapabilities",
                               "RESPONSE"};
  for (int type = SA_PDU_OPEN_SESSION; type <= SA_PDU_RESPONSE; ++type) {
    EXPECT_EQ(std::string(QVSAPduType2Str(type)), std::string(names[type - 1]) + " (" + std::to_string(type) + ")");
  }
  EXPECT_STREQ(QVSAPduType2Str(0), "unknown (0)");
  EXPECT_STREQ(QVSAPduType2Str(19), "unknown (19)");
  EXPECT_STREQ(QVSAPduType2Str(-1), "unknown (-1)");
}

TEST(BSAPduTest, TextsOfOneThreadSurviveCallsOnAnother) {
  const char* mine = QVSAPduType2Str(SA_PDU_GET);
  std::thread([] { (void)QVSAPduType2Str(SA_PDU_PING); }).join();
  EXPECT_STREQ(mine, "GET (5)");
}

TEST(BSAOIDsTest, TenParameterOidsInConstructionOrder) {
  const BSAOIDs* oids = BSAOIDs::Instance();
  ASSERT_NE(oids, nullptr);
  EXPECT_EQ(BSAOIDs::Instance(), oids);
  EXPECT_EQ(BSAOIDs::s_pInstance.load(), oids);
  const BObjectIdentifier* members[] = {
      &oids->oidIndexPrefix, &oids->oidSpare1, &oids->oidHandlerType, &oids->oidName,  &oids->oidSubtree,
      &oids->oidSubId,       &oids->oidSpare6, &oids->oidRowIndex,    &oids->oidCount, &oids->oidMaxProcTime};
  const char* const dotted[] = {"2.18",   "2.18.1", "2.18.3", "2.18.2", "2.18.4",
                                "2.18.5", "2.18.6", "2.18.7", "2.18.8", "2.18.9"};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(members[i]->ToString().str(), dotted[i]);
    if (i > 0) {
      EXPECT_LT(members[i - 1], members[i]) << "declared out of order";
    }
  }
}

TEST(BSAOIDsTest, DestroyThenInstanceCreatesAFreshOne) {
  BSAOIDs* first = BSAOIDs::Instance();
  const int registered = BSingletons::Count();
  first->Destroy();
  EXPECT_EQ(BSAOIDs::s_pInstance.load(), nullptr);
  EXPECT_EQ(BSingletons::Count(), registered - 1);

  BSAOIDs* second = BSAOIDs::Instance();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(BSingletons::Count(), registered);
  EXPECT_EQ(second->oidMaxProcTime.ToString().str(), "2.18.9");

  // The host registry tears it down like every other singleton.
  BSingletons::DestroyAll();
  EXPECT_EQ(BSAOIDs::s_pInstance.load(), nullptr);
  EXPECT_EQ(BSingletons::Count(), 0);
  EXPECT_NE(BSAOIDs::Instance(), nullptr);
}

}  // namespace
}  // namespace QVT::test
