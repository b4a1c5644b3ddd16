// BSnmpCounters: the counters of the snmp group (1.3.6.1.2.1.11, RFC 1213
// and RFC 3418) that an SNMP engine keeps, snmpEnableAuthenTraps, and the
// counters of the SNMPv3 message processing and USM.
//
// The request threads of an agent bump them concurrently, so each is a
// relaxed atomic: a reader sees every increment eventually, and no lock is
// taken on the request path. A counter's index is its sub-identifier under
// the snmp group, which is how BSnmpGroupMib serves them.
#pragma once

#include <atomic>
#include <cstdint>

#include "QVExport.h"

namespace QVT {

enum ESnmpCounter : int {
  SNMP_IN_PKTS = 1,
  SNMP_OUT_PKTS = 2,
  SNMP_IN_BAD_VERSIONS = 3,
  SNMP_IN_BAD_COMMUNITY_NAMES = 4,
  SNMP_IN_BAD_COMMUNITY_USES = 5,
  SNMP_IN_ASN_PARSE_ERRS = 6,
  SNMP_IN_TOO_BIGS = 8,
  SNMP_IN_NO_SUCH_NAMES = 9,
  SNMP_IN_BAD_VALUES = 10,
  SNMP_IN_READ_ONLYS = 11,
  SNMP_IN_GEN_ERRS = 12,
  SNMP_IN_TOTAL_REQ_VARS = 13,
  SNMP_IN_TOTAL_SET_VARS = 14,
  SNMP_IN_GET_REQUESTS = 15,
  SNMP_IN_GET_NEXTS = 16,
  SNMP_IN_SET_REQUESTS = 17,
  SNMP_IN_GET_RESPONSES = 18,
  SNMP_IN_TRAPS = 19,
  SNMP_OUT_TOO_BIGS = 20,
  SNMP_OUT_NO_SUCH_NAMES = 21,
  SNMP_OUT_BAD_VALUES = 22,
  SNMP_OUT_GEN_ERRS = 24,
  SNMP_OUT_GET_REQUESTS = 25,
  SNMP_OUT_GET_NEXTS = 26,
  SNMP_OUT_SET_REQUESTS = 27,
  SNMP_OUT_GET_RESPONSES = 28,
  SNMP_OUT_TRAPS = 29,
  SNMP_SILENT_DROPS = 31,
  SNMP_PROXY_DROPS = 32,
};

// The SNMPv3 engine's counters: usmStats (1.3.6.1.6.3.15.1.1.1-6, RFC 3414),
// snmpMPDStats (1.3.6.1.6.3.11.2.1.1-3, RFC 3412) and snmpUnknownContexts
// (1.3.6.1.6.3.12.1.5, RFC 3413).
enum ESnmpV3Counter : int {
  USM_STATS_UNSUPPORTED_SEC_LEVELS = 0,
  USM_STATS_NOT_IN_TIME_WINDOWS,
  USM_STATS_UNKNOWN_USER_NAMES,
  USM_STATS_UNKNOWN_ENGINE_IDS,
  USM_STATS_WRONG_DIGESTS,
  USM_STATS_DECRYPTION_ERRORS,
  SNMP_UNKNOWN_SECURITY_MODELS,
  SNMP_INVALID_MSGS,
  SNMP_UNKNOWN_PDU_HANDLERS,
  SNMP_UNKNOWN_CONTEXTS,
  SNMP_V3_COUNTER_COUNT
};

// snmpEnableAuthenTraps values.
enum ESnmpAuthenTraps : int {
  SNMP_AUTHEN_TRAPS_ENABLED = 1,
  SNMP_AUTHEN_TRAPS_DISABLED = 2,
};

class QV_API BSnmpCounters {
 public:
  static constexpr int kMaxSubId = SNMP_PROXY_DROPS;

  void Increment(ESnmpCounter counter, uint32_t by = 1) { m_values[counter].fetch_add(by, std::memory_order_relaxed); }
  uint32_t Get(ESnmpCounter counter) const { return m_values[counter].load(std::memory_order_relaxed); }
  void Increment(ESnmpV3Counter counter) { m_v3[counter].fetch_add(1, std::memory_order_relaxed); }
  uint32_t Get(ESnmpV3Counter counter) const { return m_v3[counter].load(std::memory_order_relaxed); }
  // The object identifier of a v3 counter's instance (".0" included).
  static const char* Oid(ESnmpV3Counter counter);
  // True for the sub-ids that name a counter (1..32 except 7, 23 and 30).
  static bool IsCounter(int subId) {
    return subId >= 1 && subId <= kMaxSubId && subId != 7 && subId != 23 && subId != 30;
  }

  int EnableAuthenTraps() const { return m_enableAuthenTraps.load(std::memory_order_relaxed); }
  void SetEnableAuthenTraps(int value) { m_enableAuthenTraps.store(value, std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> m_values[kMaxSubId + 1] = {};
  std::atomic<uint32_t> m_v3[SNMP_V3_COUNTER_COUNT] = {};
  std::atomic<int> m_enableAuthenTraps{SNMP_AUTHEN_TRAPS_DISABLED};
};

}  // namespace QVT
