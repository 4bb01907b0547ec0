// Whole runs of the launcher over real packages in the simulated Windows.
#include "support/Memory.h"
#include "tests/unit/TestPackages.h"
#include "tests/unit/TestSupport.h"

using namespace testsupport;

namespace {

const char* const TempCopyPath = "C:\\Users\\Ann\\AppData\\Local\\Temp\\setup.exe";

class RunTest : public LauncherTest {
 protected:
  sim::Bytes Engine = MakeEngine(200000, 3);
  sim::Bytes Package;

  void SetUp() override {
    LauncherTest::SetUp();
    TPackageSpec Spec;
    Spec.Engine32 = Engine;
    Package = BuildTestPackage(Spec);
    Prepare();
  }
  void Prepare() {
    InstallPackage(Package);
    sim::Sim().AddFolder("C:\\Users\\Ann\\AppData\\Local\\Temp");
  }
};

TEST_F(RunTest, APackageInstallsFromEndToEnd) {
  sim::Machine& M = sim::Sim();
  M.Version.Major = 5, M.Version.Minor = 1;  // before Vista: a direct start
  SetArgs("/x \"a b\"");
  bool PackageFree = false, CopyFree = false;
  M.OnEngineRun = [&](sim::Machine& Machine) {
    // While the engine runs the launcher holds nothing on its own file, nor on the copy.
    PackageFree = !Machine.HandleOpenOn(Machine.ModulePath);
    CopyFree = true;
    for (const sim::HandleInfo& H : Machine.OpenHandles())
      if (H.Kind == sim::HandleKind::File && H.Path == TempCopyPath) CopyFree = false;
  };
  EXPECT_EQ(sim::RunLauncherInSim(), 0u);
  EXPECT_TRUE(M.Boxes.empty()) << OnlyBox().Text;
  ASSERT_EQ(M.Starts.size(), 1u);
  const sim::StartRecord& Start = M.Starts[0];
  EXPECT_EQ(Start.Via, sim::StartRecord::CreateProcess);
  EXPECT_TRUE(Start.FileBytes == Engine);
  EXPECT_EQ(Start.CommandLine.value_or(""),
            std::string("\"") + TempCopyPath + "\" \"" + LauncherPath() + "\" /x \"a b\"");
  EXPECT_EQ(Start.CurrentDirectory.value_or(""), "C:\\Users\\Ann\\Downloads\\");
  EXPECT_TRUE(Start.Waited);
  EXPECT_TRUE(PackageFree);
  EXPECT_TRUE(CopyFree);
  EXPECT_FALSE(M.Exists(TempCopyPath));
  // Only the engine's own process and thread handles may outlive the run.
  for (const sim::HandleInfo& H : M.OpenHandlesAtExit)
    EXPECT_TRUE(H.Kind == sim::HandleKind::Process || H.Kind == sim::HandleKind::Thread)
        << H.Path;
}

TEST_F(RunTest, PhasesRunInTheirOrder) {
  // An expired package with no engine for this Windows shows the expiry message only.
  TPackageSpec Spec;
  Spec.With32 = false;
  Spec.Engine64 = Engine;
  Spec.Options = {"--expires", "2020-01-01", "--windows", "xp"};
  Package = BuildTestPackage(Spec);
  Prepare();
  EXPECT_EQ(sim::RunLauncherInSim(), 0u);
  EXPECT_EQ(OnlyBox().Text.rfind("This", 0), 0u) << OnlyBox().Text;
  EXPECT_TRUE(sim::Sim().Starts.empty());
  EXPECT_EQ(sim::Sim().IsWow64Calls, 0);  // the engine choice never ran, nor what follows it
  EXPECT_TRUE(sim::Sim().RegQueries.empty());
}

// Every allocation of a run, failed in turn: the run ends with a nonzero code, shows none
// of the launcher's messages and starts nothing.
TEST_F(RunTest, EveryFailedAllocationEndsWithoutMessageOrEngine) {
  sim::RunLauncherInSim();
  uint64_t Allocations = sim::Sim().Calls["HeapAlloc"] + sim::Sim().Calls["HeapReAlloc"];
  ASSERT_GT(Allocations, 3u);
  for (const char* Operation : {"HeapAlloc", "HeapReAlloc", "VirtualAlloc"}) {
    for (uint64_t N = 1;; ++N) {
      sim::ResetSim();
      Prepare();
      sim::Sim().FailNth(Operation, N);
      uint32_t Code = sim::RunLauncherInSim();
      if (Code == 0 && sim::Sim().Starts.size() == 1) break;  // the fault was never met
      SCOPED_TRACE(std::string(Operation) + " #" + std::to_string(N));
      EXPECT_EQ(Code, OutOfMemoryExitCode);
      EXPECT_TRUE(sim::Sim().Boxes.empty());
      EXPECT_TRUE(sim::Sim().Starts.empty());
      if (N > 1000) {
        ADD_FAILURE() << "no end";
        break;
      }
    }
  }
}

// A failing read, write or creation at any point ends in one of the launcher's messages,
// never in an engine started from a partial copy.
TEST_F(RunTest, EveryFailedFileOperationEndsInAMessage) {
  for (const char* Operation : {"ReadFile", "WriteFile", "CreateFileA"}) {
    for (uint64_t N = 1; N < 100; ++N) {
      sim::ResetSim();
      Prepare();
      sim::Sim().FailNth(Operation, N);
      uint32_t Code = sim::RunLauncherInSim();
      EXPECT_EQ(Code, 0u);
      if (sim::Sim().Starts.size() == 1) {
        EXPECT_TRUE(sim::Sim().Starts[0].FileBytes == Engine);
        break;
      }
      SCOPED_TRACE(std::string(Operation) + " #" + std::to_string(N));
      EXPECT_EQ(sim::Sim().Boxes.size(), 1u);
      EXPECT_FALSE(sim::Sim().Exists(TempCopyPath));
    }
  }
}

}  // namespace

