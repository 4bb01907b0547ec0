// The fuzz target: one whole run of the launcher in the simulated Windows per input, then the
// rules that hold whatever the package holds. A broken rule aborts with a line that says which;
// libFuzzer keeps the input as the reproducer.
//
// Input: the choice bytes of FuzzMachine.h, then the package file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "support/Memory.h"
#include "tests/fuzz/FuzzMachine.h"
#include "tests/fuzz/PackageOracle.h"

namespace {

std::string Upper(std::string Text) {
  for (char& C : Text)
    if (C >= 'a' && C <= 'z') C = char(C - 'a' + 'A');
  return Text;
}

// The folder part of a path, with its trailing backslash, upper-cased for comparison.
std::string FolderKey(const std::string& Path) {
  return Upper(Path.substr(0, Path.rfind('\\') + 1));
}

// Every file and folder of the simulated machine, by upper-cased path.
struct TEntry {
  std::string Path;
  bool Folder;
  sim::Bytes Data;
};
using TSnapshot = std::map<std::string, TEntry>;

void Walk(const sim::Machine& M, const std::string& Folder, TSnapshot& Out) {
  for (const std::string& Path : M.FilesIn(Folder)) {
    const sim::Node* N = M.Find(Path);
    if (!N) continue;
    Out[Upper(Path)] = TEntry{Path, N->Folder, N->Data};
    if (N->Folder) Walk(M, Path, Out);
  }
}

TSnapshot Snapshot() {
  TSnapshot Out;
  // A file is only ever created in an existing folder, so drives without a root hold none.
  for (char Drive = 'A'; Drive <= 'Z'; ++Drive) {
    std::string Root = std::string(1, Drive) + ":\\";
    if (sim::Sim().IsFolder(Root)) Walk(sim::Sim(), Root, Out);
  }
  return Out;
}

// The repairs the choice asks for, so that mutations get past the size test and the
// checksum and reach the header, the gates and the decoder.
void Repair(uint8_t Flags, sim::Bytes& Package) {
  if (Package.size() < LocatorFileOffset + sizeof(TPackageLocator)) return;
  TPackageLocator L;
  std::memcpy(&L, &Package[LocatorFileOffset], sizeof L);
  if (Flags & cfRepairSize) {
    if (L.DetachSize != 0)
      L.DetachSize = uint32_t(Package.size());
    else
      L.MinFileSize = int64_t(Package.size());
  }
  std::memcpy(&Package[LocatorFileOffset], &L, sizeof L);
  uint32_t Crc;
  if ((Flags & cfRepairCrc) && RegionCrc(Package, Crc)) {
    L.CheckedCrc = Crc;
    std::memcpy(&Package[LocatorFileOffset], &L, sizeof L);
  }
}

const char* KindName(sim::HandleKind Kind) {
  switch (Kind) {
    case sim::HandleKind::File:
      return "file";
    case sim::HandleKind::Find:
      return "find";
    case sim::HandleKind::Process:
      return "process";
    case sim::HandleKind::Thread:
      return "thread";
    case sim::HandleKind::Key:
      return "registry key";
  }
  return "?";
}

// What a run did, for a broken rule and for LAUNCHER_FUZZ_TRACE=1 (one block per input).
void Describe(const TFuzzChoice& Choice, const TMachinePlan& Plan, uint32_t Exit) {
  const sim::Machine& M = sim::Sim();
  std::fprintf(stderr, "     Windows %s, flags 0x%02X, launcher %s, arguments [%s]\n",
               Plan.WindowsName.c_str(), Choice.Flags, Plan.ModulePath.c_str(),
               Plan.ArgsTail.c_str());
  std::fprintf(stderr, "     exit code 0x%08X, %zu box(es), %zu start(s), heap peak %zu bytes\n",
               Exit, M.Boxes.size(), M.Starts.size(), M.PeakHeapBytes);
  for (const sim::BoxRecord& Box : M.Boxes)
    std::fprintf(stderr, "     box: %s\n", Box.Text.c_str());
  for (const sim::StartRecord& S : M.Starts)
    std::fprintf(stderr, "     start: %s (%s)\n", S.File.c_str(), S.Succeeded ? "ran" : "failed");
  std::fflush(stderr);
}

[[noreturn]] void Violation(const TFuzzChoice& Choice, const TMachinePlan& Plan, uint32_t Exit,
                            const std::string& What) {
  std::fprintf(stderr, "\n==== launcher fuzz rule broken: %s\n", What.c_str());
  Describe(Choice, Plan, Exit);
  std::abort();
}

bool Tracing = false;

void CheckRun(const TFuzzChoice& Choice, const TMachinePlan& Plan, const sim::Bytes& Package,
              const TSnapshot& Before, uint32_t Exit) {
  const sim::Machine& M = sim::Sim();
  auto Fail = [&](const std::string& What) { Violation(Choice, Plan, Exit, What); };

  // Every run ends, in one of the two ways the launcher ends.
  bool OutOfMemory = Exit == OutOfMemoryExitCode;
  if (Exit != 0 && !OutOfMemory) Fail("exit code neither 0 nor the out-of-memory code");
  if (!M.Misuses.empty()) Fail("Windows API misuse: " + M.Misuses[0]);
  if (M.Boxes.size() > 1) Fail("more than one message box");
  if (M.Starts.size() > 1) Fail("more than one start");
  bool Started = !M.Starts.empty() && M.Starts[0].Succeeded;
  if (OutOfMemory && (!M.Boxes.empty() || Started))
    Fail("a box or a started engine with the out-of-memory exit");

  // A package that fails reading or integrity gets exactly its message, and no engine.
  TIntegrityVerdict Integrity = JudgeIntegrity(Package);
  if (!Integrity.Intact) {
    if (Exit != 0 || M.Boxes.size() != 1)
      Fail("package refused (" + Integrity.Why + ") without exactly one box");
    const char* Word = Integrity.Truncated ? "truncated" : "damaged";
    if (M.Boxes[0].Text.find(Word) == std::string::npos)
      Fail("package refused (" + Integrity.Why + "), but the box does not say " + Word);
  }

  // An engine starts only from a package that passes every check, and it is that package's
  // engine, decoded to exactly its size, in the chosen folder.
  if (!M.Starts.empty()) {
    const sim::StartRecord& S = M.Starts[0];
    TEngineVerdict Engine = JudgeEngine(Package, Integrity, Plan.Wow64, Plan.Force32, M.LocalTime);
    if (!Engine.Startable) Fail("engine started although " + Engine.Why);
    if (S.FileBytes != Engine.Engine) Fail("the started file is not the package's engine");
    if (FolderKey(S.File) != Upper(Plan.TempFolder))
      Fail("engine started from " + S.File + ", not from the folder " + Plan.TempFolder);
  }
  bool Detached = Integrity.Intact && Integrity.Locator.DetachSize != 0;
  if (Started) {
    if (Exit != 0 || !M.Boxes.empty()) Fail("a box or a nonzero exit after the engine started");
    if (!Detached && !M.Starts[0].Waited) Fail("the launcher did not wait for the engine");
    // The engine's own process and thread handles are all a successful run leaves open.
    for (const sim::HandleInfo& H : M.OpenHandlesAtExit)
      if (H.Kind != sim::HandleKind::Process && H.Kind != sim::HandleKind::Thread)
        Fail(std::string("handle left open after a successful run: ") + KindName(H.Kind) + " " +
             H.Path);
  }

  // Nothing written outside the chosen folder, nothing there but the one copy, and the copy
  // gone again unless the engine runs on from it.
  TSnapshot After = Snapshot();
  for (const auto& [Key, Entry] : Before) {
    auto It = After.find(Key);
    if (It == After.end()) Fail("removed " + Entry.Path);
    if (It->second.Folder != Entry.Folder || It->second.Data != Entry.Data)
      Fail("changed " + Entry.Path);
  }
  std::vector<std::string> Left;
  for (const auto& [Key, Entry] : After) {
    if (Before.count(Key)) continue;
    if (Entry.Folder || FolderKey(Key) != Upper(Plan.TempFolder))
      Fail("wrote " + Entry.Path + " outside the folder " + Plan.TempFolder);
    Left.push_back(Key);
  }
  if (Left.size() > 1) Fail("more than one file left in " + Plan.TempFolder);
  if (!Left.empty() && M.Starts.empty())
    Fail("temporary copy " + Left[0] + " left without a start");
  if (Started && !Detached && !Left.empty()) Fail("temporary copy " + Left[0] + " not deleted");
  if (Started && Detached && (Left.size() != 1 || Left[0] != Upper(M.Starts[0].File)))
    Fail("the detached engine's copy is gone");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Each input runs on the fresh machine the previous one left behind and leaves a fresh one
  // in turn, so that an input frees exactly as many blocks as it allocates and LeakSanitizer's
  // per-input check stays meaningful.
  sim::ResetSim();
  const char* Trace = std::getenv("LAUNCHER_FUZZ_TRACE");
  Tracing = Trace && *Trace == '1';
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < FuzzChoiceBytes) return -1;
  TFuzzChoice Choice = ReadChoice(Data);
  sim::Bytes Package(Data + FuzzChoiceBytes, Data + Size);
  Repair(Choice.Flags, Package);
  TMachinePlan Plan = SetUpMachine(Choice, Package);
  TSnapshot Before = Snapshot();
  uint32_t Exit = sim::kNoExit;
  try {
    Exit = sim::RunLauncherInSim();
  } catch (const std::exception& E) {
    Violation(Choice, Plan, Exit, std::string("exception out of the run: ") + E.what());
  }
  if (Tracing) Describe(Choice, Plan, Exit);
  CheckRun(Choice, Plan, Package, Before, Exit);
  sim::ResetSim();
  return 0;
}
