// Starting the engine: its arguments, the direct or shell start with elevation, the wait and
// the deletion of the temporary copy.
#include <cstring>
#include <functional>
#include <string>

#include "tests/unit/TestSupport.h"

using namespace testsupport;

namespace {

const char kEngineArgs[] = "\"C:\\Users\\Ann\\Downloads\\setup.exe\" user-args";
const char kPackageFolder[] = "C:\\Users\\Ann\\Downloads\\";

std::string Str(const TAnsiString& S) {
  return std::string(StrCStr(S), size_t(S.Length));
}

class LaunchTest : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    Temp = sim::Sim().TempPath + "rk3F2A.tmp";
    sim::Sim().AddFile(Temp, "MZ the engine");
    CopyWhileEngineRan = false;
    sim::Sim().OnEngineRun = [this](sim::Machine& M) { CopyWhileEngineRan = M.Exists(Temp); };
  }

  // StartEngine with the run state the earlier phases would have left.
  uint32_t Start(DWORD Major) {
    return sim::RunInSim([&] {
      TRunState Run{};
      Run.Version.dwOSVersionInfoSize = sizeof Run.Version;
      Run.Version.dwMajorVersion = Major;
      Run.TempPath = StrFromC(Temp.c_str());
      Run.EngineArgs = StrFromC(kEngineArgs);
      StartEngine(Run);
    });
  }

  std::string Temp;
  bool CopyWhileEngineRan;
};

// ---- The choice of the start -----------------------------------------------------------------

struct StartCase {
  const char* Name;
  DWORD Major;
  bool Admin;
  const char* Args;
  uint8_t Mode;          // ElevationMode
  const char* Verb;      // null: direct start
  const char* Appended;  // what follows EngineArgs in the shell's parameters
  int AdminQueries;      // CheckTokenMembership calls
  sim::TokenMode Token = sim::TokenMode::Answer;
};

const char kNoAdmin[] = " /noadmin";
const uint8_t kNone = emNone, kRequire = emRequireAdmin, kNo = emNoAdmin;

const StartCase kStartCases[] = {
    // Before Vista (0: the version query failed): always direct, nobody asked.
    {"major 0", 0, false, "/silent", kRequire, nullptr, "", 0},
    {"XP, silent, require admin", 5, false, "/silent", kRequire, nullptr, "", 0},
    {"XP as admin", 5, true, "", kNone, nullptr, "", 0},
    // Already an administrator: direct.
    {"Vista as admin", 6, true, "", kNone, nullptr, "", 1},
    {"Vista as admin, silent, require admin", 6, true, "/s", kRequire, nullptr, "", 1},
    {"Windows 10 as admin", 10, true, "/silent", kNo, nullptr, "", 1},
    // Not an administrator, no silent switch: " /noadmin" whatever the mode.
    {"not silent, none", 6, false, "", kNone, "open", kNoAdmin, 1},
    {"not silent, require admin", 6, false, "x y", kRequire, "open", kNoAdmin, 1},
    {"not silent, no admin", 10, false, "", kNo, "open", kNoAdmin, 1},
    {"not silent, unknown mode", 6, false, "", 7, "open", kNoAdmin, 1},
    // Silent: the mode decides.
    {"/silent, none", 6, false, "/silent", kNone, "open", "", 1},
    {"/silent, require admin", 6, false, "/silent", kRequire, "runas", "", 1},
    {"/silent, no admin", 6, false, "/silent", kNo, "open", kNoAdmin, 1},
    {"/silent, mode 3", 6, false, "/silent", 3, "open", "", 1},
    {"/silent, mode 255", 6, false, "/silent", 255, "open", "", 1},
    {"/SILENT", 6, false, "/SILENT", kRequire, "runas", "", 1},
    {"/SiLeNt", 10, false, "/SiLeNt", kRequire, "runas", "", 1},
    {"/s", 6, false, "/s", kRequire, "runas", "", 1},
    {"/S", 6, false, "/S", kRequire, "runas", "", 1},
    {"/S, no admin", 6, false, "/S", kNo, "open", kNoAdmin, 1},
    {"/s among others", 6, false, "a /s b", kRequire, "runas", "", 1},
    {"/silent first of three", 6, false, "/silent a b", kRequire, "runas", "", 1},
    {"quoted /s", 6, false, "\"/s\"", kRequire, "runas", "", 1},
    // Look-alikes do not count.
    {"-s", 6, false, "-s", kRequire, "open", kNoAdmin, 1},
    {"-silent", 6, false, "-silent", kRequire, "open", kNoAdmin, 1},
    {"/silently", 6, false, "/silently", kRequire, "open", kNoAdmin, 1},
    {"/si", 6, false, "/si", kRequire, "open", kNoAdmin, 1},
    {"/s2", 6, false, "/s2", kRequire, "open", kNoAdmin, 1},
    {"s", 6, false, "s", kRequire, "open", kNoAdmin, 1},
    {"/s with a blank", 6, false, "\"/s \"", kRequire, "open", kNoAdmin, 1},
    // The administrator test failing counts as "not an administrator".
    {"no CheckTokenMembership", 6, true, "/s", kRequire, "runas", "", 0, sim::TokenMode::Missing},
    {"CheckTokenMembership fails", 6, true, "", kNone, "open", kNoAdmin, 1, sim::TokenMode::Fails},
};

