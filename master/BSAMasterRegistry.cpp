// BSAMaster: registration and unregistration of sub-agent subtrees. Every
// registered subtree (every instance of a range) gets one proxy handler in
// m_handlers, in the agent's MIB handler, and one sysORTable row.
#include "BSAMaster.h"
#include "BSAMibSubtreeHandler.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

// A range registration installs one handler per value. Ranges wider than
// this are refused: they would let one datagram allocate without bound (and
// a bound of 0xFFFFFFFF would let the loop counter wrap).
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

// The subtree of varbind 2; false when it is not an OBJECT IDENTIFIER. An
// empty OID (the value of any other syntax) would be a prefix of every name
// and register one proxy for the agent's whole MIB. (An unregistration of
// such a value simply finds nothing.)
bool ReadSubtree(const BSAPdu& request, BObjectIdentifier& oid) {
  const BObjectSyntax& value = request.varBindList[kVbSubtree].value;
  if (value.Syntax() != ASN_OBJECT_ID || value.GetObjectId().IsEmpty()) return false;
  oid = value.GetObjectId();
  return true;
}

}  // namespace

int BSAMaster::RegisterSH(BString& name, BObjectIdentifier& oid, BSASession* session, int type) {
  auto* handler = new BSAMibSubtreeHandler(name, oid, this, type);
  handler->SetSession(session);
  if (m_pMibHandler->RegisterSubtreeHandler(handler) == 0) {
    delete handler;
    return SA_WIRE_DUPLICATE_REGISTRATION;
  }
  m_handlers.PushBack(handler);
  m_pMibHandler->Mib2System().InsertORRow(oid, name);
  return 0;
}

int BSAMaster::RegisterSH(BSAPdu& request) {
  QVSubAgTrace("RegisterSH  sessionid= %d", request.sessionId);
  // The request forms change m_handlers and the MIB handler on the worker
  // thread while the session monitor may close sessions: holding the write
  // lock for the whole request serialises the two.
  TWriteLock writeLock(m_pMibHandler->Synch());
  BSASession* session = FindSession(static_cast<int>(request.sessionId));
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  if (request.varBindList.Count() < kPlainVarBinds) return SA_WIRE_PROCESSING_ERROR;

  BString name = request.varBindList[kVbName].value.GetOctets().ToDispStr();
  BObjectIdentifier oid;
  if (!ReadSubtree(request, oid)) return SA_WIRE_PROCESSING_ERROR;
  if (FindSubtreeHandler(oid, 0) >= 0) return SA_WIRE_DUPLICATE_REGISTRATION;

  if (request.varBindList.Count() >= kRangeVarBinds) {
    uint32_t position = 0;
    uint32_t upper = 0;
    if (!ReadRange(request, oid, position, upper)) return SA_WIRE_PROCESSING_ERROR;
    const uint32_t first = oid[position - 1];
    if (upper < first) return 0;
    if (upper - first >= kMaxRangeInstances) return SA_WIRE_PROCESSING_ERROR;
    for (uint64_t v = first; v <= upper; ++v) {
      oid[position - 1] = static_cast<uint32_t>(v);
      const int status = RegisterSH(name, oid, session, SA_PROXY_ROW_INSTANCE);
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

int BSAMaster::UnregisterSH(int index) {
  if (index < 0 || index >= m_handlers.Count()) return SA_WIRE_UNKNOWN_REGISTRATION;
  auto* handler = static_cast<BSAMibSubtreeHandler*>(m_handlers[index]);
  if (handler == nullptr) return SA_WIRE_UNKNOWN_REGISTRATION;
  BMib2System& system = m_pMibHandler->Mib2System();
  for (int position = 1; position <= system.GetNumORRows(); ++position) {
    const BSysORRow* row = system.GetORRow(position);
    if (row != nullptr && row->id.Compare(handler->Oid()) == 0) {
      system.RemoveORRow(position);
      break;
    }
  }
  if (m_pMibHandler->UnregisterSubtreeHandler(handler) == 0) return SA_WIRE_PROCESSING_ERROR;
  m_handlers.RemoveElementAt(index);
  delete handler;
  return 0;
}

int BSAMaster::UnregisterSH(BSAPdu& request) {
  QVSubAgTrace("UnregisterSH   sessionid= %d", request.sessionId);
  TWriteLock writeLock(m_pMibHandler->Synch());
  BSASession* session = FindSession(static_cast<int>(request.sessionId));
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  if (request.varBindList.Count() < kPlainVarBinds) return SA_WIRE_PROCESSING_ERROR;

  BObjectIdentifier oid = request.varBindList[kVbSubtree].value.GetObjectId();
  const int index = FindSubtreeHandler(oid, session->m_id);
  if (index < 0) {
    QVSubAgTrace("UnregisterSH UNKNOWN_REGISTRATION   %s", oid.ToString().c_str());
    return SA_WIRE_UNKNOWN_REGISTRATION;
  }

  if (request.varBindList.Count() >= kRangeVarBinds) {
    uint32_t position = 0;
    uint32_t upper = 0;
    if (!ReadRange(request, oid, position, upper)) return SA_WIRE_PROCESSING_ERROR;
    if (m_handlers[index] == nullptr) return SA_WIRE_UNKNOWN_REGISTRATION;
    const uint32_t first = static_cast<BSAMibSubtreeHandler*>(m_handlers[index])->Oid()[position - 1];
    if (upper < first) return 0;
    for (uint64_t v = first; v <= upper; ++v) {
      oid[position - 1] = static_cast<uint32_t>(v);
      const int instance = FindSubtreeHandler(oid, session->m_id);
      if (instance < 0) return SA_WIRE_UNKNOWN_REGISTRATION;
      if (UnregisterSH(instance) != 0) return SA_WIRE_REQUEST_DENIED;
    }
    return 0;
  }
  return UnregisterSH(index);
}

int BSAMaster::FindSubtreeHandler(const BObjectIdentifier& oid, int sessionId) {
  for (int i = 0; i < m_handlers.Count(); ++i) {
    auto* handler = static_cast<BSAMibSubtreeHandler*>(m_handlers[i]);
    if (handler == nullptr || handler->Oid().Compare(oid) != 0) continue;
    if (sessionId != 0 && (handler->Session() == nullptr || handler->Session()->m_id != sessionId)) continue;
    return i;
  }
  return -1;
}

}  // namespace QVT
