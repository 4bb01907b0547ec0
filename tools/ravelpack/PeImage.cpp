#include "tools/ravelpack/PeImage.h"

#include <string.h>

#include "package/StubTypes.h"
#include "tools/ravelpack/ToolError.h"

namespace {

uint32_t Read16(const std::vector<uint8_t>& B, size_t At) {
  return B[At] | (B[At + 1] << 8);
}

uint32_t Read32(const std::vector<uint8_t>& B, size_t At) {
  return uint32_t(B[At]) | (uint32_t(B[At + 1]) << 8) | (uint32_t(B[At + 2]) << 16) |
         (uint32_t(B[At + 3]) << 24);
}

const uint32_t Pe32Magic = 0x10B;
const uint32_t SecurityDirectoryIndex = 4;

}  // namespace

std::string ReadPeLayout(const std::vector<uint8_t>& Image, TPeLayout& Layout) {
  if (Image.size() < 64 || Image[0] != 'M' || Image[1] != 'Z') return "no MZ header";
  uint32_t Pe = Read32(Image, 60);
  if (uint64_t(Pe) + 24 > Image.size() || memcmp(&Image[Pe], "PE\0\0", 4) != 0) {
    return "no PE header at the offset the DOS header names";
  }
  uint32_t SectionCount = Read16(Image, Pe + 6);
  uint32_t OptionalSize = Read16(Image, Pe + 20);
  uint64_t Optional = uint64_t(Pe) + 24;
  if (OptionalSize < 96 || Optional + OptionalSize > Image.size()) {
    return "the optional header is missing or cut short";
  }
  if (Read16(Image, Optional) != Pe32Magic) return "not a 32-bit (PE32) image";
  uint32_t DirectoryCount = Read32(Image, Optional + 92);
  Layout.SecurityDirOffset = 0;
  if (DirectoryCount > SecurityDirectoryIndex &&
      96 + (SecurityDirectoryIndex + 1) * 8 <= OptionalSize) {
    Layout.SecurityDirOffset = uint32_t(Optional + 96 + SecurityDirectoryIndex * 8);
  }
  uint64_t Sections = Optional + OptionalSize;
  if (SectionCount == 0 || Sections + uint64_t(SectionCount) * 40 > Image.size()) {
    return "the section table is missing or cut short";
  }
  uint64_t End = 0;
  for (uint32_t I = 0; I < SectionCount; ++I) {
    size_t Entry = size_t(Sections + I * 40);
    uint32_t RawSize = Read32(Image, Entry + 16);
    uint32_t RawPointer = Read32(Image, Entry + 20);
    if (RawSize != 0 && uint64_t(RawPointer) + RawSize > End) End = uint64_t(RawPointer) + RawSize;
  }
  if (End > Image.size()) return "a section's raw data runs past the end of the file";
  Layout.PeHeaderOffset = Pe;
  Layout.SectionsEnd = uint32_t(End);
  return "";
}

TPeLayout CheckLauncherImage(const std::vector<uint8_t>& Image) {
  TPeLayout Layout;
  std::string Problem = ReadPeLayout(Image, Layout);
  if (!Problem.empty()) Refuse("the launcher is not a PE32 file: " + Problem);
  for (uint32_t I = LocatorFileOffset; I < PeHeaderFileOffset; ++I) {
    if (Image[I] != 0) {
      Refuse("the launcher's bytes 128 to 255 are not zero (byte " + std::to_string(I) +
             "), so there is no room for the locator");
    }
  }
  if (Layout.SecurityDirOffset != 0 && (Read32(Image, Layout.SecurityDirOffset) != 0 ||
                                        Read32(Image, Layout.SecurityDirOffset + 4) != 0)) {
    Refuse(
        "the launcher is signed; build the package from an unsigned launcher and sign the "
        "package instead");
  }
  if (Layout.SectionsEnd != Image.size()) {
    Refuse("the launcher has " + std::to_string(Image.size() - Layout.SectionsEnd) +
           " bytes behind its last section; the package must follow the sections directly");
  }
  return Layout;
}
