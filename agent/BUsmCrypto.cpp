#include "BUsmCrypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <random>

namespace QVT {
namespace {

constexpr size_t kMinPassword = 8;
constexpr size_t kPasswordToKeyOctets = 1048576;
constexpr size_t kMinEngineId = 5;
constexpr size_t kMaxEngineId = 32;
constexpr size_t kMaxDigest = 64;

// The digest names OpenSSL knows, in EUsmAuthProtocol order.
constexpr const char* kDigestNames[] = {nullptr, "MD5", "SHA1", "SHA2-224", "SHA2-256", "SHA2-384", "SHA2-512"};
constexpr const char* kCipherNames[] = {nullptr, "AES-128-CFB", "AES-192-CFB", "AES-256-CFB", "AES-192-CFB",
                                        "AES-256-CFB"};

constexpr SUsmAuthInfo kAuth[] = {
    {"none", "1.3.6.1.6.3.10.1.1.1", 0, 0},     {"MD5", "1.3.6.1.6.3.10.1.1.2", 16, 12},
    {"SHA", "1.3.6.1.6.3.10.1.1.3", 20, 12},     {"SHA-224", "1.3.6.1.6.3.10.1.1.4", 28, 16},
    {"SHA-256", "1.3.6.1.6.3.10.1.1.5", 32, 24}, {"SHA-384", "1.3.6.1.6.3.10.1.1.6", 48, 32},
    {"SHA-512", "1.3.6.1.6.3.10.1.1.7", 64, 48},
};
constexpr SUsmPrivInfo kPriv[] = {
    {"none", "1.3.6.1.6.3.10.1.2.1", 0},        {"AES", "1.3.6.1.6.3.10.1.2.4", 16},
    {"AES192", "1.3.6.1.4.1.14832.1.3", 24},    {"AES256", "1.3.6.1.4.1.14832.1.4", 32},
    {"AES192C", "1.3.6.1.4.1.9.12.6.1.1", 24},  {"AES256C", "1.3.6.1.4.1.9.12.6.1.2", 32},
};

bool ValidAuth(EUsmAuthProtocol p) { return p > USM_AUTH_NONE && p <= USM_AUTH_HMAC_SHA512_384; }
bool ValidPriv(EUsmPrivProtocol p) { return p > USM_PRIV_NONE && p <= USM_PRIV_AES256_REEDER; }

// The algorithms, fetched once for the process: a fetch looks the name up in
// the provider store under a lock, too slow for every message. Fetched
// objects may be used by any number of threads.
struct SAlgorithms {
  SAlgorithms() {
    for (int i = 1; i <= USM_AUTH_HMAC_SHA512_384; ++i) digests[i] = EVP_MD_fetch(nullptr, kDigestNames[i], nullptr);
    for (int i = 1; i <= USM_PRIV_AES256_REEDER; ++i) ciphers[i] = EVP_CIPHER_fetch(nullptr, kCipherNames[i], nullptr);
    hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  }
  ~SAlgorithms() {
    for (EVP_MD* md : digests) EVP_MD_free(md);
    for (EVP_CIPHER* cipher : ciphers) EVP_CIPHER_free(cipher);
    EVP_MAC_free(hmac);
  }
  EVP_MD* digests[std::size(kDigestNames)] = {};
  EVP_CIPHER* ciphers[std::size(kCipherNames)] = {};
  EVP_MAC* hmac = nullptr;
};

const SAlgorithms& Algorithms() {
  static const SAlgorithms algorithms;
  return algorithms;
}

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct MacCtxDeleter {
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, MacCtxDeleter>;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Digests the concatenation of `parts` into `out` (resized to the digest).
EUsmStatus Digest(EUsmAuthProtocol protocol, std::initializer_list<std::span<const unsigned char>> parts,
                  std::vector<unsigned char>& out) {
  const EVP_MD* md = Algorithms().digests[protocol];
  MdCtx ctx(EVP_MD_CTX_new());
  if (md == nullptr || !ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1) return USM_ERR_CRYPTO;
  for (std::span<const unsigned char> part : parts) {
    if (EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) return USM_ERR_CRYPTO;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return USM_ERR_CRYPTO;
  out.assign(digest, digest + length);
  OPENSSL_cleanse(digest, sizeof digest);
  return USM_OK;
}

void Cleanse(std::vector<unsigned char>& octets) {
  if (!octets.empty()) OPENSSL_cleanse(octets.data(), octets.size());
  octets.clear();
}

void PutBigEndian32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

}  // namespace

const char* QVUsmStatusText(EUsmStatus status) {
  switch (status) {
    case USM_OK: return "ok";
    case USM_ERR_UNKNOWN_PROTOCOL: return "unknown protocol";
    case USM_ERR_DES_REFUSED: return "DES is not supported; use AES";
    case USM_ERR_SHORT_PASSWORD: return "password shorter than 8 characters";
    case USM_ERR_PRIV_WITHOUT_AUTH: return "privacy needs an authentication protocol";
    case USM_ERR_BAD_ENGINE_ID: return "engine ID not of 5 to 32 octets";
    case USM_ERR_BAD_PARAMETERS: return "security parameters of the wrong length";
    case USM_ERR_WRONG_DIGEST: return "wrong digest";
    case USM_ERR_NOT_SET_UP: return "the user has no such keys";
    case USM_ERR_CRYPTO: return "cryptographic library failure";
  }
  return "unknown status";
}

const SUsmAuthInfo& QVUsmAuthInfo(EUsmAuthProtocol protocol) {
  return kAuth[ValidAuth(protocol) ? protocol : USM_AUTH_NONE];
}

const SUsmPrivInfo& QVUsmPrivInfo(EUsmPrivProtocol protocol) {
  return kPriv[ValidPriv(protocol) ? protocol : USM_PRIV_NONE];
}

EUsmStatus QVUsmParseAuthProtocol(std::string_view name, EUsmAuthProtocol& protocol, std::string* error) {
  for (int i = USM_AUTH_HMAC_MD5_96; i <= USM_AUTH_HMAC_SHA512_384; ++i) {
    if (SameName(name, kAuth[i].name)) {
      protocol = static_cast<EUsmAuthProtocol>(i);
      return USM_OK;
    }
  }
  if (error != nullptr) {
    *error = "unknown authentication protocol \"" + std::string(name) +
             "\" (MD5, SHA, SHA-224, SHA-256, SHA-384 or SHA-512)";
  }
  return USM_ERR_UNKNOWN_PROTOCOL;
}

EUsmStatus QVUsmParsePrivProtocol(std::string_view name, EUsmPrivProtocol& protocol, std::string* error) {
  // The spellings the Net-SNMP tools accept for -x.
  static constexpr struct {
    const char* name;
    EUsmPrivProtocol protocol;
  } kNames[] = {
      {"AES", USM_PRIV_AES128},           {"AES128", USM_PRIV_AES128},          {"AES-128", USM_PRIV_AES128},
      {"AES192", USM_PRIV_AES192},        {"AES-192", USM_PRIV_AES192},         {"AES256", USM_PRIV_AES256},
      {"AES-256", USM_PRIV_AES256},       {"AES192C", USM_PRIV_AES192_REEDER},  {"AES-192-C", USM_PRIV_AES192_REEDER},
      {"AES256C", USM_PRIV_AES256_REEDER}, {"AES-256-C", USM_PRIV_AES256_REEDER},
  };
  for (const auto& entry : kNames) {
    if (SameName(name, entry.name)) {
      protocol = entry.protocol;
      return USM_OK;
    }
  }
  if (SameName(name, "DES") || SameName(name, "3DES")) {
    if (error != nullptr) *error = "privacy protocol \"" + std::string(name) + "\": DES is not supported; use AES";
    return USM_ERR_DES_REFUSED;
  }
  if (error != nullptr) {
    *error = "unknown privacy protocol \"" + std::string(name) + "\" (AES, AES128, AES192, AES256, AES192C or AES256C)";
  }
  return USM_ERR_UNKNOWN_PROTOCOL;
}

EUsmStatus QVUsmPasswordToKey(EUsmAuthProtocol protocol, std::string_view password, std::vector<unsigned char>& key) {
  if (!ValidAuth(protocol)) return USM_ERR_UNKNOWN_PROTOCOL;
  if (password.size() < kMinPassword) return USM_ERR_SHORT_PASSWORD;
  const EVP_MD* md = Algorithms().digests[protocol];
  MdCtx ctx(EVP_MD_CTX_new());
  if (md == nullptr || !ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1) return USM_ERR_CRYPTO;
  // The password repeated, fed in blocks of 64 octets as RFC 3414 A.2 does.
  unsigned char block[64];
  size_t index = 0;
  for (size_t count = 0; count < kPasswordToKeyOctets; count += sizeof block) {
    for (unsigned char& octet : block) octet = static_cast<unsigned char>(password[index++ % password.size()]);
    if (EVP_DigestUpdate(ctx.get(), block, sizeof block) != 1) return USM_ERR_CRYPTO;
  }
  OPENSSL_cleanse(block, sizeof block);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return USM_ERR_CRYPTO;
  key.assign(digest, digest + length);
  OPENSSL_cleanse(digest, sizeof digest);
  return USM_OK;
}

EUsmStatus QVUsmLocalizeKey(EUsmAuthProtocol protocol, std::span<const unsigned char> key,
                            std::span<const unsigned char> engineId, std::vector<unsigned char>& localized) {
  if (!ValidAuth(protocol)) return USM_ERR_UNKNOWN_PROTOCOL;
  if (engineId.size() < kMinEngineId || engineId.size() > kMaxEngineId) return USM_ERR_BAD_ENGINE_ID;
  return Digest(protocol, {key, engineId, key}, localized);
}

EUsmStatus QVUsmPrivKey(EUsmAuthProtocol auth, EUsmPrivProtocol priv, std::string_view password,
                        std::span<const unsigned char> engineId, std::vector<unsigned char>& key) {
  if (!ValidPriv(priv)) return USM_ERR_UNKNOWN_PROTOCOL;
  if (!ValidAuth(auth)) return USM_ERR_PRIV_WITHOUT_AUTH;
  std::vector<unsigned char> ku;
  EUsmStatus status = QVUsmPasswordToKey(auth, password, ku);
  if (status == USM_OK) status = QVUsmLocalizeKey(auth, ku, engineId, key);
  Cleanse(ku);
  if (status != USM_OK) return status;
  const size_t needed = QVUsmPrivInfo(priv).keyLength;
  // One extension step is always enough: the shortest digest (MD5, 16
  // octets) is half the longest AES key.
  if (key.size() < needed) {
    std::vector<unsigned char> more;
    if (priv == USM_PRIV_AES192_REEDER || priv == USM_PRIV_AES256_REEDER) {
      // The localized key taken as a password, turned into a key and localized again.
      std::vector<unsigned char> kuAgain;
      status = QVUsmPasswordToKey(auth, {reinterpret_cast<const char*>(key.data()), key.size()}, kuAgain);
      if (status == USM_OK) status = QVUsmLocalizeKey(auth, kuAgain, engineId, more);
      Cleanse(kuAgain);
    } else {
      status = Digest(auth, {key}, more);
    }
    if (status != USM_OK) {
      Cleanse(key);
      return status;
    }
    key.insert(key.end(), more.begin(), more.end());
    Cleanse(more);
  }
  OPENSSL_cleanse(key.data() + needed, key.size() - needed);
  key.resize(needed);
  return USM_OK;
}

BUsmSaltCounter::BUsmSaltCounter() {
  uint64_t start = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&start), sizeof start) != 1) {
    // Salts need to be unique under one key, not secret: without the
    // generator the system's random device still gives a fresh start.
    std::random_device device;
    start = (static_cast<uint64_t>(device()) << 32) ^ device();
  }
  m_next.store(start, std::memory_order_relaxed);
}

