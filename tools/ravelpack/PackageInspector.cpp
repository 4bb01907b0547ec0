#include "tools/ravelpack/PackageInspector.h"

#include <stdio.h>
#include <string.h>

#include "package/CRC32.h"
#include "tools/pefix/PeChecksum.h"
#include "tools/ravelpack/PayloadCheck.h"
#include "tools/ravelpack/Utf16.h"
#include "tools/ravelpack/WindowsNames.h"

namespace {

const uint64_t Below2Pow31 = uint64_t(1) << 31;
const char* const MessageNames[3] = {"ExpiryMessage", "BitnessMessage", "WindowsMessage"};
const char* const PayloadNames[2] = {"Payload32", "Payload64"};

bool FileHolds(const TInspection& I, uint64_t Offset, uint64_t Count) {
  return Offset <= I.FileSize && Count <= I.FileSize - Offset;
}

// The checks of the launcher's first phase, in its order; false at the first that fails.
bool CheckIntegrity(const std::vector<uint8_t>& File, TInspection& I) {
  if (!FileHolds(I, LocatorFileOffset, sizeof(TPackageLocator))) {
    I.Failures.push_back("damaged: the file is too short to hold the locator at offset 128");
    return false;
  }
  memcpy(&I.Locator, &File[LocatorFileOffset], sizeof(I.Locator));
  I.HasLocator = true;
  const TPackageLocator& L = I.Locator;
  if (L.HeaderOffset == 0) {
    I.Failures.push_back("damaged: HeaderOffset is 0, the file carries no package");
    return false;
  }
  // The size test comes before any package byte is read, so a cut download is reported
  // as truncated rather than damaged.
  if (L.DetachSize != 0 ? L.DetachSize > uint32_t(I.FileSize)
                        : L.MinFileSize > int64_t(I.FileSize)) {
    I.Failures.push_back("truncated: the file has " + std::to_string(I.FileSize) + " bytes, " +
                         (L.DetachSize != 0
                              ? "DetachSize asks for " + std::to_string(L.DetachSize) +
                                    " (compared with the low 32 bits of the size)"
                              : "MinFileSize asks for " + std::to_string(L.MinFileSize)));
    return false;
  }
  if (L.HeaderOffset >= Below2Pow31 || L.CheckedLength >= Below2Pow31) {
    I.Failures.push_back("damaged: HeaderOffset or CheckedLength is 2^31 or more");
    return false;
  }
  if (!FileHolds(I, L.HeaderOffset, L.CheckedLength)) {
    I.Failures.push_back("damaged: the file ends inside the checked region (HeaderOffset " +
                         std::to_string(L.HeaderOffset) + " + CheckedLength " +
                         std::to_string(L.CheckedLength) + ")");
    return false;
  }
  I.ActualCrc =
      L.CheckedLength == 0 ? 0 : CalcCrc32(&File[L.HeaderOffset], int32_t(L.CheckedLength));
  if (I.ActualCrc != L.CheckedCrc) {
    char Text[128];
    snprintf(Text, sizeof(Text),
             "damaged: the checked region's CRC is 0x%08X, CheckedCrc is 0x%08X", I.ActualCrc,
             L.CheckedCrc);
    I.Failures.push_back(Text);
    return false;
  }
  if (!FileHolds(I, L.HeaderOffset, sizeof(TPackageHeader))) {
    I.Failures.push_back("damaged: the file ends inside the header");
    return false;
  }
  return true;
}

void ReadHeader(const std::vector<uint8_t>& File, TInspection& I) {
  if (!I.HasLocator || I.Locator.HeaderOffset == 0 ||
      !FileHolds(I, I.Locator.HeaderOffset, sizeof(TPackageHeader))) {
    return;
  }
  memcpy(&I.Header, &File[I.Locator.HeaderOffset], sizeof(I.Header));
  I.HasHeader = true;
  const TMessageRef* Refs[3] = {&I.Header.ExpiryMessage, &I.Header.BitnessMessage,
                                &I.Header.WindowsMessage};
  for (int K = 0; K < 3; ++K) {
    if (!FileHolds(I, Refs[K]->Offset, uint64_t(Refs[K]->Length) * 2)) continue;
    std::vector<uint16_t> Units(Refs[K]->Length);
    memcpy(Units.data(), &File[Refs[K]->Offset], Units.size() * 2);
    I.Messages[K].Readable = true;
    I.Messages[K].Utf8 = Utf16ToUtf8(Units);
  }
}

void CheckPayloads(const std::vector<uint8_t>& File, TInspection& I) {
  const TPayloadRef* Refs[2] = {&I.Header.Payload32, &I.Header.Payload64};
  I.Payloads[0].Present = Refs[0]->Offset != 0;
  I.Payloads[1].Present = Refs[1]->Offset != 0 && Refs[1]->Offset != PayloadRefuses64Bit;
  if (!I.Payloads[0].Present && !I.Payloads[1].Present) {
    I.Failures.push_back("no engine: neither Payload32 nor Payload64 has an Offset");
  }
  for (int K = 0; K < 2; ++K) {
    if (!I.Payloads[K].Present) continue;
    const TPayloadRef& Ref = *Refs[K];
    std::string& Problem = I.Payloads[K].Problem;
    if (Ref.Offset >= Below2Pow31 || Ref.PackedSize >= Below2Pow31) {
      Problem = "Offset or PackedSize is 2^31 or more";
    } else if (!FileHolds(I, Ref.Offset, Ref.PackedSize)) {
      Problem = "the file ends inside the payload";
    } else {
      std::vector<uint8_t> Packed(File.begin() + Ref.Offset,
                                  File.begin() + Ref.Offset + Ref.PackedSize);
      Problem = CheckPayloadDecodes(I.Header.LzmaProps, I.Header.DictSize, Packed, Ref.UnpackedSize,
                                    nullptr);
    }
    if (!Problem.empty())
      I.Failures.push_back(std::string("damaged: ") + PayloadNames[K] + ": " + Problem);
  }
}

std::string Hex32(uint32_t Value) {
  char Text[16];
  snprintf(Text, sizeof(Text), "0x%08X", Value);
  return Text;
}

uint64_t WindowsBits(const TWindowsSet& Set) {
  uint64_t Bits;
  memcpy(&Bits, Set.Bits, 8);
  return Bits;
}

std::string WindowsList(const TWindowsSet& Set) {
  std::string List;
  for (size_t K = 0; K < WindowsNameCount; ++K) {
    if (!WindowsSetHas(Set, WindowsNames[K].Element)) continue;
    if (!List.empty()) List += ", ";
    List += WindowsNames[K].Name;
  }
  uint64_t Unnamed = WindowsBits(Set) & ~WindowsBits(AllWindows());
  if (Unnamed != 0) {
    char Text[40];
    snprintf(Text, sizeof(Text), "%sunnamed bits 0x%016llX", List.empty() ? "" : ", ",
             (unsigned long long)Unnamed);
    List += Text;
  }
  return List;
}

const char* ElevationName(uint8_t Mode) {
  switch (Mode) {
    case emNone:
      return "none";
    case emRequireAdmin:
      return "require-admin";
    case emNoAdmin:
      return "no-admin";
    default:
      return "unknown (acts as none)";
  }
}

std::string JsonString(const std::string& Text) {
  std::string Out = "\"";
  for (unsigned char C : Text) {
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += char(C);
    } else if (C < 0x20) {
      char Escape[8];
      snprintf(Escape, sizeof(Escape), "\\u%04x", C);
      Out += Escape;
    } else {
      Out += char(C);
    }
  }
  return Out + "\"";
}

