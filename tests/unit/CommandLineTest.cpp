// Splitting the command line into arguments, and the switch comparison.
#include <string>
#include <vector>

#include "tests/unit/TestSupport.h"

using namespace testsupport;

namespace {

std::vector<std::string> SplitWithLauncher(const std::string& CommandLine) {
  sim::Sim().CommandLine = CommandLine;
  std::vector<std::string> Args;
  sim::RunInSim([&Args] {
    int Count = ArgCount();
    for (int I = 1; I <= Count; ++I) {
      TAnsiString A = Arg(I);
      Args.emplace_back(StrCStr(A), size_t(A.Length));
      StrFree(A);
    }
  });
  return Args;
}

struct SplitCase {
  const char* Name;
  std::string CommandLine;
  std::vector<std::string> Args;
};

class SplitTest : public LauncherTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitTest, GivesTheUserArguments) {
  EXPECT_EQ(SplitWithLauncher(GetParam().CommandLine), GetParam().Args);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitTest,
    ::testing::Values(
        SplitCase{"ProgramNameOnly", "setup.exe", {}},
        SplitCase{"QuotedProgramNameOnly", "\"C:\\a b\\setup.exe\"   ", {}},
        SplitCase{"BlanksAndTabsSeparate", "setup.exe a\tb  c", {"a", "b", "c"}},
        SplitCase{"ControlCharactersSeparate", "setup.exe a\x01" "b\x1f" "c", {"a", "b", "c"}},
        SplitCase{"QuotedPartKeepsBlanksAndTabs", "setup.exe \"a b\tc\" d", {"a b\tc", "d"}},
        SplitCase{"LonePairOfQuotesIsSkipped", "setup.exe a \"\" b", {"a", "b"}},
        SplitCase{"SeveralPairsSkipped", "setup.exe \"\"\"\" b", {"b"}},
        SplitCase{"QuotesInsideJoin", "setup.exe ab\"\"cd", {"abcd"}},
        SplitCase{"QuotedRunInsideToken", "setup.exe /temp\"C:\\x y\"z", {"/tempC:\\x yz"}},
        SplitCase{"UnclosedQuoteTakesTheRest", "setup.exe a \"b c  d", {"a", "b c  d"}},
        SplitCase{"BackslashIsOrdinary", "setup.exe \"C:\\dir\\\" x", {"C:\\dir\\", "x"}},
        SplitCase{"BackslashBeforeQuoteStillOpens", "setup.exe a\\\"b c\"", {"a\\b c"}},
        SplitCase{"ProgramNameMayBeQuotedWithBlanks", "\"my setup.exe\" /s", {"/s"}},
        SplitCase{"LoneQuoteAtEndEndsTheList", "setup.exe a \"", {"a"}},
        SplitCase{"HighBytesAreOrdinary", "setup.exe \xe9t\xe9", {"\xe9t\xe9"}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(LauncherTest, ArgBeyondTheCountIsEmpty) {
  SetArgs("one two");
  std::string Third = "unset", Zeroth = "unset";
  sim::RunInSim([&] {
    TAnsiString A = Arg(3);
    Third.assign(StrCStr(A), size_t(A.Length));
    TAnsiString B = Arg(0);
    Zeroth.assign(StrCStr(B), size_t(B.Length));
  });
  EXPECT_EQ(Third, "");
  EXPECT_EQ(Zeroth, "");
}

// On code page 932 characters are copied whole, the ideographic space (0x81 0x40) included:
// it is no separator.
TEST_F(LauncherTest, DoubleByteCharactersAreTakenWhole) {
  sim::Sim().AnsiCodePage = 932;
  EXPECT_EQ(SplitWithLauncher("setup.exe \x83\x5C\" x \x81\x40y\" \x81\x40z"),
            (std::vector<std::string>{"\x83\x5C x \x81\x40y", "\x81\x40z"}));
}

TEST_F(LauncherTest, OwnPathIsTheModuleNotTheFirstToken) {
  sim::Sim().CommandLine = "\"C:\\elsewhere\\other.exe\" /s";
  std::string Path;
  sim::RunInSim([&Path] {
    TAnsiString P = OwnPath();
    Path.assign(StrCStr(P), size_t(P.Length));
  });
  EXPECT_EQ(Path, "C:\\Users\\Ann\\Downloads\\setup.exe");
}

TEST(SameTextAscii, IgnoresTheCaseOfAsciiLettersOnly) {
  struct Case {
    std::string A;
    const char* B;
    bool Same;
  } Cases[] = {
      {"/SILENT", "/silent", true},  {"/Silent", "/silent", true},
      {"/silent ", "/silent", false}, {"/silen", "/silent", false},
      {"", "", true},                 {"/s", "/S", true},
      {"\xc9", "\xe9", false},        {"\xe9", "\xe9", true},
      {"[", "{", false},  // 0x5B and 0x7B differ by 32 but are no letters
  };
  sim::ResetSim();
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.A + " vs " + C.B);
    TAnsiString A{};
    StrAssign(A, C.A.data(), int(C.A.size()));
    EXPECT_EQ(SameTextAscii(A, C.B), C.Same);
    StrFree(A);
  }
}

}  // namespace
