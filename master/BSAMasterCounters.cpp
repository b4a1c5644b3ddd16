#include "BSAMasterCounters.h"

namespace QVT {

namespace {

struct CounterText {
  const char* name;
  const char* description;
};

constexpr CounterText kTexts[] = {
    {"notAllowed", "datagrams from senders outside AllowFrom"},
    {"shortDatagrams", "datagrams too short to be a frame"},
    {"malformed", "datagrams that do not decode"},
    {"wrongAddress", "requests naming a session that another address opened"},
    {"unknownSession", "requests naming no open session"},
    {"notOpenUnanswered", "notOpen answers not sent: more than 10 a second to one address"},
    {"retransmissions", "retransmitted requests answered again without doing the work twice"},
    {"duplicatesDropped", "retransmitted closes of sessions still being taken apart"},
    {"sessionsRefused", "openSession refused: MaxSessions or MaxSessionsPerHost reached"},
    {"registrationsProtected", "registrations over the master's own objects"},
    {"registrationsOverlap", "registrations inside or around another host's subtree"},
    {"registrationsNotAllowed", "registrations outside RegisterAllow"},
    {"registrationsDuplicate", "registrations of a subtree registered already"},
    {"registrationsQuota", "registrations beyond MaxRegistrations or MaxTotalRegistrations"},
    {"rangesTooLarge", "range registrations beyond MaxRangeInstances"},
    {"indexQuota", "index allocations beyond MaxIndexAllocations or MaxTotalIndexAllocations"},
    {"indexNotOwner", "index releases of values another host allocated"},
    {"notifyRate", "notifications beyond MaxNotifyRate"},
    {"sessionsNoAnswer", "sessions closed: three requests in a row unanswered"},
    {"sessionsIdle", "sessions closed: nothing registered and nothing heard for IdleTimeout"},
    {"exchangeTimeouts", "requests to sub-agents unanswered within the wait"},
    {"exchangesFailedFast", "requests refused at once: the session had just timed out"},
    {"exchangesBusy", "requests refused at once: too many waited for the session, or for sub-agents in all"},
    {"exchangesAborted", "requests abandoned: the session closed or the master stopped"},
    {"exchangesOverBudget", "requests cut short: their SNMP request had waited MaxWait in all"},
    {"foreignAnswers", "datagrams on a session's socket from another address"},
    {"staleAnswers", "answers with a request id not awaited"},
};
static_assert(sizeof kTexts / sizeof kTexts[0] == SA_CNT_COUNT);

}  // namespace

const char* QVSAMasterCounterName(ESAMasterCounter counter) {
  return counter >= 0 && counter < SA_CNT_COUNT ? kTexts[counter].name : "unknown";
}

const char* QVSAMasterCounterDescription(ESAMasterCounter counter) {
  return counter >= 0 && counter < SA_CNT_COUNT ? kTexts[counter].description : "unknown";
}

}  // namespace QVT
