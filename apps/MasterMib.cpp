#include "MasterMib.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <climits>
#include <iterator>
#include <string>

#include "BAddressFilter.h"
#include "BSAMasterCounters.h"

namespace QVT::app {

namespace {

// An OID below qvtMasterObjects.
BObjectIdentifier Below(std::initializer_list<uint32_t> arcs) {
  BObjectIdentifier oid(kMasterMib);
  oid.Append(1);
  for (const uint32_t arc : arcs) oid.Append(arc);
  return oid;
}

// qvtMasterCounters lists the counters in the order of ESAMasterCounter,
// from sub-id 1: a new counter needs its object in the module too.
static_assert(SA_CNT_COUNT == 27, "QVT-MASTER-MIB's qvtMasterCounters names 27 counters");

enum ESessionColumn : uint32_t {
  kSessionIndex = 1,
  kSessionAddress,
  kSessionPort,
  kSessionDescr,
  kSessionTimeout,
  kSessionOpenTime,
  kSessionRequests,
  kSessionTimeouts,
  kSessionTimeoutsInARow,
  kSessionNotifications,
  kSessionAdminStatus,
};
enum ERegistrationColumn : uint32_t { kRegIndex = 1, kRegSubtree, kRegRangeSubId, kRegUpperBound, kRegSysORIndex };
enum EIndexColumn : uint32_t { kIndexAllocIndex = 1, kIndexObject, kIndexValue };
enum EAdminStatus : int { kAdminUp = 1, kAdminDown = 2 };

// The key of the first row that follows `after` in a table indexed by a
// session id and a number: the row (s, n) follows (s), and (s, n + 1)
// follows (s, n) and everything below it. False when no key can follow.
bool KeyAfter(const BObjectIdentifier& after, int& sessionId, uint32_t& number) {
  uint64_t s = after.Length() > 0 ? after[0] : 0;
  uint64_t n = after.Length() > 1 ? uint64_t{after[1]} + 1 : 0;
  if (n > UINT32_MAX) {
    ++s;
    n = 0;
  }
  if (s > INT_MAX) return false;
  sessionId = static_cast<int>(s);
  number = static_cast<uint32_t>(n);
  return true;
}

// The key an instance index names: exactly a session id and a number.
bool KeyOf(const BObjectIdentifier& index, int& sessionId, uint32_t& number) {
  if (index.Length() != 2 || index[0] > INT_MAX) return false;
  sessionId = static_cast<int>(index[0]);
  number = index[1];
  return true;
}

// Tables keyed by (session id, number) over a lookup of the master that
// copies out the first row at or after a key (`from(sessionId, number,
// view)`, false when there is none). The index of the row after `index`
// (NextRowIndex's 1), or 0 at the end:
template <typename View, typename From>
int NextKeyedRow(const BObjectIdentifier& index, BObjectIdentifier& next, From from) {
  int sessionId = 0;
  uint32_t number = 0;
  View view;
  if (!KeyAfter(index, sessionId, number) || !from(sessionId, number, view)) return 0;
  next = BObjectIdentifier{static_cast<uint32_t>(view.sessionId), view.number};
  return 1;
}

// The row `index` names exactly, into `view`.
template <typename View, typename From>
bool KeyedRow(const BObjectIdentifier& index, View& view, From from) {
  int sessionId = 0;
  uint32_t number = 0;
  return KeyOf(index, sessionId, number) && from(sessionId, number, view) && view.sessionId == sessionId &&
         view.number == number;
}

// Whether an OBJECT IDENTIFIER value reaches the manager as it is: BER
// joins the first two arcs, so the first must be 0, 1 or 2 (and, below 2,
// the second under 40), and a one-arc OID would arrive with an arc added.
// Sub-agents may register and allocate under any OID.
bool Encodable(const BObjectIdentifier& oid) {
  return oid.Length() >= 2 && oid[0] <= 2 && (oid[0] == 2 ? oid[1] <= 0xFFFFFFFFu - 80 : oid[1] < 40);
}

// "127.0.0.1", "::1": dotted decimal for IPv4, also when it came mapped
// into IPv6.
std::string AddressText(const BAddress& address) {
  const BAddress host = QVUnmappedAddress(address);
  char text[INET6_ADDRSTRLEN] = {};
  const int family = host.Family() == BAddress::kFamilyINet6 ? AF_INET6 : AF_INET;
  if (host.IsEmpty() || inet_ntop(family, host.Octets(), text, sizeof text) == nullptr) return std::string();
  return text;
}

}  // namespace

MasterMib::MasterMib(BSAMaster& master)
    : m_master(master),
      m_module(BString("qvtMasterMIB"), kMasterMib, MIB_HANDLER_SUBTREE),
      m_totals(BString("qvtMasterTotals"), Below({1})),
      m_counters(BString("qvtMasterCounters"), Below({2})),
      m_sessions(master),
      m_registrations(master),
      m_indexValues(master) {
  BuildTotals();
  BuildCounters();
}

void MasterMib::BuildTotals() {
  m_totals.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_GAUGE32).Getter([this](BObjectSyntax& value) {
    value.SetGauge32(static_cast<uint32_t>(m_master.SessionCount()));
  });
  m_totals.AddEntry(2, MIB_ACCESS_READ_ONLY, ASN_GAUGE32).Getter([this](BObjectSyntax& value) {
    value.SetGauge32(static_cast<uint32_t>(m_master.RegistrationCount()));
  });
  m_totals.AddEntry(3, MIB_ACCESS_READ_ONLY, ASN_GAUGE32).Getter([this](BObjectSyntax& value) {
    value.SetGauge32(static_cast<uint32_t>(m_master.IndexValueCount()));
  });
}

