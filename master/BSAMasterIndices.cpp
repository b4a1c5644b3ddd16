// BSAMaster::Indices and the index allocation requests: the master's
// registry of table index values that sub-agents reserve, so that several
// sub-agents sharing a table never use the same index.
//
// Values are kept per index name in two maps keyed by an OID made from the
// value (ValToOid): the allocated and the released values. Allocation moves
// a released value back, release moves an allocated one over; a "new"
// value is one above the highest allocated (stepping over released ones),
// an "any" value prefers the lowest released one.
//
// Each allocated value belongs to the session that allocated it: a session
// holds at most MaxIndexAllocations, its values are released when it
// closes, and only a session of the same host may release them earlier.
// Released values are kept up to a fixed number, so that sessions that come
// and go cannot make the registry grow without end.
#include "BSAMaster.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

void DeleteValues(BMapOid2Ptr& outer) {
  for (int i = 0; i < outer.Count(); ++i) {
    auto* inner = static_cast<BMapOid2Ptr*>(outer.PtrAt(i));
    for (int j = 0; j < inner->Count(); ++j) delete static_cast<BObjectSyntax*>(inner->PtrAt(j));
    delete inner;
  }
  outer.Clear();
}

}  // namespace

BSAMaster::Indices::~Indices() {
  DeleteValues(m_allocated);
  DeleteValues(m_released);
}

BMapOid2Ptr* BSAMaster::Indices::GetIndicesForName(BMapOid2Ptr& map, const BObjectIdentifier& name) {
  return static_cast<BMapOid2Ptr*>(map.Lookup(name));
}

BMapOid2Ptr* BSAMaster::Indices::IndicesForNameCreate(BMapOid2Ptr& map, const BObjectIdentifier& name) {
  BMapOid2Ptr* inner = GetIndicesForName(map, name);
  if (inner == nullptr) {
    inner = new BMapOid2Ptr();
    map.Insert(name, inner);
  }
  return inner;
}

int BSAMaster::Indices::FindValue(BMapOid2Ptr* values, const BObjectIdentifier& key) {
  if (values == nullptr) return -1;
  return values->Find(key);
}

int BSAMaster::Indices::ValToOid(const BObjectSyntax& value, BObjectIdentifier& key) {
  key.Clear();
  switch (value.Syntax()) {
    case ASN_INTEGER:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
      key.Set(value.GetUnsigned());
      return 1;
    case ASN_OCTET_STRING:
    case ASN_OPAQUE: {
      const BOctetString& octets = value.GetOctets();
      if (octets.Length() == 0) return 0;
      key.Set(octets.Data(), static_cast<int>(octets.Length()), true);
      return 1;
    }
    case ASN_OBJECT_ID:
      if (value.GetObjectId().IsEmpty()) return 0;
      key = value.GetObjectId();
      return 1;
    case ASN_IPADDRESS:
      key.Set(value.GetIpAddress().Data(), 4, true);
      return 1;
    default:
      return 0;
  }
}

int BSAMaster::Indices::IsNumericSyntax(const BObjectSyntax& value) {
  // The syntaxes whose key is one number, so that a value can be chosen by
  // counting: INTEGER, TimeTicks and Gauge32 (Unsigned32). Counter32 has no
  // key and is not among them.
  const unsigned char syntax = value.Syntax();
  return syntax == ASN_INTEGER || syntax == ASN_TIMETICKS || syntax == ASN_GAUGE32 ? 1 : 0;
}

int BSAMaster::Indices::TestNew(const BObjectIdentifier& /*name*/, const BObjectSyntax& value) {
  return IsNumericSyntax(value) ? 0 : SA_WIRE_INDEX_NONE_AVAILABLE;
}

int BSAMaster::Indices::TestAny(const BObjectIdentifier& /*name*/, const BObjectSyntax& value) {
  return IsNumericSyntax(value) ? 0 : SA_WIRE_INDEX_NONE_AVAILABLE;
}

