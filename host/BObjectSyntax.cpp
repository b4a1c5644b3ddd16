#include "BObjectSyntax.h"

#include <cinttypes>
#include <cstdio>

namespace QVT {

BString BIpAddress::ToString() const {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", m_octets[0], m_octets[1], m_octets[2], m_octets[3]);
  return BString(text);
}

void BObjectSyntax::SetInt(int value) {
  m_syntax = ASN_INTEGER;
  m_number = static_cast<uint32_t>(value);
}

void BObjectSyntax::SetUnsigned(EAsnSyntax syntax, uint32_t value) {
  m_syntax = syntax;
  m_number = value;
}

void BObjectSyntax::SetCounter64(uint64_t value) {
  m_syntax = ASN_COUNTER64;
  m_counter64.Set(value);
}

void BObjectSyntax::SetCounter64(const BCounter64& value) {
  m_syntax = ASN_COUNTER64;
  m_counter64 = value;
}

void BObjectSyntax::SetOctets(unsigned length, const unsigned char* data, EAsnSyntax syntax) {
  m_syntax = syntax;
  m_octets.Assign(length, data);
}

void BObjectSyntax::SetOctets(const BOctetString& value, EAsnSyntax syntax) {
  m_syntax = syntax;
  const SASNOctetStr octets = value.View();  // a length past the storage reads as empty
  m_octets.Assign(octets.length, octets.data);
}

void BObjectSyntax::SetOctets(std::string_view text, EAsnSyntax syntax) {
  m_syntax = syntax;
  m_octets.Assign(text);
}

void BObjectSyntax::SetObjectId(const BObjectIdentifier& value) {
  m_syntax = ASN_OBJECT_ID;
  m_oid = value;
}

void BObjectSyntax::SetIpAddress(const BIpAddress& value) {
  m_syntax = ASN_IPADDRESS;
  m_ip = value;
}

namespace {

BString TimeTicksText(uint32_t ticks) {
  const uint32_t days = ticks / 8640000;
  const uint32_t hours = ticks / 360000 % 24;
  const uint32_t minutes = ticks / 6000 % 60;
  const uint32_t seconds = ticks / 100 % 60;
  const uint32_t hundredths = ticks % 100;
  char text[96];
  if (days == 0) {
    std::snprintf(text, sizeof text, "Timeticks: (%" PRIu32 ") %" PRIu32 ":%02" PRIu32 ":%02" PRIu32 ".%02" PRIu32,
                  ticks, hours, minutes, seconds, hundredths);
  } else {
    std::snprintf(text, sizeof text,
                  "Timeticks: (%" PRIu32 ") %" PRIu32 " day%s, %" PRIu32 ":%02" PRIu32 ":%02" PRIu32 ".%02" PRIu32,
                  ticks, days, days == 1 ? "" : "s", hours, minutes, seconds, hundredths);
  }
  return BString(text);
}

}  // namespace

BString BObjectSyntax::SyntaxName(unsigned char syntax) {
  switch (syntax) {
    case ASN_INTEGER:
      return "INTEGER";
    case ASN_OCTET_STRING:
      return "OCTET STRING";
    case ASN_NULL:
      return "NULL";
    case ASN_OBJECT_ID:
      return "OBJECT IDENTIFIER";
    case ASN_IPADDRESS:
      return "IpAddress";
    case ASN_COUNTER32:
      return "Counter32";
    case ASN_GAUGE32:
      return "Gauge32";
    case ASN_TIMETICKS:
      return "TimeTicks";
    case ASN_OPAQUE:
      return "Opaque";
    case ASN_COUNTER64:
      return "Counter64";
    case ASN_NO_SUCH_OBJECT:
      return "noSuchObject";
    case ASN_NO_SUCH_INSTANCE:
      return "noSuchInstance";
    case ASN_END_OF_MIB_VIEW:
      return "endOfMibView";
    default:
      break;
  }
  char text[24];
  std::snprintf(text, sizeof text, "unknown(0x%02X)", syntax);
  return BString(text);
}

BString BObjectSyntax::ValToStr() const {
  char text[64];
  switch (m_syntax) {
    case ASN_INTEGER:
      std::snprintf(text, sizeof text, "INTEGER: %d", GetInt());
      return BString(text);
    case ASN_OCTET_STRING: {
      if (m_octets.Length() == 0) return "\"\"";
      if (!m_octets.IsPrintable()) return BString("Hex-STRING: " + m_octets.ToHex().str());
      // Quotes and backslashes inside the text are escaped, as the tools do.
      std::string out = "STRING: \"";
      for (const char c : m_octets.AsStringView()) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      return BString(out + "\"");
    }
    case ASN_NULL:
      return "NULL";
    case ASN_OBJECT_ID:
      return BString("OID: ." + m_oid.ToString().str());
    case ASN_IPADDRESS:
      return BString("IpAddress: " + m_ip.ToString().str());
    case ASN_COUNTER32:
      std::snprintf(text, sizeof text, "Counter32: %" PRIu32, m_number);
      return BString(text);
    case ASN_GAUGE32:
      std::snprintf(text, sizeof text, "Gauge32: %" PRIu32, m_number);
      return BString(text);
    case ASN_TIMETICKS:
      return TimeTicksText(m_number);
    case ASN_OPAQUE:
      return BString("OPAQUE: " + m_octets.ToHex().str());
    case ASN_COUNTER64:
      std::snprintf(text, sizeof text, "Counter64: %" PRIu64, m_counter64.Value());
      return BString(text);
    case ASN_NO_SUCH_OBJECT:
      return "No Such Object available on this agent at this OID";
    case ASN_NO_SUCH_INSTANCE:
      return "No Such Instance currently exists at this OID";
    case ASN_END_OF_MIB_VIEW:
      return "No more variables left in this MIB View (It is past the end of the MIB tree)";
    default:
      break;
  }
  return BString("Wrong Type: " + SyntaxName(m_syntax).str());
}

bool operator==(const BObjectSyntax& a, const BObjectSyntax& b) {
  if (a.m_syntax != b.m_syntax) return false;
  switch (a.m_syntax) {
    case ASN_INTEGER:
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
      return a.m_number == b.m_number;
    case ASN_OCTET_STRING:
    case ASN_OPAQUE:
      return a.m_octets == b.m_octets;
    case ASN_OBJECT_ID:
      return a.m_oid == b.m_oid;
    case ASN_IPADDRESS:
      return a.m_ip == b.m_ip;
    case ASN_COUNTER64:
      return a.m_counter64 == b.m_counter64;
    default:
      return true;
  }
}

}  // namespace QVT
