#include "tools/ravelpack/PackageWriter.h"

#include <string.h>

#include "package/CRC32.h"
#include "tools/pefix/PeChecksum.h"
#include "tools/ravelpack/PeImage.h"
#include "tools/ravelpack/ToolError.h"
#include "tools/ravelpack/Utf16.h"

namespace {

// Offsets and sizes that the launcher handles as signed 32-bit numbers.
const uint64_t Below2Pow31 = uint64_t(1) << 31;

void Append(std::vector<uint8_t>& File, const void* Data, size_t Count) {
  const uint8_t* Bytes = static_cast<const uint8_t*>(Data);
  File.insert(File.end(), Bytes, Bytes + Count);
}

uint32_t CheckedOffset(uint64_t Offset, const char* What) {
  if (Offset >= Below2Pow31) {
    Refuse(std::string("the package is too large: ") + What + " would start at " +
           std::to_string(Offset) + ", beyond 2^31 - 1");
  }
  return uint32_t(Offset);
}

TPayloadRef AppendPayload(std::vector<uint8_t>& File, const std::vector<uint8_t>& Engine,
                          const lzma_options_lzma& Lzma, bool EndMarker, const char* What,
                          const TProgress& Progress) {
  TPayloadRef Ref;
  Ref.Offset = CheckedOffset(File.size(), What);
  std::vector<uint8_t> Packed = EncodeLzma(Lzma, EndMarker, Engine, Progress);
  Ref.PackedSize = uint32_t(Packed.size());
  Ref.UnpackedSize = uint32_t(Engine.size());
  Append(File, Packed.data(), Packed.size());
  CheckedOffset(File.size(), What);
  return Ref;
}

TMessageRef AppendMessage(std::vector<uint8_t>& File, const std::string& Utf8, const char* What) {
  std::vector<uint16_t> Text = Utf8ToUtf16(Utf8, What);
  if (Text.size() > 65535) {
    Refuse(std::string(What) + " is " + std::to_string(Text.size()) +
           " UTF-16 code units long; the limit is 65535");
  }
  TMessageRef Ref;
  Ref.Offset = CheckedOffset(File.size(), What);
  Ref.Length = uint16_t(Text.size());
  for (uint16_t Unit : Text) {
    File.push_back(uint8_t(Unit));
    File.push_back(uint8_t(Unit >> 8));
  }
  return Ref;
}

}  // namespace

std::vector<uint8_t> DefaultEngineData() {
  const char Marker[] = "Ravelkit engine data: none given to the package tool.";
  std::vector<uint8_t> Data(Marker, Marker + sizeof(Marker) - 1);
  Data.resize(64, 0);
  return Data;
}

std::string DefaultExpiryMessage() {
  return "This setup package has expired and can no longer be installed.";
}

std::string DefaultBitnessMessage(const TBuildOptions& Options) {
  if (Options.Engine32.empty()) return "This setup package requires a 64-bit version of Windows.";
  if (Options.Refuse64BitWindows) {
    return "This setup package cannot be installed on a 64-bit version of Windows.";
  }
  return "This setup package does not support this version of Windows.";
}

std::string DefaultWindowsMessage() {
  return "This setup package cannot be installed on %USER%.";
}