int BSAMaster::Indices::TestValue(const BObjectIdentifier& name, const BObjectSyntax& value) {
  BMapOid2Ptr* allocated = GetIndicesForName(m_allocated, name);
  if (allocated == nullptr) return 0;
  BObjectIdentifier key;
  if (!ValToOid(value, key)) return SA_WIRE_INDEX_NOT_ALLOCATED;
  return FindValue(allocated, key) >= 0 ? SA_WIRE_INDEX_ALREADY_ALLOCATED : 0;
}

int BSAMaster::Indices::Exists(const BObjectIdentifier& name, const BObjectSyntax& value) {
  BObjectIdentifier key;
  if (!ValToOid(value, key)) return 0;
  return FindValue(GetIndicesForName(m_allocated, name), key) >= 0 ? 1 : 0;
}

int BSAMaster::Indices::Add(const BObjectIdentifier& name, const BObjectSyntax& value) {
  BObjectIdentifier key;
  if (!ValToOid(value, key)) return SA_WIRE_INDEX_WRONG_TYPE;
  BMapOid2Ptr* allocated = GetIndicesForName(m_allocated, name);
  if (allocated != nullptr && FindValue(allocated, key) >= 0) return SA_WIRE_INDEX_ALREADY_ALLOCATED;
  BObjectSyntax* stored = TakeReleased(name, key);
  return Allocate(name, key, stored != nullptr ? stored : new BObjectSyntax(value));
}

int BSAMaster::Indices::AddNew(const BObjectIdentifier& name, BObjectSyntax& value) {
  if (!IsNumericSyntax(value)) return SA_WIRE_INDEX_NONE_AVAILABLE;
  BObjectIdentifier key;
  if (!ValToOid(value, key)) return SA_WIRE_INDEX_WRONG_TYPE;

  // One above the highest value allocated (else released), stepping over
  // the numbers taken or released. Keys of other syntaxes (strings, OIDs:
  // several arcs) share the maps; only the number of a one-arc key counts
  // as taken, so the first arc of the highest key is where counting starts.
  BMapOid2Ptr* allocated = GetIndicesForName(m_allocated, name);
  BMapOid2Ptr* released = GetIndicesForName(m_released, name);
  uint64_t number = 1;
  if (allocated != nullptr && allocated->Count() > 0) {
    number = uint64_t{allocated->KeyAt(allocated->Count() - 1)[0]} + 1;
  } else if (released != nullptr && released->Count() > 0) {
    number = uint64_t{released->KeyAt(released->Count() - 1)[0]} + 1;
  }
  BObjectIdentifier candidate;
  const auto taken = [&](uint64_t n) {
    candidate.Set(static_cast<uint32_t>(n));
    return FindValue(allocated, candidate) >= 0 || FindValue(released, candidate) >= 0;
  };
  while (number <= 0xFFFFFFFFu && taken(number)) ++number;
  if (number > 0xFFFFFFFFu) {
    // The highest number is in use: the lowest free one instead. Fewer
    // numbers are taken than the registry holds values, so the search ends
    // after at most that many steps.
    for (number = 1; number <= 0xFFFFFFFFu && taken(number); ++number) {
    }
    if (number > 0xFFFFFFFFu) return SA_WIRE_INDEX_NONE_AVAILABLE;
  }

  value.Number() = candidate[0];
  return Allocate(name, candidate, new BObjectSyntax(value));
}

int BSAMaster::Indices::Allocate(const BObjectIdentifier& name, const BObjectIdentifier& key, BObjectSyntax* stored) {
  if (IndicesForNameCreate(m_allocated, name)->Insert(key, stored) == 0) {
    delete stored;
    return SA_WIRE_INDEX_NOT_ALLOCATED;
  }
  return 0;
}

int BSAMaster::Indices::AddAny(const BObjectIdentifier& name, BObjectSyntax& value) {
  if (!IsNumericSyntax(value)) return SA_WIRE_INDEX_NONE_AVAILABLE;
  BMapOid2Ptr* released = GetIndicesForName(m_released, name);
  if (released != nullptr && released->Count() > 0) {
    const BObjectSyntax lowest = *static_cast<BObjectSyntax*>(released->PtrAt(0));
    const int status = Add(name, lowest);
    if (status == 0) value = lowest;
    return status;
  }
  return AddNew(name, value);
}

