#include "FakeSubtreeHandler.h"

namespace QVT::test {

FakeSubtreeHandler::FakeSubtreeHandler(const char* oid, std::initializer_list<const char*> instances)
    : BMibSubtreeHandler(BString(oid), BObjectIdentifier(oid)) {
  int value = 0;
  for (const char* instance : instances) Add(instance, ++value);
}

void FakeSubtreeHandler::Add(const char* instance, int value) {
  TMutexLock lock(*m_pLock);
  m_instances[BObjectIdentifier(instance)].SetInt(value);
}

int FakeSubtreeHandler::ValueOf(const char* instance) const {
  auto it = m_instances.find(BObjectIdentifier(instance));
  return it == m_instances.end() ? -1 : it->second.GetInt();
}

void FakeSubtreeHandler::FailSet(ESnmpSetOpCode code, int at, int status) {
  m_failCode = code;
  m_failAt = at;
  m_failStatus = status;
}

std::vector<FakeSubtreeHandler::Call> FakeSubtreeHandler::Calls() const {
  TMutexLock lock(*m_pLock);
  return m_calls;
}

int FakeSubtreeHandler::Get(unsigned int /*tid*/, BVarBindList& list, int& index, int count) {
  TMutexLock lock(*m_pLock);
  m_calls.push_back({'g', 0, &list, index, count});
  if (m_getStatus != 0) {
    index = count - 1;
    return m_getStatus;
  }
  for (int i = index; i < index + count; ++i) {
    auto it = m_instances.find(list[i].name);
    if (it != m_instances.end()) {
      list[i].value = it->second;
    } else {
      list[i].value.SetV2Exception(SNMP_NO_SUCH_INSTANCE);
    }
  }
  return 0;
}

int FakeSubtreeHandler::GetNext(unsigned int /*tid*/, BVarBind& varbind) {
  TMutexLock lock(*m_pLock);
  m_calls.push_back({'n', 0, nullptr, 0, 1});
  if (m_getStatus != 0) return m_getStatus;
  if (m_misbehave == Misbehave::kSmaller) {
    varbind.value.SetInt(0);
    return 0;
  }
  auto it = m_instances.upper_bound(varbind.name);
  if (it == m_instances.end()) {
    varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
    return 0;
  }
  varbind.name = it->first;
  varbind.value = it->second;
  if (m_misbehave == Misbehave::kOutside) {
    varbind.name = m_oid;
    varbind.name[m_oid.Length() - 1] += 1;
  }
  return 0;
}

int FakeSubtreeHandler::Set(unsigned int /*tid*/, const BVarBindList& list, ESnmpSetOpCode code, void** contexts,
                            int& index, int count) {
  TMutexLock lock(*m_pLock);
  m_calls.push_back({'s', code, &list, index, count});
  const int first = index;
  for (int i = 0; i < count; ++i) {
    if (code == m_failCode && i == m_failAt) {
      index = i;
      return m_failStatus;
    }
    const BVarBind& vb = list[first + i];
    auto* old = static_cast<BObjectSyntax*>(contexts[first + i]);
    switch (code) {
      case SNMP_SET_TEST:
        if (m_instances.count(vb.name) == 0) {
          index = i;
          return SNMP_ERR_NOTWRITABLE;
        }
        break;
      case SNMP_SET_COMMIT:
        contexts[first + i] = new BObjectSyntax(m_instances[vb.name]);
        ++m_liveSlots;
        m_instances[vb.name] = vb.value;
        break;
      case SNMP_SET_UNDO:
        if (old != nullptr) m_instances[vb.name] = *old;
        break;
      case SNMP_SET_CLEANUP:
        if (old != nullptr) --m_liveSlots;
        delete old;
        contexts[first + i] = nullptr;
        break;
    }
  }
  return 0;
}

}  // namespace QVT::test
