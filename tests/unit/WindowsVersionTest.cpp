// The Windows version gate, run alone with the header and the simulated Windows set by the
// test: the version table, the Windows 2000 rule and the feature releases of Windows 10 and 11.
#include <cstring>
#include <initializer_list>
#include <string>

#include "tests/unit/TestSupport.h"

using namespace testsupport;

namespace {

const char kPass[] = "(passes)";
const char kVersionKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";

TWindowsSet SetOf(std::initializer_list<TWindowsVersion> Elements) {
  TWindowsSet Set{};
  for (TWindowsVersion E : Elements) WindowsSetInclude(Set, E);
  return Set;
}

const std::initializer_list<TWindowsVersion> kEveryElement = {
    wvWin95, wvWin98, wvWinME, wvWinNT4, wvWin2000, wvWinXP, wvWinVista,
    wvWin7,  wvWin8,  wvWin81, wvWin10,  wvWin11,   wvLater};

TWindowsSet AllBut(int Missing) {
  TWindowsSet Set{};
  for (TWindowsVersion E : kEveryElement)
    if (int(E) != Missing) WindowsSetInclude(Set, E);
  return Set;
}

sim::RegValue Text(const std::string& Value) {
  sim::RegValue V;
  V.Data = sim::ToBytes(Value);
  V.Data.push_back(0);
  return V;
}

class WindowsVersionTest : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    PrepareMessages();
    sim::Sim().RegistryValues.clear();
    std::memset(&Version, 0xAB, sizeof Version);
  }

  void SetVersion(DWORD Major, DWORD Minor, DWORD PlatformId = VER_PLATFORM_WIN32_NT) {
    sim::Sim().Version.Major = Major;
    sim::Sim().Version.Minor = Minor;
    sim::Sim().Version.PlatformId = PlatformId;
  }

  void SetValue(const char* Name, const char* Value) {
    if (Value) sim::Sim().RegistryValues[Name] = Text(Value);
  }

  // kPass, or the Windows name the refusal put into the message "not on %USER%".
  std::string Gate() {
    uint32_t Exit = RunPhase([this](HANDLE File) { CheckWindowsVersion(File, Version); });
    EXPECT_TRUE(sim::Sim().Misuses.empty());
    if (Exit == sim::kNoExit) {
      EXPECT_TRUE(sim::Sim().Boxes.empty());
      return kPass;
    }
    EXPECT_EQ(Exit, 0u);
    std::string Text = OnlyBox().Text;
    const std::string Prefix = "not on ";
    return Text.compare(0, Prefix.size(), Prefix) == 0 ? Text.substr(Prefix.size()) : Text;
  }

  // The registry values the gate read, in name order, with a count when one was read twice.
  static std::string Queries() {
    std::string Out;
    for (const auto& [Name, Count] : sim::Sim().RegQueries) {
      if (!Out.empty()) Out += ' ';
      Out += Name;
      if (Count != 1) Out += "*" + std::to_string(Count);
    }
    return Out;
  }

  // A gate that passed has given its registry key back.
  static void ExpectKeyClosed() {
    for (const sim::HandleInfo& H : sim::Sim().OpenHandlesAtExit)
      EXPECT_NE(H.Kind, sim::HandleKind::Key) << "registry key left open";
  }

  OSVERSIONINFOA Version;
};

// ---- Versions by number ----------------------------------------------------------------------

struct VersionRow {
  DWORD Major, Minor, PlatformId;
  int Element;  // the element tested; -1: none, always refused
  const char* Name;
};

const DWORD NT = VER_PLATFORM_WIN32_NT, NINE = VER_PLATFORM_WIN32_WINDOWS,
            S32 = VER_PLATFORM_WIN32s;

