// BMibHandler: GET, GET-NEXT and SET over the registered subtree handlers.
//
// GET-NEXT works on segments of OID space that have one owner. A segment
// ends where a nested registration starts or where its owner's subtree
// ends; the owner's answer is taken only if it falls inside the segment,
// otherwise the walk moves to the next segment. An enclosing handler cut
// short by a nested registration is remembered (with its answer, if it gave
// one) so that it can resume after the nested subtree without being asked
// twice for the same thing. Segment starts only ever grow and each handler
// call must answer a greater name, so every walk ends.
#include "BMibHandler.h"

#include <cctype>
#include <utility>
#include <vector>

#include "BTransactions.h"

namespace QVT {

namespace {

constexpr int kSetRequestCode = 0xA3;

bool Contains(const BObjectIdentifier& root, const BObjectIdentifier& name) {
  return root.IsStartingSubOidOf(name) != 0;
}

bool Allowed(IAccessControl* access, const BSecurityParams& params, const BObjectIdentifier& name, int code) {
  return access == nullptr || access->IsAccessAllowed(params, name, code) != 0;
}

// The 1-based position in the request of a handler's error index `relative`
// (0-based, counted from the first varbind the handler served). A negative
// index names no varbind; one out of range is taken as the group's first.
int RequestPosition(int relative, const std::vector<int>& positions) {
  if (relative < 0) return 0;
  if (relative >= static_cast<int>(positions.size())) relative = 0;
  return positions[static_cast<size_t>(relative)] + 1;
}

int RequestPosition(int relative, int first, int count) {
  if (relative < 0) return 0;
  if (relative >= count) relative = 0;
  return first + relative + 1;
}

// Asks `handler` for its first instance after `from`; answers before
// `floor` (when given) are stepped over. `found` tells whether `work` holds
// an answer: endOfMibView, any other exception, a name not greater than
// the one asked or a name outside the handler's subtree all mean the
// handler has nothing more. Returns the handler's error status.
int AskNext(BMibSubtreeHandler* handler, unsigned tid, const BObjectIdentifier& from, const BObjectIdentifier* floor,
            BVarBind& work, bool& found) {
  found = false;
  BObjectIdentifier stepped;
  const BObjectIdentifier* asked = &from;
  work.name = from;
  for (;;) {
    work.value.SetNull();
    const int status = handler->GetNext(tid, work);
    if (status != 0) return status;
    if (work.value.IsException() || work.name.Compare(*asked) <= 0 || !Contains(handler->Oid(), work.name)) return 0;
    if (floor == nullptr || work.name.Compare(*floor) >= 0) {
      found = true;
      return 0;
    }
    stepped = work.name;
    asked = &stepped;
  }
}

// An enclosing handler whose segment a nested registration cut short.
struct Interrupted {
  BMibTreeNode* node;
  bool exhausted;
  BVarBind answer;
};

// GET-NEXT of one varbind over the whole tree (see the file comment); no
// registration at or after `limit` (when given) is asked.
int NextInstance(const BMibTree& tree, IAccessControl* access, const BSecurityParams& params, unsigned tid,
                 BVarBind& vb, const BObjectIdentifier* limit) {
  auto beyond = [limit](const BObjectIdentifier& oid) { return limit != nullptr && oid.Compare(*limit) >= 0; };
  const BObjectIdentifier& x = vb.name;  // left untouched until the answer is known
  BVarBind work;
  std::vector<Interrupted> interrupted;
  BObjectIdentifier start;  // the segment's first name, unless it starts right after x
  bool fromName = true;
  const BMibTreeNode* ended = nullptr;  // the nested registration whose end this segment starts at
  BMibTreeNode* owner = tree.FindSubtreeHandlerNode(x);
  for (;;) {
    const BObjectIdentifier& pos = fromName ? x : start;
    if (owner == nullptr) {  // a gap between registrations
      BMibTreeNode* next = tree.FirstAfter(pos);
      if (next == nullptr || beyond(next->Oid())) break;
      start = next->Oid();
      fromName = false;
      owner = next;
      continue;
    }
    BMibSubtreeHandler* handler = owner->Handler();
    BMibTreeNode* nested = tree.FirstNestedAfter(owner, pos);
    bool found = false;
    int status = 0;
    if (fromName || owner->Oid() == start) {
      // The owner of x, or a registration entered from before its OID: both
      // answer from x itself.
      status = AskNext(handler, tid, x, nullptr, work, found);
    } else {
      // An enclosing handler resumes after the nested subtree `ended`.
      Interrupted* memo = !interrupted.empty() && interrupted.back().node == owner ? &interrupted.back() : nullptr;
      if (memo != nullptr && memo->exhausted) {
        found = false;
      } else if (memo != nullptr && memo->answer.name.Compare(start) >= 0) {
        work = std::move(memo->answer);
        found = true;
      } else {
        const BObjectIdentifier* from = &x;
        if (ended != nullptr && ended->Oid().Compare(*from) > 0) from = &ended->Oid();
        if (memo != nullptr && memo->answer.name.Compare(*from) > 0) from = &memo->answer.name;
        status = AskNext(handler, tid, *from, &start, work, found);
      }
      if (memo != nullptr) interrupted.pop_back();
    }
    if (status != 0) return status;

    while (found) {
      if (nested != nullptr && work.name.Compare(nested->Oid()) >= 0) break;  // beyond this segment
      if (Allowed(access, params, work.name, SNMP_REQ_GET_NEXT)) {
        vb.name = std::move(work.name);
        vb.value = std::move(work.value);
        return 0;
      }
      const BObjectIdentifier hidden = work.name;
      status = AskNext(handler, tid, hidden, nullptr, work, found);
      if (status != 0) return status;
    }

    if (nested != nullptr) {
      if (beyond(nested->Oid())) break;
      interrupted.push_back({owner, !found, found ? std::exchange(work, BVarBind()) : BVarBind()});
      start = nested->Oid();
      fromName = false;
      owner = nested;
      continue;
    }
    BObjectIdentifier end;
    if (!BMibTree::SubtreeEnd(owner->Oid(), end) || beyond(end)) break;
    ended = owner;
    start = std::move(end);
    fromName = false;
    owner = tree.FindSubtreeHandlerNode(start);
    while (!interrupted.empty() && !Contains(interrupted.back().node->Oid(), start)) interrupted.pop_back();
  }
  vb.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  return 0;
}

// One handler's share of a SET.
struct SetGroup {
  BMibSubtreeHandler* handler = nullptr;
  std::vector<int> positions;  // in the request
  BVarBindList gathered;       // copies of its varbinds when they are not contiguous
  const BVarBindList* list = nullptr;
  int first = 0;
  int count = 0;
  std::vector<void*> slots;  // contexts[i] belongs to (*list)[i]
};

int RunPhase(SetGroup& group, unsigned tid, ESnmpSetOpCode code, int& errorIndex) {
  int index = group.first;
  const int status = group.handler->Set(tid, *group.list, code, group.slots.data(), index, group.count);
  if (status != 0) errorIndex = RequestPosition(index, group.positions);
  return status;
}

void CleanupAll(std::vector<SetGroup>& groups, size_t count, unsigned tid) {
  int ignored = 0;
  for (size_t i = 0; i < count; ++i) (void)RunPhase(groups[i], tid, SNMP_SET_CLEANUP, ignored);
}

BString Trimmed(const BString& text) {
  size_t begin = 0;
  size_t end = text.str().size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text.str()[begin])) != 0) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text.str()[end - 1])) != 0) --end;
  return BString(text.str().substr(begin, end - begin));
}

