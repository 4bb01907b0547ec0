// The standard reflected CRC-32 (polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF): over the same bytes it equals zlib's crc32. The 256-entry table is constant
// data, so nothing is built at run time. A count of 0 or below reads nothing and gives 0.
#pragma once

#include <stdint.h>

uint32_t CalcCrc32(const void* Data, int32_t Count);