const VersionRow kVersionRows[] = {
    {4, 0, NT, wvWinNT4, "Windows NT 4"},    {4, 10, NT, wvWinNT4, "Windows NT 4"},
    {4, 90, NT, wvWinNT4, "Windows NT 4"},   {4, 0, NINE, wvWin95, "Windows 95"},
    {4, 3, NINE, wvWin95, "Windows 95"},     {4, 0, S32, wvWin95, "Windows 95"},
    {4, 10, NINE, wvWin98, "Windows 98"},    {4, 4, NINE, wvWinME, "Windows ME"},
    {4, 9, NINE, wvWinME, "Windows ME"},     {4, 11, NINE, wvWinME, "Windows ME"},
    {4, 90, NINE, wvWinME, "Windows ME"},    {5, 0, NT, wvWin2000, "Windows 2000"},
    {5, 0, NINE, wvWin2000, "Windows 2000"}, {5, 1, NT, wvWinXP, "Windows XP"},
    {5, 2, NT, wvWinXP, "Windows XP"},       {5, 9, NINE, wvWinXP, "Windows XP"},
    {6, 0, NT, wvWinVista, "Windows Vista"}, {6, 0, NINE, wvWinVista, "Windows Vista"},
    {6, 1, NT, wvWin7, "Windows 7"},         {6, 2, NT, wvWin8, "Windows 8"},
    {6, 3, NT, wvWin81, "Windows 8.1"},      {6, 4, NT, -1, "Windows 6.4"},
    {6, 9, NT, -1, "Windows 6.9"},           {6, 10, NT, -1, "Windows 6.:"},
    {10, 1, NT, wvLater, "Windows 10.1"},    {10, 10, NT, wvLater, "Windows 10.:"},
    {10, 256, NT, wvLater, "Windows 10.0"},  // the character wraps, the version does not
    {11, 2, NT, wvLater, "Windows 10.2"},    {12, 0, NT, wvLater, "Windows 12.0"},
    {12, 1, NT, wvLater, "Windows 12.1"},    {7, 0, NT, wvLater, "Windows 07.0"},
    {9, 9, NT, wvLater, "Windows 09.9"},     {0, 0, NT, wvLater, "Windows 00.0"},
    {3, 51, NT, wvLater, "Windows 03.c"},    {100, 0, NT, wvLater, "Windows :0.0"},
    {260, 0, NT, wvLater, "Windows J0.0"},  // not taken for major 4
};

TEST_F(WindowsVersionTest, EachVersionRowTestsItsElementAndNamesItself) {
  for (const VersionRow& R : kVersionRows) {
    SCOPED_TRACE(std::string(R.Name) + " from " + std::to_string(R.Major) + "." +
                 std::to_string(R.Minor) + " platform " + std::to_string(R.PlatformId));
    if (R.Element >= 0) {
      SetUp();
      SetVersion(R.Major, R.Minor, R.PlatformId);
      sim::Sim().Version.ServicePackMajor = 4;
      Header.WindowsSet = SetOf({TWindowsVersion(R.Element)});
      EXPECT_EQ(Gate(), kPass);
      EXPECT_EQ(Version.dwMajorVersion, R.Major);
      EXPECT_EQ(Version.dwMinorVersion, R.Minor);
      EXPECT_EQ(Version.dwPlatformId, R.PlatformId);
      ASSERT_FALSE(sim::Sim().VersionQuerySizes.empty());
      EXPECT_EQ(sim::Sim().VersionQuerySizes[0], 148u);
      EXPECT_TRUE(sim::Sim().RegOpenKeys.empty());
    }
    SetUp();
    SetVersion(R.Major, R.Minor, R.PlatformId);
    Header.WindowsSet = AllBut(R.Element);
    EXPECT_EQ(Gate(), R.Name);
    EXPECT_TRUE(sim::Sim().RegOpenKeys.empty());
  }
}

// ---- Windows 2000 ----------------------------------------------------------------------------

struct Win2000Case {
  const char* Name;
  std::initializer_list<TWindowsVersion> Set;
  WORD ServicePack;
  bool ExtendedFails;
  const char* Expect;
  size_t VersionQueries;  // 2 when the service pack was read
};

