// Frame entry points over the element coders.
#include "BSAFrame.h"

#include "BSADecoder.h"
#include "BSAEncoder.h"

#include <cstring>

namespace QVT {

int Encode(BSABuffer& buffer, BSAPdu& pdu) {
  // Octets after the frame read 0xAB, which makes a stale tail obvious in a
  // dump.
  if (buffer.Data() != nullptr) std::memset(buffer.Data(), 0xAB, buffer.Capacity());
  buffer.SetLength(0);
  BSAEncoder encoder(buffer);
  if (encoder.EncodeSAPdu(pdu)) return 0;
  return encoder.status != 0 ? encoder.status : SA_ERR_BAD_ENCODING;
}

int Decode(BSABuffer& buffer, BSAPdu& pdu) {
  BSADecoder decoder(buffer);
  if (decoder.DecodeSAPdu(pdu)) return 0;
  return decoder.status != 0 ? decoder.status : SA_ERR_BAD_ENCODING;
}

}  // namespace QVT