int BSAMaster::Indices::Remove(const BObjectIdentifier& name, const BObjectSyntax& value) {
  if (GetIndicesForName(m_allocated, name) == nullptr) return SA_WIRE_INDEX_NOT_ALLOCATED;
  BObjectIdentifier key;
  if (!ValToOid(value, key)) return SA_WIRE_INDEX_WRONG_TYPE;
  return RemoveKey(name, key);
}

int BSAMaster::Indices::RemoveKey(const BObjectIdentifier& name, const BObjectIdentifier& key) {
  BMapOid2Ptr* allocated = GetIndicesForName(m_allocated, name);
  if (allocated == nullptr || FindValue(allocated, key) < 0) return SA_WIRE_INDEX_NOT_ALLOCATED;
  auto* stored = static_cast<BObjectSyntax*>(allocated->Remove(key));
  if (m_releasedCount >= kMaxReleased) {
    delete stored;
  } else if (IndicesForNameCreate(m_released, name)->Insert(key, stored) == 0) {
    delete stored;
    return SA_WIRE_INDEX_NOT_ALLOCATED;
  } else {
    ++m_releasedCount;
  }
  if (allocated->Count() == 0) {
    m_allocated.Remove(name);
    delete allocated;
  }
  return 0;
}

BObjectSyntax* BSAMaster::Indices::TakeReleased(const BObjectIdentifier& name, const BObjectIdentifier& key) {
  BMapOid2Ptr* released = GetIndicesForName(m_released, name);
  if (released == nullptr) return nullptr;
  auto* value = static_cast<BObjectSyntax*>(released->Remove(key));
  if (value != nullptr) --m_releasedCount;
  if (released->Count() == 0) {
    m_released.Remove(name);
    delete released;
  }
  return value;
}

int BSAMaster::IndexAlloc(BSAPdu& request, BSAPdu& response) {
  QVSubAgTrace("IndexAlloc   sessionid= %d\n", request.sessionId);
  BSASession* session = FindSession(static_cast<int>(request.sessionId));
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  response.varBindList = request.varBindList;
  const bool newIndex = (request.flags & SA_IXALLOC_NEW_INDEX) != 0;
  const bool anyIndex = !newIndex && (request.flags & SA_IXALLOC_ANY_INDEX) != 0;

  for (int i = 0; i < request.varBindList.Count(); ++i) {
    const BVarBind& vb = request.varBindList[i];
    const size_t held = session->m_indexValues.size() + static_cast<size_t>(i);
    const size_t all = m_indexOwners.size() + static_cast<size_t>(i);
    if (held >= static_cast<size_t>(m_settings.maxIndexAllocations) ||
        all >= static_cast<size_t>(m_settings.maxTotalIndexAllocations)) {
      const bool own = held >= static_cast<size_t>(m_settings.maxIndexAllocations);
      Refuse(SA_CNT_INDEX_QUOTA,
             BString("index allocation for " + vb.name.ToString().str() + " from " +
                     QVAddressToString(session->m_address).str() + " (session " + std::to_string(session->m_id) +
                     ") refused: " +
                     (own ? "it holds " + std::to_string(session->m_indexValues.size()) + " of MaxIndexAllocations " +
                                std::to_string(m_settings.maxIndexAllocations)
                          : "sub-agents hold " + std::to_string(m_indexOwners.size()) +
                                " of MaxTotalIndexAllocations " + std::to_string(m_settings.maxTotalIndexAllocations))));
      response.errorIndex = i + 1;
      return SA_WIRE_INDEX_NONE_AVAILABLE;
    }
    // Names and values an SNMP table index cannot have.
    BObjectIdentifier key;
    if (vb.name.IsEmpty() || vb.name.Length() > kSnmpMaxOidArcs ||
        (m_indices.ValToOid(vb.value, key) && key.Length() > kSnmpMaxOidArcs)) {
      response.errorIndex = i + 1;
      return SA_WIRE_INDEX_WRONG_TYPE;
    }
    const int status = newIndex   ? m_indices.TestNew(vb.name, vb.value)
                       : anyIndex ? m_indices.TestAny(vb.name, vb.value)
                                  : m_indices.TestValue(vb.name, vb.value);
    if (status != 0) {
      response.errorIndex = i + 1;
      return status;
    }
  }
  for (int i = 0; i < response.varBindList.Count(); ++i) {
    BVarBind& vb = response.varBindList[i];
    const int status = newIndex   ? m_indices.AddNew(vb.name, vb.value)
                       : anyIndex ? m_indices.AddAny(vb.name, vb.value)
                                  : m_indices.Add(vb.name, vb.value);
    if (status != 0) {
      response.errorIndex = i + 1;
      return status;
    }
    BObjectIdentifier key;
    m_indices.ValToOid(vb.value, key);
    // Numbers count up; one still in use after a wrap-around is skipped.
    uint32_t number = 0;
    do {
      number = ++session->m_indexValuesMade;
    } while (number == 0 || m_indexRows.count({session->m_id, number}) != 0);
    session->m_indexValues.emplace(std::make_pair(vb.name, key), number);
    m_indexOwners[{vb.name, key}] = session->m_id;
    std::lock_guard<std::mutex> guard(m_viewLock);
    m_indexRows.emplace(std::make_pair(session->m_id, number), IndexRow{session, vb.name, key});
  }
  return 0;
}