enum EMibCommand { kCmdHandlers, kCmdGet, kCmdNext, kCmdCount };

}  // namespace

BMibHandler::BMibHandler(IAccessControl* accessControl) : m_pAccessControl(accessControl) {
  m_tree.Insert(&m_mib2System);
}

BMibHandler::~BMibHandler() = default;

int BMibHandler::RegisterSubtreeHandler(BMibSubtreeHandler* handler) {
  // Queries in flight need not be waited for: they see the new handler or
  // not, and nothing they hold goes away.
  return m_tree.Insert(handler);
}

int BMibHandler::RegisterGroup(BMibSubtreeHandler* const* handlers, int count) {
  if (handlers == nullptr || count < 0) return 0;
  return m_tree.InsertGroup(handlers, count);
}

int BMibHandler::UnregisterSubtreeHandler(BMibSubtreeHandler* handler) {
  TWriteLock writing(m_synch);
  return m_tree.Remove(handler);
}

int BMibHandler::WithdrawSubtreeHandler(BMibSubtreeHandler* handler, std::function<void()> reclaim) {
  std::shared_ptr<BMibTreeNode> node = m_tree.Detach(handler);
  if (node == nullptr) return 0;
  m_grace.Retire([node, reclaim = std::move(reclaim)]() mutable {
    node.reset();
    if (reclaim) reclaim();
  });
  return 1;
}

int BMibHandler::UnregisterGroup(BMibSubtreeHandler* const* handlers, int count) {
  if (handlers == nullptr || count < 0) return 0;
  TWriteLock writing(m_synch);
  int all = 1;
  for (int i = 0; i < count; ++i) {
    if (m_tree.Remove(handlers[i]) == 0) all = 0;
  }
  return all;
}

