// The USM cryptography against published vectors (RFC 3414 appendix A.3),
// against keys and traffic of the Net-SNMP 5.9.3 tools of Debian 12, and
// against OpenSSL's own one-shot HMAC; the refusals.
#include "BUsmCrypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace QVT {
namespace {

using test::FromHex;
using test::ToHex;
using Octets = std::vector<unsigned char>;

// The engine ID of RFC 3414 A.3; the Net-SNMP values below were made with it too.
const Octets kEngineId = FromHex("000000000000000000000002");
constexpr const char* kPassword = "maplesyrup";

// Names in any case, with the protocol's key and MAC lengths; unknown names and DES are refused with a reason,
// the protocol left as it was.
TEST(BUsmCryptoTest, ProtocolNamesParseOrAreRefusedWithAReason) {
  const std::tuple<const char*, EUsmAuthProtocol, unsigned, unsigned> auths[] = {
      {"MD5", USM_AUTH_HMAC_MD5_96, 16, 12},         {"SHA", USM_AUTH_HMAC_SHA_96, 20, 12},
      {"sha-224", USM_AUTH_HMAC_SHA224_128, 28, 16}, {"SHA-256", USM_AUTH_HMAC_SHA256_192, 32, 24},
      {"SHA-384", USM_AUTH_HMAC_SHA384_256, 48, 32}, {"Sha-512", USM_AUTH_HMAC_SHA512_384, 64, 48}};
  for (const auto& [name, protocol, keyLength, macLength] : auths) {
    SCOPED_TRACE(name);
    EUsmAuthProtocol parsed = USM_AUTH_NONE;
    ASSERT_EQ(QVUsmParseAuthProtocol(name, parsed), USM_OK);
    EXPECT_EQ(parsed, protocol);
    EXPECT_EQ(QVUsmAuthInfo(parsed).keyLength, keyLength);
    EXPECT_EQ(QVUsmAuthInfo(parsed).macLength, macLength);
  }
  const std::tuple<const char*, EUsmPrivProtocol, unsigned> privs[] = {
      // clang-format off
      {"AES", USM_PRIV_AES128, 16},     {"aes128", USM_PRIV_AES128, 16},  {"AES-128", USM_PRIV_AES128, 16},
      {"AES192", USM_PRIV_AES192, 24},  {"AES-192", USM_PRIV_AES192, 24}, {"AES256", USM_PRIV_AES256, 32},
      {"AES-256", USM_PRIV_AES256, 32}, {"AES192C", USM_PRIV_AES192_REEDER, 24},
      {"AES-256-C", USM_PRIV_AES256_REEDER, 32},
      // clang-format on
  };
  for (const auto& [name, protocol, keyLength] : privs) {
    SCOPED_TRACE(name);
    EUsmPrivProtocol parsed = USM_PRIV_NONE;
    ASSERT_EQ(QVUsmParsePrivProtocol(name, parsed), USM_OK);
    EXPECT_EQ(parsed, protocol);
    EXPECT_EQ(QVUsmPrivInfo(parsed).keyLength, keyLength);
  }
  const std::tuple<bool, const char*, EUsmStatus, const char*> refused[] = {
      {false, "SHA1-96", USM_ERR_UNKNOWN_PROTOCOL, "unknown authentication protocol \"SHA1-96\""},
      {false, "", USM_ERR_UNKNOWN_PROTOCOL, "unknown authentication protocol"},
      {false, "SHA-255", USM_ERR_UNKNOWN_PROTOCOL, "SHA-256"},
      {true, "DES", USM_ERR_DES_REFUSED, "DES is not supported; use AES"},
      {true, "des", USM_ERR_DES_REFUSED, "DES is not supported; use AES"},
      {true, "3DES", USM_ERR_DES_REFUSED, "DES is not supported; use AES"},
      {true, "AES512", USM_ERR_UNKNOWN_PROTOCOL, "unknown privacy protocol \"AES512\""},
      {true, "AES 128", USM_ERR_UNKNOWN_PROTOCOL, "unknown privacy protocol"}};
  for (const auto& [isPriv, name, status, inError] : refused) {
    SCOPED_TRACE(name);
    std::string error;
    EUsmAuthProtocol auth = USM_AUTH_HMAC_MD5_96;
    EUsmPrivProtocol priv = USM_PRIV_AES128;
    EXPECT_EQ(isPriv ? QVUsmParsePrivProtocol(name, priv, &error) : QVUsmParseAuthProtocol(name, auth, &error), status);
    EXPECT_NE(error.find(inError), std::string::npos) << error;
    EXPECT_EQ(std::pair(auth, priv), std::pair(USM_AUTH_HMAC_MD5_96, USM_PRIV_AES128)) << "left alone on failure";
  }
}

// Ku and Kul of "maplesyrup": RFC 3414 A.3.1 (MD5) and A.3.2 (SHA-1). The
// SHA-2 Kul were read from the usmUser lines snmpd 5.9.3 (Debian 12) stored
// in its persistent snmpd.conf after the configuration lines
//   exactEngineID 0x000000000000000000000002
//   createUser u224 SHA-224 "maplesyrup" AES192 "maplesyrup"   (and SHA-256, SHA-384, SHA-512)
TEST(BUsmCryptoTest, PasswordToKeyAndLocalization) {
  struct Case {
    EUsmAuthProtocol protocol;
    const char* ku;  // empty: not published
    const char* kul;
  };
  const Case cases[] = {
      {USM_AUTH_HMAC_MD5_96, "9f af 32 83 88 4e 92 83 4e bc 98 47 d8 ed d9 63",
       "52 6f 5e ed 9f cc e2 6f 89 64 c2 93 07 87 d8 2b"},
      {USM_AUTH_HMAC_SHA_96, "9f b5 cc 03 81 49 7b 37 93 52 89 39 ff 78 8d 5d 79 14 52 11",
       "66 95 fe bc 92 88 e3 62 82 23 5f c7 15 1f 12 84 97 b3 8f 3f"},
      {USM_AUTH_HMAC_SHA224_128, "", "0bd8827c6e29f8065e08e09237f177e410f69b90e1782be682075674"},
      {USM_AUTH_HMAC_SHA256_192, "", "8982e0e549e866db361a6b625d84cccc11162d453ee8ce3a6445c2d6776f0f8b"},
      {USM_AUTH_HMAC_SHA384_256, "",
       "3b298f16164a11184279d5432bf169e2d2a48307de02b3d3f7e2b4f36eb6f045"
       "5a53689a3937eea07319a633d2ccba78"},
      {USM_AUTH_HMAC_SHA512_384, "",
       "22a5a36cedfcc085807a128d7bc6c2382167ad6c0dbc5fdff856740f3d84c099"
       "ad1ea87a8db096714d9788bd544047c9021e4229ce27e4c0a69250adfcffbb0b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(QVUsmAuthInfo(c.protocol).name);
    Octets ku, kul;
    ASSERT_EQ(QVUsmPasswordToKey(c.protocol, kPassword, ku), USM_OK);
    EXPECT_EQ(ku.size(), QVUsmAuthInfo(c.protocol).keyLength);
    if (*c.ku != '\0') {
      EXPECT_EQ(ToHex(ku), ToHex(FromHex(c.ku)));
    }
    ASSERT_EQ(QVUsmLocalizeKey(c.protocol, ku, kEngineId, kul), USM_OK);
    EXPECT_EQ(ToHex(kul), ToHex(FromHex(c.kul)));
    BUsmUserKeys user(c.protocol, kPassword, USM_PRIV_NONE, "", kEngineId);
    ASSERT_EQ(user.Status(), USM_OK);
    EXPECT_EQ(ToHex(user.AuthKey()), ToHex(FromHex(c.kul)));
    EXPECT_TRUE(user.PrivKey().empty());
  }
}

// Localized privacy keys of "maplesyrup", cut or extended to the AES key,
// as snmpd 5.9.3 (Debian 12) stored them after `createUser <name> <auth>
// "maplesyrup" <priv> "maplesyrup"` with exactEngineID 0x000000000000000000000002:
// one row per way of making the key (the requests below use more pairs).
TEST(BUsmCryptoTest, PrivacyKeysMatchNetSnmp) {
  struct Case {
    EUsmAuthProtocol auth;
    EUsmPrivProtocol priv;
    const char* key;
  };
  const Case cases[] = {
      {USM_AUTH_HMAC_MD5_96, USM_PRIV_AES128, "526f5eed9fcce26f8964c2930787d82b"},
      // AES192/AES256: Kul || H(Kul)
      {USM_AUTH_HMAC_MD5_96, USM_PRIV_AES256, "526f5eed9fcce26f8964c2930787d82bfa24a92467426c2f4b09192be10dfaec"},
      {USM_AUTH_HMAC_SHA_96, USM_PRIV_AES192, "6695febc9288e36282235fc7151f128497b38f3f505e07eb"},
      {USM_AUTH_HMAC_SHA224_128, USM_PRIV_AES192, "0bd8827c6e29f8065e08e09237f177e410f69b90e1782be6"},
      // AES192C/AES256C: Kul || localize(passwordToKey(Kul))
      {USM_AUTH_HMAC_MD5_96, USM_PRIV_AES256_REEDER,
       "526f5eed9fcce26f8964c2930787d82b79eff44a90650ee0a3a40abfac5acc12"},
      {USM_AUTH_HMAC_SHA_96, USM_PRIV_AES192_REEDER, "6695febc9288e36282235fc7151f128497b38f3f9b8b6d78"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(QVUsmAuthInfo(c.auth).name) + " " + QVUsmPrivInfo(c.priv).name);
    Octets key;
    ASSERT_EQ(QVUsmPrivKey(c.auth, c.priv, kPassword, kEngineId, key), USM_OK);
    EXPECT_EQ(ToHex(key), ToHex(FromHex(c.key)));
    // An empty privacy password is the authentication password; another one makes another privacy key only.
    BUsmUserKeys user(c.auth, kPassword, c.priv, kPassword, kEngineId), same(c.auth, kPassword, c.priv, "", kEngineId),
        other(c.auth, kPassword, c.priv, "another password", kEngineId);
    ASSERT_EQ(std::tuple(user.Status(), same.Status(), other.Status()), std::tuple(USM_OK, USM_OK, USM_OK));
    EXPECT_EQ(ToHex(user.PrivKey()), ToHex(FromHex(c.key)));
    EXPECT_EQ(ToHex(same.PrivKey()), ToHex(FromHex(c.key)));
    EXPECT_EQ(ToHex(other.AuthKey()), ToHex(user.AuthKey()));
    EXPECT_NE(ToHex(other.PrivKey()), ToHex(user.PrivKey()));
  }
}

// The MAC is the HMAC of the message with the authParameters zeroed, cut to
// the protocol's length; checked against OpenSSL's one-shot HMAC over a
// zeroed copy. Signing writes that field only; a changed octet anywhere
// fails verification.
TEST(BUsmCryptoTest, MacIsTheTruncatedHmacOfTheZeroedMessage) {
  constexpr const char* kDigests[] = {nullptr, "MD5", "SHA1", "SHA2-224", "SHA2-256", "SHA2-384", "SHA2-512"};
  for (int p = USM_AUTH_HMAC_MD5_96; p <= USM_AUTH_HMAC_SHA512_384; ++p) {
    const auto protocol = static_cast<EUsmAuthProtocol>(p);
    SCOPED_TRACE(QVUsmAuthInfo(protocol).name);
    BUsmUserKeys user(protocol, kPassword, USM_PRIV_NONE, "", kEngineId);
    ASSERT_EQ(user.Status(), USM_OK);
    const size_t macLength = user.MacLength();
    ASSERT_EQ(macLength, QVUsmAuthInfo(protocol).macLength);

    Octets message(150);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(i * 7 + 3);
    const size_t offset = 40;
    Octets zeroed = message;
    std::fill_n(zeroed.begin() + offset, macLength, 0);
    unsigned char full[EVP_MAX_MD_SIZE];
    size_t fullLength = 0;
    ASSERT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, kDigests[p], nullptr, user.AuthKey().data(), user.AuthKey().size(),
                        zeroed.data(), zeroed.size(), full, sizeof full, &fullLength),
              nullptr);
    ASSERT_EQ(fullLength, QVUsmAuthInfo(protocol).keyLength);

    Octets signedMessage = message;  // the field holds garbage before: the MAC ignores it
    ASSERT_EQ(user.Sign(signedMessage, offset), USM_OK);
    Octets expected = message;
    std::copy_n(full, macLength, expected.begin() + offset);
    EXPECT_EQ(ToHex(signedMessage), ToHex(expected));
    EXPECT_EQ(user.Verify(signedMessage, offset, macLength), USM_OK);

    for (size_t at : {size_t{0}, offset - 1, offset, offset + macLength - 1, offset + macLength, message.size() - 1}) {
      Octets tampered = signedMessage;
      tampered[at] ^= 0x01;
      EXPECT_EQ(user.Verify(tampered, offset, macLength), USM_ERR_WRONG_DIGEST) << "octet " << at << " changed";
    }
    EXPECT_EQ(user.Verify(signedMessage, offset, macLength - 1), USM_ERR_WRONG_DIGEST) << "a shorter field";
    EXPECT_EQ(user.Verify(signedMessage, message.size() - macLength + 1, macLength), USM_ERR_BAD_PARAMETERS);
    EXPECT_EQ(user.Sign(signedMessage, message.size() - macLength + 1), USM_ERR_BAD_PARAMETERS);
  }
}

