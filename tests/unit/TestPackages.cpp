#include "tests/unit/TestPackages.h"

#include <cstring>

#include "tools/ravelpack/CommandLine.h"
#include "tools/ravelpack/PackageWriter.h"

namespace testsupport {

namespace {
void Put16(sim::Bytes& B, size_t At, uint16_t V) { std::memcpy(&B[At], &V, 2); }
void Put32(sim::Bytes& B, size_t At, uint32_t V) { std::memcpy(&B[At], &V, 4); }
}  // namespace

sim::Bytes MakeLauncherImage() {
  const size_t Pe = PeHeaderFileOffset, Optional = Pe + 24, OptionalSize = 224;
  const size_t SectionTable = Optional + OptionalSize, Raw = 0x400, RawSize = 0x200;
  sim::Bytes Image(Raw + RawSize, 0);
  Image[0] = 'M', Image[1] = 'Z';
  Put32(Image, 60, uint32_t(Pe));
  std::memcpy(&Image[Pe], "PE\0\0", 4);
  Put16(Image, Pe + 4, 0x14C);  // i386
  Put16(Image, Pe + 6, 1);      // one section
  Put16(Image, Pe + 20, uint16_t(OptionalSize));
  Put16(Image, Pe + 22, 0x0102);
  Put16(Image, Optional, 0x10B);  // PE32
  Put32(Image, Optional + 32, 0x1000);
  Put32(Image, Optional + 36, 0x200);
  Put32(Image, Optional + 56, 0x2000);
  Put32(Image, Optional + 60, 0x400);
  Put16(Image, Optional + 68, 2);  // GUI
  Put32(Image, Optional + 92, 16);
  std::memcpy(&Image[SectionTable], ".text", 5);
  Put32(Image, SectionTable + 8, RawSize);
  Put32(Image, SectionTable + 12, 0x1000);
  Put32(Image, SectionTable + 16, RawSize);
  Put32(Image, SectionTable + 20, Raw);
  Put32(Image, SectionTable + 36, 0x60000020);
  for (size_t I = 0; I < RawSize; ++I) Image[Raw + I] = uint8_t(I * 7 + 3);
  return Image;
}

sim::Bytes MakeEngine(size_t Length, uint8_t Seed) {
  sim::Bytes Engine(Length);
  uint32_t X = Seed * 2654435761u + 1;
  for (size_t I = 0; I < Length; ++I) {
    X = X * 1103515245u + 12345u;
    // Runs of repeated text with some noise: matches and literals both occur.
    Engine[I] = (I / 64) % 3 == 0 ? uint8_t(X >> 24) : uint8_t("MZengine"[I % 8] + Seed);
  }
  if (Length >= 2) Engine[0] = 'M', Engine[1] = 'Z';
  return Engine;
}

sim::Bytes BuildTestPackage(const TPackageSpec& Spec) {
  // "--raw-packed-size32 +N": N bytes more than the true compressed size, which a first
  // build tells.
  for (size_t I = 0; I + 1 < Spec.Options.size(); ++I)
    if (Spec.Options[I] == "--raw-packed-size32" && Spec.Options[I + 1][0] == '+') {
      TPackageSpec Plain = Spec;
      Plain.Options.erase(Plain.Options.begin() + std::ptrdiff_t(I),
                          Plain.Options.begin() + std::ptrdiff_t(I) + 2);
      uint64_t Size = HeaderOf(BuildTestPackage(Plain)).Payload32.PackedSize +
                      std::stoull(Spec.Options[I + 1].substr(1));
      TPackageSpec Exact = Spec;
      Exact.Options[I + 1] = std::to_string(Size);
      return BuildTestPackage(Exact);
    }
  std::vector<std::string> Args = {"--launcher", "launcher.exe", "--out", "package.exe"};
  if (Spec.With32) Args.insert(Args.end(), {"--engine32", "engine32.exe"});
  if (!Spec.Engine64.empty()) Args.insert(Args.end(), {"--engine64", "engine64.exe"});
  Args.insert(Args.end(), Spec.Options.begin(), Spec.Options.end());
  TBuildOptions Options = ParseBuildOptions(Args);
  TPackageInputs Inputs;
  Inputs.Launcher = MakeLauncherImage();
  Inputs.HasEngine32 = Spec.With32;
  if (Spec.With32) Inputs.Engine32 = Spec.Engine32;
  Inputs.HasEngine64 = !Spec.Engine64.empty();
  Inputs.Engine64 = Spec.Engine64;
  Inputs.EngineData = Spec.EngineData;
  return BuildPackage(Options, Inputs, nullptr);
}

TPackageLocator LocatorOf(const sim::Bytes& Package) {
  TPackageLocator L;
  std::memcpy(&L, &Package[LocatorFileOffset], sizeof L);
  return L;
}

TPackageHeader HeaderOf(const sim::Bytes& Package) {
  TPackageHeader H;
  std::memcpy(&H, &Package[LocatorOf(Package).HeaderOffset], sizeof H);
  return H;
}

void InstallPackage(const sim::Bytes& Package) {
  sim::Sim().AddFile(sim::Sim().ModulePath, Package);
}

}  // namespace testsupport