TEST_F(LaunchTest, StartFollowsVersionAdminSilentAndMode) {
  for (const StartCase& C : kStartCases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    SetArgs(C.Args);
    sim::Sim().IsAdmin = C.Admin;
    sim::Sim().TokenMembership = C.Token;
    Header.ElevationMode = C.Mode;
    EXPECT_EQ(Start(C.Major), sim::kNoExit);
    EXPECT_TRUE(sim::Sim().Boxes.empty());
    EXPECT_EQ(sim::Sim().CheckTokenCalls, C.AdminQueries);
    ASSERT_EQ(sim::Sim().Starts.size(), 1u);
    const sim::StartRecord& S = sim::Sim().Starts[0];
    EXPECT_TRUE(S.Succeeded);
    if (!C.Verb) {
      EXPECT_EQ(S.Via, sim::StartRecord::CreateProcess);
      EXPECT_FALSE(S.ApplicationName.has_value());
      EXPECT_EQ(S.CommandLine.value_or("<null>"), "\"" + Temp + "\" " + kEngineArgs);
      EXPECT_EQ(S.CurrentDirectory.value_or("<null>"), kPackageFolder);
      EXPECT_FALSE(S.InheritHandles);
      EXPECT_EQ(S.CreationFlags, 0u);
      EXPECT_FALSE(S.HasEnvironment);
      EXPECT_FALSE(S.HasProcessAttributes);
      EXPECT_FALSE(S.HasThreadAttributes);
      // 68 in the Windows build, where the record's size is checked at compile time.
      EXPECT_EQ(S.StartupInfoCb, sizeof(STARTUPINFOA));
    } else {
      EXPECT_EQ(S.Via, sim::StartRecord::ShellExecute);
      EXPECT_EQ(S.CbSize, sizeof(SHELLEXECUTEINFOA));  // 60 in the Windows build
      EXPECT_EQ(S.Mask, SEE_MASK_NOCLOSEPROCESS);
      EXPECT_EQ(S.Owner, nullptr);
      EXPECT_EQ(S.Verb.value_or("<null>"), C.Verb);
      EXPECT_EQ(S.File, Temp);
      EXPECT_EQ(S.Parameters.value_or("<null>"), std::string(kEngineArgs) + C.Appended);
      EXPECT_FALSE(S.CurrentDirectory.has_value());
      EXPECT_EQ(S.Show, SW_SHOW);
    }
    // Waited without limit, then the copy is gone.
    EXPECT_TRUE(S.Waited);
    EXPECT_EQ(S.WaitTimeout, INFINITE);
    EXPECT_TRUE(CopyWhileEngineRan);
    EXPECT_FALSE(sim::Sim().Exists(Temp));
    EXPECT_TRUE(sim::Sim().Misuses.empty());
  }
}

