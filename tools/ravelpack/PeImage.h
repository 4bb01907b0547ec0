// What the package tool needs to know of the launcher's PE32 file: where its last section
// ends, since the package goes there, and whether anything lies behind it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct TPeLayout {
  uint32_t PeHeaderOffset;     // e_lfanew
  uint32_t SecurityDirOffset;  // file offset of the certificate table's data directory entry
  uint32_t SectionsEnd;        // max of PointerToRawData + SizeOfRawData over the sections
};

// Reads the layout of a PE32 image. Returns an empty string and fills Layout when Image is
// a PE32 file; otherwise returns why it is not, in words.
std::string ReadPeLayout(const std::vector<uint8_t>& Image, TPeLayout& Layout);

// Refuses (TToolError) anything a package cannot be built on: not PE32, bytes 128 to 255
// not zero (the locator goes there), or data behind the last section (a certificate table
// or other overlay would end up in front of the package and be invalidated by it).
TPeLayout CheckLauncherImage(const std::vector<uint8_t>& Image);