struct BUsmUserKeys::SMacContext {
  MacCtx keyed;  // HMAC with the digest and the key set; never used directly, only copied
};

BUsmUserKeys::BUsmUserKeys(EUsmAuthProtocol auth, std::string_view authPassword, EUsmPrivProtocol priv,
                           std::string_view privPassword, std::span<const unsigned char> engineId)
    : m_auth(auth), m_priv(priv) {
  if ((auth != USM_AUTH_NONE && !ValidAuth(auth)) || (priv != USM_PRIV_NONE && !ValidPriv(priv))) {
    m_status = USM_ERR_UNKNOWN_PROTOCOL;
    return;
  }
  if (auth == USM_AUTH_NONE) {
    m_status = priv == USM_PRIV_NONE ? USM_OK : USM_ERR_PRIV_WITHOUT_AUTH;
    return;
  }
  std::vector<unsigned char> ku;
  m_status = QVUsmPasswordToKey(auth, authPassword, ku);
  if (m_status == USM_OK) m_status = QVUsmLocalizeKey(auth, ku, engineId, m_authKey);
  Cleanse(ku);
  if (m_status == USM_OK && priv != USM_PRIV_NONE) {
    m_status = QVUsmPrivKey(auth, priv, privPassword.empty() ? authPassword : privPassword, engineId, m_privKey);
  }
  KeyMac();
}

