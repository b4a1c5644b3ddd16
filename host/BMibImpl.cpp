// BMibImpl: scalars served from request-handler entries. Every operation
// holds the handler's own lock, so that getters and setters of one MIB
// implementation never run at the same time on two threads.
#include "BMibImpl.h"

#include <algorithm>

#include "BMibSetPhases.h"

namespace QVT {

namespace {

bool IsOctetSyntax(unsigned char syntax) {
  return syntax == ASN_OCTET_STRING || syntax == ASN_OPAQUE;
}

bool IsUnsignedSyntax(unsigned char syntax) {
  return syntax == ASN_COUNTER32 || syntax == ASN_GAUGE32 || syntax == ASN_TIMETICKS;
}

// The longest OBJECT IDENTIFIER value the SMI allows.
constexpr unsigned kMaxOidArcs = 128;

}  // namespace

int BMibRqHndlrEntry::Validate(const BObjectSyntax& value) const {
  if (value.Syntax() != syntax) return SNMP_ERR_WRONGTYPE;
  if (IsOctetSyntax(syntax)) {
    const unsigned length = value.GetOctets().Length();
    if (length < minLength || length > maxLength) return SNMP_ERR_WRONGLENGTH;
  } else if (syntax == ASN_OBJECT_ID) {
    if (value.GetObjectId().Length() > kMaxOidArcs) return SNMP_ERR_WRONGLENGTH;
  } else if (syntax == ASN_INTEGER) {
    const int64_t v = value.GetInt();
    if (v < minValue || v > maxValue) return SNMP_ERR_WRONGVALUE;
  } else if (IsUnsignedSyntax(syntax)) {
    const int64_t v = value.GetUnsigned();
    if (v < minValue || v > maxValue) return SNMP_ERR_WRONGVALUE;
  }
  return check ? check(value) : 0;
}

BMibImpl::BMibImpl(const BString& name, const BObjectIdentifier& oid, int handlerType)
    : BMibSubtreeHandler(name, oid, handlerType) {}

BMibImpl::~BMibImpl() = default;

BMibRqHndlrEntry& BMibImpl::AddEntry(uint32_t subId, int access, unsigned char syntax) {
  TMutexLock lock(*m_pLock);
  auto it = std::lower_bound(m_entries.begin(), m_entries.end(), subId,
                             [](const BMibRqHndlrEntry& e, uint32_t id) { return e.subId < id; });
  if (it != m_entries.end() && it->subId == subId) {
    *it = BMibRqHndlrEntry();
  } else {
    it = m_entries.emplace(it);
  }
  it->subId = subId;
  it->access = access;
  it->syntax = syntax;
  return *it;
}

void BMibImpl::RemoveEntry(uint32_t subId) {
  TMutexLock lock(*m_pLock);
  std::erase_if(m_entries, [subId](const BMibRqHndlrEntry& e) { return e.subId == subId; });
}

const BMibRqHndlrEntry* BMibImpl::GetFirstRqHndlrEntry() const {
  return m_entries.empty() ? nullptr : &m_entries.front();
}

const BMibRqHndlrEntry* BMibImpl::NextRqHndlrEntry(uint32_t subId) const {
  auto it = std::upper_bound(m_entries.begin(), m_entries.end(), subId,
                             [](uint32_t id, const BMibRqHndlrEntry& e) { return id < e.subId; });
  return it == m_entries.end() ? nullptr : &*it;
}

const BMibRqHndlrEntry* BMibImpl::FindRqHndlrEntry(uint32_t subId) const {
  auto it = std::lower_bound(m_entries.begin(), m_entries.end(), subId,
                             [](const BMibRqHndlrEntry& e, uint32_t id) { return e.subId < id; });
  return it != m_entries.end() && it->subId == subId ? &*it : nullptr;
}

const BMibRqHndlrEntry* BMibImpl::EntryFor(const BObjectIdentifier& name, bool& isInstance) const {
  isInstance = false;
  const unsigned base = m_oid.Length();
  if (name.Length() <= base || m_oid.IsStartingSubOidOf(name) == 0) return nullptr;
  const BMibRqHndlrEntry* entry = FindRqHndlrEntry(name[base]);
  isInstance = entry != nullptr && name.Length() == base + 2 && name[base + 1] == 0;
  return entry;
}

namespace {

// The current value of a scalar; false when it has none to give.
bool ReadScalar(const BMibRqHndlrEntry& entry, BObjectSyntax& value) {
  if (entry.getter) {
    value = BObjectSyntax(static_cast<EAsnSyntax>(entry.syntax));
    entry.getter(value);
    return !value.IsException();
  }
  if (entry.hasDefault) {
    value = entry.defaultValue;
    return true;
  }
  return false;
}

}  // namespace

int BMibImpl::Get(unsigned int /*transactionId*/, BVarBindList& list, int& index, int count) {
  TMutexLock lock(*m_pLock);
  for (int i = index; i < index + count && i < list.Count(); ++i) {
    BVarBind& vb = list[i];
    bool isInstance = false;
    const BMibRqHndlrEntry* entry = EntryFor(vb.name, isInstance);
    if (entry == nullptr || entry->access <= MIB_ACCESS_NONE) {
      vb.value.SetV2Exception(SNMP_NO_SUCH_OBJECT);
    } else if (!isInstance || !ReadScalar(*entry, vb.value)) {
      vb.value.SetV2Exception(SNMP_NO_SUCH_INSTANCE);
    }
  }
  return 0;
}

int BMibImpl::GetNext(unsigned int /*transactionId*/, BVarBind& varbind) {
  TMutexLock lock(*m_pLock);
  const unsigned base = m_oid.Length();
  const BObjectIdentifier& name = varbind.name;
  auto it = m_entries.begin();
  if (m_oid.IsStartingSubOidOf(name) != 0 && name.Length() > base) {
    // OID.sub sorts before OID.sub.0; anything longer is at or after it.
    const uint32_t sub = name[base];
    it = std::find_if(m_entries.begin(), m_entries.end(), [&](const BMibRqHndlrEntry& e) {
      return name.Length() == base + 1 ? e.subId >= sub : e.subId > sub;
    });
  } else if (name.Compare(m_oid) > 0) {
    it = m_entries.end();  // past the whole subtree
  }
  BObjectSyntax value;
  for (; it != m_entries.end(); ++it) {
    if (it->access <= MIB_ACCESS_NONE || !ReadScalar(*it, value)) continue;
    varbind.name = m_oid;
    varbind.name.Append(it->subId);
    varbind.name.Append(0u);
    varbind.value = std::move(value);
    return 0;
  }
  varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  return 0;
}

int BMibImpl::Set(unsigned int /*transactionId*/, const BVarBindList& list, ESnmpSetOpCode code, void** contexts,
                  int& index, int count) {
  BVarBindList committed;  // told to the hook once the lock is released
  int result = 0;
  {
    TMutexLock lock(*m_pLock);
    // The entry a varbind may write, with whether it names the instance.
    auto writable = [&](const BVarBind& vb, bool& isInstance) -> const BMibRqHndlrEntry* {
      const BMibRqHndlrEntry* entry = EntryFor(vb.name, isInstance);
      return entry != nullptr && entry->access >= MIB_ACCESS_READ_WRITE && entry->setter ? entry : nullptr;
    };
    detail::BMibValueSteps steps;
    steps.test = [&](const BVarBind& vb) {
      bool isInstance = false;
      const BMibRqHndlrEntry* entry = writable(vb, isInstance);
      const int status = entry == nullptr ? SNMP_ERR_NOTWRITABLE : entry->Validate(vb.value);
      return status == 0 && !isInstance ? SNMP_ERR_NOCREATION : status;
    };
    steps.read = [&](const BVarBind& vb, BObjectSyntax& value) {
      bool isInstance = false;
      const BMibRqHndlrEntry* entry = writable(vb, isInstance);
      return entry != nullptr && isInstance && entry->getter && ReadScalar(*entry, value);
    };
    steps.write = [&](const BVarBind& vb, const BObjectSyntax& value) {
      bool isInstance = false;
      const BMibRqHndlrEntry* entry = writable(vb, isInstance);
      return entry != nullptr && isInstance ? entry->setter(value) : SNMP_ERR_COMMITFAILED;
    };
    if (m_onCommitted) steps.committed = [&committed](const BVarBind& vb) { committed.Append(vb); };
    result = detail::RunValueSetPhase(code, list, contexts, index, count, steps);
  }
  for (const BVarBind& vb : committed) m_onCommitted(vb);
  return result;
}

}  // namespace QVT
