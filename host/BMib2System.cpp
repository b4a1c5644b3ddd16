// BMib2System: the system group as request-handler entries (sub-ids 1 to 8)
// plus sysORTable below sub-id 9, which is served here directly from the
// row list: one handler answers the whole group, so a walk of
// 1.3.6.1.2.1.1 passes the scalars and then the table's columns.
#include "BMib2System.h"

#include <algorithm>

namespace QVT {

namespace {

constexpr uint32_t kSysORTable = 9;
constexpr uint32_t kSysOREntry = 1;
constexpr uint32_t kFirstORColumn = 2;  // sysORID; sysORIndex (1) is not-accessible
constexpr uint32_t kLastORColumn = 4;   // sysORUpTime
constexpr unsigned kDisplayStringMax = 255;

BString TextOf(const BObjectSyntax& value) {
  const BOctetString& octets = value.GetOctets();
  return BString(reinterpret_cast<const char*>(octets.Data()), octets.Length());
}

}  // namespace

BMib2System::BMib2System(BTime* time)
    : BMibImpl("system", BObjectIdentifier("1.3.6.1.2.1.1"), MIB_HANDLER_SCALARS),
      m_pTime(time != nullptr ? time : &m_ownClock),
      m_descr("QVT SNMP agent"),
      m_objectId("1.3.6.1.4.1.32473.2") {
  auto text = [this](const BString& field) {
    return [this, text = &field](BObjectSyntax& v) {
      std::lock_guard<std::recursive_mutex> guard(m_lock);
      v.SetOctets(text->view());
    };
  };
  auto store = [this](BString& field) {
    return [this, target = &field](const BObjectSyntax& v) {
      std::lock_guard<std::recursive_mutex> guard(m_lock);
      *target = TextOf(v);
      return 0;
    };
  };
  AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter(text(m_descr)).Size(0, kDisplayStringMax);
  AddEntry(2, MIB_ACCESS_READ_ONLY, ASN_OBJECT_ID).Getter([this](BObjectSyntax& v) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    v.SetObjectId(m_objectId);
  });
  AddEntry(3, MIB_ACCESS_READ_ONLY, ASN_TIMETICKS).Getter([this](BObjectSyntax& v) { v.SetTimeTicks(SysUpTime()); });
  AddEntry(4, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
      .Getter(text(m_contact))
      .Setter(store(m_contact))
      .Size(0, kDisplayStringMax);
  AddEntry(5, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
      .Getter(text(m_name))
      .Setter(store(m_name))
      .Size(0, kDisplayStringMax);
  AddEntry(6, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
      .Getter(text(m_location))
      .Setter(store(m_location))
      .Size(0, kDisplayStringMax);
  AddEntry(7, MIB_ACCESS_READ_ONLY, ASN_INTEGER).Getter([this](BObjectSyntax& v) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    v.SetInt(m_services);
  });
  AddEntry(8, MIB_ACCESS_READ_ONLY, ASN_TIMETICKS).Getter([this](BObjectSyntax& v) { v.SetTimeTicks(ORLastChange()); });
}

BMib2System::~BMib2System() = default;

void BMib2System::SetTime(BTime* time) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_pTime = time != nullptr ? time : &m_ownClock;
}

uint32_t BMib2System::SysUpTime() const {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  return m_pTime->SysUptime();
}

void BMib2System::SetSysDescr(const BString& text) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_descr = text;
}

void BMib2System::SetSysObjectID(const BObjectIdentifier& oid) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_objectId = oid;
}

void BMib2System::SetSysContact(const BString& text) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_contact = text;
}

void BMib2System::SetSysName(const BString& text) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_name = text;
}

void BMib2System::SetSysLocation(const BString& text) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_location = text;
}

void BMib2System::SetSysServices(int services) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  m_services = services;
}

BString BMib2System::SysDescr() const {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  return m_descr;
}

BString BMib2System::SysContact() const {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  return m_contact;
}

BString BMib2System::SysName() const {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  return m_name;
}

BString BMib2System::SysLocation() const {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  return m_location;
}

int BMib2System::InsertORRow(const BObjectIdentifier& id, const BString& descr) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  BSysORRow row;
  row.index = m_nextORIndex++;
  row.id = id;
  row.descr = descr;
  row.upTime = m_pTime->SysUptime();
  m_orLastChange = row.upTime;
  const uint32_t index = row.index;
  m_orRows.emplace_hint(m_orRows.end(), index, std::move(row));
  return static_cast<int>(index);
}

