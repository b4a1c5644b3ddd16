// BObjectSyntax: one SNMP value. Its syntax is kept as the value's BER tag
// octet (EAsnSyntax), which is also the tag the value travels with on both
// wires this system speaks; the payload lives in the member that fits it.
#pragma once

#include <cstdint>
#include <string_view>

#include "BCounter64.h"
#include "BObjectIdentifier.h"
#include "BOctetString.h"
#include "BString.h"
#include "QVExport.h"

namespace QVT {

enum EAsnSyntax : unsigned char {
  ASN_INTEGER = 0x02,
  ASN_OCTET_STRING = 0x04,
  ASN_NULL = 0x05,
  ASN_OBJECT_ID = 0x06,
  ASN_SEQUENCE = 0x30,
  ASN_IPADDRESS = 0x40,
  ASN_COUNTER32 = 0x41,
  ASN_GAUGE32 = 0x42,
  ASN_TIMETICKS = 0x43,
  ASN_OPAQUE = 0x44,
  ASN_COUNTER64 = 0x46,
  ASN_NO_SUCH_OBJECT = 0x80,
  ASN_NO_SUCH_INSTANCE = 0x81,
  ASN_END_OF_MIB_VIEW = 0x82,
};

// The three SNMPv2 exception values a varbind can carry instead of a value.
enum ESnmpException : unsigned char {
  SNMP_NO_SUCH_OBJECT = ASN_NO_SUCH_OBJECT,
  SNMP_NO_SUCH_INSTANCE = ASN_NO_SUCH_INSTANCE,
  SNMP_END_OF_MIB_VIEW = ASN_END_OF_MIB_VIEW,
};

class QV_API BObjectSyntax {
 public:
  BObjectSyntax() = default;  // NULL
  explicit BObjectSyntax(EAsnSyntax syntax) : m_syntax(syntax) {}

  void Assign(const BObjectSyntax& other) { *this = other; }

  unsigned char Syntax() const { return m_syntax; }
  // Sets the syntax octet alone (the decoders store the tag they see first).
  void SetSyntax(unsigned char syntax) { m_syntax = syntax; }

  // Each setter sets the syntax too.
  void SetInt(int value);
  void SetUnsigned(EAsnSyntax syntax, uint32_t value);
  void SetCounter32(uint32_t value) { SetUnsigned(ASN_COUNTER32, value); }
  void SetGauge32(uint32_t value) { SetUnsigned(ASN_GAUGE32, value); }
  void SetTimeTicks(uint32_t value) { SetUnsigned(ASN_TIMETICKS, value); }
  void SetCounter64(uint64_t value);
  void SetCounter64(const BCounter64& value);
  void SetOctets(unsigned length, const unsigned char* data, EAsnSyntax syntax = ASN_OCTET_STRING);
  void SetOctets(const BOctetString& value, EAsnSyntax syntax = ASN_OCTET_STRING);
  void SetOctets(std::string_view text, EAsnSyntax syntax = ASN_OCTET_STRING);
  void SetObjectId(const BObjectIdentifier& value);
  void SetIpAddress(const BIpAddress& value);
  void SetNull() { m_syntax = ASN_NULL; }
  void SetV2Exception(ESnmpException exception) { m_syntax = exception; }

  // Readers; each reads its own member whatever the syntax is.
  int GetInt() const { return static_cast<int>(m_number); }
  uint32_t GetUnsigned() const { return m_number; }
  // The 32-bit payload shared by INTEGER and the unsigned syntaxes.
  uint32_t& Number() { return m_number; }
  const BOctetString& GetOctets() const { return m_octets; }
  BOctetString& Octets() { return m_octets; }
  const BObjectIdentifier& GetObjectId() const { return m_oid; }
  BObjectIdentifier& ObjectId() { return m_oid; }
  const BIpAddress& GetIpAddress() const { return m_ip; }
  BIpAddress& IpAddress() { return m_ip; }
  const BCounter64& GetCounter64() const { return m_counter64; }
  BCounter64& Counter64() { return m_counter64; }

  bool IsException() const { return m_syntax >= ASN_NO_SUCH_OBJECT && m_syntax <= ASN_END_OF_MIB_VIEW; }
  bool IsNull() const { return m_syntax == ASN_NULL; }

  // The value as the standard SNMP command-line tools print it, for example
  // "INTEGER: 42", "STRING: \"abc\"", "Timeticks: (300) 0:00:03.00".
  BString ValToStr() const;
  // The syntax's name ("INTEGER", "Counter32", ...); "unknown(0xNN)" when the
  // octet is not an SNMP syntax.
  static BString SyntaxName(unsigned char syntax);

  // Same syntax and same value (only the member that the syntax uses).
  friend QV_API bool operator==(const BObjectSyntax& a, const BObjectSyntax& b);

 private:
  unsigned char m_syntax = ASN_NULL;
  uint32_t m_number = 0;
  BOctetString m_octets;
  BObjectIdentifier m_oid;
  BIpAddress m_ip;
  BCounter64 m_counter64;
};

}  // namespace QVT
