// BSAMibImpl: read-only queries over the request-handler entries of a MIB
// implementation (scalars of a BMibImpl, columns of a BMibTableImpl), used to
// describe it to the master: which sub-ids it has and which are accessible.
// The static forms work on any BMibImpl.
#pragma once

#include <cstdint>

#include "BMibImpl.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSAMibImpl : public BMibImpl {
 public:
  using BMibImpl::BMibImpl;

  // Sub-id of the first entry; 0 when there is none.
  uint32_t Get1stSubId() const { return Get1stSubId(*this); }
  // Sub-id of the entry after the one of `subId`; 0 when there is none.
  uint32_t GetNextSubId(uint32_t subId) const { return GetNextSubId(*this, subId); }
  // Access level of the entry of `subId`; 0 when there is no such entry.
  int GetAccess(uint32_t subId) const { return GetAccess(*this, subId); }
  // First (last) sub-id whose access level is above 0; 0 when none is.
  uint32_t Get1stAccessibleSubId() const { return Get1stAccessibleSubId(*this); }
  uint32_t GetLastAccessibleSubId() const { return GetLastAccessibleSubId(*this); }

  static uint32_t Get1stSubId(const BMibImpl& mib);
  static uint32_t GetNextSubId(const BMibImpl& mib, uint32_t subId);
  static int GetAccess(const BMibImpl& mib, uint32_t subId);
  static uint32_t Get1stAccessibleSubId(const BMibImpl& mib);
  static uint32_t GetLastAccessibleSubId(const BMibImpl& mib);
};

}  // namespace QVT
