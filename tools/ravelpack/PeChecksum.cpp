#include "tools/ravelpack/PeChecksum.h"

uint32_t ComputePeChecksum(const uint8_t* Image, size_t Size, size_t ChecksumOffset) {
  auto ByteAt = [&](size_t I) -> uint32_t {
    if (I >= Size || (I >= ChecksumOffset && I < ChecksumOffset + 4)) return 0;
    return Image[I];
  };
  uint64_t Sum = 0;
  for (size_t I = 0; I < Size; I += 2) {
    Sum += ByteAt(I) | (ByteAt(I + 1) << 8);
    Sum = (Sum & 0xFFFF) + (Sum >> 16);
  }
  return uint32_t(Sum + Size);
}
