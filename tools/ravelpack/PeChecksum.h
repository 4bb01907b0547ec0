// The PE image checksum of the optional header's CheckSum field.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The 16-bit ones'-complement-style sum of the file's little-endian words (an odd last byte
// as a word of its own), folded after each addition, with the 4 bytes at ChecksumOffset
// taken as zero, plus the file's length.
uint32_t ComputePeChecksum(const uint8_t* Image, size_t Size, size_t ChecksumOffset);
