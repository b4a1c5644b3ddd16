// The fixed-size datagram buffer: storage is allocated once, here.
#include "BSABuffer.h"

namespace QVT {

BSABuffer::BSABuffer() {
  Reserve(kCapacity, 0);
}

}  // namespace QVT