int BMib2System::GetNumORRows() const {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  return static_cast<int>(m_orRows.size());
}

const BSysORRow* BMib2System::GetORRow(int position) const {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  if (position < 1 || position > static_cast<int>(m_orRows.size())) return nullptr;
  return &std::next(m_orRows.begin(), position - 1)->second;
}

int BMib2System::RemoveORRow(int position) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  if (position < 1 || position > static_cast<int>(m_orRows.size())) return 0;
  m_orRows.erase(std::next(m_orRows.begin(), position - 1));
  m_orLastChange = m_pTime->SysUptime();
  return 1;
}

int BMib2System::RemoveORRowByIndex(uint32_t index) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  if (m_orRows.erase(index) == 0) return 0;
  m_orLastChange = m_pTime->SysUptime();
  return 1;
}

uint32_t BMib2System::ORLastChange() const {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  return m_orLastChange;
}

namespace {

// One sysORTable cell; false when the column is not an accessible one.
bool ORCell(const BSysORRow& row, uint32_t column, BObjectSyntax& value) {
  switch (column) {
    case 2:
      value.SetObjectId(row.id);
      return true;
    case 3:
      value.SetOctets(row.descr.view());
      return true;
    case 4:
      value.SetTimeTicks(row.upTime);
      return true;
    default:
      return false;
  }
}

}  // namespace

int BMib2System::Get(unsigned int transactionId, BVarBindList& list, int& index, int count) {
  BObjectIdentifier table = m_oid;
  table.Append(kSysORTable);
  const unsigned base = m_oid.Length();  // the entry's column sits at base + 2, the index at base + 3
  for (int i = index; i < index + count && i < list.Count(); ++i) {
    BVarBind& vb = list[i];
    if (table.IsStartingSubOidOf(vb.name) == 0) {
      int one = i;
      (void)BMibImpl::Get(transactionId, list, one, 1);
      continue;
    }
    const BObjectIdentifier& name = vb.name;
    const bool isColumn = name.Length() >= base + 3 && name[base + 1] == kSysOREntry &&
                          name[base + 2] >= kFirstORColumn && name[base + 2] <= kLastORColumn;
    if (!isColumn) {
      vb.value.SetV2Exception(SNMP_NO_SUCH_OBJECT);
      continue;
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto row = name.Length() == base + 4 ? m_orRows.find(name[base + 3]) : m_orRows.end();
    if (row == m_orRows.end() || !ORCell(row->second, name[base + 2], vb.value)) {
      vb.value.SetV2Exception(SNMP_NO_SUCH_INSTANCE);
    }
  }
  return 0;
}

int BMib2System::GetNext(unsigned int transactionId, BVarBind& varbind) {
  BObjectIdentifier table = m_oid;
  table.Append(kSysORTable);
  if (varbind.name.Compare(table) < 0) {
    const int status = BMibImpl::GetNext(transactionId, varbind);
    if (status != 0 || varbind.value.Syntax() != ASN_END_OF_MIB_VIEW) return status;
  }
  // The table: column by column, rows in sysORIndex order (the insertion order).
  const BObjectIdentifier& name = varbind.name;
  const unsigned base = m_oid.Length();
  BObjectIdentifier entry = table;
  entry.Append(kSysOREntry);
  uint32_t column = kFirstORColumn;
  bool bounded = false;  // the answer's row must follow `after` in the first column
  uint32_t after = 0;
  if (entry.IsStartingSubOidOf(name) != 0 && name.Length() > base + 2) {
    column = std::max(name[base + 2], kFirstORColumn);
    if (name[base + 2] >= kFirstORColumn && name.Length() > base + 3) {
      bounded = true;
      after = name[base + 3];
    }
  } else if (name.Compare(entry) > 0) {
    column = kLastORColumn + 1;
  }
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  for (; column <= kLastORColumn; ++column, bounded = false) {
    const auto row = bounded ? m_orRows.upper_bound(after) : m_orRows.begin();
    if (row == m_orRows.end()) continue;
    varbind.name = entry;
    varbind.name.Append(column);
    varbind.name.Append(row->first);
    ORCell(row->second, column, varbind.value);
    return 0;
  }
  varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  return 0;
}

int BMib2System::Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts,
                     int& index, int count) {
  // sysORTable has no entry here, so the base answers notWritable for it.
  return BMibImpl::Set(transactionId, list, code, contexts, index, count);
}

}  // namespace QVT
