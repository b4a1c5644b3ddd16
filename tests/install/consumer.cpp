// Built against an installed copy of the library: encodes a ping and
// decodes it back.
#include <QVT/QVSubAg.h>

#include <cstdio>

int main() {
  QVT::BSAPdu ping(QVT::SA_PDU_PING, 1, 2);
  QVT::BSABuffer buffer;
  if (QVT::Encode(buffer, ping) != 0 || buffer.Length() != 24) return 1;
  QVT::BSAPdu decoded(static_cast<QVT::ESAPduType>(0));
  if (QVT::Decode(buffer, decoded) != 0) return 2;
  if (decoded.type != QVT::SA_PDU_PING || decoded.sessionId != 1 || decoded.requestId != 2) return 3;
  std::printf("ping of %u octets encoded and decoded\n", buffer.Length());
  return 0;
}
