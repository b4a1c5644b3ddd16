// BSnmpEngineState: what the SNMP engine keeps across restarts, its
// snmpEngineID and snmpEngineBoots (RFC 3414 section 2.2), in a small text
// file:
//
//   # comment
//   EngineID=80007ED905A1B2C3D4E5F60718
//   EngineBoots=12
//
// Start() reads the file, counts the boot and writes the file back before
// it returns, so that an engine that answers after Start() has its boots
// on disk. The file is replaced atomically (a temporary file in the same
// folder, synced, renamed over the old one, then the folder synced): a
// crash leaves the old or the new file, never part of one. A file that
// cannot be read as written here is an error naming the file and line; it
// is never silently replaced, because a reset boots count would let old
// authenticated messages be replayed.
//
// Boots belong to an engine ID: RFC 3414 counts snmpEngineBoots "since
// snmpEngineID was last configured". When the configured engine ID differs
// from the stored one, the count starts again at 1.
//
// Without a configured engine ID, the stored one is used, and on the very
// first start one is generated (RFC 3411 SnmpEngineID): enterprise 32473
// with the top bit set (80 00 7E D9), format 5 ("octets, administratively
// assigned"), then 8 random octets.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "QVExport.h"

namespace QVT {

enum ESnmpEngineStateStatus : int {
  ENGINE_STATE_OK = 0,
  ENGINE_STATE_BAD_ENGINE_ID,  // the configured engine ID is no hex text of 5 to 32 octets
  ENGINE_STATE_CORRUPT,        // the file holds something this class never writes
  ENGINE_STATE_IO,             // the file or its folder could not be read or written
};

class QV_API BSnmpEngineState {
 public:
  static constexpr uint32_t kMaxBoots = 2147483647;

  explicit BSnmpEngineState(std::string path);
  virtual ~BSnmpEngineState() = default;

  // `configuredEngineId`: hex text ("0x" prefix allowed), empty when none is
  // configured. On failure `error` holds a sentence naming the file (and
  // line) and the state is left as it was.
  ESnmpEngineStateStatus Start(std::string_view configuredEngineId, std::string* error = nullptr);

  const std::vector<unsigned char>& EngineId() const { return m_engineId; }
  // 2147483647 at the most: there it stays, as RFC 3414 2.2.2 says, until the
  // engine ID is configured anew.
  uint32_t EngineBoots() const { return m_boots; }
  // Seconds since Start() on the monotonic clock, at most 2147483647.
  uint32_t EngineTime() const;
  const std::string& Path() const { return m_path; }

  // Hex text to an engine ID of 5 to 32 octets; false when it is not one.
  static bool ParseEngineId(std::string_view hex, std::vector<unsigned char>& engineId);
  // An engine ID as uppercase hex pairs without blanks, as the file holds it.
  static std::string EngineIdToHex(const std::vector<unsigned char>& engineId);

 protected:
  // The last step of a write: moves the synced temporary file over the
  // state file. Tests replace it to simulate a failure at that point.
  virtual int ReplaceFile(const std::string& temporary, const std::string& target);

 private:
  // Reads the file: ENGINE_STATE_OK with `found` false when it does not exist.
  ESnmpEngineStateStatus Read(bool& found, std::vector<unsigned char>& engineId, uint32_t& boots,
                              std::string* error) const;
  ESnmpEngineStateStatus Write(const std::vector<unsigned char>& engineId, uint32_t boots, std::string* error);

  std::string m_path;
  std::vector<unsigned char> m_engineId;
  uint32_t m_boots = 0;
  std::chrono::steady_clock::time_point m_started;
};

}  // namespace QVT
