// BSASubAgent: announcing subtree handlers and table rows to the master, and
// the two list builders that describe a MIB implementation in varbinds.
#include "BSAOIDs.h"
#include "BSASubAgent.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

BObjectSyntax Integer(int value) {
  BObjectSyntax syntax;
  syntax.SetInt(value);
  return syntax;
}

BObjectSyntax Octets(const BString& text) {
  BObjectSyntax syntax;
  syntax.SetOctets(text.view());
  return syntax;
}

BObjectSyntax ObjectId(const BObjectIdentifier& oid) {
  BObjectSyntax syntax;
  syntax.SetObjectId(oid);
  return syntax;
}

// The status of a registration exchange: the failure when it failed, else
// the master's verdict.
int Verdict(int exchange, const BSAPdu& response) {
  return exchange < 0 ? exchange : response.errorStatus;
}

}  // namespace

int BSASubAgent::RegisterHandler(BMibSubtreeHandler* handler, ESAPduType type, const BObjectIdentifier* subtree) {
  QVSubAgTrace(type == SA_PDU_REGISTER ? "Register handler" : "Unregister handler");
  const BSAOIDs& oids = *BSAOIDs::Instance();
  BSAPdu request(type, m_sessionId.load(), GetNewRequestId());
  request.varBindList.Append(oids.oidHandlerType, Integer(handler->HandlerType()));
  request.varBindList.Append(oids.oidName, Octets(handler->Name()));
  request.varBindList.Append(oids.oidSubtree, ObjectId(subtree != nullptr ? *subtree : handler->Oid()));
  if (handler->HandlerType() == MIB_HANDLER_RANGE) {
    request.varBindList.Append(oids.oidSubId, Integer(handler->RangeSubId()));
    request.varBindList.Append(oids.oidSubId, Integer(handler->RangeUpperBound()));
  }
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = SendAndRecvPdu(request, response);
  return Verdict(status, response);
}

int BSASubAgent::Register(BMibSubtreeHandler* handler) {
  return Register(handler, handler->Oid());
}

int BSASubAgent::Unregister(BMibSubtreeHandler* handler) {
  return Unregister(handler, handler->Oid());
}

int BSASubAgent::Register(BMibSubtreeHandler* handler, const BObjectIdentifier& subtree) {
  return Announce(subtree, Announced{handler, nullptr, {}}, SA_PDU_REGISTER);
}

int BSASubAgent::Unregister(BMibSubtreeHandler* handler, const BObjectIdentifier& subtree) {
  return Announce(subtree, Announced{handler, nullptr, {}}, SA_PDU_UNREGISTER);
}

int BSASubAgent::RegisterRow(BMibTableImpl* table, const BObjectIdentifier& index) {
  return Announce(RowSubtree(*table, index), Announced{nullptr, table, index}, SA_PDU_REGISTER);
}

int BSASubAgent::UnregisterRow(BMibTableImpl* table, const BObjectIdentifier& index) {
  return Announce(RowSubtree(*table, index), Announced{nullptr, table, index}, SA_PDU_UNREGISTER);
}

BObjectIdentifier BSASubAgent::RowSubtree(const BMibTableImpl& table, const BObjectIdentifier& index) {
  // One range registration whose varying sub-id is the column: it covers
  // table.column.index for every column from the first to the last
  // accessible one.
  BObjectIdentifier subtree(table.Oid());
  subtree.Append(BSAMibImpl::Get1stAccessibleSubId(table));
  subtree.Append(index, true);
  return subtree;
}

int BSASubAgent::Announce(const BObjectIdentifier& subtree, const Announced& what, ESAPduType type) {
  if (m_keep) {
    std::lock_guard<std::mutex> guard(m_keepLock);
    if (!IsSessionOpen() || m_restoring) {
      // The keeper announces it once it has a session.
      Remember(subtree, what, type);
      return SA_WIRE_NOT_OPEN;
    }
  }
  const int status = SendRegistration(subtree, what, type);
  // One that got no verdict (the master went away meanwhile) is announced
  // again with the rest; one the master refused is not.
  if (m_keep && status <= 0) {
    std::lock_guard<std::mutex> guard(m_keepLock);
    Announced announced = what;
    announced.session = status == 0 ? m_sessionId.load() : 0;
    Remember(subtree, announced, type);
  }
  return status;
}

