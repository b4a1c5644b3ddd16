// BSnmpGroupMib: the snmp group (1.3.6.1.2.1.11) served as MIB objects
// from an agent's BSnmpCounters: every counter as a read-only Counter32 and
// snmpEnableAuthenTraps as a read-write INTEGER (enabled 1, disabled 2).
// The application registers it with the MIB handler that the agent serves
// (BSnmpAgent::SnmpGroupHandler() gives the agent's own instance).
#pragma once

#include "BMibImpl.h"
#include "BSnmpCounters.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSnmpGroupMib : public BMibImpl {
 public:
  // The counters must outlive the handler.
  explicit BSnmpGroupMib(BSnmpCounters& counters);
  ~BSnmpGroupMib() override;

 private:
  BSnmpCounters& m_counters;
};

}  // namespace QVT
