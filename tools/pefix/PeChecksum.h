// The PE image checksum (the optional header's CheckSum field), for host tools: pefix writes
// it after moving the headers, and ravelpack must write it again after appending a package
// and writing the locator, since every byte of the file counts.
//
// The algorithm is Windows' own (CheckSumMappedFile): the 16-bit little-endian words of the
// whole file are added with end-around carry (a one's-complement sum), the 4 bytes of the
// CheckSum field counting as zero and an odd last byte as a word with a zero high byte; the
// file length is added to the folded 16-bit sum. Header only, C++17, no dependencies.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace pechecksum {

// File offset of the CheckSum field, or 0 when Data is not a PE file whose optional header
// holds one (no "MZ", e_lfanew out of range, no "PE\0\0", optional header too short).
inline size_t ChecksumFieldOffset(const uint8_t* Data, size_t Size) {
  if (Size < 64 || Data[0] != 'M' || Data[1] != 'Z') return 0;
  uint32_t Lfanew = Data[60] | Data[61] << 8 | Data[62] << 16 | uint32_t(Data[63]) << 24;
  if (Lfanew < 64 || Lfanew > Size || Size - Lfanew < 24 + 68) return 0;
  const uint8_t* Pe = Data + Lfanew;
  if (Pe[0] != 'P' || Pe[1] != 'E' || Pe[2] != 0 || Pe[3] != 0) return 0;
  uint16_t OptionalSize = uint16_t(Pe[20] | Pe[21] << 8);
  if (OptionalSize < 68) return 0;  // PE32 and PE32+ both keep CheckSum at offset 64
  return size_t(Lfanew) + 24 + 64;
}

// The checksum of Data as it would be with the 4 bytes at FieldOffset set to zero.
inline uint32_t ComputeChecksum(const uint8_t* Data, size_t Size, size_t FieldOffset) {
  uint64_t Sum = 0;
  size_t Even = Size & ~size_t(1);
  for (size_t I = 0; I < Even; I += 2) Sum += uint32_t(Data[I] | Data[I + 1] << 8);
  if (Size & 1) Sum += Data[Size - 1];
  // Take the field back out: it is two words when it lies on an even offset, as in every
  // PE file; the general form below also covers an odd e_lfanew.
  for (size_t I = FieldOffset; I < FieldOffset + 4 && I < Size; ++I)
    Sum -= (I & 1) ? uint32_t(Data[I]) << 8 : Data[I];
  while (Sum >> 16) Sum = (Sum & 0xFFFF) + (Sum >> 16);
  return uint32_t(Sum) + uint32_t(Size);
}

// Writes the right checksum into a PE file held in memory; false when it is not one.
inline bool UpdateChecksum(uint8_t* Data, size_t Size) {
  size_t Offset = ChecksumFieldOffset(Data, Size);
  if (Offset == 0) return false;
  uint32_t Sum = ComputeChecksum(Data, Size, Offset);
  for (int I = 0; I < 4; ++I) Data[Offset + I] = uint8_t(Sum >> (8 * I));
  return true;
}

inline bool UpdateChecksum(std::vector<uint8_t>& File) {
  return UpdateChecksum(File.data(), File.size());
}

// True when the stored checksum is the right one.
inline bool ChecksumIsRight(const uint8_t* Data, size_t Size) {
  size_t Offset = ChecksumFieldOffset(Data, Size);
  if (Offset == 0) return false;
  uint32_t Stored = Data[Offset] | Data[Offset + 1] << 8 | Data[Offset + 2] << 16 |
                    uint32_t(Data[Offset + 3]) << 24;
  return Stored == ComputeChecksum(Data, Size, Offset);
}

}  // namespace pechecksum