BUsmUserKeys::BUsmUserKeys(EUsmAuthProtocol auth, std::span<const unsigned char> authKey, EUsmPrivProtocol priv,
                           std::span<const unsigned char> privKey)
    : m_auth(auth), m_priv(priv), m_authKey(authKey.begin(), authKey.end()), m_privKey(privKey.begin(), privKey.end()) {
  if ((auth != USM_AUTH_NONE && !ValidAuth(auth)) || (priv != USM_PRIV_NONE && !ValidPriv(priv))) {
    m_status = USM_ERR_UNKNOWN_PROTOCOL;
  } else if (auth == USM_AUTH_NONE) {
    m_status = priv == USM_PRIV_NONE ? USM_OK : USM_ERR_PRIV_WITHOUT_AUTH;
  } else if (m_authKey.size() != QVUsmAuthInfo(auth).keyLength ||
             (priv != USM_PRIV_NONE && m_privKey.size() != QVUsmPrivInfo(priv).keyLength)) {
    m_status = USM_ERR_BAD_PARAMETERS;
  }
  if (auth == USM_AUTH_NONE) {
    Cleanse(m_authKey);
    Cleanse(m_privKey);
    return;
  }
  KeyMac();
}

void BUsmUserKeys::KeyMac() {
  if (m_status == USM_OK) {
    m_mac = std::make_unique<SMacContext>();
    m_mac->keyed.reset(EVP_MAC_CTX_new(Algorithms().hmac));
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(kDigestNames[m_auth]), 0),
        OSSL_PARAM_construct_end()};
    if (!m_mac->keyed || EVP_MAC_init(m_mac->keyed.get(), m_authKey.data(), m_authKey.size(), params) != 1) {
      m_status = USM_ERR_CRYPTO;
    }
  }
  if (m_status != USM_OK) {
    Cleanse(m_authKey);
    Cleanse(m_privKey);
    m_mac.reset();
  }
}