std::vector<uint8_t> BuildPackage(const TBuildOptions& Options, const TPackageInputs& Inputs,
                                  const TProgress& Progress) {
  CheckLauncherImage(Inputs.Launcher);
  std::vector<uint8_t> File = Inputs.Launcher;
  const uint32_t HeaderOffset = CheckedOffset(File.size(), "the header");

  uint64_t Largest = std::max(Inputs.Engine32.size(), Inputs.Engine64.size());
  lzma_options_lzma Lzma = ResolveLzmaOptions(Options.Lzma, Largest);

  TPackageHeader Header;
  memset(&Header, 0, sizeof(Header));
  Header.LzmaProps = LzmaPropsByte(Lzma);
  Header.DictSize = Lzma.dict_size;
  Header.WindowsSet = Options.Windows;
  Header.Win10MinRelease = Options.Win10Releases.Min;
  Header.Win10MaxRelease = Options.Win10Releases.Max;
  Header.Win11MinRelease = Options.Win11Releases.Min;
  Header.Win11MaxRelease = Options.Win11Releases.Max;
  Header.ElevationMode = Options.Elevation;
  Header.ExpiryYear = Options.Expiry.Year;
  Header.ExpiryMonth = Options.Expiry.Month;
  Header.ExpiryDay = Options.Expiry.Day;
  File.resize(File.size() + sizeof(Header));  // filled in once the references are known

  if (Inputs.HasEngine32) {
    Header.Payload32 = AppendPayload(File, Inputs.Engine32, Lzma, Options.Lzma.EndMarker,
                                     "the 32-bit payload", Progress);
  }
  if (Inputs.HasEngine64) {
    Header.Payload64 = AppendPayload(File, Inputs.Engine64, Lzma, Options.Lzma.EndMarker,
                                     "the 64-bit payload", Progress);
  } else if (Options.Refuse64BitWindows) {
    Header.Payload64.Offset = PayloadRefuses64Bit;
  }
  Header.ExpiryMessage = AppendMessage(File, Options.ExpiryMessage.value_or(DefaultExpiryMessage()),
                                       "the expiry message");
  Header.BitnessMessage = AppendMessage(
      File, Options.BitnessMessage.value_or(DefaultBitnessMessage(Options)), "the bitness message");
  Header.WindowsMessage = AppendMessage(
      File, Options.WindowsMessage.value_or(DefaultWindowsMessage()), "the Windows message");

  const uint64_t EngineDataOffset = File.size();
  Append(File, Inputs.EngineData.data(), Inputs.EngineData.size());
  uint64_t CheckedEnd =
      EngineDataOffset + std::min<uint64_t>(Inputs.EngineData.size(), CheckedEngineDataLength);
  uint64_t CheckedLength = CheckedEnd - HeaderOffset;
  if (CheckedLength >= Below2Pow31) {
    Refuse("the package is too large: the checked region would be " +
           std::to_string(CheckedLength) + " bytes, beyond 2^31 - 1");
  }

  const TRawOverrides& Raw = Options.Raw;
  if (Raw.Props) Header.LzmaProps = *Raw.Props;
  if (Raw.DictSize) Header.DictSize = *Raw.DictSize;
  if (Raw.UnpackedSize32) Header.Payload32.UnpackedSize = *Raw.UnpackedSize32;
  if (Raw.UnpackedSize64) Header.Payload64.UnpackedSize = *Raw.UnpackedSize64;
  if (Raw.PackedSize32) Header.Payload32.PackedSize = *Raw.PackedSize32;
  if (Raw.PackedSize64) Header.Payload64.PackedSize = *Raw.PackedSize64;
  if (Raw.Offset64) Header.Payload64.Offset = *Raw.Offset64;
  if (Raw.WindowsSet) memcpy(Header.WindowsSet.Bits, &*Raw.WindowsSet, 8);
  if (Raw.Expiry) {
    Header.ExpiryYear = Raw.Expiry->Year;
    Header.ExpiryMonth = Raw.Expiry->Month;
    Header.ExpiryDay = Raw.Expiry->Day;
  }
  if (Raw.Win10Releases) {
    Header.Win10MinRelease = Raw.Win10Releases->Min;
    Header.Win10MaxRelease = Raw.Win10Releases->Max;
  }
  if (Raw.Win11Releases) {
    Header.Win11MinRelease = Raw.Win11Releases->Min;
    Header.Win11MaxRelease = Raw.Win11Releases->Max;
  }
  memcpy(&File[HeaderOffset], &Header, sizeof(Header));

  TPackageLocator Locator;
  Locator.HeaderOffset = HeaderOffset;
  Locator.CheckedLength = uint32_t(CheckedLength);
  Locator.CheckedCrc = CalcCrc32(&File[HeaderOffset], int32_t(CheckedLength));
  Locator.MinFileSize = int64_t(File.size());
  Locator.DetachSize = 0;
  if (Options.Detach) {
    // DetachSize is compared with the low 32 bits of the file size only.
    if (File.size() > UINT32_MAX) {
      Refuse("--detach: the package is " + std::to_string(File.size()) +
             " bytes, more than DetachSize can hold (2^32 - 1)");
    }
    Locator.DetachSize = uint32_t(File.size());
  }
  memcpy(&File[LocatorFileOffset], &Locator, sizeof(Locator));

  // Every byte counts in the PE checksum, the locator and the package included.
  pechecksum::UpdateChecksum(File);
  return File;
}