void MasterMib::BuildCounters() {
  for (int kind = 0; kind < SA_CNT_COUNT; ++kind) {
    const auto counter = static_cast<ESAMasterCounter>(kind);
    m_counters.AddEntry(static_cast<uint32_t>(kind) + 1, MIB_ACCESS_READ_ONLY, ASN_COUNTER64)
        .Getter([this, counter](BObjectSyntax& value) { value.SetCounter64(m_master.Counters().Get(counter)); });
  }
}

MasterMib::~MasterMib() {
  Remove();
}

bool MasterMib::Install(BMibHandler& mib) {
  if (m_pInstalledIn != nullptr) return false;
  BMibSubtreeHandler* const handlers[] = {&m_module, &m_totals, &m_counters, &m_sessions, &m_registrations,
                                          &m_indexValues};
  if (mib.RegisterGroup(handlers, static_cast<int>(std::size(handlers))) == 0) return false;
  m_pInstalledIn = &mib;
  return true;
}

void MasterMib::Remove() {
  if (m_pInstalledIn == nullptr) return;
  BMibSubtreeHandler* const handlers[] = {&m_module, &m_totals, &m_counters, &m_sessions, &m_registrations,
                                          &m_indexValues};
  m_pInstalledIn->UnregisterGroup(handlers, static_cast<int>(std::size(handlers)));
  m_pInstalledIn = nullptr;
}

// qvtMasterSessionTable

