// Finding the package in the launcher's own file and making sure it is complete and intact.
#include "package/PackageReader.h"

#include "launcher/StubCore.h"
#include "package/CRC32.h"
#include "support/Memory.h"

TPackageLocator Locator;
TPackageHeader Header;

HANDLE OpenPackageFile() {
  TAnsiString Path = OwnPath();
  HANDLE File =
      CreateFileA(StrCStr(Path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  StrFree(Path);
  if (File == INVALID_HANDLE_VALUE) FatalReadError();
  return File;
}

int64_t PackageFileSize(HANDLE PackageFile) {
  DWORD High = 0;
  DWORD Low = GetFileSize(PackageFile, &High);
  return int64_t((uint64_t(High) << 32) | Low);
}

// One positioned read, judged by the count alone: a failed read reports 0 bytes.
static bool ReadAt(HANDLE File, uint32_t Offset, void* Buffer, uint32_t Count) {
  SetFilePointer(File, LONG(Offset), nullptr, FILE_BEGIN);
  DWORD Read = 0;
  ReadFile(File, Buffer, Count, &Read, nullptr);
  return Read == Count;
}

void CheckPackage(HANDLE File) {
  if (!ReadAt(File, LocatorFileOffset, &Locator, sizeof Locator) || Locator.HeaderOffset == 0)
    FatalReadError();

  // The size test comes before any package byte is read, so that a download which stopped
  // short is reported as incomplete rather than as damaged.
  int64_t FileSize = PackageFileSize(File);
  // DetachSize is compared with the low 32 bits of the size only.
  bool Truncated = Locator.DetachSize != 0 ? Locator.DetachSize > uint32_t(FileSize)
                                           : Locator.MinFileSize > FileSize;
  if (Truncated) FatalTruncatedError();

  // Offsets are used as signed 32-bit seek distances. A region that cannot lie inside the
  // file could never be read in full; refusing it here also keeps a hostile length from
  // asking for gigabytes of memory first.
  if (Locator.HeaderOffset > INT32_MAX || Locator.CheckedLength > INT32_MAX ||
      int64_t(Locator.HeaderOffset) + Locator.CheckedLength > FileSize)
    FatalReadError();

  if (Locator.CheckedLength > 0) {
    uint8_t* Block = static_cast<uint8_t*>(MemAlloc(Locator.CheckedLength));
    if (!ReadAt(File, Locator.HeaderOffset, Block, Locator.CheckedLength)) FatalReadError();
    bool Intact = CalcCrc32(Block, int32_t(Locator.CheckedLength)) == Locator.CheckedCrc;
    MemFree(Block);
    if (!Intact) FatalReadError();
  } else if (Locator.CheckedCrc != 0) {
    FatalReadError();
  }

  if (!ReadAt(File, Locator.HeaderOffset, &Header, sizeof Header)) FatalReadError();
}
