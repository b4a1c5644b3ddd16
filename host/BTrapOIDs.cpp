#include "BTrapOIDs.h"

namespace QVT {

std::atomic<BTrapOIDs*> BTrapOIDs::s_pInstance{nullptr};

namespace {

// snmpTraps (RFC 3418): the generic traps are its children 1 to 6.
const BObjectIdentifier kSnmpTraps{1, 3, 6, 1, 6, 3, 1, 1, 5};

}  // namespace

BTrapOIDs* BTrapOIDs::Instance() {
  return QVSingletonInstance(s_pInstance, [] { return new BTrapOIDs(); });
}

void BTrapOIDs::Destroy() {
  QVSingletonForget(s_pInstance, this);
  delete this;
}

BTrapOIDs::BTrapOIDs()
    : m_oids{BObjectIdentifier{1, 3, 6, 1, 2, 1, 1, 3, 0}, BObjectIdentifier{1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0},
             BObjectIdentifier{1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0}} {}

int BTrapOIDs::V1ToV2(const BObjectIdentifier& enterprise, const ESNMPv1TrapType& generic, const int& specific,
                      BObjectIdentifier& result) const {
  if (generic < SNMP_TRAP_COLD_START || generic > SNMP_TRAP_ENTERPRISE_SPECIFIC) return 0;
  if (generic != SNMP_TRAP_ENTERPRISE_SPECIFIC) {
    result = kSnmpTraps;
    result.Append(static_cast<uint32_t>(generic) + 1);
    return 1;
  }
  if (enterprise.IsEmpty()) return 0;
  result = enterprise;
  result.Append(0);
  result.Append(static_cast<uint32_t>(specific));
  return 1;
}

int BTrapOIDs::V2ToV1(const BObjectIdentifier& trapOid, const BVarBindList& varbinds, BObjectIdentifier& enterprise,
                      ESNMPv1TrapType& generic, int& specific) const {
  if (trapOid.Length() < 2) return 0;
  // A standard trap: snmpTraps.1 .. snmpTraps.6 map back to generic 0..5;
  // the enterprise is snmpTrapEnterprise.0 when present, else snmpTraps.
  if (trapOid.Length() == kSnmpTraps.Length() + 1 && kSnmpTraps.IsStartingSubOidOf(trapOid) && trapOid.Last() >= 1 &&
      trapOid.Last() <= 6) {
    generic = static_cast<ESNMPv1TrapType>(trapOid.Last() - 1);
    specific = 0;
    enterprise = kSnmpTraps;
    for (const BVarBind& vb : varbinds) {
      if (vb.name == SnmpTrapEnterprise() && vb.value.Syntax() == ASN_OBJECT_ID) enterprise = vb.value.GetObjectId();
    }
    return 1;
  }
  // An enterprise notification: the last arc is the specific number, and
  // the enterprise is what precedes it, without a trailing 0 arc.
  generic = SNMP_TRAP_ENTERPRISE_SPECIFIC;
  specific = static_cast<int>(trapOid.Last());
  const unsigned length = trapOid.Length();
  const bool zeroBeforeLast = length >= 3 && trapOid[length - 2] == 0;
  enterprise.Set(trapOid, 0, length - (zeroBeforeLast ? 3 : 2));
  return 1;
}

}  // namespace QVT
