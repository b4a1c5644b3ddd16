// BSAMaster: registration and unregistration of sub-agent subtrees. Every
// registered subtree (every instance of a range) gets one proxy handler in
// m_handlers and in the agent's MIB handler, one sysORTable row, and a
// place in its session's list, so that registering, finding, withdrawing
// and closing cost a lookup, not a scan.
//
// Before anything is registered the policy is checked, for every instance
// of a range: nothing over the master's own objects; nothing inside or
// around a subtree of a sub-agent on another host (unless AllowOverlap);
// only under RegisterAllow; within the session's MaxRegistrations.
#include "BAddressFilter.h"
#include "BSAMaster.h"
#include "BSAMibSubtreeHandler.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

// Beyond this many instances a range is malformed (and a bound of
// 0xFFFFFFFF would let the loop counter wrap); MaxRangeInstances is the
// configured limit below it.
constexpr uint32_t kMaxRangeInstances = 65536;

enum { kVbHandlerType = 0, kVbName = 1, kVbSubtree = 2, kVbRangeSubId = 3, kVbRangeUpper = 4 };
constexpr int kPlainVarBinds = 3;
constexpr int kRangeVarBinds = 5;

// Position of the varied sub-identifier and the range's last value, both
// checked against the OID; false when the request is malformed.
bool ReadRange(const BSAPdu& request, const BObjectIdentifier& oid, uint32_t& subIdPosition, uint32_t& upper) {
  subIdPosition = request.varBindList[kVbRangeSubId].value.GetUnsigned();
  upper = request.varBindList[kVbRangeUpper].value.GetUnsigned();
  return subIdPosition != 0 && subIdPosition < oid.Length();
}

// The subtree of varbind 2; false when it is not an OBJECT IDENTIFIER or
// no SNMP name could fall in it. An empty OID (the value of any other
// syntax) would be a prefix of every name and register one proxy for the
// agent's whole MIB.
bool ReadSubtree(const BSAPdu& request, BObjectIdentifier& oid) {
  const BObjectSyntax& value = request.varBindList[kVbSubtree].value;
  if (value.Syntax() != ASN_OBJECT_ID || value.GetObjectId().IsEmpty()) return false;
  if (value.GetObjectId().Length() > kSnmpMaxOidArcs) return false;
  oid = value.GetObjectId();
  return true;
}

std::string Describe(const BObjectIdentifier& oid, const BSASession& session) {
  return oid.ToString().str() + " from " + QVAddressToString(session.m_address).str() + " (session " +
         std::to_string(session.m_id) + " '" + session.m_description.str() + "')";
}

}  // namespace

BSAMibSubtreeHandler* BSAMaster::FindHandler(const BObjectIdentifier& oid) const {
  const auto it = m_handlers.find(oid);
  return it == m_handlers.end() ? nullptr : it->second;
}

BSAMibSubtreeHandler* BSAMaster::FindSubtreeHandler(const BObjectIdentifier& oid, int sessionId) {
  BSAMibSubtreeHandler* handler = FindHandler(oid);
  if (handler == nullptr || sessionId == 0) return handler;
  return handler->Session() != nullptr && handler->Session()->m_id == sessionId ? handler : nullptr;
}

void BSAMaster::AddToSession(BSASession& session, BSAMibSubtreeHandler* handler) {
  handler->m_sessionSlot = session.m_registrations.size();
  session.m_registrations.push_back(handler);
  session.m_registrationCount.store(session.m_registrations.size(), std::memory_order_relaxed);
}

void BSAMaster::ListRegistration(BSAMibSubtreeHandler* handler) {
  BSASession* session = handler->Session();
  if (session == nullptr) return;
  if (handler->m_number == 0) {
    // Numbers count up; one still in use after a wrap-around is skipped.
    do {
      handler->m_number = ++session->m_registrationsMade;
    } while (handler->m_number == 0 || m_registrationRows.count({session->m_id, handler->m_number}) != 0);
  }
  std::lock_guard<std::mutex> guard(m_viewLock);
  m_registrationRows.emplace(std::make_pair(session->m_id, handler->m_number), handler);
}

void BSAMaster::UnlistRegistration(BSAMibSubtreeHandler* handler) {
  if (handler->Session() == nullptr || handler->m_number == 0) return;
  std::lock_guard<std::mutex> guard(m_viewLock);
  const auto row = m_registrationRows.find({handler->Session()->m_id, handler->m_number});
  if (row != m_registrationRows.end() && row->second == handler) m_registrationRows.erase(row);
}

void BSAMaster::RemoveFromSession(BSAMibSubtreeHandler* handler) {
  BSASession* session = handler->Session();
  if (session == nullptr) return;
  std::vector<BSAMibSubtreeHandler*>& list = session->m_registrations;
  const size_t slot = handler->m_sessionSlot;
  if (slot >= list.size() || list[slot] != handler) return;
  list[slot] = list.back();
  list[slot]->m_sessionSlot = slot;
  list.pop_back();
  session->m_registrationCount.store(list.size(), std::memory_order_relaxed);
}

