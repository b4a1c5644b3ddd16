// ExampleMib: QVT-EXAMPLE-MIB (mibs/QVT-EXAMPLE-MIB.txt) served with the host
// MIB framework. This is the template to copy when writing a sub-agent:
//
// (OIDs below relative to qvtExampleMIB, 1.3.6.1.4.1.32473.1)
// - qvtExScalars (.1.1): four scalars in one BMibImpl, registered as one
//   subtree;
// - qvtExShareTable (.1.2): a table whose rows several sub-agents serve;
//   each registers only its own rows with RegisterRow;
// - qvtExDynTable (.1.3): a read-create table with a RowStatus column,
//   registered as one subtree; the index of a row created by a manager is
//   reserved at the master while the SET runs, and qvtExRowCreated is sent
//   when a row becomes active.
#pragma once

#include <string>

#include <QVT/BMibImpl.h>
#include <QVT/BMibTableImpl.h>
#include <QVT/BMibTableImplEx.h>
#include <QVT/BSASubAgent.h>
#include <QVT/BTime.h>

namespace QVT::app {

// qvtExampleMIB, its objects (qvtExObjects) and its one notification.
inline const BObjectIdentifier kExampleMib{1, 3, 6, 1, 4, 1, 32473, 1};
inline const BObjectIdentifier kExampleObjects{1, 3, 6, 1, 4, 1, 32473, 1, 1};
inline const BObjectIdentifier kRowCreatedOid{1, 3, 6, 1, 4, 1, 32473, 1, 0, 1};

class ExampleMib {
 public:
  // `firstRow`..`lastRow`: the qvtExShareTable rows this instance serves;
  // without scalars it serves neither the scalars nor qvtExDynTable.
  ExampleMib(BSASubAgent& subAgent, const std::string& description, int firstRow, int lastRow, bool withScalars);

  // Registers the handlers with the sub-agent's own MIB handler.
  bool InstallLocally();
  // Announces the handlers and rows to the master: 0, or the first failure
  // (a wire error code or a negative exchange status) with what failed in
  // `what`.
  int AnnounceToMaster(std::string& what);

 private:
  // qvtExDynTable: tells the master when a row becomes active.
  class DynTable : public BMibTableImplEx {
   public:
    explicit DynTable(BSASubAgent& subAgent);

   protected:
    void OnRowActivated(const BObjectIdentifier& rowIndex) override;

   private:
    BSASubAgent& m_subAgent;
  };

  void BuildScalars(const std::string& description);
  void BuildShareTable(const std::string& description);

  BSASubAgent& m_subAgent;
  int m_firstRow;
  int m_lastRow;
  bool m_withScalars;
  BTime m_started;
  std::string m_label;  // qvtExLabel.0
  BMibImpl m_scalars;
  BMibTableImpl m_shareTable;
  DynTable m_dynTable;
};

}  // namespace QVT::app
