#include "BSnmpGroupMib.h"

#include "BSnmpEngineState.h"

namespace QVT {

BSnmpGroupMib::BSnmpGroupMib(BSnmpCounters& counters)
    : BMibImpl(BString("snmp"), BObjectIdentifier{1, 3, 6, 1, 2, 1, 11}), m_counters(counters) {
  for (int subId = 1; subId <= BSnmpCounters::kMaxSubId; ++subId) {
    if (!BSnmpCounters::IsCounter(subId)) continue;
    const ESnmpCounter counter = static_cast<ESnmpCounter>(subId);
    AddEntry(static_cast<uint32_t>(subId), MIB_ACCESS_READ_ONLY, ASN_COUNTER32)
        .Getter([this, counter](BObjectSyntax& value) { value.SetCounter32(m_counters.Get(counter)); });
  }
  AddEntry(30, MIB_ACCESS_READ_WRITE, ASN_INTEGER)
      .Range(SNMP_AUTHEN_TRAPS_ENABLED, SNMP_AUTHEN_TRAPS_DISABLED)
      .Getter([this](BObjectSyntax& value) { value.SetInt(m_counters.EnableAuthenTraps()); })
      .Setter([this](const BObjectSyntax& value) {
        m_counters.SetEnableAuthenTraps(value.GetInt());
        return 0;
      });
}

BSnmpGroupMib::~BSnmpGroupMib() = default;

BSnmpV3CounterMib::BSnmpV3CounterMib(const char* name, const BObjectIdentifier& root, BSnmpCounters& counters,
                                     std::initializer_list<Entry> entries)
    : BMibImpl(BString(name), root) {
  for (const Entry& entry : entries) {
    const ESnmpV3Counter counter = entry.counter;
    AddEntry(entry.subId, MIB_ACCESS_READ_ONLY, ASN_COUNTER32)
        .Getter([&counters, counter](BObjectSyntax& value) { value.SetCounter32(counters.Get(counter)); });
  }
}

BSnmpV3CounterMib::~BSnmpV3CounterMib() = default;

BSnmpEngineMib::BSnmpEngineMib(const BSnmpEngineState& state, unsigned maxMessageSize)
    : BMibImpl(BString("snmpEngine"), BObjectIdentifier{1, 3, 6, 1, 6, 3, 10, 2, 1}) {
  AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([&state](BObjectSyntax& value) {
    const std::vector<unsigned char>& id = state.EngineId();
    value.SetOctets(static_cast<unsigned>(id.size()), id.data());
  });
  AddEntry(2, MIB_ACCESS_READ_ONLY, ASN_INTEGER).Getter([&state](BObjectSyntax& value) {
    value.SetInt(static_cast<int>(state.EngineBoots()));
  });
  AddEntry(3, MIB_ACCESS_READ_ONLY, ASN_INTEGER).Getter([&state](BObjectSyntax& value) {
    value.SetInt(static_cast<int>(state.EngineTime()));
  });
  AddEntry(4, MIB_ACCESS_READ_ONLY, ASN_INTEGER).Getter([maxMessageSize](BObjectSyntax& value) {
    value.SetInt(static_cast<int>(maxMessageSize));
  });
}

BSnmpEngineMib::~BSnmpEngineMib() = default;

const char* BSnmpCounters::Oid(ESnmpV3Counter counter) {
  switch (counter) {
    case USM_STATS_UNSUPPORTED_SEC_LEVELS:
      return "1.3.6.1.6.3.15.1.1.1.0";
    case USM_STATS_NOT_IN_TIME_WINDOWS:
      return "1.3.6.1.6.3.15.1.1.2.0";
    case USM_STATS_UNKNOWN_USER_NAMES:
      return "1.3.6.1.6.3.15.1.1.3.0";
    case USM_STATS_UNKNOWN_ENGINE_IDS:
      return "1.3.6.1.6.3.15.1.1.4.0";
    case USM_STATS_WRONG_DIGESTS:
      return "1.3.6.1.6.3.15.1.1.5.0";
    case USM_STATS_DECRYPTION_ERRORS:
      return "1.3.6.1.6.3.15.1.1.6.0";
    case SNMP_UNKNOWN_SECURITY_MODELS:
      return "1.3.6.1.6.3.11.2.1.1.0";
    case SNMP_INVALID_MSGS:
      return "1.3.6.1.6.3.11.2.1.2.0";
    case SNMP_UNKNOWN_PDU_HANDLERS:
      return "1.3.6.1.6.3.11.2.1.3.0";
    default:
      return "1.3.6.1.6.3.12.1.5.0";
  }
}

}  // namespace QVT
