#include "BSnmpGroupMib.h"

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

}  // namespace QVT
