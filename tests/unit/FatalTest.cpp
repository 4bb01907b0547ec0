// The fixed messages, the path-encoding guard and how the process ends.
#include "support/Memory.h"
#include "tests/unit/TestSupport.h"

using namespace testsupport;

namespace {

struct FatalCase {
  const char* Name;
  void (*Raise)();
  const char* const* Text;
};

class FatalMessageTest : public LauncherTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(FatalMessageTest, ShowsItsTextCaptionedWithOwnPathAndExitsWithZero) {
  sim::Sim().ModulePath = "D:\\Some Folder\\My Setup.exe";
  EXPECT_EQ(sim::RunInSim([] { GetParam().Raise(); }), 0u);
  sim::BoxRecord Box = OnlyBox();
  EXPECT_EQ(Box.Text, *GetParam().Text);
  EXPECT_EQ(Box.Caption, "D:\\Some Folder\\My Setup.exe");
  EXPECT_EQ(Box.Flags, MB_ICONERROR);
  EXPECT_EQ(Box.Owner, nullptr);
}

INSTANTIATE_TEST_SUITE_P(All, FatalMessageTest,
                         ::testing::Values(FatalCase{"Read", FatalReadError, &ReadErrorText},
                                           FatalCase{"Truncated", FatalTruncatedError,
                                                     &TruncatedText},
                                           FatalCase{"TempCopy", FatalTempCopyError,
                                                     &TempCopyText},
                                           FatalCase{"Execute", FatalExecuteError, &ExecuteText}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(LauncherTest, GuardRefusesAPathWithReplacedCharactersAndNeverOpensTheFile) {
  // Windows reports characters the ANSI code page lacks as "?".
  sim::Sim().ModulePath = "C:\\Users\\Ann\\??????\\setup.exe";
  sim::Sim().AddFile(sim::Sim().ModulePath, "not even a package");
  EXPECT_EQ(sim::RunLauncherInSim(), 0u);
  sim::BoxRecord Box = OnlyBox();
  EXPECT_EQ(Box.Caption, "Brindlecote Ravelkit");
  EXPECT_EQ(Box.Text,
            "The path to the installer C:\\Users\\Ann\\??????\\setup.exe contains characters "
            "that have been replaced with question marks because they could not be represented "
            "in your computer's default code page.  Please rename the installer and/or the "
            "folder it is in to remove the unsupported characters.  Then run the installer "
            "again.");
  EXPECT_EQ(Box.Flags, MB_ICONERROR);
  EXPECT_EQ(sim::Sim().Calls["CreateFileA"], 0u);
}

TEST_F(LauncherTest, ALauncherWithoutItsFileShowsTheReadError) {
  EXPECT_EQ(sim::RunLauncherInSim(), 0u);
  EXPECT_EQ(OnlyBox().Text, ReadErrorText);
  EXPECT_EQ(OnlyBox().Caption, LauncherPath());
}

TEST_F(LauncherTest, ExhaustedMemoryEndsWithANonzeroCodeAndNoMessage) {
  sim::Sim().FailNth("HeapAlloc", 1, /*Persistent=*/true);
  uint32_t Code = sim::RunInSim([] { MemAlloc(100); });
  EXPECT_EQ(Code, OutOfMemoryExitCode);
  EXPECT_NE(Code, 0u);
  EXPECT_TRUE(sim::Sim().Boxes.empty());
}

}  // namespace
