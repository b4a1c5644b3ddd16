// The parameter OID singleton.
#include "BSAOIDs.h"

#include "BString.h"

#include <mutex>

namespace QVT {

std::atomic<BSAOIDs*> BSAOIDs::s_pInstance{nullptr};

namespace {
std::mutex g_instanceLock;  // serialises creation and destruction of the instance; taken alone
}

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
  BSAOIDs* instance = s_pInstance.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  std::lock_guard<std::mutex> guard(g_instanceLock);
  instance = s_pInstance.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = new BSAOIDs();
    s_pInstance.store(instance, std::memory_order_release);
  }
  return instance;
}

void BSAOIDs::Destroy() {
  BSAOIDs* instance = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_instanceLock);
    instance = s_pInstance.exchange(nullptr);
  }
  delete instance;
}

}  // namespace QVT