// The engine runs where the package lies, as the user sees it, not in its universal form.
TEST_F(LaunchTest, DirectStartRunsInThePackageFolderEvenOnAMappedDrive) {
  sim::Sim().ModulePath = "Z:\\Setups\\Tools\\setup.exe";
  sim::Sim().AddFolder("Z:\\Setups\\Tools");
  sim::Sim().MappedDrives['Z'] = "\\\\fs1\\dist";
  SetArgs("");
  EXPECT_EQ(Start(5), sim::kNoExit);
  ASSERT_EQ(sim::Sim().Starts.size(), 1u);
  EXPECT_EQ(sim::Sim().Starts[0].CurrentDirectory.value_or("<null>"), "Z:\\Setups\\Tools\\");
}

TEST_F(LaunchTest, DetachedRunStartsAndReturnsAtOnce) {
  const DWORD Majors[] = {5, 6};  // direct and shell start
  for (DWORD Major : Majors) {
    SCOPED_TRACE("major " + std::to_string(Major));
    SetUp();
    Locator.DetachSize = 4096;
    bool EngineWaitedFor = false;
    sim::Sim().OnEngineRun = [&](sim::Machine&) { EngineWaitedFor = true; };
    EXPECT_EQ(Start(Major), sim::kNoExit);
    ASSERT_EQ(sim::Sim().Starts.size(), 1u);
    EXPECT_TRUE(sim::Sim().Starts[0].Succeeded);
    EXPECT_FALSE(sim::Sim().Starts[0].Waited);
    EXPECT_FALSE(EngineWaitedFor);
    EXPECT_TRUE(sim::Sim().Exists(Temp));
    EXPECT_EQ(sim::Sim().Calls["DeleteFileA"], 0u);
  }
}

TEST_F(LaunchTest, FailedStartShowsTheExecuteBoxAndKeepsTheCopy) {
  struct Case {
    const char* Name;
    DWORD Major;
    const char* Args;
    std::function<void(sim::Machine&)> Arrange;
  };
  const Case Cases[] = {
      {"CreateProcessA fails", 5, "", [](sim::Machine& M) { M.CreateProcessFails = true; }},
      {"ShellExecuteExA fails", 6, "", [](sim::Machine& M) { M.ShellExecuteFails = true; }},
      {"elevation refused", 6, "/s", [](sim::Machine& M) { M.ElevationRefused = true; }},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    SetArgs(C.Args);
    Header.ElevationMode = emRequireAdmin;
    C.Arrange(sim::Sim());
    EXPECT_EQ(Start(C.Major), 0u);
    sim::BoxRecord Box = OnlyBox();
    EXPECT_EQ(Box.Text, ExecuteText);
    EXPECT_EQ(Box.Caption, LauncherPath());
    EXPECT_EQ(Box.Flags, MB_OK | MB_ICONERROR);
    ASSERT_EQ(sim::Sim().Starts.size(), 1u);
    EXPECT_FALSE(sim::Sim().Starts[0].Succeeded);
    EXPECT_FALSE(sim::Sim().Starts[0].Waited);
    EXPECT_TRUE(sim::Sim().Exists(Temp));
    EXPECT_EQ(sim::Sim().Calls["DeleteFileA"], 0u);
  }
}

// ---- Administrators membership ---------------------------------------------------------------

