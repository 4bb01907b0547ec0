// The command line of `ravelpack build`: every option's value parsed and range-checked.
// Parsers refuse (TToolError) with a line that names the option and the bad value.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "package/StubTypes.h"
#include "tools/ravelpack/LzmaEncoder.h"

struct TReleaseRange {
  uint16_t Min;
  uint16_t Max;
};

struct TDate {
  uint16_t Year;  // 0: no expiry
  uint16_t Month;
  uint16_t Day;
};

// Values written into the header as given, past the checks of the normal options, for
// tests that need packages the normal options refuse. The payloads stay correctly encoded.
struct TRawOverrides {
  std::optional<uint8_t> Props;
  std::optional<uint32_t> DictSize;
  std::optional<uint32_t> UnpackedSize32, UnpackedSize64;
  std::optional<uint32_t> PackedSize32, PackedSize64;
  std::optional<uint32_t> Offset64;
  std::optional<uint64_t> WindowsSet;
  std::optional<TDate> Expiry;
  std::optional<TReleaseRange> Win10Releases, Win11Releases;
};

struct TBuildOptions {
  std::string Launcher, Out, Engine32, Engine64, EngineData;
  bool Refuse64BitWindows = false;
  TDate Expiry = {0, 0, 0};
  TWindowsSet Windows = {};
  TReleaseRange Win10Releases = {1507, ReleaseOpenEnded};
  TReleaseRange Win11Releases = {2110, ReleaseOpenEnded};
  uint8_t Elevation = emNone;
  bool Detach = false;
  std::optional<std::string> ExpiryMessage, BitnessMessage, WindowsMessage;
  TLzmaSettings Lzma;
  TRawOverrides Raw;
};

// Args are the arguments after "build".
TBuildOptions ParseBuildOptions(const std::vector<std::string>& Args);

// The pieces, for tests and for the raw overrides.
uint64_t ParseNumber(const std::string& Option, const std::string& Text, uint64_t Max);
TWindowsSet ParseWindowsList(const std::string& Text);
TReleaseRange ParseReleaseRange(const std::string& Option, const std::string& Text, bool Ordered);
TDate ParseDate(const std::string& Option, const std::string& Text, bool Checked);
uint8_t ParseElevation(const std::string& Text);
void ParsePreset(const std::string& Text, TLzmaSettings& Settings);