int BSAMaster::CheckRegistration(const BObjectIdentifier& oid, const BSASession& session, BString& why) {
  if (!m_settings.registerAllow.empty()) {
    bool allowed = false;
    for (const BObjectIdentifier& prefix : m_settings.registerAllow)
      allowed = allowed || prefix.IsStartingSubOidOf(oid);
    if (!allowed) {
      why = BString("outside RegisterAllow");
      return SA_CNT_REG_NOT_ALLOWED;
    }
  }
  if (BObjectIdentifier local; m_pMibHandler->Tree().FindLocalOverlap(oid, local)) {
    why = BString("the master's own objects (" + local.ToString().str() + ")");
    return SA_CNT_REG_PROTECTED;
  }
  if (FindHandler(oid) != nullptr) {
    why = BString("registered already");
    return SA_CNT_REG_DUPLICATE;
  }
  if (!m_settings.allowOverlap) {
    // A registration around ours (one of our prefixes) or inside ours of a
    // sub-agent on another host.
    BObjectIdentifier prefix;
    for (unsigned length = 1; length < oid.Length(); ++length) {
      prefix.Set(length, oid.Data());
      const BSAMibSubtreeHandler* around = FindHandler(prefix);
      if (around != nullptr && !QVSameHost(around->Session()->m_address, session.m_address)) {
        why = BString("inside " + prefix.ToString().str() + " of " +
                      QVAddressToString(around->Session()->m_address).str());
        return SA_CNT_REG_OVERLAP;
      }
    }
    for (auto it = m_handlers.lower_bound(oid); it != m_handlers.end() && oid.IsStartingSubOidOf(it->first); ++it) {
      if (!QVSameHost(it->second->Session()->m_address, session.m_address)) {
        why = BString("around " + it->first.ToString().str() + " of " +
                      QVAddressToString(it->second->Session()->m_address).str());
        return SA_CNT_REG_OVERLAP;
      }
    }
  }
  return -1;
}

int BSAMaster::RegisterSH(BString& name, BObjectIdentifier& oid, BSASession* session, int type, uint32_t rangeSubId,
                          uint32_t upperBound) {
  auto* handler = new BSAMibSubtreeHandler(name, oid, this, type);
  handler->SetSession(session);
  handler->SetRange(static_cast<int>(rangeSubId), static_cast<int>(upperBound));
  if (m_pMibHandler->RegisterSubtreeHandler(handler) == 0) {
    delete handler;
    return SA_WIRE_DUPLICATE_REGISTRATION;
  }
  m_handlers.emplace(oid, handler);
  m_handlerCount.store(m_handlers.size(), std::memory_order_release);
  if (session != nullptr) AddToSession(*session, handler);
  handler->m_sysORIndex = static_cast<uint32_t>(m_pMibHandler->Mib2System().InsertORRow(oid, name));
  ListRegistration(handler);
  return 0;
}

