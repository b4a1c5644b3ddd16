// BSAOIDs: the ten object identifiers under "2.18" that name the parameter
// varbinds of the requests that are not SNMP operations (openSession,
// registerSubtree, unregisterSubtree). The receiver reads parameters by their
// position in the list, so the names document the content and the order of
// the varbinds is what binds.
//
// A process-wide singleton, created on first use and registered with the
// host singleton registry, which destroys it at shutdown.
#pragma once

#include <atomic>

#include "BObjectIdentifier.h"
#include "BSingleton.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSAOIDs : public BSingleton {
 public:
  // The one instance, null until the first Instance() call.
  static std::atomic<BSAOIDs*> s_pInstance;

  // The instance, created (under a lock) when there is none.
  static BSAOIDs* Instance();
  // Deletes the current instance and clears s_pInstance; nothing when there
  // is none. A later Instance() creates a fresh one.
  void Destroy() override;

  // Constructed in this order (the numeric order of the OIDs differs).
  const BObjectIdentifier oidIndexPrefix;  // "2.18": prefix of the "2.18.7" row index values
  const BObjectIdentifier oidSpare1;       // "2.18.1": carried by no PDU
  const BObjectIdentifier oidHandlerType;  // "2.18.3": INTEGER handler type, 6 = range registration
  const BObjectIdentifier oidName;         // "2.18.2": OCTET STRING description or registration name
  const BObjectIdentifier oidSubtree;      // "2.18.4": OBJECT IDENTIFIER of the registered subtree
  const BObjectIdentifier oidSubId;        // "2.18.5": INTEGER range position / bound, or one sub-id
  const BObjectIdentifier oidSpare6;       // "2.18.6": carried by no PDU
  const BObjectIdentifier oidRowIndex;     // "2.18.7": OBJECT IDENTIFIER "2.18" + a row index
  const BObjectIdentifier oidCount;        // "2.18.8": INTEGER count of the varbinds that follow
  const BObjectIdentifier oidMaxProcTime;  // "2.18.9": INTEGER seconds the master waits per answer

 private:
  BSAOIDs();
  ~BSAOIDs() override = default;
};

}  // namespace QVT
