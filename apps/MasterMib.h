// MasterMib: QVT-MASTER-MIB (mibs/QVT-MASTER-MIB.txt), what the master agent
// is doing, served by qvt-master-agent itself with the host MIB framework.
//
// (OIDs below relative to qvtMasterObjects, 1.3.6.1.4.1.32473.2.1)
// - qvtMasterTotals (.1) and qvtMasterCounters (.2): scalars read from the
//   master's counts and counters;
// - qvtMasterSessionTable (.3), qvtMasterRegistrationTable (.4) and
//   qvtMasterIndexTable (.5): tables computed on the fly, each row one
//   lookup in the master's view (BSAMaster::SessionFrom and the like), so
//   that a GET-NEXT costs the same however many rows there are and never
//   waits for a sub-agent;
// - a handler of the whole module that serves nothing itself: the master's
//   own objects are refused to sub-agents, so none can register anywhere
//   in the module.
// Setting qvtMasterSessionAdminStatus to down(2) closes the session once
// the SET stands, as BSAMaster::CloseSession does.
#pragma once

#include <cstdint>

#include "BMibHandler.h"
#include "BMibImpl.h"
#include "BMibTableImpl.h"
#include "BSAMaster.h"

namespace QVT::app {

inline const BObjectIdentifier kMasterMib{1, 3, 6, 1, 4, 1, 32473, 2};

class MasterMib {
 public:
  // The master outlives this object.
  explicit MasterMib(BSAMaster& master);
  // Takes the handlers out of the MIB handler they are installed in.
  ~MasterMib();
  MasterMib(const MasterMib&) = delete;
  MasterMib& operator=(const MasterMib&) = delete;

  // Registers every handler with `mib`, all or none: false when an OID of
  // the module is taken. `mib` outlives the installation.
  bool Install(BMibHandler& mib);
  // Unregisters them (waiting for the queries that may use them).
  void Remove();

 private:
  // The row operations of the three tables, over the master's view. Every
  // column of a row has a value, so the column does not matter.
  class SessionTable : public BMibTableImpl {
   public:
    explicit SessionTable(BSAMaster& master);
    int NextRowIndex(int flags, uint32_t column, const BObjectIdentifier& index, BObjectIdentifier& next) override;
    int GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) override;
    int TestCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) override;
    int SetCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) override;

   private:
    // The open session an index names; false when it names none.
    bool Find(const BObjectIdentifier& index, BSASessionView& view);
    // Closes the session of a qvtMasterSessionAdminStatus instance set to down(2).
    void Committed(const BVarBind& vb);

    BSAMaster& m_master;
  };

  class RegistrationTable : public BMibTableImpl {
   public:
    explicit RegistrationTable(BSAMaster& master);
    int NextRowIndex(int flags, uint32_t column, const BObjectIdentifier& index, BObjectIdentifier& next) override;
    int GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) override;

   private:
    BSAMaster& m_master;
  };

  class IndexTable : public BMibTableImpl {
   public:
    explicit IndexTable(BSAMaster& master);
    int NextRowIndex(int flags, uint32_t column, const BObjectIdentifier& index, BObjectIdentifier& next) override;
    int GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) override;

   private:
    BSAMaster& m_master;
  };

  void BuildTotals();
  void BuildCounters();

  BSAMaster& m_master;
  BMibHandler* m_pInstalledIn = nullptr;
  BMibSubtreeHandler m_module;
  BMibImpl m_totals;
  BMibImpl m_counters;
  SessionTable m_sessions;
  RegistrationTable m_registrations;
  IndexTable m_indexValues;
};

}  // namespace QVT::app
