// The SNMPv3 engine's pieces that need no sockets: the timeliness window
// and the view check.
#include <gtest/gtest.h>

#include "BSnmpAgent.h"
#include "BSnmpEngineState.h"

namespace QVT {
namespace {

TEST(BSnmpV3EngineTest, TimeWindowTakes150SecondsEitherWayAndNotOneMore) {
  struct Case {
    const char* name;
    uint32_t engineBoots, engineTime;
    int32_t messageBoots, messageTime;
    bool inWindow;
  };
  const uint32_t latched = BSnmpEngineState::kMaxBoots;
  const Case cases[] = {
      {"same time", 5, 1000, 5, 1000, true},
      {"150 s ahead", 5, 1000, 5, 1150, true},
      {"151 s ahead", 5, 1000, 5, 1151, false},
      {"150 s behind", 5, 1000, 5, 850, true},
      {"151 s behind", 5, 1000, 5, 849, false},
      {"other boots", 5, 1000, 4, 1000, false},
      {"boots latched at the maximum", latched, 1000, static_cast<int32_t>(latched), 1000, false},
      {"discovery's zeros", 5, 1000, 0, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QVUsmInTimeWindow(c.engineBoots, c.engineTime, c.messageBoots, c.messageTime), c.inWindow) << c.name;
  }
}

TEST(BSnmpV3EngineTest, ViewHoldsTheObjectsUnderItsPrefixesOnly) {
  BSnmpV3User user;
  user.view = {BObjectIdentifier("1.3.6.1.2.1.1"), BObjectIdentifier("1.3.6.1.4.1.32473.1.1.5.0")};
  struct Case {
    const char* oid;
    bool inView;
  };
  const Case cases[] = {
      {"1.3.6.1.2.1.1.1.0", true},          {"1.3.6.1.2.1.1", true},
      {"1.3.6.1.2.1.2.1.0", false},         {"1.3.6.1.2.1", false},
      {"1.3.6.1.2.1.11.1.0", false},        {"1.3.6.1.4.1.32473.1.1.5.0", true},
      {"1.3.6.1.4.1.32473.1.1.5.1", false}, {"1.3.6.1.4.1.32473.1.1.50.0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(user.InView(BObjectIdentifier(c.oid)), c.inView) << c.oid;
  user.view.clear();
  EXPECT_FALSE(user.InView(BObjectIdentifier("1.3.6.1.2.1.1.1.0"))) << "an empty view holds nothing";
}

}  // namespace
}  // namespace QVT