// Requests the Net-SNMP 5.9.3 snmpget of Debian 12 sent to a local snmpd
// (engine ID 000000000000000000000002, boots 1, time 2), dumped with -d:
//   snmpget -d -v3 -l authPriv -u <user> -a <auth> -A maplesyrup -x <priv> -X maplesyrup <agent> 1.3.6.1.2.1.1.5.0
// The plain scoped PDUs come from OpenSSL's command line with the key and
// IV (boots || time || privParameters), e.g. for the AES-128 one:
//   openssl enc -d -aes-128-cfb -nopad -K 8982e0e549e866db361a6b625d84cccc -iv 0000000100000002346ac582f2b8b540
// They hold the request for sysName.0 (06 08 2B 06 01 02 01 01 05 00).
TEST(BUsmCryptoTest, NetSnmpRequestsVerifyDecryptAndEncryptAgain) {
  struct Case {
    const char* name;
    EUsmAuthProtocol auth;
    EUsmPrivProtocol priv;
    const char* message;
    size_t authOffset, privOffset, pduOffset;
    const char* plain;
  };
  const Case cases[] = {
      {"SHA-256 AES", USM_AUTH_HMAC_SHA256_192, USM_PRIV_AES128,
       "30818a020103301102046a6d9719020300ffe30401070201030440303e040c0000000000000000000000020201010201020404"
       "753235360418ddc74d355bbb3d317e72c4da2537bca0a6d79d28c16030ac0408346ac582f2b8b5400430c49432cb59f0338a09"
       "559725759c19dccb64d669d453cfc1de289a5acc496ba549965738f6ba0eedfe6359495fd2e57b",
       57, 83, 93, "302e040c0000000000000000000000020400a01c020415d047aa020100020100300e300c06082b060102010105000500"},
      {"SHA-256 AES192", USM_AUTH_HMAC_SHA256_192, USM_PRIV_AES192,
       "30818b0201033011020437409a85020300ffe30401070201030441303f040c000000000000000000000002020101020102040575"
       "323536780418561e235a1800a4028e1e82ee2b1093d54092ce2c9c998cff0408b9cc04aa382a60c304304dea3a1b16f199ff24"
       "94924f1f9b8e52a7a762e45af6b0d7066d64c1340b2db3e31189d451684d7eee631b668943d02d",
       58, 84, 94, "302e040c0000000000000000000000020400a01c02043cd91140020100020100300e300c06082b060102010105000500"},
      {"SHA-512 AES256C", USM_AUTH_HMAC_SHA512_384, USM_PRIV_AES256_REEDER,
       "3081a3020103301102045f5661e9020300ffe304010702010304593057040c00000000000000000000000202010102010204057535"
       "31326304306f5ef2a24bee1f2d5c0716d909e1ad2ad537357fe7bc2d5ea6ac2940ce255969f93f1a74836158779a12e0166a7b"
       "17740408655f1325d0e5714c043077b0ae261a2bed32406396c54314d01f5588f979166f5f9aea6a76940e3f43780da3303e67"
       "de00001f3f97429027f475",
       58, 108, 118,
       "302e040c0000000000000000000000020400a01c020478bb478e020100020100300e300c06082b060102010105000500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Octets message = FromHex(c.message);
    const Octets plain = FromHex(c.plain);
    BUsmUserKeys user(c.auth, kPassword, c.priv, kPassword, kEngineId);
    ASSERT_EQ(user.Status(), USM_OK);
    ASSERT_EQ(message.size(), c.pduOffset + plain.size());
    EXPECT_EQ(user.Verify(message, c.authOffset, user.MacLength()), USM_OK);

    const std::span<const unsigned char> salt(message.data() + c.privOffset, 8);
    const std::span<const unsigned char> cipher(message.data() + c.pduOffset, plain.size());
    Octets decrypted(plain.size());
    ASSERT_EQ(user.Decrypt(cipher, decrypted.data(), 1, 2, salt), USM_OK);
    EXPECT_EQ(ToHex(decrypted), ToHex(plain));
    // Another boots value is another IV: the plain text does not come back.
    ASSERT_EQ(user.Decrypt(cipher, decrypted.data(), 2, 2, salt), USM_OK);
    EXPECT_NE(ToHex(decrypted), ToHex(plain));

    // Encrypting with the same salt gives Net-SNMP's octets again.
    uint64_t start = 0;
    for (unsigned char octet : salt) start = start << 8 | octet;
    BUsmSaltCounter salts(start);
    unsigned char privParameters[8];
    Octets encrypted(plain.size());
    ASSERT_EQ(user.Encrypt(plain, encrypted.data(), 1, 2, salts, privParameters), USM_OK);
    EXPECT_EQ(ToHex(Octets(privParameters, privParameters + 8)), ToHex(Octets(salt.begin(), salt.end())));
    EXPECT_EQ(ToHex(encrypted), ToHex(Octets(cipher.begin(), cipher.end())));
  }
}

// AES-128 CFB128 with the RFC 3826 IV (boots 42, time 1234, salt
// f0e1d2c3b4a59687) over a text that ends in a partial block, against
// OpenSSL's command line, with the privacy key of SHA-256 "maplesyrup" AES
// above:
//   printf '%s' 'A scoped PDU of 37 octets, unpadded!!' | openssl enc -aes-128-cfb -nopad
//     -K 8982e0e549e866db361a6b625d84cccc -iv 0000002a000004d2f0e1d2c3b4a59687 | xxd -p
// (one command line)
TEST(BUsmCryptoTest, Aes128CfbKnownAnswer) {
  BUsmUserKeys user(USM_AUTH_HMAC_SHA256_192, kPassword, USM_PRIV_AES128, kPassword, kEngineId);
  ASSERT_EQ(user.Status(), USM_OK);
  ASSERT_EQ(ToHex(user.PrivKey()), ToHex(FromHex("8982e0e549e866db361a6b625d84cccc")));
  const std::string text = "A scoped PDU of 37 octets, unpadded!!";
  const Octets plain(text.begin(), text.end());
  const Octets expected = FromHex("007764516d684b4fd7e2444f5c735f8fc2474c537e30471da38f16fec5a75435d8cc8b6816");
  BUsmSaltCounter salts(0xf0e1d2c3b4a59687ull);
  unsigned char privParameters[8];
  Octets out(plain.size());
  ASSERT_EQ(user.Encrypt(plain, out.data(), 42, 1234, salts, privParameters), USM_OK);
  EXPECT_EQ(ToHex(out), ToHex(expected));
  EXPECT_EQ(ToHex(Octets(privParameters, privParameters + 8)), "F0 E1 D2 C3 B4 A5 96 87");
}

// Every privacy protocol: a round trip in place, one salt per message
// counted up from the start, the salt as privParameters.
TEST(BUsmCryptoTest, EveryPrivacyProtocolRoundTripsWithAFreshSaltPerMessage) {
  for (int p = USM_PRIV_AES128; p <= USM_PRIV_AES256_REEDER; ++p) {
    const auto priv = static_cast<EUsmPrivProtocol>(p);
    SCOPED_TRACE(QVUsmPrivInfo(priv).name);
    BUsmUserKeys user(USM_AUTH_HMAC_SHA_96, kPassword, priv, "privacy password", kEngineId);
    ASSERT_EQ(user.Status(), USM_OK);
    ASSERT_EQ(user.PrivKey().size(), QVUsmPrivInfo(priv).keyLength);
    Octets plain(100);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<unsigned char>(i);
    BUsmSaltCounter salts(0x00000000FFFFFFFFull);
    unsigned char first[8], second[8];
    Octets a = plain, b = plain;
    ASSERT_EQ(user.Encrypt(a, a.data(), 7, 99, salts, first), USM_OK);
    ASSERT_EQ(user.Encrypt(b, b.data(), 7, 99, salts, second), USM_OK);
    EXPECT_EQ(ToHex(Octets(first, first + 8)), "00 00 00 00 FF FF FF FF");
    EXPECT_EQ(ToHex(Octets(second, second + 8)), "00 00 00 01 00 00 00 00");
    EXPECT_NE(ToHex(a), ToHex(plain));
    EXPECT_NE(ToHex(a), ToHex(b)) << "the same text under another salt";
    ASSERT_EQ(user.Decrypt(a, a.data(), 7, 99, first), USM_OK);
    ASSERT_EQ(user.Decrypt(b, b.data(), 7, 99, second), USM_OK);
    EXPECT_EQ(ToHex(a), ToHex(plain));
    EXPECT_EQ(ToHex(b), ToHex(plain));
    EXPECT_EQ(user.Decrypt(a, a.data(), 7, 99, std::span<const unsigned char>(first, 7)), USM_ERR_BAD_PARAMETERS);
  }
  BUsmSaltCounter one, other;  // random starts
  EXPECT_NE(one.Next(), other.Next());
}

TEST(BUsmCryptoTest, KeysThatCannotBeMadeAreRefused) {
  const Octets shortId = FromHex("8000000001");
  const Octets tooShortId = FromHex("80000001");
  const Octets tooLongId(33, 0x80);
  struct Case {
    const char* name;
    EUsmAuthProtocol auth;
    const char* authPassword;
    EUsmPrivProtocol priv;
    const char* privPassword;
    const Octets* engineId;
    EUsmStatus status;
  };
  const Case cases[] = {
      {"auth password of 7", USM_AUTH_HMAC_SHA_96, "1234567", USM_PRIV_NONE, "", &kEngineId, USM_ERR_SHORT_PASSWORD},
      {"auth password of 8", USM_AUTH_HMAC_SHA_96, "12345678", USM_PRIV_NONE, "", &kEngineId, USM_OK},
      {"empty auth password", USM_AUTH_HMAC_MD5_96, "", USM_PRIV_NONE, "", &kEngineId, USM_ERR_SHORT_PASSWORD},
      {"priv password of 7", USM_AUTH_HMAC_SHA_96, kPassword, USM_PRIV_AES128, "1234567", &kEngineId,
       USM_ERR_SHORT_PASSWORD},
      {"priv without auth", USM_AUTH_NONE, "", USM_PRIV_AES128, kPassword, &kEngineId, USM_ERR_PRIV_WITHOUT_AUTH},
      {"engine ID of 5", USM_AUTH_HMAC_SHA_96, kPassword, USM_PRIV_AES128, "", &shortId, USM_OK},
      {"engine ID of 4", USM_AUTH_HMAC_SHA_96, kPassword, USM_PRIV_NONE, "", &tooShortId, USM_ERR_BAD_ENGINE_ID},
      {"engine ID of 33", USM_AUTH_HMAC_SHA_96, kPassword, USM_PRIV_NONE, "", &tooLongId, USM_ERR_BAD_ENGINE_ID},
      {"auth value out of range", static_cast<EUsmAuthProtocol>(7), kPassword, USM_PRIV_NONE, "", &kEngineId,
       USM_ERR_UNKNOWN_PROTOCOL},
      {"priv value out of range", USM_AUTH_HMAC_SHA_96, kPassword, static_cast<EUsmPrivProtocol>(6), "", &kEngineId,
       USM_ERR_UNKNOWN_PROTOCOL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BUsmUserKeys user(c.auth, c.authPassword, c.priv, c.privPassword, *c.engineId);
    EXPECT_EQ(user.Status(), c.status) << QVUsmStatusText(user.Status());
    Octets message(64, 0);
    unsigned char salt[8];
    BUsmSaltCounter salts(1);
    if (c.status == USM_OK && c.priv == USM_PRIV_NONE) {  // signs but does not encrypt
      EXPECT_EQ(user.Sign(message, 10), USM_OK);
      EXPECT_EQ(user.Encrypt(message, message.data(), 1, 1, salts, salt), USM_ERR_NOT_SET_UP);
      EXPECT_EQ(user.Decrypt(message, message.data(), 1, 1, salt), USM_ERR_NOT_SET_UP);
    }
    if (c.status == USM_OK) continue;
    EXPECT_TRUE(user.AuthKey().empty());
    EXPECT_TRUE(user.PrivKey().empty());
    EXPECT_EQ(user.Sign(message, 0), USM_ERR_NOT_SET_UP);
    EXPECT_EQ(user.Verify(message, 0, 12), USM_ERR_NOT_SET_UP);
    EXPECT_EQ(user.Encrypt(message, message.data(), 1, 1, salts, salt), USM_ERR_NOT_SET_UP);
  }
  Octets key;
  EXPECT_EQ(QVUsmPasswordToKey(USM_AUTH_HMAC_MD5_96, "short", key), USM_ERR_SHORT_PASSWORD);
  EXPECT_EQ(QVUsmPasswordToKey(USM_AUTH_NONE, kPassword, key), USM_ERR_UNKNOWN_PROTOCOL);
  EXPECT_EQ(QVUsmPrivKey(USM_AUTH_NONE, USM_PRIV_AES128, kPassword, kEngineId, key), USM_ERR_PRIV_WITHOUT_AUTH);
}

}  // namespace
}  // namespace QVT
