// BMessage and BMessageDispatcher: a process-wide publish/subscribe channel
// for typed text messages (the library's trace lines travel as type 7).
// Publishing to a type nobody listens to costs one atomic load.
#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <vector>

#include "BSingleton.h"
#include "BString.h"
#include "QVExport.h"

namespace QVT {

class QV_API BMessage {
 public:
  explicit BMessage(int type = 0) : m_type(type) {}
  int Type() const { return m_type; }
  const BString& Text() const { return m_text; }
  void SetText(const BString& text) { m_text = text; }
  void AppendText(const char* text) { m_text.Append(text); }

 private:
  int m_type;
  BString m_text;
};

class QV_API IMessageSubscriber {
 public:
  virtual ~IMessageSubscriber() = default;
  virtual void OnMessage(const BMessage& message) = 0;
};

// Decides per message whether a subscriber receives it.
class QV_API IMessageFilter {
 public:
  virtual ~IMessageFilter() = default;
  virtual bool Accept(const BMessage& message) = 0;
};

class QV_API BMessageDispatcher : public BSingleton {
 public:
  static std::atomic<BMessageDispatcher*> s_pInstance;
  // The instance, created on first use.
  static BMessageDispatcher* Instance();
  void Destroy() override;

  // 0 on success; -1 when this subscriber already has this type.
  int Subscribe(int type, IMessageFilter* filter, IMessageSubscriber* subscriber);
  // 0 when removed, -1 when it was not subscribed. When it returns, no
  // delivery to the subscriber is in progress any more.
  int Unsubscribe(int type, IMessageSubscriber* subscriber);
  // Non-zero when somebody subscribed to the message's type.
  int HasSubscriberFor(const BMessage& message) const;
  // Delivers to every subscriber of the type (on the calling thread) whose
  // filter accepts it; returns the number of deliveries. Subscribers must
  // not subscribe or unsubscribe from inside OnMessage.
  int Publish(const BMessage& message);

 private:
  BMessageDispatcher() = default;
  ~BMessageDispatcher() override = default;

  struct Subscription {
    int type;
    IMessageFilter* filter;
    IMessageSubscriber* subscriber;
  };

  bool Listened(int type) const;

  mutable std::shared_mutex m_lock;  // guards m_subscriptions; held while delivering
  std::vector<Subscription> m_subscriptions;
  std::atomic<uint64_t> m_typeMask{0};  // bit t set: type t (0..63) has subscribers
  std::atomic<int> m_otherTypes{0};     // subscriptions of types outside 0..63
};

}  // namespace QVT
