// BSAMasterSettings: who may talk to the master, what they may register,
// and how much of the master any one sub-agent may hold. Read from the
// "SAMaster" section of the settings store by BSAMaster::Init, or set by
// the application through BSAMaster::Settings() before Init.
//
// The defaults make a master that only its own host can reach: it listens
// on 127.0.0.1 and admits loopback senders only. Every other limit bounds
// what a sub-agent that is admitted can make the master hold or do.
#pragma once

#include <vector>

#include "BAddressFilter.h"
#include "BObjectIdentifier.h"
#include "BString.h"
#include "INonVolatile.h"
#include "QVExport.h"

namespace QVT {

struct QV_API BSAMasterSettings {
  // The IP address the sub-agent port is bound to ("127.0.0.1", "::1",
  // "0.0.0.0" for every IPv4 address, "::" for every address); the port is
  // the master's Port.
  BString listenAddress = "127.0.0.1";
  // Senders whose datagrams are looked at; all others are dropped unread.
  BAddressFilter allowFrom = BAddressFilter::Loopback();
  // Whether a sub-agent may register inside or around a subtree that a
  // sub-agent on another host holds.
  bool allowOverlap = false;
  // Where sub-agents may register at all; empty: anywhere.
  std::vector<BObjectIdentifier> registerAllow;
  // The longest wait for one answer of a sub-agent, in seconds, whatever
  // processing time it announced; also the longest one SNMP read request
  // waits for sub-agents in all.
  int maxWait = 5;
  int maxSessions = 256;
  // Sessions open at once from one IP address.
  int maxSessionsPerHost = 64;
  // Registrations one session may hold (a range counts one per instance),
  // and all sessions together.
  int maxRegistrations = 10000;
  int maxTotalRegistrations = 100000;
  // Instances one range registration may cover.
  int maxRangeInstances = 4096;
  // Index values one session may hold allocated, and all together.
  int maxIndexAllocations = 10000;
  int maxTotalIndexAllocations = 100000;
  // Notifications a session may send per second (bursts of twice as
  // many); 0: no limit.
  int maxNotifyRate = 20;
  // Seconds after which a session that holds no registration and has sent
  // nothing is closed; 0: never.
  int idleTimeout = 60;
  // SNMP requests that may wait for one session while it serves another;
  // more are answered genErr at once.
  int maxQueuedRequests = 32;
  // SNMP requests that may wait for sub-agents at once, all sessions
  // together; more are answered genErr at once, so that the agent's request
  // threads are never all held by sub-agents.
  int maxWaitingRequests = 48;

  // Reads the keys present in section "SAMaster" ("Port" is the master's
  // own). False, with `error` naming the key and the value ("MaxWait: '0'
  // is outside 1..3599"), at the first value that cannot be used; the
  // settings read before it are kept.
  bool Read(INonVolatile& store, BString& error);

  // The listening address resolved, with `port`; false when it is not an
  // IP address (or a name that resolves to one).
  bool ListenEndpoint(unsigned short port, BAddress& endpoint) const;
};

}  // namespace QVT