void BSASubAgent::Remember(const BObjectIdentifier& subtree, const Announced& what, ESAPduType type) {
  if (type == SA_PDU_REGISTER) {
    m_announced[subtree] = what;
  } else {
    m_announced.erase(subtree);
  }
}

int BSASubAgent::SendRegistration(const BObjectIdentifier& subtree, const Announced& what, ESAPduType type) {
  return what.table != nullptr ? RegisterTableRow(what.table, what.index, type)
                               : RegisterHandler(what.handler, type, &subtree);
}

int BSASubAgent::RegisterTableRow(BMibTableImpl* table, const BObjectIdentifier& index, ESAPduType type) {
  QVSubAgTrace(type == SA_PDU_REGISTER ? "RegisterRow" : "UnregisterRow");
  const BSAOIDs& oids = *BSAOIDs::Instance();
  BSAPdu request(type, m_sessionId.load(), GetNewRequestId());

  BString name(table->Name());
  name.Append(" ");
  name.Append(index.ToString());
  const BObjectIdentifier subtree = RowSubtree(*table, index);

  request.varBindList.Append(oids.oidHandlerType, Integer(MIB_HANDLER_RANGE));
  request.varBindList.Append(oids.oidName, Octets(name));
  request.varBindList.Append(oids.oidSubtree, ObjectId(subtree));
  request.varBindList.Append(oids.oidSubId, Integer(static_cast<int>(table->Oid().Length()) + 1));
  request.varBindList.Append(oids.oidSubId, Integer(static_cast<int>(BSAMibImpl::GetLastAccessibleSubId(*table))));
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = SendAndRecvPdu(request, response);
  return Verdict(status, response);
}

void BSASubAgent::AddSubidsToVbl(BSAMibImpl* mib, BSAPdu& pdu) {
  const BSAOIDs& oids = *BSAOIDs::Instance();
  BVarBindList& list = pdu.varBindList;
  if (mib->HandlerType() == MIB_HANDLER_RANGE) {
    list.Append(oids.oidSubId, Integer(mib->RangeSubId()));
    list.Append(oids.oidSubId, Integer(mib->RangeUpperBound()));
    return;
  }
  if (mib->HandlerType() == MIB_HANDLER_SUBTREE) {
    // A range of one value over the OID's last sub-id; an empty OID has
    // none, and is described by position and bound 0.
    const BObjectIdentifier& oid = mib->Oid();
    list.Append(oids.oidSubId, Integer(static_cast<int>(oid.Length())));
    list.Append(oids.oidSubId, Integer(oid.IsEmpty() ? 0 : static_cast<int>(oid.Last())));
    return;
  }
  const int countPosition = list.Count();
  list.Append(oids.oidCount);
  int count = 0;
  for (uint32_t subId = mib->Get1stSubId(); subId != 0; subId = mib->GetNextSubId(subId)) {
    if (mib->GetAccess(subId) <= 0) continue;
    list.Append(oids.oidSubId, Integer(static_cast<int>(subId)));
    ++count;
  }
  list[countPosition].value.SetInt(count);
}

void BSASubAgent::AddIndicesToVbl(BMibTableImpl* table, BSAPdu& pdu) {
  const BSAOIDs& oids = *BSAOIDs::Instance();
  BVarBindList& list = pdu.varBindList;
  const uint32_t column = BSAMibImpl::Get1stAccessibleSubId(*table);
  const int countPosition = list.Count();
  list.Append(oids.oidCount);
  int count = 0;
  BObjectIdentifier current;
  BObjectIdentifier next;
  while (table->NextRowIndex(0, column, current, next) != 0) {
    BObjectIdentifier value(oids.oidIndexPrefix);
    value.Append(next, true);
    list.Append(oids.oidRowIndex, ObjectId(value));
    ++count;
    current = next;
  }
  list[countPosition].value.SetInt(count);
}

}  // namespace QVT
