// The parameter OID singleton.
#include "BSAOIDs.h"

#include "BString.h"

namespace QVT {

std::atomic<BSAOIDs*> BSAOIDs::s_pInstance{nullptr};

BSAOIDs::BSAOIDs()
    : oidIndexPrefix(BString("2.18")),
      oidSpare1(BString("2.18.1")),
      oidHandlerType(BString("2.18.3")),
      oidName(BString("2.18.2")),
      oidSubtree(BString("2.18.4")),
      oidSubId(BString("2.18.5")),
      oidSpare6(BString("2.18.6")),
      oidRowIndex(BString("2.18.7")),
      oidCount(BString("2.18.8")),
      oidMaxProcTime(BString("2.18.9")) {}

BSAOIDs* BSAOIDs::Instance() {
  return QVSingletonInstance(s_pInstance, [] { return new BSAOIDs(); });
}

void BSAOIDs::Destroy() {
  QVSingletonForget(s_pInstance, this);
  delete this;
}

}  // namespace QVT