BUsmUserKeys::~BUsmUserKeys() {
  Cleanse(m_authKey);
  Cleanse(m_privKey);
}

EUsmStatus BUsmUserKeys::Mac(std::span<const unsigned char> message, size_t authOffset, unsigned char* mac) const {
  if (m_status != USM_OK || !m_mac) return USM_ERR_NOT_SET_UP;
  const size_t macLength = MacLength();
  if (authOffset > message.size() || message.size() - authOffset < macLength) return USM_ERR_BAD_PARAMETERS;
  // A copy of the keyed context: reading the shared one is safe from any
  // thread, and the copy saves setting the key up again.
  MacCtx ctx(EVP_MAC_CTX_dup(m_mac->keyed.get()));
  static constexpr unsigned char kZeros[kMaxDigest] = {};
  unsigned char full[EVP_MAX_MD_SIZE];
  size_t length = 0;
  const bool ok = ctx && EVP_MAC_update(ctx.get(), message.data(), authOffset) == 1 &&
                  EVP_MAC_update(ctx.get(), kZeros, macLength) == 1 &&
                  EVP_MAC_update(ctx.get(), message.data() + authOffset + macLength,
                                 message.size() - authOffset - macLength) == 1 &&
                  EVP_MAC_final(ctx.get(), full, &length, sizeof full) == 1 && length >= macLength;
  if (ok) std::memcpy(mac, full, macLength);
  OPENSSL_cleanse(full, sizeof full);
  return ok ? USM_OK : USM_ERR_CRYPTO;
}