std::string PayloadText(const TPayloadRef& Ref) {
  std::string Sizes = "Offset " + std::to_string(Ref.Offset) + ", PackedSize " +
                      std::to_string(Ref.PackedSize) + ", UnpackedSize " +
                      std::to_string(Ref.UnpackedSize);
  if (Ref.Offset == 0) return "none (" + Sizes + ")";
  if (Ref.Offset == PayloadRefuses64Bit) return "none, refuses 64-bit Windows (" + Sizes + ")";
  return Sizes;
}

}  // namespace

TInspection InspectPackage(const std::vector<uint8_t>& File) {
  TInspection I;
  I.FileSize = File.size();
  I.PeChecksumRight = pechecksum::ChecksumIsRight(File.data(), File.size());
  bool Intact = CheckIntegrity(File, I);
  ReadHeader(File, I);
  if (Intact) CheckPayloads(File, I);
  for (int K = 0; K < 3 && Intact; ++K) {
    if (!I.Messages[K].Readable) {
      I.Failures.push_back(std::string("damaged: ") + MessageNames[K] +
                           " lies beyond the end of the file");
    }
  }
  return I;
}

std::string FormatInspection(const TInspection& I) {
  std::string Out;
  auto Line = [&](const std::string& Name, const std::string& Value) {
    Out += "  " + Name + std::string(Name.size() < 16 ? 16 - Name.size() : 1, ' ') + Value + "\n";
  };
  Out += "file size         " + std::to_string(I.FileSize) + " bytes\n";
  Out += std::string("PE checksum       ") + (I.PeChecksumRight ? "right" : "wrong") + "\n";
  if (I.HasLocator) {
    const TPackageLocator& L = I.Locator;
    Out += "locator at offset 128\n";
    Line("HeaderOffset", std::to_string(L.HeaderOffset));
    Line("CheckedLength", std::to_string(L.CheckedLength));
    Line("CheckedCrc",
         Hex32(L.CheckedCrc) +
             (I.ActualCrc == L.CheckedCrc ? "" : " (region: " + Hex32(I.ActualCrc) + ")"));
    Line("MinFileSize", std::to_string(L.MinFileSize));
    Line("DetachSize", std::to_string(L.DetachSize) + (L.DetachSize ? " (detached: no wait)" : ""));
  }
  if (I.HasHeader) {
    const TPackageHeader& H = I.Header;
    Out += "header at offset " + std::to_string(I.Locator.HeaderOffset) + "\n";
    Line("LzmaProps", std::to_string(H.LzmaProps) + " (lc " + std::to_string(H.LzmaProps % 9) +
                          ", lp " + std::to_string(H.LzmaProps / 9 % 5) + ", pb " +
                          std::to_string(H.LzmaProps / 45) + ")");
    Line("DictSize", std::to_string(H.DictSize));
    char Bits[24];
    snprintf(Bits, sizeof(Bits), "0x%016llX", (unsigned long long)WindowsBits(H.WindowsSet));
    Line("WindowsSet", std::string(Bits) + ": " + WindowsList(H.WindowsSet));
    auto Release = [](uint16_t Max) {
      return std::to_string(Max) + (Max >= ReleaseOpenEnded ? " (no upper bound)" : "");
    };
    Line("Win10MinRelease", std::to_string(H.Win10MinRelease));
    Line("Win10MaxRelease", Release(H.Win10MaxRelease));
    Line("Win11MinRelease", std::to_string(H.Win11MinRelease));
    Line("Win11MaxRelease", Release(H.Win11MaxRelease));
    Line("ElevationMode",
         std::to_string(H.ElevationMode) + " (" + ElevationName(H.ElevationMode) + ")");
    Line("Payload32", PayloadText(H.Payload32));
    Line("Payload64", PayloadText(H.Payload64));
    char Reserved[24];
    snprintf(Reserved, sizeof(Reserved), "%02X %02X %02X %02X", H.Reserved[0], H.Reserved[1],
             H.Reserved[2], H.Reserved[3]);
    Line("Reserved", Reserved);
    Line("ExpiryYear",
         std::to_string(H.ExpiryYear) + (H.ExpiryYear == 0 ? " (never expires)" : ""));
    Line("ExpiryMonth", std::to_string(H.ExpiryMonth));
    Line("ExpiryDay", std::to_string(H.ExpiryDay));
    const TMessageRef* Refs[3] = {&H.ExpiryMessage, &H.BitnessMessage, &H.WindowsMessage};
    for (int K = 0; K < 3; ++K) {
      Line(MessageNames[K], "Offset " + std::to_string(Refs[K]->Offset) + ", Length " +
                                std::to_string(Refs[K]->Length) + ": " +
                                (I.Messages[K].Readable ? "\"" + I.Messages[K].Utf8 + "\""
                                                        : "(beyond the end of the file)"));
    }
  }
  for (int K = 0; K < 2; ++K) {
    if (I.Payloads[K].Present && I.Payloads[K].Problem.empty()) {
      Out += std::string(PayloadNames[K]) + " decodes to exactly its UnpackedSize\n";
    }
  }
  if (I.Failures.empty()) {
    Out += "verdict: passes (size test, CRC and payloads)\n";
  } else {
    for (const std::string& Failure : I.Failures) Out += "verdict: fails: " + Failure + "\n";
  }
  return Out;
}

