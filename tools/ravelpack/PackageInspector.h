// `ravelpack inspect`: reads a package as the launcher would and says whether it passes.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "package/StubTypes.h"

struct TInspectedMessage {
  bool Readable = false;  // the whole text lies inside the file
  std::string Utf8;
};

struct TInspectedPayload {
  bool Present = false;  // Offset neither 0 nor (for Payload64) the refusal marker
  std::string Problem;   // empty: decodes to exactly UnpackedSize bytes
};

struct TInspection {
  uint64_t FileSize = 0;
  bool HasLocator = false, HasHeader = false;
  TPackageLocator Locator = {};
  TPackageHeader Header = {};
  bool PeChecksumRight = false;   // informative: the launcher never checks it
  uint32_t ActualCrc = 0;         // of the checked region, when the file holds all of it
  TInspectedMessage Messages[3];  // expiry, bitness, Windows
  TInspectedPayload Payloads[2];  // 32-bit, 64-bit
  // Why the launcher would refuse the package, in its order of checks; empty: it passes.
  std::vector<std::string> Failures;
};

TInspection InspectPackage(const std::vector<uint8_t>& File);

// Both print every locator and header field by its name, then the verdict.
std::string FormatInspection(const TInspection& Inspection);
std::string FormatInspectionJson(const TInspection& Inspection);
