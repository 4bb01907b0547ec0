// Writes the seed corpus of the launcher fuzzer: packages made by the package tool's own
// writer (through the unit tests' package builder, over its small PE image), each behind the
// choice bytes of a machine it means something on. Engines are a few KB, so runs are quick.
//
// Usage: fuzz_seeds FOLDER
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzMachine.h"
#include "tests/unit/TestPackages.h"
#include "tools/ravelpack/ToolError.h"

namespace {

struct TSeed {
  const char* Name;
  std::vector<std::string> Options;  // `ravelpack build` options
  size_t Engine32;                   // 0: no 32-bit engine
  size_t Engine64;                   // 0: no 64-bit engine
  const char* Windows;               // a row of the Windows table
  const char* Args;                  // a row of the argument table
  uint8_t Flags;
  uint8_t Place = 0;  // location row and fault bits
  bool Flat = false;  // the 32-bit engine is "MZ" and zeros: megabytes in a few hundred bytes
};

const size_t E32 = 3000, E64 = 2500;

const TSeed kSeeds[] = {
    {"sound-32", {}, E32, 0, "10 22H2", "", 0},
    {"sound-32-xp-other-folder", {}, E32, 0, "XP SP3", "/temp D:\\t", cfOtherFolder},
    {"both-on-64bit", {}, E32, E64, "11 23H2", "", cfWow64},
    {"both-forced-32", {}, E32, E64, "11 23H2", "/S /32", cfWow64},
    {"only-64-admin", {}, 0, E64, "7 SP1", "", cfWow64 | cfAdmin},
    {"refuses-64bit", {"--refuse-64bit-windows"}, E32, 0, "10 1809", "", cfWow64},
    {"expires-later", {"--expires", "2030-01-01"}, E32, 0, "8.1", "", 0},
    {"expired", {"--expires", "2026-12-11"}, E32, 0, "10 22H2", "", 0},
    {"detached-silent", {"--detach"}, E32, 0, "Vista SP2", "/silent", 0},
    {"end-marker", {"--end-marker"}, E32, E64, "10 2004", "", cfWow64},
    {"windows-xp-7-on-8.1", {"--windows", "xp,7"}, E32, 0, "8.1", "", 0},
    {"release-bounds",
     {"--windows", "10,11", "--win10-releases", "1809-2004", "--win11-releases", "2200-2300"},
     E32,
     0,
     "10 21H2",
     "",
     0},
    {"windows-2000-sp3", {"--windows", "2000"}, E32, 0, "2000 SP3", "", 0},
    {"windows-later", {"--windows", "later"}, E32, 0, "12.0", "", 0},
    {"windows-9x", {"--windows", "95,98,me,nt4"}, E32, 0, "98 SE", "/temp", 0},
    {"require-admin", {"--elevation", "require-admin"}, E32, 0, "10 22H2", "/silent", 0},
    {"no-admin", {"--elevation", "no-admin"}, E32, 0, "11 22H2", "/s", 0},
    {"lzma-lc0-lp2-pb0",
     {"--lc", "0", "--lp", "2", "--pb", "0", "--dict-size", "4096"},
     E32,
     0,
     "10 1607",
     "",
     0},
    {"preset-0", {"--preset", "0"}, E32, E64, "10 1507", "", 0},
    {"empty-engine", {}, 0, 0, "XP SP1", "", 0},
    {"user-placeholders",
     {"--windows", "8", "--windows-message", "Not on %USER% (%user%)."},
     E32,
     0,
     "10 22H2",
     "",
     0},
    {"props-225", {"--raw-props", "225"}, E32, 0, "10 22H2", "", 0},
    {"unpacked-one-more", {"--raw-unpacked-size32", "3001"}, E32, 0, "10 22H2", "", 0},
    {"packed-extra", {"--raw-packed-size32", "+16"}, E32, 0, "10 22H2", "", 0},
    {"dict-size-0", {"--raw-dict-size", "0"}, E32, 0, "10 22H2", "", 0},
    {"mapped-drive", {}, E32, 0, "10 22H2", "/s", cfAdmin, 1},
    {"blanks-own-folder", {}, E32, 0, "10 22H2", "/temp", 0, 2},
    {"name-taken", {}, E32, 0, "7 SP1", "", cfNameTaken},
    {"start-fails", {}, E32, 0, "10 22H2", "/silent", cfStartFails},
    {"disk-full", {}, E32, 0, "10 22H2", "", cfDiskFull, 3},
    {"double-byte-folder", {}, E32, 0, "10 22H2", "/temp", 0, 4},
    {"no-universal-name", {}, E32, 0, "10 22H2", "", 0, 1 | ffWNetFails},
    {"no-mpr", {}, E32, 0, "XP SP3", "/s", 0, 1 | ffMprFails},
    {"no-temp-path", {}, E32, 0, "10 22H2", "", 0, ffTempPathFails},
    {"security-and-wow64-fail",
     {},
     E32,
     E64,
     "10 22H2",
     "/silent",
     cfWow64,
     ffSidFails | ffWow64Fails},
    {"odd-registry-values",
     {"--windows", "10,11", "--win10-releases", "1507-1703"},
     E32,
     0,
     "10 22H2 oversized",
     "",
     0},
    {"large-engine", {}, 3 << 20, 0, "10 22H2", "", 0, 0, true},
    {"large-engine-detached", {"--detach"}, 3 << 20, 0, "8", "/temp", 0, 0, true},
};

}  // namespace

int main(int Argc, char** Argv) {
  if (Argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds FOLDER\n");
    return 2;
  }
  int Written = 0;
  for (const TSeed& Seed : kSeeds) {
    int Windows = WindowsRow(Seed.Windows), Args = ArgsRow(Seed.Args);
    if (Windows < 0 || Args < 0) {
      std::fprintf(stderr, "seed %s: no such Windows or argument row\n", Seed.Name);
      return 1;
    }
    testsupport::TPackageSpec Spec;
    Spec.Options = Seed.Options;
    Spec.With32 = Seed.Engine32 != 0 || Seed.Engine64 == 0;
    Spec.Engine32 = testsupport::MakeEngine(Seed.Flat ? 2 : Seed.Engine32, 32);
    if (Seed.Flat) Spec.Engine32.resize(Seed.Engine32, 0);
    Spec.Engine64 = Seed.Engine64 ? testsupport::MakeEngine(Seed.Engine64, 64) : sim::Bytes();
    Spec.EngineData = testsupport::MakeEngine(200, 77);
    sim::Bytes Input;
    WriteChoice(TFuzzChoice{uint8_t(Windows), uint8_t(Args), Seed.Flags, Seed.Place}, Input);
    try {
      sim::Bytes Package = testsupport::BuildTestPackage(Spec);
      Input.insert(Input.end(), Package.begin(), Package.end());
    } catch (const TToolError& E) {
      std::fprintf(stderr, "seed %s: the package tool refuses: %s\n", Seed.Name, E.what());
      return 1;
    }
    std::ofstream Out(std::string(Argv[1]) + "/" + Seed.Name, std::ios::binary);
    Out.write(reinterpret_cast<const char*>(Input.data()), std::streamsize(Input.size()));
    if (!Out) {
      std::fprintf(stderr, "cannot write %s/%s\n", Argv[1], Seed.Name);
      return 1;
    }
    ++Written;
  }
  std::printf("%d seeds in %s\n", Written, Argv[1]);
  return 0;
}