const Win2000Case kWin2000Cases[] = {
    {"no service pack", {wvWin2000, wvWinXP}, 0, false, "Windows 2000 (no Service Pack)", 2},
    {"SP1", {wvWin2000, wvWinXP}, 1, false, "Windows 2000 Service Pack 1", 2},
    {"SP2", {wvWin2000}, 2, false, "Windows 2000 Service Pack 2", 2},
    {"SP3", {wvWin2000, wvWinXP}, 3, false, "Windows 2000 Service Pack 3", 2},
    {"SP3 with NT 4 allowed", {wvWinNT4, wvWin2000}, 3, false, "Windows 2000 Service Pack 3", 2},
    {"SP4", {wvWin2000, wvWinXP}, 4, false, kPass, 2},
    {"SP5", {wvWin2000}, 5, false, kPass, 2},
    {"SP 32768 compares unsigned", {wvWin2000}, 0x8000, false, kPass, 2},
    {"SP3 with Windows 98 allowed", {wvWin98, wvWin2000}, 3, false, kPass, 1},
    {"SP0 with Windows 95 allowed", {wvWin95, wvWin2000}, 0, false, kPass, 1},
    {"SP0 with Windows ME allowed", {wvWinME, wvWin2000}, 0, false, kPass, 1},
    {"extended record unreadable", {wvWin2000}, 0, true, kPass, 2},
    {"not allowed, SP4", {wvWinXP}, 4, false, "Windows 2000", 1},
    {"not allowed, with the 9x line", {wvWin95, wvWin98, wvWinME}, 0, false, "Windows 2000", 1},
};

TEST_F(WindowsVersionTest, Windows2000NeedsServicePack4UnlessThe9xLineIsAllowed) {
  for (const Win2000Case& C : kWin2000Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    SetVersion(5, 0);
    sim::Sim().Version.ServicePackMajor = C.ServicePack;
    sim::Sim().Version.ExtendedFails = C.ExtendedFails;
    Header.WindowsSet = SetOf(C.Set);
    EXPECT_EQ(Gate(), C.Expect);
    const auto& Sizes = sim::Sim().VersionQuerySizes;
    ASSERT_EQ(Sizes.size(), C.VersionQueries);
    EXPECT_EQ(Sizes[0], 148u);
    if (Sizes.size() == 2) EXPECT_EQ(Sizes[1], 156u);
  }
}

// ---- Windows 10 and 11 -----------------------------------------------------------------------

enum Allowed { kBoth, kOnly10, kOnly11 };

TWindowsSet SetOf(Allowed A) {
  if (A == kOnly10) return SetOf({wvWin10});
  if (A == kOnly11) return SetOf({wvWin11});
  return SetOf({wvWin10, wvWin11});
}

struct ReleaseCase {
  const char* Name;
  const char* Build;      // "CurrentBuild"; null: missing
  const char* Display;    // "DisplayVersion"; null: missing
  const char* ReleaseId;  // "ReleaseId"; null: missing
  uint16_t Min10, Max10, Min11, Max11;
  const char* Expect;   // kPass or the Windows name
  const char* Queries;  // the values read
  Allowed Set = kBoth;
  DWORD Major = 10;
};

const char BR[] = "CurrentBuild ReleaseId";
const char BD[] = "CurrentBuild DisplayVersion";
const char B[] = "CurrentBuild";

