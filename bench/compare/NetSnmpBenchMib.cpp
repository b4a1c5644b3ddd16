#include "NetSnmpBenchMib.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
// clang-format on

#include <cstdio>

namespace QVT::bench {

namespace {

// The arc below 1.3.6.1.4.1.32473 (position 7) is set at registration.
oid s_scalarsOid[] = {1, 3, 6, 1, 4, 1, 32473, 9, 1};
oid s_tableOid[] = {1, 3, 6, 1, 4, 1, 32473, 9, 2};
constexpr size_t kArcPosition = 7;
constexpr long kMaxRows = 1000000;
// The time-out field of an AgentX registration is one octet of seconds.
constexpr int kLongestAgentXTimeout = 255;

bool s_neverAnswer = false;

long s_rows = 0;
u_long s_scalarReads = 0;  // Counter32 .1.3.0: scalar values served, this one included
netsnmp_handler_registration* s_pScalarsReg = nullptr;
netsnmp_handler_registration* s_pTableReg = nullptr;

// The scalar_group helper hands us GETs only (it turns a GET-NEXT into the
// GET of the next instance) and answers names that are not X.0 itself. It
// also lengthens the registration's root by the object's arc before it
// calls us, so the object is read from the name at a fixed position.
// The hanging sub-agent: every request is taken over (delegated) and never
// completed, so no answer ever leaves the sub-agent for it.
bool NeverAnswer(netsnmp_request_info* requests) {
  if (!s_neverAnswer) return false;
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) request->delegated = 1;
  return true;
}

int HandleScalars(netsnmp_mib_handler* /*handler*/, netsnmp_handler_registration* /*reg*/,
                  netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  if (NeverAnswer(requests)) return SNMP_ERR_NOERROR;
  if (reqinfo->mode != MODE_GET) return SNMP_ERR_NOERROR;
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (request->processed != 0) continue;
    netsnmp_variable_list* var = request->requestvb;
    switch (var->name_length > OID_LENGTH(s_scalarsOid) ? var->name[OID_LENGTH(s_scalarsOid)] : 0) {
      case 1: {
        ++s_scalarReads;
        const long value = 42;
        snmp_set_var_typed_value(var, ASN_INTEGER, &value, sizeof value);
        break;
      }
      case 2:
        ++s_scalarReads;
        snmp_set_var_typed_value(var, ASN_OCTET_STR, "bench", 5);
        break;
      case 3: {
        const u_long value = ++s_scalarReads & 0xFFFFFFFFul;
        snmp_set_var_typed_value(var, ASN_COUNTER, &value, sizeof value);
        break;
      }
      default:
        netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHOBJECT);
        break;
    }
  }
  return SNMP_ERR_NOERROR;
}

// Fills the varbind with the cell (column, row) and its full name.
void AnswerCell(netsnmp_handler_registration* reg, netsnmp_request_info* request, netsnmp_table_request_info* table,
                long row) {
  snmp_set_var_value(table->indexes, &row, sizeof row);
  switch (table->colnum) {
    case 2: {
      long value = row * 10;
      netsnmp_table_build_result(reg, request, table, ASN_INTEGER, reinterpret_cast<u_char*>(&value), sizeof value);
      break;
    }
    case 3: {
      char text[24];
      const int length = std::snprintf(text, sizeof text, "row-%012ld", row);
      netsnmp_table_build_result(reg, request, table, ASN_OCTET_STR, reinterpret_cast<u_char*>(text),
                                 static_cast<size_t>(length));
      break;
    }
    default: {
      u_long value = static_cast<u_long>(row) * 1000ul;
      netsnmp_table_build_result(reg, request, table, ASN_COUNTER, reinterpret_cast<u_char*>(&value), sizeof value);
      break;
    }
  }
}

int HandleTable(netsnmp_mib_handler* /*handler*/, netsnmp_handler_registration* reg,
                netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  if (NeverAnswer(requests)) return SNMP_ERR_NOERROR;
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (request->processed != 0) continue;
    netsnmp_table_request_info* table = netsnmp_extract_table_info(request);
    if (table == nullptr) continue;
    // The index as parsed by the table helper (none for a name that stops
    // at the column or before it).
    const long index = table->number_indexes > 0 ? *table->indexes->val.integer : 0;
    switch (reqinfo->mode) {
      case MODE_GET:
        if (index < 1 || index > s_rows) {
          netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
        } else {
          AnswerCell(reg, request, table, index);
        }
        break;
      case MODE_GETNEXT: {
        // Every row has every column: index r and r.x are followed by r + 1.
        const long row = index < 1 ? 1 : index + 1;
        if (index >= s_rows) {
          request->requestvb->type = SNMP_ENDOFMIBVIEW;  // the helper moves on to the next column
        } else {
          AnswerCell(reg, request, table, row);
        }
        break;
      }
      default:
        break;
    }
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

int RegisterNetSnmpBenchMib(long rows, unsigned long arc, bool neverAnswer) {
  if (rows < 1 || rows > kMaxRows) {
    snmp_log(LOG_ERR, "qvtBenchMib: %ld rows: expected 1..%ld\n", rows, kMaxRows);
    return -1;
  }
  s_rows = rows;
  s_neverAnswer = neverAnswer;
  s_scalarsOid[kArcPosition] = arc;
  s_tableOid[kArcPosition] = arc;
  s_pScalarsReg = netsnmp_create_handler_registration("qvtBenchScalars", HandleScalars, s_scalarsOid,
                                                      OID_LENGTH(s_scalarsOid), HANDLER_CAN_RONLY);
  if (s_pScalarsReg != nullptr && neverAnswer) s_pScalarsReg->timeout = kLongestAgentXTimeout;
  if (s_pScalarsReg == nullptr || netsnmp_register_scalar_group(s_pScalarsReg, 1, 3) != MIB_REGISTERED_OK) {
    snmp_log(LOG_ERR, "qvtBenchMib: cannot register the scalars\n");
    return -1;
  }
  s_pTableReg = netsnmp_create_handler_registration("qvtBenchTable", HandleTable, s_tableOid, OID_LENGTH(s_tableOid),
                                                    HANDLER_CAN_RONLY);
  netsnmp_table_registration_info* info = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  if (s_pTableReg == nullptr || info == nullptr) {
    snmp_log(LOG_ERR, "qvtBenchMib: out of memory\n");
    return -1;
  }
  if (neverAnswer) s_pTableReg->timeout = kLongestAgentXTimeout;
  netsnmp_table_helper_add_indexes(info, ASN_INTEGER, 0);
  info->min_column = 2;
  info->max_column = 4;
  if (netsnmp_register_table(s_pTableReg, info) != MIB_REGISTERED_OK) {
    snmp_log(LOG_ERR, "qvtBenchMib: cannot register the table\n");
    return -1;
  }
  return 0;
}

void UnregisterNetSnmpBenchMib() {
  if (s_pTableReg != nullptr) netsnmp_unregister_table(s_pTableReg);
  if (s_pScalarsReg != nullptr) netsnmp_unregister_handler(s_pScalarsReg);
  s_pTableReg = nullptr;
  s_pScalarsReg = nullptr;
}

}  // namespace QVT::bench
