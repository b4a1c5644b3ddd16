// BSABuffer: the datagram buffer every socket of the library owns. One PDU
// travels per datagram, and no frame is larger than this buffer's fixed
// capacity of 2048 octets. The coders write and read it in place; its length
// is the size of the frame (or of the datagram received), and the encoder
// leaves 0xFFFFFFFF there when a frame did not fit.
#pragma once

#include "BOctetString.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSABuffer : public BOctetString {
 public:
  static constexpr unsigned kCapacity = 2048;

  // 2048 octets of zero-filled storage, length 0. The storage is never
  // enlarged afterwards.
  BSABuffer();
};

}  // namespace QVT
