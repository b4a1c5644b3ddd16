// BTrapOIDs: the object identifiers every notification uses, in this order:
// sysUpTime.0, snmpTrapEnterprise.0 and snmpTrapOID.0, and the SNMPv1 to
// SNMPv2 notification conversions of RFC 3584 section 3.
#pragma once

#include <atomic>

#include "BObjectIdentifier.h"
#include "BSingleton.h"
#include "BTrap.h"
#include "QVExport.h"

namespace QVT {

class QV_API BTrapOIDs : public BSingleton {
 public:
  static std::atomic<BTrapOIDs*> s_pInstance;
  static BTrapOIDs* Instance();
  void Destroy() override;

  BTrapOIDs();
  ~BTrapOIDs() override = default;

  static constexpr int kCount = 3;
  // 0 sysUpTime.0, 1 snmpTrapEnterprise.0, 2 snmpTrapOID.0.
  const BObjectIdentifier& Oid(int i) const { return m_oids[i]; }
  const BObjectIdentifier& SysUpTime() const { return m_oids[0]; }
  const BObjectIdentifier& SnmpTrapEnterprise() const { return m_oids[1]; }
  const BObjectIdentifier& SnmpTrapOid() const { return m_oids[2]; }

  // The SNMPv2 notification OID of an SNMPv1 trap (RFC 3584 3.1): for a
  // generic trap 0..5, snmpTraps.(generic + 1); for enterpriseSpecific (6),
  // enterprise.0.specific. Non-zero on success; 0 for a generic number
  // outside 0..6 or an empty enterprise with generic 6.
  int V1ToV2(const BObjectIdentifier& enterprise, const ESNMPv1TrapType& generic, const int& specific,
             BObjectIdentifier& result) const;
  // The other direction (RFC 3584 3.2), for SNMPv1 receivers: enterprise,
  // generic and specific numbers from a notification OID and its varbinds
  // (snmpTrapEnterprise.0 among them, if any). Non-zero on success.
  int V2ToV1(const BObjectIdentifier& trapOid, const BVarBindList& varbinds, BObjectIdentifier& enterprise,
             ESNMPv1TrapType& generic, int& specific) const;

 private:
  BObjectIdentifier m_oids[kCount];
};

}  // namespace QVT
