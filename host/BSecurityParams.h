// BSecurityParams: who asks. The security model (1 SNMPv1, 2 SNMPv2c), the
// security name (the community for v1/v2c) and the level (1 noAuthNoPriv).
#pragma once

#include "BString.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSecurityParams {
 public:
  BSecurityParams() = default;
  BSecurityParams(int model, const BString& name, int level) : m_model(model), m_name(name), m_level(level) {}

  void Set(int model, const BString& name, int level) {
    m_model = model;
    m_name = name;
    m_level = level;
  }
  int Model() const { return m_model; }
  const BString& Name() const { return m_name; }
  int Level() const { return m_level; }

 private:
  int m_model = 2;
  BString m_name;
  int m_level = 1;
};

}  // namespace QVT
