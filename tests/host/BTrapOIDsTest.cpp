// Notification OIDs and the SNMPv1 <-> SNMPv2 trap conversions of RFC 3584
// section 3.
#include "BTrapOIDs.h"

#include <gtest/gtest.h>

namespace QVT {
namespace {

const BObjectIdentifier kSnmpTraps{1, 3, 6, 1, 6, 3, 1, 1, 5};
const BObjectIdentifier kEnterprise{1, 3, 6, 1, 4, 1, 32473, 1};

BObjectIdentifier With(BObjectIdentifier oid, std::initializer_list<uint32_t> arcs) {
  for (const uint32_t arc : arcs) oid.Append(arc);
  return oid;
}

TEST(BTrapOIDsTest, WellKnownOids) {
  const BTrapOIDs* oids = BTrapOIDs::Instance();
  EXPECT_EQ(oids->SysUpTime().ToString().str(), "1.3.6.1.2.1.1.3.0");
  EXPECT_EQ(oids->SnmpTrapEnterprise().ToString().str(), "1.3.6.1.6.3.1.1.4.3.0");
  EXPECT_EQ(oids->SnmpTrapOid().ToString().str(), "1.3.6.1.6.3.1.1.4.1.0");
  EXPECT_EQ(oids->Oid(2), oids->SnmpTrapOid());
}

TEST(BTrapOIDsTest, V1ToV2MapsGenericTrapsToSnmpTrapsAndOthersToEnterpriseZeroSpecific) {
  // clang-format off
  const struct {
    BObjectIdentifier enterprise;
    int generic;
    int specific;
    int ok;
    BObjectIdentifier trapOid;
  } kCases[] = {
      {kEnterprise, 0, 0, 1, With(kSnmpTraps, {1})},  // coldStart
      {kEnterprise, 1, 9, 1, With(kSnmpTraps, {2})},  // warmStart; specific is ignored
      {kEnterprise, 2, 0, 1, With(kSnmpTraps, {3})},  // linkDown
      {kEnterprise, 3, 0, 1, With(kSnmpTraps, {4})},  // linkUp
      {{}, 4, 0, 1, With(kSnmpTraps, {5})},  // authenticationFailure
      {kEnterprise, 5, 0, 1, With(kSnmpTraps, {6})},  // egpNeighborLoss
      {kEnterprise, 6, 1, 1, With(kEnterprise, {0, 1})}, {kEnterprise, 6, 0, 1, With(kEnterprise, {0, 0})},
      {With(kEnterprise, {0}), 6, 5, 1, With(kEnterprise, {0, 0, 5})},
      {{}, 6, 1, 0, {}},  // enterpriseSpecific needs an enterprise
      {kEnterprise, 7, 1, 0, {}}};
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.enterprise.ToString().str() + " generic " + std::to_string(c.generic));
    BObjectIdentifier result{9, 9};
    ASSERT_EQ(BTrapOIDs::Instance()->V1ToV2(c.enterprise, static_cast<ESNMPv1TrapType>(c.generic), c.specific, result),
              c.ok);
    if (c.ok != 0) {
      EXPECT_EQ(result.ToString().str(), c.trapOid.ToString().str());
    }
  }
}

TEST(BTrapOIDsTest, V2ToV1RecoversEnterpriseGenericAndSpecific) {
  const BTrapOIDs* oids = BTrapOIDs::Instance();
  BObjectSyntax vendor;
  vendor.SetObjectId(BObjectIdentifier{1, 3, 6, 1, 4, 1, 9});
  BObjectSyntax notAnOid;
  notAnOid.SetInt(1);
  BVarBindList none;
  BVarBindList withEnterprise;
  withEnterprise.Append(BObjectIdentifier{1, 3, 6, 1, 2, 1, 2, 2, 1, 1, 3}, notAnOid);
  withEnterprise.Append(oids->SnmpTrapEnterprise(), vendor);
  BVarBindList badEnterprise;
  badEnterprise.Append(oids->SnmpTrapEnterprise(), notAnOid);

  // clang-format off
  const struct {
    BObjectIdentifier trapOid;
    const BVarBindList& varbinds;
    int ok;
    BObjectIdentifier enterprise;
    int generic;
    int specific;
  } kCases[] = {
      {With(kSnmpTraps, {3}), none, 1, kSnmpTraps, 2, 0},
      {With(kSnmpTraps, {1}), withEnterprise, 1, vendor.GetObjectId(), 0, 0},
      {With(kSnmpTraps, {6}), badEnterprise, 1, kSnmpTraps, 5, 0},
      {With(kEnterprise, {0, 1}), withEnterprise, 1, kEnterprise, 6, 1},  // next-to-last 0: drop two
      {With(kEnterprise, {5}), none, 1, kEnterprise, 6, 5},  // else drop one
      {With(kSnmpTraps, {7}), none, 1, kSnmpTraps, 6, 7},  // not a standard trap
      {With(kSnmpTraps, {0}), none, 1, kSnmpTraps, 6, 0},
      {With(kSnmpTraps, {1, 0}), none, 1, With(kSnmpTraps, {1}), 6, 0}, {{1, 0, 4}, none, 1, {1}, 6, 4},
      {{1}, none, 0, {}, 0, 0}, {{}, none, 0, {}, 0, 0}};
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.trapOid.ToString().str());
    BObjectIdentifier enterprise{9};
    ESNMPv1TrapType generic = SNMP_TRAP_COLD_START;
    int specific = -1;
    ASSERT_EQ(oids->V2ToV1(c.trapOid, c.varbinds, enterprise, generic, specific), c.ok);
    if (c.ok == 0) continue;
    EXPECT_EQ(enterprise.ToString().str(), c.enterprise.ToString().str());
    EXPECT_EQ(generic, c.generic);
    EXPECT_EQ(specific, c.specific);
  }
}

TEST(BTrapOIDsTest, V1ToV2ToV1RoundTrips) {
  const BTrapOIDs* oids = BTrapOIDs::Instance();
  // clang-format off
  const struct {
    BObjectIdentifier enterprise;
    int generic;
    int specific;
  } kTraps[] = {
      {kEnterprise, 0, 0}, {kEnterprise, 2, 0}, {kEnterprise, 5, 0}, {kEnterprise, 6, 0}, {kEnterprise, 6, 42},
      {{1, 3, 6, 1, 4, 1, 32473, 0}, 6, 7}, {{1, 3}, 6, 2147483647}};
  // clang-format on
  for (const auto& t : kTraps) {
    SCOPED_TRACE(t.enterprise.ToString().str() + " " + std::to_string(t.generic) + " " + std::to_string(t.specific));
    BObjectIdentifier trapOid;
    ASSERT_NE(oids->V1ToV2(t.enterprise, static_cast<ESNMPv1TrapType>(t.generic), t.specific, trapOid), 0);
    // The v1 enterprise travels as snmpTrapEnterprise.0, as a v1-to-v2 proxy adds it.
    BObjectSyntax value;
    value.SetObjectId(t.enterprise);
    BVarBindList varbinds;
    varbinds.Append(oids->SnmpTrapEnterprise(), value);
    BObjectIdentifier enterprise;
    ESNMPv1TrapType generic = SNMP_TRAP_COLD_START;
    int specific = -1;
    ASSERT_NE(oids->V2ToV1(trapOid, varbinds, enterprise, generic, specific), 0);
    EXPECT_EQ(enterprise, t.enterprise);
    EXPECT_EQ(generic, t.generic);
    EXPECT_EQ(specific, t.specific);
  }
}

}  // namespace
}  // namespace QVT