const ReleaseCase kReleaseCases[] = {
    // Windows 10 before build 19042: "ReleaseId" is the release.
    {"1507", "10240", "x", "1507", 1511, 9999, 0, 0, "Windows 10 1507 (Original Release)", BR},
    {"1511", "10586", 0, "1511", 1600, 9999, 0, 0, "Windows 10 1511 (November Update)", BR},
    {"1607", "14393", 0, "1607", 1507, 1606, 0, 0, "Windows 10 1607 (Anniversary Update)", BR},
    {"1703", "15063", 0, "1703", 1507, 1702, 0, 0, "Windows 10 1703 (Creators Update)", BR},
    {"1709", "16299", 0, "1709", 1710, 9999, 0, 0, "Windows 10 1709 (Fall Creators Update)", BR},
    {"1803", "17134", 0, "1803", 1507, 1709, 0, 0, "Windows 10 1803 (April 2018 Update)", BR},
    {"1809", "17763", 0, "1809", 1903, 9999, 0, 0, "Windows 10 1809 (October 2018 Update)", BR},
    {"1903", "18362", 0, "1903", 1507, 1809, 0, 0, "Windows 10 1903 (May 2019 Update)", BR},
    {"1909", "18363", 0, "1909", 1507, 1903, 0, 0, "Windows 10 1909 (November 2019 Update)", BR},
    {"2004", "19041", "2004", "2004", 1507, 1909, 0, 0, "Windows 10 2004 (May 2020 Update)", BR},
    {"bounds are inclusive", "17763", 0, "1809", 1809, 1809, 0, 0, kPass, BR},
    {"2004 allowed", "19041", 0, "2004", 1507, 9999, 0, 0, kPass, BR},
    {"no ReleaseId passes", "19041", "20H1", 0, 1507, 1909, 0, 0, kPass, BR},
    {"unnamed release", "17000", 0, "1234", 1507, 9999, 0, 0, "Windows 10 1234", BR},
    {"name is the text", "17000", 0, "1234abc", 1507, 9999, 0, 0, "Windows 10 1234abc", BR},
    {"2009 by ReleaseId is unnamed", "19041", 0, "2009", 1507, 2004, 0, 0, "Windows 10 2009", BR},
    {"not a number reads 0", "17000", 0, "abc", 1, 9999, 0, 0, "Windows 10 abc", BR},
    {"0 within bounds", "17000", 0, "abc", 0, 9999, 0, 0, kPass, BR},
    {"release modulo 65536", "17000", 0, "67043", 1507, 1507, 0, 0, kPass, BR},
    {"refusal names the whole number", "17000", 0, "67043", 1600, 9999, 0, 0, "Windows 10 67043",
     BR},
    {"32-bit wrap", "17000", 0, "4294968803", 1507, 1507, 0, 0, kPass, BR},
    {"32-bit wrap names 1507", "17000", 0, "4294968803", 1600, 9999, 0, 0,
     "Windows 10 1507 (Original Release)", BR},
    {"negative after wrap", "17000", 0, "2147485155", 1507, 1507, 0, 0, kPass, BR},
    {"bounds compare unsigned", "17000", 0, "40000", 1507, 65535, 0, 0, kPass, BR},
    {"no wvWin10", "17763", 0, "1809", 1507, 9999, 0, 0, "Windows 10", B, kOnly11},
    {"no wvWin10, no ReleaseId", "17763", 0, 0, 1507, 9999, 0, 0, "Windows 10", B, kOnly11},
    // Windows 10 from build 19042 on: the build is the release.
    {"20H2", "19042", "20H2", "2009", 1507, 2004, 0, 0, "Windows 10 20H2 (October 2020 Update)",
     BD},
    {"20H2 allowed", "19042", "20H2", "2009", 2009, 2009, 0, 0, kPass, BD},
    {"21H1", "19043", "21H1", "2009", 2106, 9999, 0, 0, "Windows 10 21H1 (May 2021 Update)", BD},
    {"21H1 allowed", "19043", 0, 0, 2105, 2105, 0, 0, kPass, BD},
    {"21H2", "19044", "21H2", 0, 1507, 2110, 0, 0, "Windows 10 21H2 (November 2021 Update)", BD},
    {"21H2 allowed", "19044", "21H2", 0, 2111, 2111, 0, 0, kPass, BD},
    {"22H2", "19045", "22H2", "2009", 1507, 2111, 0, 0, "Windows 10 22H2 (2022 Update)", BD},
    {"22H2 whatever DisplayVersion says", "19045", "21H1", 0, 1507, 2111, 0, 0,
     "Windows 10 22H2 (2022 Update)", BD},
    {"22H2 below the minimum", "19045", "22H2", 0, 2211, 9999, 0, 0,
     "Windows 10 22H2 (2022 Update)", BD},
    {"22H2 allowed", "19045", 0, 0, 2210, 2210, 0, 0, kPass, BD},
    {"build with trailing text", "19043abc", 0, 0, 2106, 9999, 0, 0,
     "Windows 10 21H1 (May 2021 Update)", BD},
    {"later build, open maximum", "19046", "23H2", 0, 1507, 9999, 0, 0, kPass, BD},
    {"later build, closed maximum", "19046", "23H2", 0, 1507, 2210, 0, 0, "Windows 10 23H2", BD},
    {"later build, minimum not consulted", "19050", 0, 0, 65535, 9999, 0, 0, kPass, BD},
    {"later build, no DisplayVersion", "19050", 0, 0, 1507, 2210, 0, 0, "Windows 10 ", BD},
    {"last Windows 10 build, maximum 10000", "21999", "X", 0, 1507, 10000, 0, 0, kPass, BD},
    {"last Windows 10 build, maximum 9998", "21999", "Insider", 0, 1507, 9998, 0, 0,
     "Windows 10 Insider", BD},
    {"Windows 10 build, only wvWin11", "21999", "X", 0, 1507, 9999, 0, 0, "Windows 10", B, kOnly11},
    {"build compares signed", "2147483648", 0, 0, 0, 9999, 0, 9999, "Windows 10", B, kOnly11},
    {"version 11.0 as Windows 10", "19045", "22H2", 0, 1507, 2111, 0, 0,
     "Windows 10 22H2 (2022 Update)", BD, kBoth, 11},
    // Windows 11: the earlier of the release that "DisplayVersion" names and the build implies.
    {"22000", "22000", 0, 0, 0, 0, 2209, 9999, "Windows 11 21H2 (Original Release)", BD},
    {"22000 allowed", "22000", 0, "2009", 0, 0, 2110, 2110, kPass, BD},
    {"22448 says 22H2", "22448", "22H2", 0, 0, 0, 2209, 9999, "Windows 11 21H2 (Original Release)",
     BD},
    {"22449 says 21H2", "22449", "21H2", 0, 0, 0, 2209, 9999, "Windows 11 21H2 (Original Release)",
     BD},
    {"22631 says 21H2", "22631", "21H2", 0, 0, 0, 2209, 9999, "Windows 11 21H2 (Original Release)",
     BD},
    {"22631 says 21H2, allowed", "22631", "21H2", 0, 0, 0, 2110, 2110, kPass, BD},
    {"22449", "22449", 0, 0, 0, 0, 2110, 2110, "Windows 11 22H2 (2022 Update)", BD},
    {"22621 says 23H2", "22621", "23H2", 0, 0, 0, 2110, 2110, "Windows 11 22H2 (2022 Update)", BD},
    {"22621 says 23H2, allowed", "22621", "23H2", 0, 0, 0, 2209, 2209, kPass, BD},
    {"22622", "22622", 0, 0, 0, 0, 2110, 2209, "Windows 11 23H2 (2023 Update)", BD},
    {"22631 says 23H2", "22631", "23H2", 0, 0, 0, 2110, 2209, "Windows 11 23H2 (2023 Update)", BD},
    {"22632 says 23H2", "22632", "23H2", 0, 0, 0, 2110, 2209, "Windows 11 23H2 (2023 Update)", BD},
    {"22632 says 23H2, allowed", "22632", "23H2", 0, 0, 0, 2310, 2310, kPass, BD},
    {"lower-case 23h2 is a later release", "22632", "23h2", 0, 0, 0, 2110, 2310, "Windows 11 23h2",
     BD},
    {"lower-case 23h2, open maximum", "22632", "23h2", 0, 0, 0, 2110, 9999, kPass, BD},
    {"22H2 with a blank is a later release", "22632", "22H2 ", 0, 0, 0, 2110, 2310,
     "Windows 11 22H2 ", BD},
    {"24H2, open maximum", "26100", "24H2", 0, 0, 0, 2110, 9999, kPass, BD},
    {"24H2, closed maximum", "26100", "24H2", 0, 0, 0, 2110, 2310, "Windows 11 24H2", BD},
    {"later, no DisplayVersion", "26100", 0, 0, 0, 0, 2110, 2310, "Windows 11 ", BD},
    {"later, minimum not consulted", "26100", "24H2", 0, 0, 0, 65535, 9999, kPass, BD},
    {"only later: 21H2", "22000", "21H2", 0, 0, 0, 9999, 9999, "Windows 11 21H2 (Original Release)",
     BD},
    {"only later: 23H2", "22631", "23H2", 0, 0, 0, 9999, 9999, "Windows 11 23H2 (2023 Update)", BD},
    {"only later: 24H2", "26100", "24H2", 0, 0, 0, 9999, 9999, kPass, BD},
    {"Windows 11 bounds compare unsigned", "22000", 0, 0, 0, 0, 2110, 65535, kPass, BD},
    {"size reset before each query", "26100", "24H2 Insider Preview", 0, 0, 0, 2110, 2310,
     "Windows 11 24H2 Insider Preview", BD},
    {"no wvWin11", "22000", "21H2", 0, 0, 9999, 0, 9999, "Windows 11", B, kOnly10},
    {"version 11.0 as Windows 11", "22631", "23H2", 0, 0, 0, 2110, 2209,
     "Windows 11 23H2 (2023 Update)", BD, kBoth, 11},
};

