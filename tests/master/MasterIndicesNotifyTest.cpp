// The index registry behind indexAllocate / indexDeallocate and notification
// forwarding, driven through the master's PDU handlers on the test's thread.
#include <sstream>

#include "MasterTestSupport.h"
#include "RecordingTrapSender.h"

namespace QVT::test {
namespace {

// Steps, each "<op> <varbinds> > <errorStatus> <errorIndex> [<the answer's varbinds>]". op: v, n, y, b
// allocate the given values, new values, any values, both flags; d deallocates; "!" before op sends from a
// session not open. A varbind is "<index name>=<Value()>", the names 1 and 2 under 1.3.6.1.3.7.
const std::pair<const char*, std::vector<const char*>> kScenarios[] = {
    {"NewCountsFrom1", {"n 1=i0 > 0 0 1=1", "n 1=i0 2=i0 > 0 0 1=2 2=1"}},
    {"NewStepsOverReleasedAnyReusesThem",
     {"v 1=i1 1=i2 1=i3 > 0 0", "d 1=i3 > 0 0 1=3", "n 1=i0 > 0 0 1=4", "y 1=i0 > 0 0 1=3", "d 1=i3 1=i2 > 0 0",
      "n 1=i0 > 0 0 1=5", "d 1=i4 1=i5 > 0 0", "n 1=i0 > 0 0 1=6", "y 1=i0 > 0 0 1=2"}},
    {"NewAfterEverythingWasReleased", {"v 1=i5 > 0 0", "d 1=i5 > 0 0", "n 1=i0 > 0 0 1=6"}},
    {"AnyWithNothingReleasedIsNew", {"y 1=i9 > 0 0 1=1", "b 1=i9 > 0 0 1=2"}},
    {"GivenValueTwice", {"v 1=i7 > 0 0 1=7", "v 1=i7 > 259 1", "d 1=i7 > 0 0"}},
    {"SameValueTwiceInOneRequest", {"v 2=i1 1=i7 1=i7 > 259 3", "v 1=i7 > 259 1", "v 2=i1 > 259 1"}},
    {"ReleaseOfWhatIsNotAllocated",
     {"d 1=i1 > 261 1", "v 1=i1 > 0 0", "d 1=i2 > 261 1", "d 1=i1 1=i1 > 261 2", "v 1=i1 > 0 0"}},
    {"ValuesWithoutKey",  // refused by the test pass while the name has allocations, else by the allocation
     {"v 1=s > 258 1", "v 1=o > 258 1", "v 1=c4 > 258 1", "v 1=i1 > 0 0", "v 1=s > 261 1", "d 1=s > 258 1",
      "d 1=i1 > 0 0", "v 1=s > 258 1"}},
    {"KeysOfStringsOidsAndAddresses",
     {"v 1=sab 1=sabc 1=o1.2.3 1=p1 > 0 0", "v 1=sab > 259 1", "v 1=o1.2.3 > 259 1", "v 1=p2 1=p1 > 259 2",
      "d 1=p2 > 261 1", "d 1=sabc 1=o1.2.3 1=sab 1=p1 > 0 0"}},
    {"OnlyCountableSyntaxesAreChosen",
     {"n 1=i0 2=sa > 260 2", "y 1=o1.2 > 260 1", "n 1=c0 > 260 1", "v 1=g9 > 0 0", "d 1=g9 > 0 0",
      "y 1=i0 2=t100 > 0 0 1=Gauge32: 9 2=Timeticks: (1) 0:00:00.01", "n 2=i0 > 0 0 2=2"}},
    {"EmptyRequestsDoNothing", {"n > 0 0", "d > 0 0", "n 1=i0 > 0 0 1=1"}},
    {"IndicesNeedAnOpenSession", {"v 1=i4 > 0 0", "!v 1=i5 > 257 0", "!d 1=i4 > 257 0", "d 1=i4 > 0 0"}},
};

TEST(IndexRegistryTest, Scenarios) {
  for (const auto& [name, steps] : kScenarios) {
    BMibHandler mib;
    BSAMaster master(&mib, nullptr);
    const unsigned session = Open(master);
    for (const char* step : steps) {
      std::istringstream words(step);
      std::string op, word, expected;
      words >> op;
      const unsigned id = op[0] == '!' ? 999 : session;
      BSAPdu request(op.back() == 'd' ? SA_PDU_INDEX_DEALLOCATE : SA_PDU_INDEX_ALLOCATE, id, 1);
      request.flags = static_cast<uint8_t>(std::string("v?n?y?b").find(op.back()));  // ignored by deallocations
      while (words >> word && word != ">") request.varBindList.Append(Oid(word.substr(0, 1)), Value(word.substr(2)));
      std::getline(words, expected);
      BSAPdu response;
      const int status = request.type == SA_PDU_INDEX_DEALLOCATE ? master.IndexDealloc(request, response)
                                                                 : master.IndexAlloc(request, response);
      const std::string answered = expected.find('=') != std::string::npos ? " " + Texts(response.varBindList) : "";
      EXPECT_EQ(" " + std::to_string(status) + " " + std::to_string(response.errorIndex) + answered, expected)
          << name << ": " << step;
      EXPECT_EQ(response.varBindList.Count(), status == SA_WIRE_NOT_OPEN ? 0 : request.varBindList.Count())
          << name << ": " << step;
    }
  }
}

// Version, trap OID, [text] and varbinds of a trap the master built.
std::string Describe(const BTrap& trap) {
  const auto* built = dynamic_cast<const BSAMaster::SATrap*>(&trap);
  return built == nullptr ? "not an SATrap"
                          : std::to_string(built->Version()) + " " + built->TrapOid().ToString().str() + " [" +
                                built->Text().str() + "] " + Texts(built->VarBinds());
}

TEST_F(MasterTest, NotifyChecksInOrderAndForwardsTheVarbinds) {
  m_master->Stop();  // direct calls use what the worker uses
  RecordingTrapSender sender;
  BSAPdu notify(SA_PDU_NOTIFY, 77, 1);
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.6.3.1.1.4.1.0"), Value("o1.3.6.1.4.1.32473.1.0.1"));
  EXPECT_EQ(m_master->Notify(notify), SA_WIRE_NOT_OPEN);  // before anything else, even without a sender
  notify.sessionId = Open(*m_master);
  EXPECT_EQ(m_master->Notify(notify), SA_WIRE_PROCESSING_ERROR);  // no sender yet
  m_master->SetTrapSender(&sender);
  BSAPdu bad = notify;
  bad.varBindList.Clear();
  EXPECT_EQ(m_master->Notify(bad), SA_WIRE_PROCESSING_ERROR);
  bad.varBindList.Append(BObjectIdentifier("1.3.6.1.6.3.1.1.4.1.0"), Value("i1"));
  EXPECT_EQ(m_master->Notify(bad), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(sender.Count(), 0u);
  EXPECT_EQ(m_master->Notify(notify), 0);
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.3.1.2.1"), Value("srow"));
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.2.1.1.3.0"), Value("i12"));
  EXPECT_EQ(m_master->Notify(notify), 0);
  ASSERT_EQ(sender.Count(), 2u);
  EXPECT_EQ(sender.ArgAt(0) + sender.ArgAt(1), "<null><null>");
  EXPECT_EQ(Describe(sender.At(0)), "2 1.3.6.1.4.1.32473.1.0.1 [] ");
  EXPECT_EQ(Describe(sender.At(1)),
            "2 1.3.6.1.4.1.32473.1.0.1 [] 1.3.6.1.4.1.32473.1.3.1.2.1=STRING: \"row\" 1.3.6.1.2.1.1.3.0=12");
  RecordingTrapSender failing(-1);  // a failing sender does not change the answer
  m_master->SetTrapSender(&failing);
  EXPECT_EQ(m_master->Notify(notify), 0);
}

TEST(SATrapTest, CloneOutlivesTheOriginal) {
  auto original = std::make_unique<BSAMaster::SATrap>();
  original->SetTrapOid(BObjectIdentifier("1.3.6.1.4.1.32473.1.0.1"));
  original->SetText(BString("text"));
  original->VarBinds().Append(BObjectIdentifier("1.3.6.1.3.1"), Value("i1"));
  original->VarBinds().Append(BObjectIdentifier("1.3.6.1.3.2"), Value("stwo"));
  std::unique_ptr<BSAMaster::SATrap> clone(original->Clone());
  original.reset();
  EXPECT_EQ(Describe(*clone), "2 1.3.6.1.4.1.32473.1.0.1 [text] 1.3.6.1.3.1=1 1.3.6.1.3.2=STRING: \"two\"");
}

}  // namespace
}  // namespace QVT::test
