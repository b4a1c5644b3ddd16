// BSnmpTrapSender: the agent's ITrapSender. It sends every notification to
// each configured trap sink as an SNMPv2-Trap PDU (sysUpTime.0 and
// snmpTrapOID.0 first, then the notification's varbinds), or as an SNMPv1
// Trap-PDU to sinks written "v1:host:port", converting between the two
// forms as RFC 3584 section 3 says. Sinks written "v3:host:port" receive
// the SNMPv2-Trap PDU in an SNMPv3 message of the user given to SetV3User:
// the local engine is the authoritative one (its engine ID, boots and
// time), so the user's keys are those localized to the local engine ID.
//
// SendTrap is called on whatever thread raises the notification (the
// master's worker thread among them) and must not hold it up: it encodes
// into its own buffer and sends on its own non-blocking sockets, so a full
// send queue or an unreachable sink costs a lost trap, never a wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "BAddress.h"
#include "BCounter64.h"
#include "BSnmpMessage.h"
#include "BSnmpV3Message.h"
#include "BUsmCrypto.h"
#include "BSocket.h"
#include "BString.h"
#include "BTime.h"
#include "BTrap.h"
#include "QVExport.h"

namespace QVT {

class BSnmpEngineState;

// The SNMPv3 identity traps to "v3:" sinks are sent with.
struct QV_API BSnmpTrapV3User {
  BString name;
  // SNMP_SEC_NO_AUTH_NO_PRIV (1), SNMP_SEC_AUTH_NO_PRIV (2) or
  // SNMP_SEC_AUTH_PRIV (3); the keys must allow it.
  int level = 2;
  // Localized to the engine's ID; null for noAuthNoPriv.
  std::shared_ptr<const BUsmUserKeys> keys;
  // The local engine (not owned; started before any trap is sent).
  const BSnmpEngineState* engine = nullptr;
};

struct QV_API BSnmpTrapSink {
  BString text;  // as configured, without the version prefix
  BAddress address;
  int version = SNMP_VERSION_2C;  // SNMP_VERSION_1, SNMP_VERSION_2C or SNMP_VERSION_3
};

class QV_API BSnmpTrapSender : public ITrapSender {
 public:
  // `clock` gives sysUpTime (not owned; a clock started now when null).
  explicit BSnmpTrapSender(BTime* clock = nullptr);
  ~BSnmpTrapSender() override;
  BSnmpTrapSender(const BSnmpTrapSender&) = delete;
  BSnmpTrapSender& operator=(const BSnmpTrapSender&) = delete;

  // Takes the sinks ("host:port", "v1:", "v2c:" or "v3:host:port", comma
  // separated; empty: none) and the community, resolves every sink and
  // opens the sending sockets. 0 on success; -1 when a sink does not
  // resolve or a socket cannot be opened: ErrorText() names it and the
  // sender keeps its previous sinks. Not to be called while SendTrap runs.
  int Init(const BString& sinks, const BString& community);
  // Reads a sink list as Init does, without opening anything: the sinks
  // that parse go to `parsed`; each one that does not adds a line to
  // `errors` ("cannot resolve '...'", "'...' names port 0, ..."). True
  // when every sink parses.
  static bool ParseSinks(const BString& sinks, std::vector<BSnmpTrapSink>& parsed, std::vector<std::string>& errors);
  // The agent-addr of SNMPv1 traps when the notification has no
  // snmpTrapAddress.0 (default 0.0.0.0).
  void SetAgentAddress(const BIpAddress& address) { m_agentAddress = address; }
  // The user of the traps to "v3:" sinks; without one (or with a level its
  // keys do not allow) every trap to such a sink fails. Not to be called
  // while SendTrap runs.
  void SetV3User(BSnmpTrapV3User user) { m_v3User = std::move(user); }
  // Whether a sink is written "v3:".
  bool HasV3Sink() const;

  // Sends `trap` to every sink, or with `arg` not null only to the sink
  // whose text (as configured, without prefix) equals `arg`. 0 when every
  // send was handed to the system; -1 when the trap cannot be expressed
  // (a version-2 trap that is no BTrapV2, an SNMPv1 trap with a bad generic
  // number, a message over 65507 octets, an SNMPv3 sink without a usable
  // user) or a send failed.
  int SendTrap(const BTrap& trap, const char* arg) override;

  const std::vector<BSnmpTrapSink>& Sinks() const { return m_sinks; }
  const BString& ErrorText() const { return m_errorText; }
  uint32_t SentCount() const { return m_sent.load(); }
  uint32_t FailedCount() const { return m_failed.load(); }

 private:
  // Fills m_message for one sink version; false when the trap cannot be
  // expressed in it.
  bool BuildV2(const BTrap& trap, uint32_t upTime);
  bool BuildV1(const BTrap& trap, uint32_t upTime);
  // Wraps the SNMPv2-Trap PDU built by BuildV2 in an SNMPv3 message into
  // m_buffer; false when there is no usable user or encoding fails.
  bool EncodeV3(size_t& length);

  BTime m_ownClock;
  BTime* m_pClock;
  BString m_errorText;
  BString m_community;
  BIpAddress m_agentAddress;
  std::vector<BSnmpTrapSink> m_sinks;
  std::unique_ptr<BSockDatagram> m_socket4;
  std::unique_ptr<BSockDatagram> m_socket6;
  std::mutex m_lock;  // guards m_message, m_buffer and m_requestId during SendTrap; taken alone
  BSnmpMessage m_message;
  BSnmpTrapV3User m_v3User;
  BSnmpV3Message m_v3Message;
  std::vector<unsigned char> m_scoped;
  BUsmSaltCounter m_salts;
  std::vector<unsigned char> m_buffer;
  int32_t m_requestId = 0;
  std::atomic<uint32_t> m_sent{0};
  std::atomic<uint32_t> m_failed{0};
};

}  // namespace QVT