namespace {

// A DLL with a system name dropped beside a downloaded package must never be loaded: the
// search is limited to the system folder where Windows can do it, and the one library the
// launcher loads itself is named by its full system path.
struct LibraryCase {
  const char* Name;
  DWORD Major, Minor;
  bool UpdateInstalled;  // the restriction is also exported before Windows 8 with an update
  bool Restricted;
  bool Admin = true;  // not an administrator on Vista and later: the shell starts the engine
};

class LibraryLoadTest : public RunTest, public ::testing::WithParamInterface<LibraryCase> {};

TEST_P(LibraryLoadTest, OnlyFromTheSystemFolder) {
  sim::Machine& M = sim::Sim();
  M.Version.Major = GetParam().Major, M.Version.Minor = GetParam().Minor;
  M.DllDirectoriesUpdate = GetParam().UpdateInstalled;
  // A package on a mapped drive makes the launcher load mpr.dll for its universal name.
  M.ModulePath = "Z:\\setup.exe";
  M.MappedDrives['Z'] = "\\\\server\\share";
  M.IsAdmin = GetParam().Admin;
  SetArgs("");
  Prepare();
  M.AddFile("Z:\\mpr.dll", "planted");
  EXPECT_EQ(sim::RunLauncherInSim(), 0u);
  ASSERT_EQ(M.Starts.size(), 1u) << OnlyBox().Text;
  const sim::StartRecord& Start = M.Starts[0];
  std::string Args = (Start.Via == sim::StartRecord::ShellExecute ? Start.Parameters
                                                                    : Start.CommandLine)
                         .value_or("");
  EXPECT_NE(Args.find("\"\\\\server\\share\\setup.exe\""), std::string::npos) << Args;
  if (GetParam().Restricted)
    EXPECT_EQ(M.DllDirectoriesCalls, std::vector<DWORD>{LOAD_LIBRARY_SEARCH_SYSTEM32});
  else
    EXPECT_TRUE(M.DllDirectoriesCalls.empty());
  std::vector<std::string> Loaded = {"C:\\Windows\\system32\\mpr.dll"};
  // The shell is loaded only for a shell start, and by its full path too.
  if (!GetParam().Admin) Loaded.push_back("C:\\Windows\\system32\\shell32.dll");
  EXPECT_EQ(M.LoadedLibraries, Loaded);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, LibraryLoadTest,
    ::testing::Values(LibraryCase{"Windows10", 10, 0, false, true},
                      LibraryCase{"Windows10ShellStart", 10, 0, false, true, false},
                      LibraryCase{"Windows8", 6, 2, false, true},
                      LibraryCase{"Windows7WithUpdate", 6, 1, true, true},
                      LibraryCase{"Windows7WithoutUpdate", 6, 1, false, false},
                      // The shell's own components misbehave on Vista with the restriction.
                      LibraryCase{"VistaWithUpdateLeftOut", 6, 0, true, false},
                      LibraryCase{"WindowsXP", 5, 1, false, false}),
    [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
