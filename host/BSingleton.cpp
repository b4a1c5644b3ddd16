#include "BSingleton.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace QVT {

namespace {

std::mutex& RegistryLock() {
  static std::mutex lock;  // guards Registry(); taken alone
  return lock;
}

std::vector<BSingleton*>& Registry() {
  static std::vector<BSingleton*> registry;
  return registry;
}

}  // namespace

BSingleton::BSingleton() {
  BSingletons::Register(this);
}

BSingleton::~BSingleton() {
  BSingletons::Unregister(this);
}

void BSingletons::Register(BSingleton* singleton) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry().push_back(singleton);
}

void BSingletons::Unregister(BSingleton* singleton) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto& registry = Registry();
  registry.erase(std::remove(registry.begin(), registry.end(), singleton), registry.end());
}

void BSingletons::DestroyAll() {
  for (;;) {
    BSingleton* newest = nullptr;
    {
      std::lock_guard<std::mutex> guard(RegistryLock());
      if (Registry().empty()) return;
      newest = Registry().back();
      Registry().pop_back();
    }
    newest->Destroy();
  }
}

int BSingletons::Count() {
  std::lock_guard<std::mutex> guard(RegistryLock());
  return static_cast<int>(Registry().size());
}

}  // namespace QVT
