// The package format: the one definition shared by the launcher (which reads it) and the
// package tool (which writes it).
//
// A package is the launcher's own PE file with the package appended behind its last
// section and a 24-byte locator written at file offset 128, in the zero bytes between the
// DOS stub and the PE header (which the build moves to offset 256 to make room).
// All integers are little-endian and the records are packed: they are read and written
// byte-exact, straight from and to the file, on little-endian machines only.
#pragma once

#include <stddef.h>
#include <stdint.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are read straight from the file");

// Where the locator sits in the executable, and where the PE header must start instead.
const uint32_t LocatorFileOffset = 128;
const uint32_t PeHeaderFileOffset = 256;

// The elements of TWindowsSet: element n is bit n of the set read as a 64-bit integer.
enum TWindowsVersion : uint8_t {
  wvWin95 = 0,
  wvWin98 = 1,
  wvWinME = 2,
  wvWinNT4 = 3,
  wvWin2000 = 4,
  wvWinXP = 5,
  wvWinVista = 6,
  wvWin7 = 7,
  wvWin8 = 8,
  wvWin81 = 9,
  wvWin10 = 10,
  wvWin11 = 11,
  wvLater = 63,
};

// How the engine is started through the shell (only when a silent switch is given).
enum TElevationMode : uint8_t {
  emNone = 0,
  emRequireAdmin = 1,
  emNoAdmin = 2,
};

// Payload64.Offset that means: no 64-bit engine, and 64-bit Windows is refused.
const uint32_t PayloadRefuses64Bit = 0xFFFFFFFFu;

// A release bound of this value or more admits releases newer than every one we name.
const uint16_t ReleaseOpenEnded = 9999;

#pragma pack(push, 1)

struct TWindowsSet {
  uint8_t Bits[8];
};

struct TPayloadRef {
  uint32_t Offset;  // absolute file offset of the raw LZMA1 stream; 0: no such engine
  uint32_t PackedSize;
  uint32_t UnpackedSize;
};

struct TMessageRef {
  uint32_t Offset;  // absolute file offset of the UTF-16LE text
  uint16_t Length;  // in UTF-16 code units
};

struct TPackageLocator {
  uint32_t HeaderOffset;  // 0: the file carries no package
  uint32_t CheckedLength;
  uint32_t CheckedCrc;
  int64_t MinFileSize;
  uint32_t DetachSize;  // nonzero: minimal size in place of MinFileSize, and no wait
};

struct TPackageHeader {
  uint8_t LzmaProps;  // (pb * 5 + lp) * 9 + lc
  uint32_t DictSize;
  TWindowsSet WindowsSet;
  uint16_t Win10MinRelease;
  uint16_t Win10MaxRelease;
  uint16_t Win11MinRelease;
  uint16_t Win11MaxRelease;
  uint8_t ElevationMode;  // a TElevationMode; other values act as emNone
  TPayloadRef Payload32;
  TPayloadRef Payload64;
  uint8_t Reserved[4];
  uint16_t ExpiryYear;  // 0: never expires
  uint16_t ExpiryMonth;
  uint16_t ExpiryDay;
  TMessageRef ExpiryMessage;
  TMessageRef BitnessMessage;
  TMessageRef WindowsMessage;
};

#pragma pack(pop)

static_assert(sizeof(TWindowsSet) == 8, "TWindowsSet");
static_assert(sizeof(TPayloadRef) == 12, "TPayloadRef");
static_assert(offsetof(TPayloadRef, PackedSize) == 4 && offsetof(TPayloadRef, UnpackedSize) == 8,
              "TPayloadRef fields");
static_assert(sizeof(TMessageRef) == 6 && offsetof(TMessageRef, Length) == 4, "TMessageRef");
static_assert(sizeof(TPackageLocator) == 24, "TPackageLocator");
static_assert(offsetof(TPackageLocator, CheckedLength) == 4 &&
                  offsetof(TPackageLocator, CheckedCrc) == 8 &&
                  offsetof(TPackageLocator, MinFileSize) == 12 &&
                  offsetof(TPackageLocator, DetachSize) == 20,
              "TPackageLocator fields");
static_assert(sizeof(TPackageHeader) == 74, "TPackageHeader");
static_assert(offsetof(TPackageHeader, DictSize) == 1 && offsetof(TPackageHeader, WindowsSet) == 5 &&
                  offsetof(TPackageHeader, Win10MinRelease) == 13 &&
                  offsetof(TPackageHeader, Win10MaxRelease) == 15 &&
                  offsetof(TPackageHeader, Win11MinRelease) == 17 &&
                  offsetof(TPackageHeader, Win11MaxRelease) == 19 &&
                  offsetof(TPackageHeader, ElevationMode) == 21 &&
                  offsetof(TPackageHeader, Payload32) == 22 &&
                  offsetof(TPackageHeader, Payload64) == 34 &&
                  offsetof(TPackageHeader, Reserved) == 46 &&
                  offsetof(TPackageHeader, ExpiryYear) == 50 &&
                  offsetof(TPackageHeader, ExpiryMonth) == 52 &&
                  offsetof(TPackageHeader, ExpiryDay) == 54 &&
                  offsetof(TPackageHeader, ExpiryMessage) == 56 &&
                  offsetof(TPackageHeader, BitnessMessage) == 62 &&
                  offsetof(TPackageHeader, WindowsMessage) == 68,
              "TPackageHeader fields");

inline bool WindowsSetHas(const TWindowsSet& Set, TWindowsVersion Element) {
  return (Set.Bits[Element / 8] >> (Element % 8)) & 1;
}

inline void WindowsSetInclude(TWindowsSet& Set, TWindowsVersion Element) {
  Set.Bits[Element / 8] = uint8_t(Set.Bits[Element / 8] | (1u << (Element % 8)));
}