EUsmStatus BUsmUserKeys::Sign(std::span<unsigned char> message, size_t authOffset) const {
  unsigned char mac[kMaxDigest];
  const EUsmStatus status = Mac(message, authOffset, mac);
  if (status == USM_OK) std::memcpy(message.data() + authOffset, mac, MacLength());
  return status;
}

EUsmStatus BUsmUserKeys::Verify(std::span<const unsigned char> message, size_t authOffset, size_t authLength) const {
  if (m_status != USM_OK || !m_mac) return USM_ERR_NOT_SET_UP;
  // RFC 3414 3.2 step 6: a field of another length is a wrong digest too.
  if (authLength != MacLength()) return USM_ERR_WRONG_DIGEST;
  unsigned char mac[kMaxDigest];
  const EUsmStatus status = Mac(message, authOffset, mac);
  if (status != USM_OK) return status;
  return CRYPTO_memcmp(mac, message.data() + authOffset, authLength) == 0 ? USM_OK : USM_ERR_WRONG_DIGEST;
}

EUsmStatus BUsmUserKeys::Crypt(bool encrypt, std::span<const unsigned char> in, unsigned char* out,
                               uint32_t engineBoots, uint32_t engineTime, const unsigned char (&salt)[8]) const {
  if (m_status != USM_OK || m_priv == USM_PRIV_NONE) return USM_ERR_NOT_SET_UP;
  if (in.size() > INT_MAX) return USM_ERR_BAD_PARAMETERS;
  // RFC 3826 3.1.2.1: IV = engineBoots (4 octets) || engineTime (4) || salt (8).
  unsigned char iv[16];
  PutBigEndian32(iv, engineBoots);
  PutBigEndian32(iv + 4, engineTime);
  std::memcpy(iv + 8, salt, 8);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int length = 0;
  int tail = 0;
  const bool ok = ctx &&
                  EVP_CipherInit_ex2(ctx.get(), Algorithms().ciphers[m_priv], m_privKey.data(), iv, encrypt ? 1 : 0,
                                     nullptr) == 1 &&
                  EVP_CipherUpdate(ctx.get(), out, &length, in.data(), static_cast<int>(in.size())) == 1 &&
                  EVP_CipherFinal_ex(ctx.get(), out + length, &tail) == 1 &&
                  static_cast<size_t>(length + tail) == in.size();
  return ok ? USM_OK : USM_ERR_CRYPTO;
}

EUsmStatus BUsmUserKeys::Encrypt(std::span<const unsigned char> in, unsigned char* out, uint32_t engineBoots,
                                 uint32_t engineTime, BUsmSaltCounter& salts,
                                 unsigned char (&privParameters)[8]) const {
  if (m_status != USM_OK || m_priv == USM_PRIV_NONE) return USM_ERR_NOT_SET_UP;
  const uint64_t salt = salts.Next();
  for (int i = 0; i < 8; ++i) privParameters[i] = static_cast<unsigned char>(salt >> (56 - 8 * i));
  return Crypt(true, in, out, engineBoots, engineTime, privParameters);
}

EUsmStatus BUsmUserKeys::Decrypt(std::span<const unsigned char> in, unsigned char* out, uint32_t engineBoots,
                                 uint32_t engineTime, std::span<const unsigned char> privParameters) const {
  if (m_status != USM_OK || m_priv == USM_PRIV_NONE) return USM_ERR_NOT_SET_UP;
  if (privParameters.size() != 8) return USM_ERR_BAD_PARAMETERS;
  unsigned char salt[8];
  std::memcpy(salt, privParameters.data(), 8);
  return Crypt(false, in, out, engineBoots, engineTime, salt);
}

}  // namespace QVT
