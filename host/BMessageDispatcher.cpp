#include "BMessageDispatcher.h"

namespace QVT {

std::atomic<BMessageDispatcher*> BMessageDispatcher::s_pInstance{nullptr};

BMessageDispatcher* BMessageDispatcher::Instance() {
  return QVSingletonInstance(s_pInstance, [] { return new BMessageDispatcher(); });
}

void BMessageDispatcher::Destroy() {
  QVSingletonForget(s_pInstance, this);
  delete this;
}

bool BMessageDispatcher::Listened(int type) const {
  if (type >= 0 && type < 64) return (m_typeMask.load(std::memory_order_acquire) >> type) & 1u;
  return m_otherTypes.load(std::memory_order_acquire) > 0;
}

int BMessageDispatcher::Subscribe(int type, IMessageFilter* filter, IMessageSubscriber* subscriber) {
  if (subscriber == nullptr) return -1;
  std::unique_lock<std::shared_mutex> guard(m_lock);
  for (const Subscription& s : m_subscriptions) {
    if (s.type == type && s.subscriber == subscriber) return -1;
  }
  m_subscriptions.push_back({type, filter, subscriber});
  if (type >= 0 && type < 64) {
    m_typeMask.fetch_or(uint64_t{1} << type);
  } else {
    m_otherTypes.fetch_add(1);
  }
  return 0;
}

int BMessageDispatcher::Unsubscribe(int type, IMessageSubscriber* subscriber) {
  std::unique_lock<std::shared_mutex> guard(m_lock);
  bool removed = false;
  bool typeStillListened = false;
  for (auto it = m_subscriptions.begin(); it != m_subscriptions.end();) {
    if (it->type == type && it->subscriber == subscriber) {
      it = m_subscriptions.erase(it);
      removed = true;
    } else {
      typeStillListened = typeStillListened || it->type == type;
      ++it;
    }
  }
  if (!removed) return -1;
  if (type >= 0 && type < 64) {
    if (!typeStillListened) m_typeMask.fetch_and(~(uint64_t{1} << type));
  } else {
    m_otherTypes.fetch_sub(1);
  }
  return 0;
}

int BMessageDispatcher::HasSubscriberFor(const BMessage& message) const {
  const int type = message.Type();
  if (!Listened(type)) return 0;
  if (type >= 0 && type < 64) return 1;
  // The counter of other types only says that some type outside 0..63 is
  // listened to; look for this one.
  std::shared_lock<std::shared_mutex> guard(m_lock);
  for (const Subscription& s : m_subscriptions) {
    if (s.type == type) return 1;
  }
  return 0;
}

int BMessageDispatcher::Publish(const BMessage& message) {
  if (!Listened(message.Type())) return 0;
  std::shared_lock<std::shared_mutex> guard(m_lock);
  int delivered = 0;
  for (const Subscription& s : m_subscriptions) {
    if (s.type != message.Type()) continue;
    if (s.filter != nullptr && !s.filter->Accept(message)) continue;
    s.subscriber->OnMessage(message);
    ++delivered;
  }
  return delivered;
}

}  // namespace QVT
