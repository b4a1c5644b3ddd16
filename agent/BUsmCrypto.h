// BUsmCrypto: the cryptography of the User-based Security Model: the
// authentication protocols (HMAC-MD5-96 and HMAC-SHA-96 of RFC 3414, the
// HMAC-SHA-2 family of RFC 7860), the privacy protocols (AES-128 CFB of
// RFC 3826 and the AES-192/AES-256 variants the Net-SNMP tools offer),
// password-to-key and key localization, the MAC of a whole message and the
// encryption of a scoped PDU. Every primitive is OpenSSL's (EVP, EVP_MAC);
// no OpenSSL type appears here, so that users of the header need no
// OpenSSL headers.
//
// AES-192 and AES-256 have no IETF standard; two key extensions are in use
// and the Net-SNMP 5.9 tools offer both (built with --enable-blumenthal-aes):
//   "AES192"/"AES256" (OIDs 1.3.6.1.4.1.14832.1.3/.4): the localized key is
//       extended by Kul || H(Kul) (draft-blumenthal-aes-usm-04);
//   "AES192C"/"AES256C" (OIDs 1.3.6.1.4.1.9.12.6.1.1/.2): extended by
//       Kul || localize(passwordToKey(Kul)) (draft-reeder-snmpv3-usm-3desede).
// Both use the RFC 3826 IV and CFB128 mode.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "QVExport.h"