int BSAMaster::RegisterSH(BSAPdu& request) {
  QVSubAgTrace("RegisterSH  sessionid= %d", request.sessionId);
  // A registration only adds: queries in flight need not be waited for
  // (the MIB handler's tree takes new handlers beside them).
  BSASession* session = FindSession(static_cast<int>(request.sessionId));
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  if (request.varBindList.Count() < kPlainVarBinds) return SA_WIRE_PROCESSING_ERROR;

  BString name = NameFrom(request.varBindList[kVbName].value);
  BObjectIdentifier oid;
  if (!ReadSubtree(request, oid)) return SA_WIRE_PROCESSING_ERROR;

  const bool range = request.varBindList.Count() >= kRangeVarBinds;
  uint32_t position = 0;
  uint32_t first = 0;
  uint32_t upper = 0;
  if (range) {
    if (!ReadRange(request, oid, position, upper)) return SA_WIRE_PROCESSING_ERROR;
    first = oid[position - 1];
    if (upper < first) {
      // Nothing to register, but an exact duplicate is still one.
      if (FindHandler(oid) != nullptr) return SA_WIRE_DUPLICATE_REGISTRATION;
      return 0;
    }
    if (upper - first >= kMaxRangeInstances) return SA_WIRE_PROCESSING_ERROR;
    if (upper - first >= static_cast<uint32_t>(m_settings.maxRangeInstances)) {
      Refuse(SA_CNT_RANGE_TOO_LARGE,
             BString("registration of " + std::to_string(upper - first + 1ull) + " instances of " +
                     Describe(oid, *session) + " refused: MaxRangeInstances is " +
                     std::to_string(m_settings.maxRangeInstances)));
      return SA_WIRE_REQUEST_DENIED;
    }
  }
  const uint64_t instances = range ? upper - uint64_t{first} + 1 : 1;
  if (session->m_registrations.size() + instances > static_cast<uint64_t>(m_settings.maxRegistrations)) {
    Refuse(SA_CNT_REG_QUOTA, BString("registration of " + Describe(oid, *session) + " refused: the session holds " +
                                     std::to_string(session->m_registrations.size()) + " of MaxRegistrations " +
                                     std::to_string(m_settings.maxRegistrations)));
    return SA_WIRE_REQUEST_DENIED;
  }
  if (m_handlers.size() + instances > static_cast<uint64_t>(m_settings.maxTotalRegistrations)) {
    Refuse(SA_CNT_REG_QUOTA, BString("registration of " + Describe(oid, *session) + " refused: sub-agents hold " +
                                     std::to_string(m_handlers.size()) + " of MaxTotalRegistrations " +
                                     std::to_string(m_settings.maxTotalRegistrations)));
    return SA_WIRE_REQUEST_DENIED;
  }
  // Every instance passes the policy, or none is registered.
  for (uint64_t v = first; v <= (range ? upper : first); ++v) {
    if (m_stopping.load(std::memory_order_relaxed)) return SA_WIRE_PROCESSING_ERROR;
    BObjectIdentifier instance = oid;
    if (range) instance[position - 1] = static_cast<uint32_t>(v);
    BString why;
    const int refusal = CheckRegistration(instance, *session, why);
    if (refusal < 0) continue;
    Refuse(static_cast<ESAMasterCounter>(refusal),
           BString("registration of " + Describe(instance, *session) + " refused: " + why.str()));
    return refusal == SA_CNT_REG_DUPLICATE ? SA_WIRE_DUPLICATE_REGISTRATION : SA_WIRE_REQUEST_DENIED;
  }

  if (range) {
    for (uint64_t v = first; v <= upper; ++v) {
      oid[position - 1] = static_cast<uint32_t>(v);
      const int status = RegisterSH(name, oid, session, SA_PROXY_ROW_INSTANCE, position, upper);
      if (status != 0) {
        QVSubAgTrace("RegisterSH %s Err=%x ", name.c_str(), status);
        return status;
      }
      QVSubAgTrace("RegisterSH [%d] %s = %s ", static_cast<int>(v), name.c_str(), oid.ToString().c_str());
    }
    return 0;
  }
  const int status = RegisterSH(name, oid, session, SA_PROXY_SUBTREE);
  if (status == 0) {
    QVSubAgTrace("RegisterSH %s = %s ", name.c_str(), oid.ToString().c_str());
  } else {
    QVSubAgTrace("RegisterSH %s Err=%x ", name.c_str(), status);
  }
  return status;
}

int BSAMaster::UnregisterSH(BSAMibSubtreeHandler* handler) {
  if (handler == nullptr) return SA_WIRE_UNKNOWN_REGISTRATION;
  // Out of the view before its sysOR index changes.
  UnlistRegistration(handler);
  m_pMibHandler->Mib2System().RemoveORRowByIndex(handler->m_sysORIndex);
  handler->m_sysORIndex = 0;
  // Out of our books first: the withdrawal may free it at once.
  const auto entry = m_handlers.find(handler->Oid());
  if (entry == m_handlers.end() || entry->second != handler) return SA_WIRE_UNKNOWN_REGISTRATION;
  m_handlers.erase(entry);
  RemoveFromSession(handler);
  // Out of the MIB at once; freed once no query that may still call it runs.
  if (m_pMibHandler->WithdrawSubtreeHandler(handler, [handler] { delete handler; }) == 0) {
    m_handlers.emplace(handler->Oid(), handler);
    if (handler->Session() != nullptr) AddToSession(*handler->Session(), handler);
    ListRegistration(handler);
    return SA_WIRE_PROCESSING_ERROR;
  }
  m_handlerCount.store(m_handlers.size(), std::memory_order_release);
  return 0;
}

int BSAMaster::UnregisterSH(BSAPdu& request) {
  QVSubAgTrace("UnregisterSH   sessionid= %d", request.sessionId);
  BSASession* session = FindSession(static_cast<int>(request.sessionId));
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  if (request.varBindList.Count() < kPlainVarBinds) return SA_WIRE_PROCESSING_ERROR;

  BObjectIdentifier oid = request.varBindList[kVbSubtree].value.GetObjectId();
  BSAMibSubtreeHandler* handler = FindSubtreeHandler(oid, session->m_id);
  if (handler == nullptr) {
    QVSubAgTrace("UnregisterSH UNKNOWN_REGISTRATION   %s", oid.ToString().c_str());
    return SA_WIRE_UNKNOWN_REGISTRATION;
  }

  if (request.varBindList.Count() >= kRangeVarBinds) {
    uint32_t position = 0;
    uint32_t upper = 0;
    if (!ReadRange(request, oid, position, upper)) return SA_WIRE_PROCESSING_ERROR;
    const uint32_t first = handler->Oid()[position - 1];
    if (upper < first) return 0;
    for (uint64_t v = first; v <= upper; ++v) {
      oid[position - 1] = static_cast<uint32_t>(v);
      BSAMibSubtreeHandler* instance = FindSubtreeHandler(oid, session->m_id);
      if (instance == nullptr) return SA_WIRE_UNKNOWN_REGISTRATION;
      if (UnregisterSH(instance) != 0) return SA_WIRE_REQUEST_DENIED;
    }
    return 0;
  }
  return UnregisterSH(handler);
}

}  // namespace QVT
