#include "BTrap.h"

namespace QVT {

BTrap::~BTrap() = default;

BTrapV2::~BTrapV2() = default;

BTrapV1::BTrapV1(const BObjectIdentifier& enterprise, ESNMPv1TrapType generic, int specific) : BTrap(1) {
  m_enterprise = enterprise;
  m_genericTrap = generic;
  m_specificTrap = specific;
}

}  // namespace QVT