int BMibHandler::Query(int code, int transactionId, const BSecurityParams& params, const BString& /*context*/,
                       BVarBindList& list, int& errorIndex) {
  errorIndex = 0;
  TReadLock reading(m_synch);
  BGracePeriod grace(m_grace);
  switch (code) {
    case SNMP_REQ_GET:
      return QueryGet(transactionId, params, list, errorIndex);
    case SNMP_REQ_GET_NEXT:
      return QueryGetNext(transactionId, params, list, errorIndex);
    default:
      return SNMP_ERR_GENERR;
  }
}

int BMibHandler::QueryGet(int transactionId, const BSecurityParams& params, BVarBindList& list, int& errorIndex) {
  const unsigned tid = static_cast<unsigned>(transactionId);
  const int n = list.Count();
  if (n == 0) return 0;
  auto ownerOf = [&](int i) -> BMibSubtreeHandler* {
    if (!Allowed(m_pAccessControl, params, list[i].name, SNMP_REQ_GET)) return nullptr;
    const BMibTreeNode* node = m_tree.FindSubtreeHandlerNode(list[i].name);
    return node != nullptr ? node->Handler() : nullptr;
  };

  // The common case: one handler owns the whole list, which it serves in place.
  BMibSubtreeHandler* const firstOwner = ownerOf(0);
  int run = 1;
  while (firstOwner != nullptr && run < n && ownerOf(run) == firstOwner) ++run;
  if (firstOwner != nullptr && run == n) {
    int index = 0;
    const int status = firstOwner->Get(tid, list, index, n);
    if (status != 0) errorIndex = RequestPosition(index, 0, n);
    return status;
  }

  std::vector<BMibSubtreeHandler*> owners(static_cast<size_t>(n), nullptr);
  for (int i = 0; i < n; ++i) {
    owners[static_cast<size_t>(i)] = i < run ? firstOwner : ownerOf(i);
    if (owners[static_cast<size_t>(i)] == nullptr) list[i].value.SetV2Exception(SNMP_NO_SUCH_OBJECT);
  }
  std::vector<int> positions;
  BVarBindList gathered;
  for (int i = 0; i < n; ++i) {
    BMibSubtreeHandler* const handler = owners[static_cast<size_t>(i)];
    if (handler == nullptr) continue;  // unowned, or served with an earlier group
    positions.clear();
    for (int j = i; j < n; ++j) {
      if (owners[static_cast<size_t>(j)] != handler) continue;
      positions.push_back(j);
      owners[static_cast<size_t>(j)] = nullptr;
    }
    const int count = static_cast<int>(positions.size());
    int index = i;
    int status = 0;
    if (positions.back() - i + 1 == count) {
      status = handler->Get(tid, list, index, count);
    } else {
      gathered.Clear();
      for (int p : positions) gathered.Append(list[p]);
      index = 0;
      status = handler->Get(tid, gathered, index, count);
      for (int k = 0; k < count; ++k) list[positions[static_cast<size_t>(k)]].value = std::move(gathered[k].value);
    }
    if (status != 0) {
      errorIndex = RequestPosition(index, positions);
      return status;
    }
  }
  return 0;
}

int BMibHandler::QueryNextBefore(int transactionId, const BSecurityParams& params, BVarBindList& list,
                                 const std::vector<BObjectIdentifier>& limits, int& errorIndex) {
  errorIndex = 0;
  TReadLock reading(m_synch);
  BGracePeriod grace(m_grace);
  return QueryGetNext(transactionId, params, list, errorIndex, &limits);
}

int BMibHandler::QueryGetNext(int transactionId, const BSecurityParams& params, BVarBindList& list, int& errorIndex,
                              const std::vector<BObjectIdentifier>* limits) {
  const unsigned tid = static_cast<unsigned>(transactionId);
  for (int i = 0; i < list.Count(); ++i) {
    const BObjectIdentifier* limit = nullptr;
    if (limits != nullptr && static_cast<size_t>(i) < limits->size() && (*limits)[static_cast<size_t>(i)].Length() > 0) {
      limit = &(*limits)[static_cast<size_t>(i)];
    }
    const int status = NextInstance(m_tree, m_pAccessControl, params, tid, list[i], limit);
    if (status != 0) {
      errorIndex = i + 1;
      return status;
    }
  }
  return 0;
}

