#include "BSAMibImpl.h"

namespace QVT {

uint32_t BSAMibImpl::Get1stSubId(const BMibImpl& mib) {
  const BMibRqHndlrEntry* entry = mib.GetFirstRqHndlrEntry();
  return entry == nullptr ? 0 : entry->subId;
}

uint32_t BSAMibImpl::GetNextSubId(const BMibImpl& mib, uint32_t subId) {
  const BMibRqHndlrEntry* entry = mib.NextRqHndlrEntry(subId);
  return entry == nullptr ? 0 : entry->subId;
}

int BSAMibImpl::GetAccess(const BMibImpl& mib, uint32_t subId) {
  const BMibRqHndlrEntry* entry = mib.FindRqHndlrEntry(subId);
  return entry == nullptr ? 0 : entry->access;
}

uint32_t BSAMibImpl::Get1stAccessibleSubId(const BMibImpl& mib) {
  for (const BMibRqHndlrEntry* entry = mib.GetFirstRqHndlrEntry(); entry != nullptr;
       entry = mib.NextRqHndlrEntry(entry->subId)) {
    if (entry->access > 0) return entry->subId;
  }
  return 0;
}

uint32_t BSAMibImpl::GetLastAccessibleSubId(const BMibImpl& mib) {
  uint32_t last = 0;
  for (const BMibRqHndlrEntry* entry = mib.GetFirstRqHndlrEntry(); entry != nullptr;
       entry = mib.NextRqHndlrEntry(entry->subId)) {
    if (entry->access > 0) last = entry->subId;
  }
  return last;
}

}  // namespace QVT