int BSAMaster::IndexDealloc(BSAPdu& request, BSAPdu& response) {
  QVSubAgTrace("IndexDealloc   sessionid= %d", request.sessionId);
  BSASession* session = FindSession(static_cast<int>(request.sessionId));
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  response.varBindList = request.varBindList;
  for (int i = 0; i < request.varBindList.Count(); ++i) {
    const BVarBind& vb = request.varBindList[i];
    BObjectIdentifier key;
    const auto owner = m_indices.ValToOid(vb.value, key) ? m_indexOwners.find({vb.name, key}) : m_indexOwners.end();
    // A value may be released by any session of the host that holds it
    // (sub-agents on one host may share a table), by nobody else.
    BSASession* holder = owner != m_indexOwners.end() ? FindSessionRecord(owner->second) : nullptr;
    if (holder != nullptr && holder != session && !QVSameHost(holder->m_address, session->m_address)) {
      Refuse(SA_CNT_INDEX_NOT_OWNER,
             BString("release of " + vb.name.ToString().str() + " = " + vb.value.ValToStr().str() + " from " +
                     QVAddressToString(session->m_address).str() + " refused: held by " +
                     QVAddressToString(holder->m_address).str()));
      response.errorIndex = i + 1;
      return SA_WIRE_INDEX_NOT_ALLOCATED;
    }
    const int status = m_indices.Remove(vb.name, vb.value);
    if (status != 0) {
      response.errorIndex = i + 1;
      return status;
    }
    if (holder != nullptr) {
      const auto held = holder->m_indexValues.find({vb.name, key});
      if (held != holder->m_indexValues.end()) {
        {
          std::lock_guard<std::mutex> guard(m_viewLock);
          m_indexRows.erase({holder->m_id, held->second});
        }
        holder->m_indexValues.erase(held);
      }
    }
    if (owner != m_indexOwners.end()) m_indexOwners.erase(owner);
  }
  return 0;
}

void BSAMaster::ReleaseIndexValues(BSASession& session) {
  for (const auto& [value, number] : session.m_indexValues) {
    m_indices.RemoveKey(value.first, value.second);
    m_indexOwners.erase(value);
  }
  session.m_indexValues.clear();
  std::lock_guard<std::mutex> guard(m_viewLock);
  m_indexRows.erase(m_indexRows.lower_bound({session.m_id, 0}), m_indexRows.upper_bound({session.m_id, UINT32_MAX}));
}

}  // namespace QVT
