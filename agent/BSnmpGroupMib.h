// BSnmpGroupMib: the snmp group (1.3.6.1.2.1.11) served as MIB objects
// from an agent's BSnmpCounters: every counter as a read-only Counter32 and
// snmpEnableAuthenTraps as a read-write INTEGER (enabled 1, disabled 2).
// The application registers it with the MIB handler that the agent serves
// (BSnmpAgent::SnmpGroupHandler() gives the agent's own instance).
//
// The SNMPv3 engine's objects are served the same way, each group by its
// own handler (BSnmpAgent::EngineHandlers()): snmpEngine (1.3.6.1.6.3.10.2.1:
// engine ID, boots, time, maximum message size), usmStats
// (1.3.6.1.6.3.15.1.1), snmpMPDStats (1.3.6.1.6.3.11.2.1) and
// snmpUnknownContexts under snmpTargetObjects (1.3.6.1.6.3.12.1.5).
#pragma once

#include <initializer_list>

#include "BMibImpl.h"
#include "BSnmpCounters.h"
#include "QVExport.h"

namespace QVT {

class BSnmpEngineState;

class QV_API BSnmpGroupMib : public BMibImpl {
 public:
  // The counters must outlive the handler.
  explicit BSnmpGroupMib(BSnmpCounters& counters);
  ~BSnmpGroupMib() override;

 private:
  BSnmpCounters& m_counters;
};

// Read-only Counter32 scalars under `root`, one per (sub-id, counter).
class QV_API BSnmpV3CounterMib : public BMibImpl {
 public:
  struct Entry {
    uint32_t subId;
    ESnmpV3Counter counter;
  };
  BSnmpV3CounterMib(const char* name, const BObjectIdentifier& root, BSnmpCounters& counters,
                    std::initializer_list<Entry> entries);
  ~BSnmpV3CounterMib() override;
};

// snmpEngine: the state must outlive the handler.
class QV_API BSnmpEngineMib : public BMibImpl {
 public:
  BSnmpEngineMib(const BSnmpEngineState& state, unsigned maxMessageSize);
  ~BSnmpEngineMib() override;
};

}  // namespace QVT