MasterMib::SessionTable::SessionTable(BSAMaster& master)
    : BMibTableImpl(BString("qvtMasterSessionTable"), Below({3, 1})), m_master(master) {
  AddColumn(kSessionIndex, MIB_ACCESS_NONE, ASN_INTEGER);
  AddColumn(kSessionAddress, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING);
  AddColumn(kSessionPort, MIB_ACCESS_READ_ONLY, ASN_GAUGE32);
  AddColumn(kSessionDescr, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING);
  AddColumn(kSessionTimeout, MIB_ACCESS_READ_ONLY, ASN_INTEGER);
  AddColumn(kSessionOpenTime, MIB_ACCESS_READ_ONLY, ASN_TIMETICKS);
  AddColumn(kSessionRequests, MIB_ACCESS_READ_ONLY, ASN_COUNTER64);
  AddColumn(kSessionTimeouts, MIB_ACCESS_READ_ONLY, ASN_COUNTER32);
  AddColumn(kSessionTimeoutsInARow, MIB_ACCESS_READ_ONLY, ASN_GAUGE32);
  AddColumn(kSessionNotifications, MIB_ACCESS_READ_ONLY, ASN_COUNTER32);
  AddColumn(kSessionAdminStatus, MIB_ACCESS_READ_WRITE, ASN_INTEGER).Range(kAdminUp, kAdminDown);
  OnCommitted([this](const BVarBind& vb) { Committed(vb); });
}

bool MasterMib::SessionTable::Find(const BObjectIdentifier& index, BSASessionView& view) {
  if (index.Length() != 1 || index[0] > INT_MAX) return false;
  return m_master.SessionFrom(static_cast<int>(index[0]), view) && view.id == static_cast<int>(index[0]);
}

int MasterMib::SessionTable::NextRowIndex(int /*flags*/, uint32_t /*column*/, const BObjectIdentifier& index,
                                          BObjectIdentifier& next) {
  // The index is the session id alone: the next row has the next id above
  // the first arc, whatever arcs follow it.
  const int64_t from = index.IsEmpty() ? 0 : int64_t{index[0]} + 1;
  BSASessionView view;
  if (from > INT_MAX || !m_master.SessionFrom(static_cast<int>(from), view)) return 0;
  next = BObjectIdentifier{static_cast<uint32_t>(view.id)};
  return 1;
}

int MasterMib::SessionTable::GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) {
  BSASessionView view;
  if (!Find(index, view)) return SNMP_NO_SUCH_INSTANCE;
  switch (column) {
    case kSessionAddress:
      value.SetOctets(AddressText(view.address));
      return 0;
    case kSessionPort:
      value.SetGauge32(view.address.Port());
      return 0;
    case kSessionDescr:
      value.SetOctets(view.description.str());
      return 0;
    case kSessionTimeout:
      value.SetInt(view.announcedTimeout);
      return 0;
    case kSessionOpenTime:
      value.SetTimeTicks(view.openedAt);
      return 0;
    case kSessionRequests:
      value.SetCounter64(view.requestsSent);
      return 0;
    case kSessionTimeouts:  // Counter32 wraps
      value.SetCounter32(static_cast<uint32_t>(view.timeouts));
      return 0;
    case kSessionTimeoutsInARow:
      value.SetGauge32(static_cast<uint32_t>(view.timeoutsInARow));
      return 0;
    case kSessionNotifications:
      value.SetCounter32(static_cast<uint32_t>(view.notifications));
      return 0;
    case kSessionAdminStatus:
      value.SetInt(kAdminUp);  // a session closing is no longer listed
      return 0;
    default:
      return SNMP_NO_SUCH_INSTANCE;
  }
}

int MasterMib::SessionTable::TestCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) {
  const BMibRqHndlrEntry* entry = FindRqHndlrEntry(column);
  if (entry == nullptr || entry->access < MIB_ACCESS_READ_WRITE) return SNMP_ERR_NOTWRITABLE;
  if (const int status = entry->Validate(value); status != 0) return status;
  BSASessionView view;
  return Find(index, view) ? 0 : SNMP_ERR_NOCREATION;
}

int MasterMib::SessionTable::SetCell(const BObjectIdentifier& /*index*/, uint32_t /*column*/,
                                     const BObjectSyntax& /*value*/) {
  // Nothing is stored: a close cannot be undone, so it waits until the
  // whole SET stands (Committed).
  return 0;
}

