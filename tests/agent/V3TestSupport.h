// What the agent's SNMPv3 tests share: reading a message as a receiver that knows the user's keys would.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "BSnmpV3Message.h"
#include "BUsmCrypto.h"

namespace QVT::test {

// Decodes `datagram` into `m`, checks its MAC when it is authenticated, decrypts its scoped PDU when it is
// encrypted, and decodes that.
inline void ReadV3(const std::vector<unsigned char>& datagram, const BUsmUserKeys& keys, BSnmpV3Message& m) {
  ASSERT_EQ(m.Decode(datagram.data(), datagram.size()), SNMP_CODEC_OK);
  if ((m.flags & SNMP_V3_FLAG_AUTH) != 0) {
    EXPECT_EQ(keys.Verify(datagram, m.AuthOffset(), m.authParameters.Length()), USM_OK);
  }
  std::vector<unsigned char> scoped(m.ScopedData(), m.ScopedData() + m.ScopedLength());
  if ((m.flags & SNMP_V3_FLAG_PRIV) != 0) {
    ASSERT_EQ(keys.Decrypt(scoped, scoped.data(), static_cast<uint32_t>(m.engineBoots),
                           static_cast<uint32_t>(m.engineTime), {m.privParameters.Data(), m.privParameters.Length()}),
              USM_OK);
  }
  ASSERT_EQ(m.DecodeScopedPdu(scoped.data(), scoped.size()), SNMP_CODEC_OK) << "scoped PDU unreadable";
}

}  // namespace QVT::test
