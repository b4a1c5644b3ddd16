// BSingleton and BSingletons: process-wide objects created on first use and
// torn down together at shutdown. A singleton registers itself when it is
// constructed; BSingletons::DestroyAll() destroys the registered ones, the
// newest first, through their Destroy().
#pragma once

#include "QVExport.h"

namespace QVT {

class QV_API BSingleton {
 public:
  BSingleton();
  virtual ~BSingleton();
  BSingleton(const BSingleton&) = delete;
  BSingleton& operator=(const BSingleton&) = delete;

  // Deletes the instance and clears the owner's instance pointer.
  virtual void Destroy() = 0;
};

class QV_API BSingletons {
 public:
  static void Register(BSingleton* singleton);
  // Forgets a singleton (called by its destructor).
  static void Unregister(BSingleton* singleton);
  static void DestroyAll();
  static int Count();
};

}  // namespace QVT