void MasterMib::SessionTable::Committed(const BVarBind& vb) {
  uint32_t column = 0;
  BObjectIdentifier index;
  if (!SplitInstance(vb.name, column, index) || column != kSessionAdminStatus || vb.value.GetInt() != kAdminDown ||
      index.Length() != 1 || index[0] > INT_MAX) {
    return;
  }
  // From an SNMP request thread the master only marks the session; its
  // worker takes it apart.
  m_master.CloseSession(static_cast<int>(index[0]));
}

// qvtMasterRegistrationTable

MasterMib::RegistrationTable::RegistrationTable(BSAMaster& master)
    : BMibTableImpl(BString("qvtMasterRegistrationTable"), Below({4, 1})), m_master(master) {
  AddColumn(kRegIndex, MIB_ACCESS_NONE, ASN_GAUGE32);
  AddColumn(kRegSubtree, MIB_ACCESS_READ_ONLY, ASN_OBJECT_ID);
  AddColumn(kRegRangeSubId, MIB_ACCESS_READ_ONLY, ASN_GAUGE32);
  AddColumn(kRegUpperBound, MIB_ACCESS_READ_ONLY, ASN_GAUGE32);
  AddColumn(kRegSysORIndex, MIB_ACCESS_READ_ONLY, ASN_INTEGER);
}

int MasterMib::RegistrationTable::NextRowIndex(int /*flags*/, uint32_t /*column*/, const BObjectIdentifier& index,
                                               BObjectIdentifier& next) {
  return NextKeyedRow<BSARegistrationView>(
      index, next, [this](int s, uint32_t n, BSARegistrationView& v) { return m_master.RegistrationFrom(s, n, v); });
}

int MasterMib::RegistrationTable::GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) {
  BSARegistrationView view;
  if (!KeyedRow(index, view,
                [this](int s, uint32_t n, BSARegistrationView& v) { return m_master.RegistrationFrom(s, n, v); })) {
    return SNMP_NO_SUCH_INSTANCE;
  }
  switch (column) {
    case kRegSubtree:
      if (!Encodable(view.subtree)) return SNMP_NO_SUCH_INSTANCE;
      value.SetObjectId(view.subtree);
      return 0;
    case kRegRangeSubId:
      value.SetGauge32(view.rangeSubId);
      return 0;
    case kRegUpperBound:
      value.SetGauge32(view.upperBound);
      return 0;
    case kRegSysORIndex:
      value.SetInt(static_cast<int>(view.sysORIndex));
      return 0;
    default:
      return SNMP_NO_SUCH_INSTANCE;
  }
}

// qvtMasterIndexTable

MasterMib::IndexTable::IndexTable(BSAMaster& master)
    : BMibTableImpl(BString("qvtMasterIndexTable"), Below({5, 1})), m_master(master) {
  AddColumn(kIndexAllocIndex, MIB_ACCESS_NONE, ASN_GAUGE32);
  AddColumn(kIndexObject, MIB_ACCESS_READ_ONLY, ASN_OBJECT_ID);
  AddColumn(kIndexValue, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING);
}

int MasterMib::IndexTable::NextRowIndex(int /*flags*/, uint32_t /*column*/, const BObjectIdentifier& index,
                                        BObjectIdentifier& next) {
  return NextKeyedRow<BSAIndexView>(
      index, next, [this](int s, uint32_t n, BSAIndexView& v) { return m_master.IndexValueFrom(s, n, v); });
}

int MasterMib::IndexTable::GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) {
  BSAIndexView view;
  if (!KeyedRow(index, view, [this](int s, uint32_t n, BSAIndexView& v) { return m_master.IndexValueFrom(s, n, v); })) {
    return SNMP_NO_SUCH_INSTANCE;
  }
  switch (column) {
    case kIndexObject:
      if (!Encodable(view.name)) return SNMP_NO_SUCH_INSTANCE;
      value.SetObjectId(view.name);
      return 0;
    case kIndexValue:
      value.SetOctets(view.value.ToString().str());
      return 0;
    default:
      return SNMP_NO_SUCH_INSTANCE;
  }
}

}  // namespace QVT::app