namespace QVT {

enum EUsmAuthProtocol : int {
  USM_AUTH_NONE = 0,
  USM_AUTH_HMAC_MD5_96,      // "MD5"
  USM_AUTH_HMAC_SHA_96,      // "SHA"
  USM_AUTH_HMAC_SHA224_128,  // "SHA-224"
  USM_AUTH_HMAC_SHA256_192,  // "SHA-256"
  USM_AUTH_HMAC_SHA384_256,  // "SHA-384"
  USM_AUTH_HMAC_SHA512_384,  // "SHA-512"
};

enum EUsmPrivProtocol : int {
  USM_PRIV_NONE = 0,
  USM_PRIV_AES128,         // "AES", "AES128", "AES-128"
  USM_PRIV_AES192,         // "AES192", "AES-192": key extended by hashing
  USM_PRIV_AES256,         // "AES256", "AES-256": key extended by hashing
  USM_PRIV_AES192_REEDER,  // "AES192C", "AES-192-C": key extended by a second localization
  USM_PRIV_AES256_REEDER,  // "AES256C", "AES-256-C": key extended by a second localization
};

enum EUsmStatus : int {
  USM_OK = 0,
  USM_ERR_UNKNOWN_PROTOCOL,  // a protocol name or value that is none of the supported ones
  USM_ERR_DES_REFUSED,       // DES privacy is not offered
  USM_ERR_SHORT_PASSWORD,    // a password of fewer than 8 characters
  USM_ERR_PRIV_WITHOUT_AUTH, // privacy asked for a user without authentication
  USM_ERR_BAD_ENGINE_ID,     // an engine ID of other than 5 to 32 octets
  USM_ERR_BAD_PARAMETERS,    // authParameters or privParameters of the wrong length or place
  USM_ERR_WRONG_DIGEST,      // the message's MAC is not the one computed
  USM_ERR_NOT_SET_UP,        // the operation needs a protocol the user does not have, or the keys failed
  USM_ERR_CRYPTO,            // OpenSSL failed
};

// A short fixed text for a status.
QV_API const char* QVUsmStatusText(EUsmStatus status);

struct SUsmAuthInfo {
  const char* name;       // as users configure it
  const char* oid;        // the protocol's identity (usmUserAuthProtocol)
  unsigned keyLength;     // the localized key: the digest's length
  unsigned macLength;     // the authParameters field: the truncated HMAC
};

struct SUsmPrivInfo {
  const char* name;
  const char* oid;
  unsigned keyLength;  // the AES key
};

// The properties of a protocol; USM_AUTH_NONE / USM_PRIV_NONE give zero
// lengths. An out-of-range value gives the NONE entry.
QV_API const SUsmAuthInfo& QVUsmAuthInfo(EUsmAuthProtocol protocol);
QV_API const SUsmPrivInfo& QVUsmPrivInfo(EUsmPrivProtocol protocol);

// Protocol names as configured (case does not matter). On failure the status
// says why and `error`, when given, holds a sentence for the user.
QV_API EUsmStatus QVUsmParseAuthProtocol(std::string_view name, EUsmAuthProtocol& protocol, std::string* error = nullptr);
QV_API EUsmStatus QVUsmParsePrivProtocol(std::string_view name, EUsmPrivProtocol& protocol, std::string* error = nullptr);

// RFC 3414 A.2: the digest of 1,048,576 octets of the password repeated.
// Passwords of fewer than 8 characters are refused.
QV_API EUsmStatus QVUsmPasswordToKey(EUsmAuthProtocol protocol, std::string_view password,
                                     std::vector<unsigned char>& key);
// Kul = H(Ku || engineID || Ku).
QV_API EUsmStatus QVUsmLocalizeKey(EUsmAuthProtocol protocol, std::span<const unsigned char> key,
                                   std::span<const unsigned char> engineId, std::vector<unsigned char>& localized);
// The localized privacy key: the password's key localized with the
// authentication protocol's digest, then cut or extended to the cipher's
// key length as the privacy protocol says.
QV_API EUsmStatus QVUsmPrivKey(EUsmAuthProtocol auth, EUsmPrivProtocol priv, std::string_view password,
                               std::span<const unsigned char> engineId, std::vector<unsigned char>& key);

// The privacy salts of one engine: a 64-bit counter that starts at a random
// value (so that a restarted engine does not repeat the salts of its last
// run under the same keys) and counts up by one per encrypted message.
// Safe to share between threads.
class QV_API BUsmSaltCounter {
 public:
  BUsmSaltCounter();
  explicit BUsmSaltCounter(uint64_t start) : m_next(start) {}
  uint64_t Next() { return m_next.fetch_add(1, std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> m_next;
};

// One user's keys, localized to one engine ID when constructed and never
// again. Status() tells whether that worked; the other calls then return
// USM_ERR_NOT_SET_UP. A BUsmUserKeys is read-only after construction and
// may be used by several threads at once.
class QV_API BUsmUserKeys {
 public:
  // Without authentication both passwords are ignored; without privacy the
  // privacy password is. An empty privacy password means the
  // authentication password (as snmpd.conf's createUser does without one).
  BUsmUserKeys(EUsmAuthProtocol auth, std::string_view authPassword, EUsmPrivProtocol priv,
               std::string_view privPassword, std::span<const unsigned char> engineId);
  // From keys localized beforehand (the digest's length for
  // authentication, the cipher's key length for privacy); other lengths
  // give USM_ERR_BAD_PARAMETERS.
  BUsmUserKeys(EUsmAuthProtocol auth, std::span<const unsigned char> authKey, EUsmPrivProtocol priv,
               std::span<const unsigned char> privKey);
  ~BUsmUserKeys();
  BUsmUserKeys(const BUsmUserKeys&) = delete;
  BUsmUserKeys& operator=(const BUsmUserKeys&) = delete;

  EUsmStatus Status() const { return m_status; }
  EUsmAuthProtocol Auth() const { return m_auth; }
  EUsmPrivProtocol Priv() const { return m_priv; }
  unsigned MacLength() const { return QVUsmAuthInfo(m_auth).macLength; }
  const std::vector<unsigned char>& AuthKey() const { return m_authKey; }
  const std::vector<unsigned char>& PrivKey() const { return m_privKey; }

  // Writes the MAC of the whole `message` into its authParameters field,
  // the MacLength() octets at `authOffset`. The MAC is computed as if the
  // field held zeros, whatever it holds.
  EUsmStatus Sign(std::span<unsigned char> message, size_t authOffset) const;
  // USM_OK when the `authLength` octets at `authOffset` are the MAC of the
  // message (computed with that field zeroed); compared in constant time.
  // USM_ERR_WRONG_DIGEST when they are not, also for a field of other than
  // MacLength() octets; USM_ERR_BAD_PARAMETERS when the field lies outside
  // the message.
  EUsmStatus Verify(std::span<const unsigned char> message, size_t authOffset, size_t authLength) const;

  // Encrypts a scoped PDU into `out` (in.size() octets; may be in.data()).
  // The salt comes from `salts` and goes, as 8 octets, to `privParameters`.
  EUsmStatus Encrypt(std::span<const unsigned char> in, unsigned char* out, uint32_t engineBoots,
                     uint32_t engineTime, BUsmSaltCounter& salts, unsigned char (&privParameters)[8]) const;
  // Decrypts with the message's authoritative engine boots and time and its
  // privParameters (8 octets, else USM_ERR_BAD_PARAMETERS).
  EUsmStatus Decrypt(std::span<const unsigned char> in, unsigned char* out, uint32_t engineBoots,
                     uint32_t engineTime, std::span<const unsigned char> privParameters) const;

 private:
  struct SMacContext;
  // Keys the HMAC once, or clears the keys when the status is a failure.
  void KeyMac();
  EUsmStatus Mac(std::span<const unsigned char> message, size_t authOffset, unsigned char* mac) const;
  EUsmStatus Crypt(bool encrypt, std::span<const unsigned char> in, unsigned char* out, uint32_t engineBoots,
                   uint32_t engineTime, const unsigned char (&salt)[8]) const;

  EUsmAuthProtocol m_auth;
  EUsmPrivProtocol m_priv;
  EUsmStatus m_status = USM_OK;
  std::vector<unsigned char> m_authKey;
  std::vector<unsigned char> m_privKey;
  std::unique_ptr<SMacContext> m_mac;  // HMAC keyed once; copied for every message
};

}  // namespace QVT
