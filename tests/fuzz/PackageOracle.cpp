#include "tests/fuzz/PackageOracle.h"

#include <lzma.h>

#include <cstring>
#include <tuple>

#include "tools/ravelpack/PayloadCheck.h"

namespace {

const uint64_t Below2Pow31 = uint64_t(1) << 31;

bool Within(const sim::Bytes& File, uint64_t Offset, uint64_t Length) {
  return Offset <= File.size() && Length <= File.size() - Offset;
}

TIntegrityVerdict Refuse(TIntegrityVerdict V, bool Truncated, const std::string& Why) {
  V.Truncated = Truncated;
  V.Why = Why;
  return V;
}

}  // namespace

bool RegionCrc(const sim::Bytes& File, uint32_t& Crc) {
  if (!Within(File, LocatorFileOffset, sizeof(TPackageLocator))) return false;
  TPackageLocator L;
  std::memcpy(&L, &File[LocatorFileOffset], sizeof L);
  if (!Within(File, L.HeaderOffset, L.CheckedLength)) return false;
  // liblzma's CRC-32, not the launcher's table: the same polynomial, another implementation.
  Crc = L.CheckedLength ? lzma_crc32(&File[L.HeaderOffset], L.CheckedLength, 0) : 0;
  return true;
}

TIntegrityVerdict JudgeIntegrity(const sim::Bytes& File) {
  TIntegrityVerdict V;
  if (!Within(File, LocatorFileOffset, sizeof V.Locator))
    return Refuse(V, false, "no room for the locator");
  std::memcpy(&V.Locator, &File[LocatorFileOffset], sizeof V.Locator);
  const TPackageLocator& L = V.Locator;
  if (L.HeaderOffset == 0) return Refuse(V, false, "HeaderOffset 0: no package");
  bool Short = L.DetachSize != 0 ? L.DetachSize > uint32_t(File.size())
                                 : L.MinFileSize > int64_t(File.size());
  if (Short) return Refuse(V, true, "shorter than the size test asks");
  if (L.HeaderOffset >= Below2Pow31 || L.CheckedLength >= Below2Pow31)
    return Refuse(V, false, "checked region beyond signed 32-bit offsets");
  uint32_t Crc = 0;
  if (!RegionCrc(File, Crc)) return Refuse(V, false, "checked region outside the file");
  if (Crc != L.CheckedCrc) return Refuse(V, false, "CRC-32 of the checked region differs");
  if (!Within(File, L.HeaderOffset, sizeof V.Header)) return Refuse(V, false, "header cut off");
  std::memcpy(&V.Header, &File[L.HeaderOffset], sizeof V.Header);
  V.Intact = true;
  return V;
}

TEngineVerdict JudgeEngine(const sim::Bytes& File, const TIntegrityVerdict& Integrity, bool Wow64,
                           bool Force32, const SYSTEMTIME& Today) {
  TEngineVerdict V;
  if (!Integrity.Intact) return V.Why = "package not intact: " + Integrity.Why, V;
  const TPackageHeader& H = Integrity.Header;

  if (H.ExpiryYear != 0) {
    // The expiry date is the first day on which the package refuses to run.
    uint16_t Year = H.ExpiryYear, Month = H.ExpiryMonth, Day = H.ExpiryDay;
    if (std::make_tuple(Year, Month, Day) <= std::make_tuple(Today.wYear, Today.wMonth, Today.wDay))
      return V.Why = "expired", V;
  }

  // The engine that suits this Windows, if any.
  const TPayloadRef* Chosen = nullptr;
  if (H.Payload32.Offset == 0)
    Chosen = Wow64 ? &H.Payload64 : nullptr;
  else if (H.Payload64.Offset == 0)
    Chosen = &H.Payload32;
  else if (H.Payload64.Offset == PayloadRefuses64Bit)
    Chosen = Wow64 ? nullptr : &H.Payload32;
  else
    Chosen = Wow64 && !Force32 ? &H.Payload64 : &H.Payload32;
  if (!Chosen) return V.Why = "no engine for this bitness", V;

  const TPayloadRef& P = *Chosen;
  if (P.Offset >= Below2Pow31 || P.PackedSize >= Below2Pow31 ||
      !Within(File, P.Offset, P.PackedSize))
    return V.Why = "payload outside the file", V;
  sim::Bytes Packed(File.begin() + P.Offset, File.begin() + P.Offset + P.PackedSize);
  V.Why = CheckPayloadDecodes(H.LzmaProps, H.DictSize, Packed, P.UnpackedSize, &V.Engine);
  V.Startable = V.Why.empty();
  return V;
}
