// BMibSubtreeHandler: the defaults of a subtree handler serve nothing: GET
// answers noSuchObject, GET-NEXT endOfMibView, a SET test notWritable.
// Subclasses replace what they implement.
#include "BMibSubtreeHandler.h"

#include <cstdio>

namespace QVT {

BMibSubtreeHandler::BMibSubtreeHandler(const char* name, const char* oid)
    : m_name(name != nullptr ? name : ""), m_oid(BString(oid != nullptr ? oid : "")) {}

BMibSubtreeHandler::BMibSubtreeHandler(const BString& name, const BObjectIdentifier& oid, int handlerType)
    : m_name(name), m_oid(oid), m_handlerType(handlerType) {}

BMibSubtreeHandler::~BMibSubtreeHandler() = default;

void BMibSubtreeHandler::OnTimeout(BTimeInterval& /*interval*/) {}

int BMibSubtreeHandler::Get(unsigned int /*transactionId*/, BVarBindList& list, int& index, int count) {
  for (int i = index; i < index + count && i < list.Count(); ++i) list[i].value.SetV2Exception(SNMP_NO_SUCH_OBJECT);
  return 0;
}

int BMibSubtreeHandler::GetNext(unsigned int transactionId, BVarBindList& list, int& index, int count) {
  const int first = index;
  for (int i = first; i < first + count && i < list.Count(); ++i) {
    const int status = GetNext(transactionId, list[i]);
    if (status != 0) {
      index = i - first;
      return status;
    }
  }
  return 0;
}

int BMibSubtreeHandler::GetNext(unsigned int /*transactionId*/, BVarBind& varbind) {
  varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  return 0;
}

int BMibSubtreeHandler::Set(unsigned int /*transactionId*/, const BVarBindList& /*list*/, ESnmpSetOpCode code,
                            void** /*contexts*/, int& index, int count) {
  if (code != SNMP_SET_TEST || count <= 0) return 0;
  index = 0;
  return SNMP_ERR_NOTWRITABLE;
}

int BMibSubtreeHandler::HandlesInstance(const BObjectIdentifier& name) {
  return m_oid.IsStartingSubOidOf(name);
}

IMibInfo* BMibSubtreeHandler::GetIMibInfo() {
  return nullptr;
}

BString BMibSubtreeHandler::ToString() const {
  char type[24];
  std::snprintf(type, sizeof type, " (type %d)", m_handlerType);
  BString text(m_oid.ToString());
  text.Append(" ");
  text.Append(m_name);
  text.Append(type);
  return text;
}

}  // namespace QVT
