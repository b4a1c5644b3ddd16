// Traps and notifications, and the interface of whatever sends them.
//
// BTrap carries what every notification has: the SNMP version (1 for an
// SNMPv1 trap, 2 for an SNMPv2 notification) and the varbinds; for an
// SNMPv1 trap also the enterprise OID and the generic and specific trap
// numbers. BTrapV2 adds the notification OID (snmpTrapOID.0) and a free
// text. Both leave Clone() to the concrete classes: BTrapV1 and
// BNotification here, or an application's own.
#pragma once

#include "BObjectIdentifier.h"
#include "BString.h"
#include "BVarBind.h"
#include "QVExport.h"

namespace QVT {

enum ESNMPv1TrapType {
  SNMP_TRAP_COLD_START = 0,
  SNMP_TRAP_WARM_START = 1,
  SNMP_TRAP_LINK_DOWN = 2,
  SNMP_TRAP_LINK_UP = 3,
  SNMP_TRAP_AUTHENTICATION_FAILURE = 4,
  SNMP_TRAP_EGP_NEIGHBOR_LOSS = 5,
  SNMP_TRAP_ENTERPRISE_SPECIFIC = 6,
};

class QV_API BTrap {
 public:
  explicit BTrap(int version) : m_version(version) {}
  virtual ~BTrap();
  virtual BTrap* Clone() const = 0;

  int Version() const { return m_version; }
  void SetVersion(int version) { m_version = version; }
  const BVarBindList& VarBinds() const { return m_varBinds; }
  BVarBindList& VarBinds() { return m_varBinds; }
  const BObjectIdentifier& Enterprise() const { return m_enterprise; }
  void SetEnterprise(const BObjectIdentifier& oid) { m_enterprise = oid; }
  ESNMPv1TrapType GenericTrap() const { return m_genericTrap; }
  int SpecificTrap() const { return m_specificTrap; }
  void SetTrapNumbers(ESNMPv1TrapType generic, int specific) {
    m_genericTrap = generic;
    m_specificTrap = specific;
  }

 protected:
  BTrap(const BTrap&) = default;
  BTrap& operator=(const BTrap&) = default;

  int m_version;
  BVarBindList m_varBinds;
  BObjectIdentifier m_enterprise;
  ESNMPv1TrapType m_genericTrap = SNMP_TRAP_ENTERPRISE_SPECIFIC;
  int m_specificTrap = 0;
};

class QV_API BTrapV2 : public BTrap {
 public:
  BTrapV2() : BTrap(2) {}
  ~BTrapV2() override;

  const BObjectIdentifier& TrapOid() const { return m_trapOid; }
  void SetTrapOid(const BObjectIdentifier& oid) { m_trapOid = oid; }
  const BString& Text() const { return m_text; }
  void SetText(const BString& text) { m_text = text; }

 protected:
  BTrapV2(const BTrapV2&) = default;
  BTrapV2& operator=(const BTrapV2&) = default;

  BObjectIdentifier m_trapOid;
  BString m_text;
};

// A concrete SNMPv1 trap.
class QV_API BTrapV1 : public BTrap {
 public:
  BTrapV1() : BTrap(1) {}
  BTrapV1(const BObjectIdentifier& enterprise, ESNMPv1TrapType generic, int specific);
  BTrapV1(const BTrapV1&) = default;
  BTrapV1* Clone() const override { return new BTrapV1(*this); }
};

// A concrete SNMPv2 notification.
class QV_API BNotification : public BTrapV2 {
 public:
  BNotification() = default;
  explicit BNotification(const BObjectIdentifier& trapOid) { m_trapOid = trapOid; }
  BNotification(const BNotification&) = default;
  BNotification* Clone() const override { return new BNotification(*this); }
};

// Where notifications go. `arg` selects the targets (null: all of them).
// Returns 0 when the trap was handed on; what happens next (queues,
// network) is the sender's.
class QV_API ITrapSender {
 public:
  virtual ~ITrapSender() = default;
  virtual int SendTrap(const BTrap& trap, const char* arg) = 0;
};

}  // namespace QVT