std::string FormatInspectionJson(const TInspection& I) {
  std::string Out = "{\n";
  auto Field = [&](const std::string& Name, const std::string& Value) {
    Out += "  " + JsonString(Name) + ": " + Value + ",\n";
  };
  auto Number = [](uint64_t Value) { return std::to_string(Value); };
  Field("FileSize", Number(I.FileSize));
  Field("PeChecksumRight", I.PeChecksumRight ? "true" : "false");
  if (I.HasLocator) {
    const TPackageLocator& L = I.Locator;
    Field("HeaderOffset", Number(L.HeaderOffset));
    Field("CheckedLength", Number(L.CheckedLength));
    Field("CheckedCrc", Number(L.CheckedCrc));
    Field("MinFileSize", std::to_string(L.MinFileSize));
    Field("DetachSize", Number(L.DetachSize));
  }
  if (I.HasHeader) {
    const TPackageHeader& H = I.Header;
    Field("LzmaProps", Number(H.LzmaProps));
    Field("DictSize", Number(H.DictSize));
    Field("WindowsSet", Number(WindowsBits(H.WindowsSet)));
    std::string Names = "[";
    for (size_t K = 0; K < WindowsNameCount; ++K) {
      if (!WindowsSetHas(H.WindowsSet, WindowsNames[K].Element)) continue;
      Names += (Names.size() > 1 ? ", " : "") + JsonString(WindowsNames[K].Name);
    }
    Field("Windows", Names + "]");
    Field("Win10MinRelease", Number(H.Win10MinRelease));
    Field("Win10MaxRelease", Number(H.Win10MaxRelease));
    Field("Win11MinRelease", Number(H.Win11MinRelease));
    Field("Win11MaxRelease", Number(H.Win11MaxRelease));
    Field("ElevationMode", Number(H.ElevationMode));
    const TPayloadRef* Payloads[2] = {&H.Payload32, &H.Payload64};
    for (int K = 0; K < 2; ++K) {
      Field(PayloadNames[K], "{\"Offset\": " + Number(Payloads[K]->Offset) +
                                 ", \"PackedSize\": " + Number(Payloads[K]->PackedSize) +
                                 ", \"UnpackedSize\": " + Number(Payloads[K]->UnpackedSize) +
                                 ", \"Present\": " + (I.Payloads[K].Present ? "true" : "false") +
                                 ", \"Problem\": " + JsonString(I.Payloads[K].Problem) + "}");
    }
    Field("Reserved", Number(H.Reserved[0] | H.Reserved[1] << 8 | H.Reserved[2] << 16 |
                             uint32_t(H.Reserved[3]) << 24));
    Field("ExpiryYear", Number(H.ExpiryYear));
    Field("ExpiryMonth", Number(H.ExpiryMonth));
    Field("ExpiryDay", Number(H.ExpiryDay));
    const TMessageRef* Refs[3] = {&H.ExpiryMessage, &H.BitnessMessage, &H.WindowsMessage};
    for (int K = 0; K < 3; ++K) {
      Field(MessageNames[K],
            "{\"Offset\": " + Number(Refs[K]->Offset) + ", \"Length\": " + Number(Refs[K]->Length) +
                ", \"Text\": " +
                (I.Messages[K].Readable ? JsonString(I.Messages[K].Utf8) : "null") + "}");
    }
  }
  std::string Failures = "[";
  for (const std::string& Failure : I.Failures) {
    Failures += (Failures.size() > 1 ? ", " : "") + JsonString(Failure);
  }
  Field("Failures", Failures + "]");
  Out += "  \"Passes\": " + std::string(I.Failures.empty() ? "true" : "false") + "\n}\n";
  return Out;
}