TEST_F(LaunchTest, IsAdministratorAsksForTheAdministratorsGroupAndFailsClosed) {
  struct Case {
    const char* Name;
    std::function<void(sim::Machine&)> Arrange;
    bool Expect;
    int TokenCalls;
    int Frees;  // FreeSid calls: one exactly when a SID was made
  };
  const Case Cases[] = {
      {"member", [](sim::Machine& M) { M.IsAdmin = true; }, true, 1, 1},
      {"not a member", [](sim::Machine& M) { M.IsAdmin = false; }, false, 1, 1},
      {"CheckTokenMembership not exported",
       [](sim::Machine& M) {
         M.IsAdmin = true;
         M.TokenMembership = sim::TokenMode::Missing;
       },
       false, 0, 1},
      {"CheckTokenMembership missing by name",
       [](sim::Machine& M) {
         M.IsAdmin = true;
         M.MissingExports.insert("CheckTokenMembership");
       },
       false, 0, 1},
      {"CheckTokenMembership fails",
       [](sim::Machine& M) {
         M.IsAdmin = true;
         M.TokenMembership = sim::TokenMode::Fails;
       },
       false, 1, 1},
      {"CheckTokenMembership fails once",
       [](sim::Machine& M) {
         M.IsAdmin = true;
         M.FailNth("CheckTokenMembership", 1);
       },
       false, 1, 1},
      {"no SID",
       [](sim::Machine& M) {
         M.IsAdmin = true;
         M.AllocateSidFails = true;
       },
       false, 0, 0},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    C.Arrange(sim::Sim());
    bool Result = !C.Expect;
    EXPECT_EQ(sim::RunInSim([&] { Result = IsAdministrator(); }), sim::kNoExit);
    EXPECT_EQ(Result, C.Expect);
    EXPECT_EQ(sim::Sim().CheckTokenCalls, C.TokenCalls);
    EXPECT_EQ(sim::Sim().FreeSidCalls, C.Frees);
    EXPECT_EQ(sim::Sim().SidsLive, 0);
    EXPECT_TRUE(sim::Sim().Misuses.empty());
    ASSERT_EQ(sim::Sim().SidRequests.size(), 1u);
    const sim::SidRequest& R = sim::Sim().SidRequests[0];
    const BYTE NtAuthority[6] = {0, 0, 0, 0, 0, 5};
    EXPECT_EQ(0, memcmp(R.Authority, NtAuthority, 6));
    EXPECT_EQ(R.Count, 2);
    const DWORD Subs[8] = {32, 544, 0, 0, 0, 0, 0, 0};
    for (int I = 0; I < 8; ++I) EXPECT_EQ(R.SubAuthority[I], Subs[I]) << "sub-authority " << I;
  }
}

// ---- The package path in universal form ------------------------------------------------------

