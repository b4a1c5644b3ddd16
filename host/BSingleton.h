// BSingleton and BSingletons: process-wide objects created on first use and
// torn down together at shutdown. A singleton registers itself when it is
// constructed; BSingletons::DestroyAll() destroys the registered ones, the
// newest first, through their Destroy().
#pragma once

#include <atomic>
#include <mutex>

#include "QVExport.h"

namespace QVT {

// Serialises the creation and destruction of the instance of T; taken alone.
template <class T>
std::mutex& SingletonLock() {
  static std::mutex lock;
  return lock;
}

class QV_API BSingleton {
 public:
  BSingleton();
  virtual ~BSingleton();
  BSingleton(const BSingleton&) = delete;
  BSingleton& operator=(const BSingleton&) = delete;

  // Deletes the instance and clears the owner's instance pointer.
  virtual void Destroy() = 0;
};

// What every singleton class shares: its one instance behind an atomic
// pointer, created by the first caller (the others wait for it, then see
// it), and forgotten again by its Destroy:
//
//   BFoo* BFoo::Instance() { return QVSingletonInstance(s_pInstance, [] { return new BFoo(); }); }
//   void BFoo::Destroy() { QVSingletonForget(s_pInstance, this); delete this; }
//
// (`make` is written where the constructor is accessible: it may be private.)
template <class T, class Make>
T* QVSingletonInstance(std::atomic<T*>& slot, Make make) {
  T* instance = slot.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  std::lock_guard<std::mutex> guard(SingletonLock<T>());
  instance = slot.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = make();
    slot.store(instance, std::memory_order_release);
  }
  return instance;
}

// Clears `slot` when it still holds `instance`; the caller deletes it.
template <class T>
void QVSingletonForget(std::atomic<T*>& slot, T* instance) {
  std::lock_guard<std::mutex> guard(SingletonLock<T>());
  T* expected = instance;
  slot.compare_exchange_strong(expected, nullptr);
}

class QV_API BSingletons {
 public:
  static void Register(BSingleton* singleton);
  // Forgets a singleton (called by its destructor).
  static void Unregister(BSingleton* singleton);
  static void DestroyAll();
  static int Count();
};

}  // namespace QVT
