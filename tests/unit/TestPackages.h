// Real packages for the unit tests, written by the package tool's own writer over a small
// PE32 image shaped like the launcher (never run: the simulation runs the launcher code).
#pragma once

#include <string>
#include <vector>

#include "package/StubTypes.h"
#include "platform/sim/SimWindows.h"

namespace testsupport {

// A PE32 file with its PE header at 256, bytes 128 to 255 zero and one section.
sim::Bytes MakeLauncherImage();

// Deterministic engine bytes: a recognisable, compressible pattern of the given length.
sim::Bytes MakeEngine(size_t Length, uint8_t Seed = 1);

struct TPackageSpec {
  std::vector<std::string> Options;  // `ravelpack build` options, e.g. {"--windows", "xp"}
  sim::Bytes Engine32 = MakeEngine(5000, 32);
  sim::Bytes Engine64;  // empty: no 64-bit engine
  bool With32 = true;
  // More than the checked stretch of engine data, so that the checked region ends well
  // before the end of the package, as in a real one.
  sim::Bytes EngineData = MakeEngine(70000, 77);
};

// The whole package file.
sim::Bytes BuildTestPackage(const TPackageSpec& Spec = {});

// The records a package holds, read back from its bytes.
TPackageLocator LocatorOf(const sim::Bytes& Package);
TPackageHeader HeaderOf(const sim::Bytes& Package);

// Installs Package as the launcher's own file in the simulation.
void InstallPackage(const sim::Bytes& Package);

}  // namespace testsupport