TEST_F(LaunchTest, ToUniversalPathAsksOnlyForDriveLetters) {
  const std::string Long2100 = "\\\\fs1\\" + std::string(2100, 'd');
  const std::string Long1900 = "\\\\fs1\\" + std::string(1900, 'd');
  struct Case {
    const char* Name;
    std::string Path;
    std::function<void(sim::Machine&)> Arrange;
    std::string Expect;
    bool Asked;  // WNetGetUniversalNameA was called with Path
  };
  auto MapZ = [](const std::string& Unc) {
    return [Unc](sim::Machine& M) { M.MappedDrives['Z'] = Unc; };
  };
  auto None = [](sim::Machine&) {};
  const Case Cases[] = {
      {"mapped drive", "Z:\\Setups\\setup.exe", MapZ("\\\\fs1\\dist"),
       "\\\\fs1\\dist\\Setups\\setup.exe", true},
      {"mapped drive, lower-case letter", "z:\\Setups\\setup.exe", MapZ("\\\\fs1\\dist"),
       "\\\\fs1\\dist\\Setups\\setup.exe", true},
      {"local drive", "C:\\Users\\Ann\\Downloads\\setup.exe", MapZ("\\\\fs1\\dist"),
       "C:\\Users\\Ann\\Downloads\\setup.exe", true},
      {"universal already", "\\\\fs1\\dist\\setup.exe", MapZ("\\\\fs1\\dist"),
       "\\\\fs1\\dist\\setup.exe", false},
      {"relative", "setup.exe", None, "setup.exe", false},
      {"a single character", "Z", MapZ("\\\\fs1\\dist"), "Z", false},
      {"no network", "Z:\\setup.exe",
       [](sim::Machine& M) {
         M.MappedDrives['Z'] = "\\\\fs1\\dist";
         M.WNetFailCode = sim::kErrorNoNetwork;
       },
       "Z:\\setup.exe", true},
      {"query fails once", "Z:\\setup.exe",
       [](sim::Machine& M) {
         M.MappedDrives['Z'] = "\\\\fs1\\dist";
         M.FailNth("WNetGetUniversalNameA", 1);
       },
       "Z:\\setup.exe", true},
      {"mpr.dll cannot be loaded", "Z:\\setup.exe",
       [](sim::Machine& M) {
         M.MappedDrives['Z'] = "\\\\fs1\\dist";
         M.MprLoadFails = true;
       },
       "Z:\\setup.exe", false},
      {"universal name fits 2000 bytes", "Z:\\setup.exe", MapZ(Long1900), Long1900 + "\\setup.exe",
       true},
      {"universal name beyond 2000 bytes", "Z:\\setup.exe", MapZ(Long2100), "Z:\\setup.exe", true},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    C.Arrange(sim::Sim());
    // A planted copy beside the package must never be the one loaded.
    sim::Sim().AddFile("C:\\Users\\Ann\\Downloads\\mpr.dll", "MZ planted");
    std::string Result = "<not run>";
    EXPECT_EQ(sim::RunInSim([&] {
                TAnsiString In = StrFromC(C.Path.c_str());
                Result = Str(ToUniversalPath(In));
              }),
              sim::kNoExit);
    EXPECT_EQ(Result, C.Expect);
    const auto& Queries = sim::Sim().UniversalNameQueries;
    EXPECT_EQ(Queries.size(), C.Asked ? 1u : 0u);
    if (!Queries.empty()) EXPECT_EQ(Queries[0], C.Path);
    for (const std::string& Library : sim::Sim().LoadedLibraries)
      EXPECT_EQ(Library, sim::Sim().SystemFolder + "\\mpr.dll");
    if (C.Path.size() < 2 || C.Path[1] != ':') EXPECT_TRUE(sim::Sim().LoadedLibraries.empty());
  }
}

// ---- The engine's arguments ------------------------------------------------------------------

TEST_F(LaunchTest, EngineArgsQuoteThePackageAndOnlyArgumentsWithBlanks) {
  const std::string P = "\"C:\\Users\\Ann\\Downloads\\setup.exe\"";
  struct Case {
    const char* Name;
    const char* ModulePath;  // null: the default on drive C:
    const char* Tail;        // the command line after the program name
    std::string Expect;
  };
  const Case Cases[] = {
      {"no arguments", nullptr, "", P},
      {"plain arguments in order", nullptr, "/s /32 b a", P + " /s /32 b a"},
      {"an argument with a blank", nullptr, "\"my folder\"", P + " \"my folder\""},
      {"/temp and a folder with a blank", nullptr, "/temp \"D:\\My Temp\"",
       P + " /temp \"D:\\My Temp\""},
      {"a tab without a blank", nullptr, "\"a\tb\"", P + " a\tb"},
      {"a lone pair of quotes", nullptr, "\"\"", P},
      {"a lone pair between arguments", nullptr, "x \"\" y", P + " x y"},
      {"backslash before the closing quote", nullptr, "\"C:\\My Dir\\\"", P + " \"C:\\My Dir\\\""},
      {"inner quotes dropped", nullptr, "ab\"c d\"", P + " \"abc d\""},
      {"package on a mapped drive", "Z:\\Setups\\setup.exe", "/s",
       "\"\\\\fs1\\dist\\Setups\\setup.exe\" /s"},
      {"package on a share", "\\\\fs1\\dist\\setup.exe", "", "\"\\\\fs1\\dist\\setup.exe\""},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    if (C.ModulePath) sim::Sim().ModulePath = C.ModulePath;
    sim::Sim().MappedDrives['Z'] = "\\\\fs1\\dist";
    SetArgs(C.Tail);
    std::string Result = "<not run>";
    EXPECT_EQ(sim::RunInSim([&] { Result = Str(BuildEngineArgs()); }), sim::kNoExit);
    EXPECT_EQ(Result, C.Expect);
  }
}

}  // namespace
