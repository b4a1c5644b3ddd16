#include "ExampleMib.h"

#include <cstdint>
#include <string>

#include "ProgramSupport.h"

namespace QVT::app {

namespace {

// An OID below qvtExObjects.
BObjectIdentifier Below(std::initializer_list<uint32_t> arcs) {
  BObjectIdentifier oid(kExampleObjects);
  for (const uint32_t arc : arcs) oid.Append(arc);
  return oid;
}

constexpr int64_t kMaxIndex = 2147483647;

}  // namespace

ExampleMib::ExampleMib(BSASubAgent& subAgent, const std::string& description, int firstRow, int lastRow,
                       bool withScalars)
    : m_subAgent(subAgent),
      m_firstRow(firstRow),
      m_lastRow(lastRow),
      m_withScalars(withScalars),
      m_scalars("qvtExScalars", Below({1})),
      m_shareTable("qvtExShareTable", Below({2, 1})),
      m_dynTable(subAgent) {
  BuildScalars(description);
  BuildShareTable(description);
}

void ExampleMib::BuildScalars(const std::string& description) {
  m_scalars.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([description](BObjectSyntax& value) {
    value.SetOctets(description);
  });
  m_scalars.AddEntry(2, MIB_ACCESS_READ_ONLY, ASN_TIMETICKS).Getter([this](BObjectSyntax& value) {
    value.SetTimeTicks(m_started.SysUptime());
  });
  // qvtExLabel: free text of up to 64 characters. The framework checks the
  // type and the size in the SET test phase and calls the setter at commit
  // (and again with the old value should the SET be undone).
  m_scalars.AddEntry(3, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
      .Size(0, 64)
      .Getter([this](BObjectSyntax& value) { value.SetOctets(m_label); })
      .Setter([this](const BObjectSyntax& value) {
        m_label.assign(value.GetOctets().AsStringView());
        return 0;
      });
  m_scalars.AddEntry(4, MIB_ACCESS_READ_ONLY, ASN_COUNTER32).Getter([this](BObjectSyntax& value) {
    value.SetCounter32(m_subAgent.RequestsAnswered());
  });
  // What should follow a change once (here a log line; a notification would
  // go the same way) belongs in the committed hook: it runs once after the
  // SET stands, never for an undo.
  m_scalars.OnCommitted([](const BVarBind& vb) {
    if (vb.value.Syntax() == ASN_OCTET_STRING) {
      const std::string text(vb.value.GetOctets().AsStringView());
      Log("qvt-subagent-example", "%s set to '%s'", vb.name.ToString().c_str(), text.c_str());
    }
  });
}

void ExampleMib::BuildShareTable(const std::string& description) {
  m_shareTable.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER).Range(1, kMaxIndex);
  m_shareTable.AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING);
  m_shareTable.AddColumn(3, MIB_ACCESS_READ_ONLY, ASN_GAUGE32);
  m_shareTable.AddColumn(4, MIB_ACCESS_READ_ONLY, ASN_COUNTER64);
  m_shareTable.AddIndex(1, MIB_INDEX_INTEGER);
  for (int row = m_firstRow; row <= m_lastRow; ++row) {
    const BObjectIdentifier index{static_cast<uint32_t>(row)};
    m_shareTable.AddRow(index);
    BObjectSyntax value;
    value.SetOctets(description);
    m_shareTable.StoreCell(index, 2, value);
    value.SetGauge32(static_cast<uint32_t>(row) * 7u);
    m_shareTable.StoreCell(index, 3, value);
    value.SetCounter64(static_cast<uint64_t>(row) * 1000000000ull);
    m_shareTable.StoreCell(index, 4, value);
  }
}

ExampleMib::DynTable::DynTable(BSASubAgent& subAgent)
    : BMibTableImplEx("qvtExDynTable", Below({3, 1})), m_subAgent(subAgent) {
  AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER).Range(1, kMaxIndex);
  BObjectSyntax empty;
  empty.SetOctets(std::string_view());
  AddColumn(2, MIB_ACCESS_READ_CREATE, ASN_OCTET_STRING).Size(0, 32).Default(empty);
  BObjectSyntax zero;
  zero.SetInt(0);
  AddColumn(3, MIB_ACCESS_READ_CREATE, ASN_INTEGER).Default(zero);
  SetRowStatusColumn(4);
  AddIndex(1, MIB_INDEX_INTEGER);
}

void ExampleMib::DynTable::OnRowActivated(const BObjectIdentifier& rowIndex) {
  // qvtExRowCreated carries the new row's qvtExDynName.
  BNotification trap(kRowCreatedOid);
  BObjectIdentifier name(Oid());
  name.Append(2);
  name.Append(rowIndex, true);
  BObjectSyntax value;
  GetCell(rowIndex, 2, value);
  trap.VarBinds().Append(name, value);
  m_subAgent.Notify(trap);
}

bool ExampleMib::InstallLocally() {
  BSAMibHandler& mib = m_subAgent.m_mibHandler;
  if (m_withScalars && (mib.RegisterSubtreeHandler(&m_scalars) == 0 || mib.RegisterSubtreeHandler(&m_dynTable) == 0)) {
    return false;
  }
  return mib.RegisterSubtreeHandler(&m_shareTable) != 0;
}

int ExampleMib::AnnounceToMaster(std::string& what) {
  // Every registration is asked for, whatever became of the ones before:
  // with the library keeping the session, those made before it is open are
  // remembered and announced when it is. The first failure is returned.
  int first = 0;
  auto note = [&](int status, const std::string& name) {
    if (status != 0 && first == 0) {
      first = status;
      what = "registering " + name;
    }
  };
  if (m_withScalars) {
    note(m_subAgent.Register(&m_scalars), "qvtExScalars " + m_scalars.Oid().ToString().str());
    // The whole table (.3), not only its entry: a walk of the table starts
    // inside it.
    note(m_subAgent.Register(&m_dynTable, Below({3})), "qvtExDynTable " + Below({3}).ToString().str());
  }
  for (int row = m_firstRow; row <= m_lastRow; ++row) {
    note(m_subAgent.RegisterRow(&m_shareTable, BObjectIdentifier{static_cast<uint32_t>(row)}),
         "qvtExShareTable row " + std::to_string(row));
  }
  return first;
}

}  // namespace QVT::app