TEST_F(WindowsVersionTest, Windows10And11AreJudgedByFeatureRelease) {
  for (const ReleaseCase& C : kReleaseCases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    SetVersion(C.Major, 0);
    SetValue("CurrentBuild", C.Build);
    SetValue("DisplayVersion", C.Display);
    SetValue("ReleaseId", C.ReleaseId);
    Header.WindowsSet = SetOf(C.Set);
    Header.Win10MinRelease = C.Min10;
    Header.Win10MaxRelease = C.Max10;
    Header.Win11MinRelease = C.Min11;
    Header.Win11MaxRelease = C.Max11;
    std::string Result = Gate();
    EXPECT_EQ(Result, C.Expect);
    EXPECT_EQ(Queries(), C.Queries);
    ASSERT_EQ(sim::Sim().RegOpenKeys.size(), 1u);
    EXPECT_EQ(sim::Sim().RegOpenKeys[0], kVersionKey);
    EXPECT_EQ(sim::Sim().RegOpenAccess[0], KEY_READ);
    if (Result == kPass) {
      ExpectKeyClosed();
      EXPECT_EQ(sim::Sim().Calls["RegCloseKey"], 1u);
    }
  }
}

// Each value is read into 64 bytes; one that does not fit counts as missing.
TEST_F(WindowsVersionTest, ValuesLongerThan64BytesAreMissing) {
  const std::string Chars63(63, 'v'), Chars64(64, 'w'), Chars65(65, 'x');
  struct Case {
    const char* Name;
    const char* Value;  // the value that is replaced
    sim::Bytes Data;
    const char* Expect;
  };
  const Case Cases[] = {
      {"DisplayVersion of 63 characters and its zero", "DisplayVersion", Text(Chars63).Data,
       nullptr},
      {"DisplayVersion of 64 bytes without a zero", "DisplayVersion", sim::ToBytes(Chars64),
       nullptr},
      {"DisplayVersion of 65 bytes", "DisplayVersion", sim::ToBytes(Chars65), "Windows 11 "},
      {"CurrentBuild of 65 bytes", "CurrentBuild", Text("22000" + std::string(59, ' ')).Data,
       kPass},
      {"CurrentBuild of 64 bytes", "CurrentBuild", Text("22000" + std::string(58, ' ')).Data,
       "Windows 11 21H2 (Original Release)"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    SetVersion(10, 0);
    SetValue("CurrentBuild", "26100");
    sim::Sim().RegistryValues[C.Value].Data = C.Data;
    Header.WindowsSet = SetOf({wvWin11});
    Header.Win11MinRelease = 2111;  // refuses 21H2
    Header.Win11MaxRelease = 2310;  // refuses later releases
    std::string Expect = C.Expect ? C.Expect : "Windows 11 " + sim::ToText(C.Data);
    while (!Expect.empty() && Expect.back() == '\0') Expect.pop_back();
    EXPECT_EQ(Gate(), Expect);
  }
}

TEST_F(WindowsVersionTest, TheValueTypeIsNotLookedAt) {
  SetVersion(10, 0);
  SetValue("CurrentBuild", "22631");
  SetValue("DisplayVersion", "23H2");
  sim::Sim().RegistryValues["CurrentBuild"].Type = 3;    // REG_BINARY
  sim::Sim().RegistryValues["DisplayVersion"].Type = 4;  // REG_DWORD
  Header.WindowsSet = SetOf({wvWin11});
  Header.Win11MinRelease = 2110;
  Header.Win11MaxRelease = 2209;
  EXPECT_EQ(Gate(), "Windows 11 23H2 (2023 Update)");
}

// ---- What cannot be found out passes ---------------------------------------------------------

TEST_F(WindowsVersionTest, UnreadableFactsPass) {
  struct Case {
    const char* Name;
    std::function<void(sim::Machine&)> Arrange;
    const char* Queries;
    uint64_t Closes;
  };
  const Case Cases[] = {
      {"key cannot be opened", [](sim::Machine& M) { M.RegOpenFails = true; }, "", 0},
      {"key open fails once", [](sim::Machine& M) { M.FailNth("RegOpenKeyExA", 1); }, "", 0},
      {"no CurrentBuild", [](sim::Machine& M) { M.RegistryValues.erase("CurrentBuild"); }, B, 1},
      {"CurrentBuild query fails", [](sim::Machine& M) { M.FailNth("RegQueryValueExA", 1, true); },
       B, 1},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    SetVersion(10, 0);
    SetValue("CurrentBuild", "22631");
    SetValue("DisplayVersion", "23H2");
    SetValue("ReleaseId", "2009");
    C.Arrange(sim::Sim());
    Header.WindowsSet = TWindowsSet{};  // nothing allowed: only a positive finding refuses
    EXPECT_EQ(Gate(), kPass);
    EXPECT_EQ(Queries(), C.Queries);
    ExpectKeyClosed();
    EXPECT_EQ(sim::Sim().Calls["RegCloseKey"], C.Closes);
  }
}

TEST_F(WindowsVersionTest, AFailedVersionQueryPassesAndLeavesTheRecordZero) {
  const std::function<void(sim::Machine&)> Failures[] = {
      [](sim::Machine& M) { M.Version.BasicFails = true; },
      [](sim::Machine& M) { M.FailNth("GetVersionExA", 1); },
  };
  for (const auto& Fail : Failures) {
    SetUp();
    SetVersion(6, 4);  // always refused when the query succeeds
    Fail(sim::Sim());
    EXPECT_EQ(Gate(), kPass);
    const uint8_t* Bytes = reinterpret_cast<const uint8_t*>(&Version);
    for (size_t I = 0; I < sizeof Version; ++I) ASSERT_EQ(Bytes[I], 0) << "byte " << I;
    EXPECT_TRUE(sim::Sim().RegOpenKeys.empty());
  }
}

}  // namespace