int BMibHandler::ProcessSet(unsigned int transactionId, const BSecurityParams& params, BVarBindList& list,
                            int& errorIndex) {
  TMutexLock serial(m_mutex);
  TReadLock reading(m_synch);
  BGracePeriod grace(m_grace);
  errorIndex = 0;
  const int n = list.Count();
  std::vector<SetGroup> groups;
  for (int i = 0; i < n; ++i) {
    if (!Allowed(m_pAccessControl, params, list[i].name, kSetRequestCode)) {
      errorIndex = i + 1;
      return SNMP_ERR_NOACCESS;
    }
    const BMibTreeNode* node = m_tree.FindSubtreeHandlerNode(list[i].name);
    if (node == nullptr) {
      errorIndex = i + 1;
      return SNMP_ERR_NOTWRITABLE;
    }
    SetGroup* group = nullptr;
    for (SetGroup& g : groups) {
      if (g.handler == node->Handler()) group = &g;
    }
    if (group == nullptr) {
      group = &groups.emplace_back();
      group->handler = node->Handler();
    }
    group->positions.push_back(i);
  }
  for (SetGroup& g : groups) {
    g.count = static_cast<int>(g.positions.size());
    if (g.positions.back() - g.positions.front() + 1 == g.count) {
      g.list = &list;
      g.first = g.positions.front();
    } else {
      for (int p : g.positions) g.gathered.Append(list[p]);
      g.list = &g.gathered;
      g.first = 0;
    }
    g.slots.assign(static_cast<size_t>(g.first) + static_cast<size_t>(g.count), nullptr);
  }

  size_t tested = 0;
  while (tested < groups.size()) {
    const int status = RunPhase(groups[tested++], transactionId, SNMP_SET_TEST, errorIndex);
    if (status != 0) {
      CleanupAll(groups, tested, transactionId);
      return status;
    }
  }

  int status = 0;
  size_t committed = 0;
  for (; committed < groups.size(); ++committed) {
    if (RunPhase(groups[committed], transactionId, SNMP_SET_COMMIT, errorIndex) != 0) {
      status = SNMP_ERR_COMMITFAILED;
      break;
    }
  }
  if (status != 0) {
    while (committed-- > 0) {
      int undoIndex = 0;
      if (RunPhase(groups[committed], transactionId, SNMP_SET_UNDO, undoIndex) != 0 && status != SNMP_ERR_UNDOFAILED) {
        status = SNMP_ERR_UNDOFAILED;
        errorIndex = undoIndex;
      }
    }
  }
  CleanupAll(groups, groups.size(), transactionId);
  return status;
}

BTransactions* BMibHandler::GetITransactions() {
  return BTransactions::Instance();
}

BString BMibHandler::CmdHndlrName() const {
  return "mib";
}

int BMibHandler::CmdCount() const {
  return kCmdCount;
}

BString BMibHandler::CmdNameAt(int id) const {
  switch (id) {
    case kCmdHandlers:
      return "handlers";
    case kCmdGet:
      return "get";
    case kCmdNext:
      return "next";
    default:
      return BString();
  }
}

BString BMibHandler::CmdGetDescr(int id) const {
  switch (id) {
    case kCmdHandlers:
      return "list the registered subtree handlers in OID order, nested ones indented";
    case kCmdGet:
      return "GET one name";
    case kCmdNext:
      return "GET-NEXT from one name";
    default:
      return BString();
  }
}

BString BMibHandler::CmdGetArgsDescr(int id) const {
  return id == kCmdGet || id == kCmdNext ? BString("OID") : BString();
}

BString BMibHandler::CmdGetHndlrName() const {
  return CmdHndlrName();
}

BString BMibHandler::CmdGetMap() const {
  return BCmdHandler::CmdGetMap();
}

int BMibHandler::CmdExecute(int id, const BString& args, BString& output) {
  output = BString();
  if (id == kCmdHandlers) {
    TReadLock reading(m_synch);
    BGracePeriod grace(m_grace);
    for (const BMibTreeNode* node = m_tree.First(); node != nullptr; node = m_tree.Next(node)) {
      for (const BMibTreeNode* p = node->Parent(); p != nullptr; p = p->Parent()) output.Append("  ");
      output.Append(node->Handler()->ToString());
      output.Append("\n");
    }
    return 0;
  }
  if (id != kCmdGet && id != kCmdNext) {
    output = "unknown command";
    return -1;
  }
  BObjectIdentifier name;
  const BString text = Trimmed(args);
  if (text.empty() || !name.Parse(text.c_str())) {
    output = "not an OID: ";
    output.Append(text);
    return -1;
  }
  BVarBindList list;
  list.Append(name);
  int errorIndex = 0;
  const BSecurityParams params;
  const int status =
      Query(id == kCmdGet ? SNMP_REQ_GET : SNMP_REQ_GET_NEXT, static_cast<int>(GetITransactions()->NewTransactionId()),
            params, BString(), list, errorIndex);
  if (status != 0) {
    output = "error status ";
    output.Append(std::to_string(status).c_str());
    return status;
  }
  output = list[0].name.ToString();
  output.Append(" = ");
  output.Append(list[0].value.ValToStr());
  output.Append("\n");
  return 0;
}

}  // namespace QVT
