// The trace channel, the silent diagnostic hook and the varbind dump.
#include "QVSubAgTrace.h"

#include "BTrapOIDs.h"

#include <cstdarg>
#include <cstdio>

namespace QVT {

namespace {

BMessageDispatcher* Dispatcher() {
  BMessageDispatcher* dispatcher = BMessageDispatcher::s_pInstance.load(std::memory_order_acquire);
  return dispatcher != nullptr ? dispatcher : BMessageDispatcher::Instance();
}

}  // namespace

void QVSubAgTrace(const char* format, ...) {
  BMessage message(SA_TRACE_MESSAGE_TYPE);
  if (!Dispatcher()->HasSubscriberFor(message)) return;

  char line[SA_TRACE_LINE_SIZE];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (written < 0) line[0] = '\0';

  message.SetText(SA_TRACE_PREFIX);
  message.AppendText(line);
  Dispatcher()->Publish(message);
}

bool QVSubAgTraceActive() {
  return Dispatcher()->HasSubscriberFor(BMessage(SA_TRACE_MESSAGE_TYPE)) != 0;
}

int QVSubAgTraceSubscribe(IMessageSubscriber* subscriber) {
  return Dispatcher()->Subscribe(SA_TRACE_MESSAGE_TYPE, nullptr, subscriber);
}

void QVDbgModuleTraceClass(int /*traceClass*/, const char* /*format*/, ...) {}

void DumpVbList(const char* title, const BVarBindList& list) {
  struct NotificationOids {
    BObjectIdentifier sysUpTime;
    BObjectIdentifier snmpTrapOid;
  };
  // Copies, so that the dump keeps working after the trap OID singleton is
  // torn down and created again.
  static const NotificationOids oids = [] {
    BTrapOIDs* trapOids = BTrapOIDs::s_pInstance.load(std::memory_order_acquire);
    if (trapOids == nullptr) trapOids = BTrapOIDs::Instance();
    return NotificationOids{trapOids->Oid(0), trapOids->Oid(2)};
  }();

  std::printf("%s  count=(%d)\n ", title != nullptr ? title : "", list.Count());
  for (int i = 0; i < list.Count(); ++i) {
    const BVarBind& vb = list[i];
    std::printf("[%d] ", i + 1);
    if (vb.name.Compare(oids.sysUpTime) == 0) {
      std::printf("sysUpTime.0");
    } else if (vb.name.Compare(oids.snmpTrapOid) == 0) {
      std::printf("snmpTrapOID.0");
    } else {
      std::printf("%s", vb.name.ToString().c_str());
    }
    std::printf(": %s\n", vb.value.ValToStr().c_str());
  }
}

}  // namespace QVT
