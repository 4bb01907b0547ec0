// Decoding the engine and writing its temporary copy.
#include <cstring>

#include "tests/unit/TestPackages.h"
#include "tests/unit/TestSupport.h"

using namespace testsupport;

namespace {

// Runs the whole sequence up to decoding on Package; returns "" when the engine decoded to
// its size (the bytes land in Decoded), else the box text.
std::string DecodeOutcome(const sim::Bytes& Package, sim::Bytes* Decoded = nullptr) {
  sim::ResetSim();
  InstallPackage(Package);
  uint32_t Code = RunPhase([Decoded](HANDLE F) {
    CheckPackage(F);
    TPayloadRef Payload = Header.Payload32;
    TStream Input, Output;
    DecodePayload(F, Header, Payload, Input, Output);
    if (Decoded) Decoded->assign(Output.Memory, Output.Memory + Output.Size);
  });
  if (Code == sim::kNoExit) return "";
  return OnlyBox().Text;
}

TEST_F(LauncherTest, AnEngineDecodesToItsExactBytes) {
  sim::Bytes Engine = MakeEngine(300000, 5);
  TPackageSpec Spec;
  Spec.Engine32 = Engine;
  sim::Bytes Decoded;
  EXPECT_EQ(DecodeOutcome(BuildTestPackage(Spec), &Decoded), "");
  EXPECT_TRUE(Decoded == Engine);
}

struct DecodeCase {
  const char* Name;
  std::vector<std::string> Options;
  size_t EngineLength;
  bool Passes;
};

class DecodeRuleTest : public LauncherTest, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(DecodeRuleTest, OnlyTheExactSizePasses) {
  TPackageSpec Spec;
  Spec.Options = GetParam().Options;
  Spec.Engine32 = MakeEngine(GetParam().EngineLength, 9);
  EXPECT_EQ(DecodeOutcome(BuildTestPackage(Spec)), GetParam().Passes ? "" : ReadErrorText);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DecodeRuleTest,
    ::testing::Values(
        DecodeCase{"Plain", {}, 5000, true},
        DecodeCase{"MarkerRightAfterTheEnd", {"--end-marker"}, 5000, true},
        // The header claims one byte more than the stream holds: the marker comes early.
        DecodeCase{
            "MarkerBeforeTheEnd", {"--end-marker", "--raw-unpacked-size32", "5001"}, 5000, false},
        DecodeCase{"InputExhaustedBeforeTheEnd", {"--raw-unpacked-size32", "5001"}, 5000, false},
        // The pattern ends in a long match: one byte less means it runs past the end.
        DecodeCase{"LastMatchRunsPastTheEnd", {"--raw-unpacked-size32", "4999"}, 5000, false},
        DecodeCase{
            "ExtraBytesAfterTheStreamAreIgnored", {"--raw-packed-size32", "+50"}, 5000, true},
        DecodeCase{"UnpackedSizeZeroPasses", {"--raw-unpacked-size32", "0"}, 5000, true},
        DecodeCase{"PackedSizeZeroReadsNothing",
                   {"--raw-packed-size32", "0", "--raw-unpacked-size32", "0"},
                   5000,
                   true},
        DecodeCase{"PropsAtTheirLimitPass", {"--lc", "0", "--lp", "4", "--pb", "4"}, 5000, true},
        DecodeCase{"Props225AreRefused", {"--raw-props", "225"}, 5000, false},
        // lc 8 + lp 4: the launcher would take it, liblzma cannot decode it.
        DecodeCase{"Props224CannotBeDecoded", {"--raw-props", "224"}, 5000, false},
        DecodeCase{"DictSizeZeroTakesTheSmallestWindow", {"--raw-dict-size", "0"}, 3000, true},
        DecodeCase{"DictSizeBelowTwoGiBPasses", {"--raw-dict-size", "2147483647"}, 5000, true},
        DecodeCase{"DictSizeOfTwoGiBIsRefused", {"--raw-dict-size", "2147483648"}, 5000, false},
        DecodeCase{
            "PayloadBeyondTheEndOfTheFile", {"--raw-packed-size32", "+100000"}, 5000, false}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(LauncherTest, HostileSizesAskForNoMemoryTheFileCannotBack) {
  for (const char* Size : {"2147483647", "2147483648", "4294967295"}) {
    SCOPED_TRACE(Size);
    TPackageSpec Spec;
    Spec.Options = {"--raw-packed-size32", Size};
    EXPECT_EQ(DecodeOutcome(BuildTestPackage(Spec)), ReadErrorText);
    EXPECT_LT(sim::Sim().PeakHeapBytes, size_t(16) << 20);
  }
}

// --- The temporary copy -------------------------------------------------------------------

struct TempCase {
  const char* Name;
  std::string Args;
  std::vector<std::string> Present;  // files that exist before the run
  std::string Copy;                  // where the copy must be written
};

class TempCopyTest : public LauncherTest, public ::testing::WithParamInterface<TempCase> {};

const char* const Downloads = "C:\\Users\\Ann\\Downloads\\";
const char* const Temp = "C:\\Users\\Ann\\AppData\\Local\\Temp\\";

// Runs MakeTemporaryCopy on an engine of the given bytes as the launcher would. Returns the
// exit code (sim::kNoExit when it returned) and the path of the copy through Copy.
uint32_t WriteCopy(const std::string& EngineBytes, std::string* Copy = nullptr) {
  return sim::RunInSim([&] {
    TStream Engine;
    Engine.Write(EngineBytes.data(), int32_t(EngineBytes.size()));
    HANDLE Guard = nullptr;
    TAnsiString Path = MakeTemporaryCopy(Engine, int32_t(EngineBytes.size()), Guard);
    if (Copy) Copy->assign(StrCStr(Path), size_t(Path.Length));
  });
}

TEST_P(TempCopyTest, ChoosesFolderAndFreeName) {
  sim::Machine& M = sim::Sim();
  M.AddFolder(Temp);
  M.AddFolder("D:\\work");
  M.AddFolder("E:\\x");
  M.AddFolder("D:\\my dir");
  M.AddFile(LauncherPath(), "launcher");
  for (const std::string& P : GetParam().Present) M.AddFile(P, "taken");
  SetArgs(GetParam().Args);
  std::string Copy;
  ASSERT_EQ(WriteCopy("engine", &Copy), sim::kNoExit) << OnlyBox().Text;
  EXPECT_EQ(Copy, GetParam().Copy);
  EXPECT_EQ(sim::ToText(M.FileData(Copy)), "engine");
  // Only the guard stays open on the copy: read access, read sharing.
  ASSERT_EQ(M.OpenHandlesAtExit.size(), 1u);
  EXPECT_EQ(M.OpenHandlesAtExit[0].Path, Copy);
  EXPECT_EQ(M.OpenHandlesAtExit[0].Access, GENERIC_READ);
  EXPECT_EQ(M.OpenHandlesAtExit[0].Share, FILE_SHARE_READ);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TempCopyTest,
    ::testing::Values(
        TempCase{"SystemTempFolder", "", {}, std::string(Temp) + "setup.exe"},
        TempCase{"TempSwitchWithFolder", "/temp D:\\work", {}, "D:\\work\\setup.exe"},
        TempCase{"SwitchInCapitals", "/TEMP D:\\work\\", {}, "D:\\work\\setup.exe"},
        TempCase{"MixedCase", "/Temp D:\\work", {}, "D:\\work\\setup.exe"},
        TempCase{"LookalikesAreOrdinary",
                 "/temp: D:\\work -temp E:\\x",
                 {},
                 std::string(Temp) + "setup.exe"},
        TempCase{"LastSwitchWins", "/temp D:\\work /temp E:\\x", {}, "E:\\x\\setup.exe"},
        TempCase{"TrailingSwitchMeansOwnFolder",
                 "/temp D:\\work /silent /temp",
                 {},
                 std::string(Downloads) + "setup2.exe"},
        TempCase{"FolderWithABlank", "/temp \"D:\\my dir\"", {}, "D:\\my dir\\setup.exe"},
        TempCase{"CounterSkipsTakenNames",
                 "",
                 {std::string(Temp) + "setup.exe", std::string(Temp) + "setup2.exe",
                  std::string(Temp) + "setup3.exe"},
                 std::string(Temp) + "setup4.exe"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(LauncherTest, AFolderOfTheSameNameCountsAsTaken) {
  sim::Machine& M = sim::Sim();
  M.AddFile(LauncherPath(), "launcher");
  M.AddFolder(std::string(Temp) + "setup.exe");
  std::string Copy;
  WriteCopy("", &Copy);
  EXPECT_EQ(Copy, std::string(Temp) + "setup2.exe");
  EXPECT_TRUE(M.FileData(Copy).empty());  // an engine of 0 bytes is an empty file
  EXPECT_TRUE(M.Exists(Copy));
}

TEST_F(LauncherTest, NoTempPathMeansDriveC) {
  sim::Machine& M = sim::Sim();
  M.AddFile(LauncherPath(), "launcher");
  M.AddFolder("C:\\");
  M.TempPathFails = true;
  std::string Copy;
  WriteCopy("", &Copy);
  EXPECT_EQ(Copy, "C:\\setup.exe");
}

TEST_F(LauncherTest, AMissingFolderLeavesNothingBehind) {
  sim::Machine& M = sim::Sim();
  M.AddFile(LauncherPath(), "launcher");
  SetArgs("/temp Q:\\missing");
  EXPECT_EQ(WriteCopy("engine"), 0u);
  EXPECT_EQ(OnlyBox().Text, TempCopyText);
  EXPECT_FALSE(M.Exists("Q:\\missing\\setup.exe"));
}

TEST_F(LauncherTest, AShortWriteDeletesTheCopy) {
  sim::Machine& M = sim::Sim();
  M.AddFile(LauncherPath(), "launcher");
  M.AddFolder("D:\\small");
  M.SetFreeSpace("D:\\small", 3);
  SetArgs("/temp D:\\small");
  EXPECT_EQ(WriteCopy("engine"), 0u);
  EXPECT_EQ(OnlyBox().Text, TempCopyText);
  EXPECT_TRUE(M.FilesIn("D:\\small").empty());
}

// Between writing the copy and starting it nobody may change it: the launcher holds it open
// for reading, sharing reading only.
TEST_F(LauncherTest, TheWrittenCopyCannotBeChangedUntilTheEngineStarts) {
  sim::Machine& M = sim::Sim();
  M.AddFile(LauncherPath(), "launcher");
  M.AddFolder(Temp);
  const std::string Copy = std::string(Temp) + "setup.exe";
  sim::RunInSim([&] {
    TStream Engine;
    Engine.Write("engine", 6);
    HANDLE Guard = nullptr;
    MakeTemporaryCopy(Engine, 6, Guard);
    EXPECT_EQ(M.Hold(Copy, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE),
              nullptr);
    EXPECT_EQ(CreateFileA(Copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA(Copy.c_str()));
    // Reading stays possible: the engine and the system's loader read their file.
    HANDLE Reader = M.Hold(Copy, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(Reader, nullptr);
    M.Release(Reader);
    CloseHandle(Guard);
    EXPECT_TRUE(DeleteFileA(Copy.c_str()));
  });
  EXPECT_EQ(sim::ToText(M.FileData(Copy)), "");
}

TEST_F(LauncherTest, ACopyThatCannotBeHeldIsDeletedAndNotStarted) {
  sim::Machine& M = sim::Sim();
  M.AddFile(LauncherPath(), "launcher");
  M.AddFolder(Temp);
  M.FailNth("CreateFileA", 2);  // the second opening of the copy: the guard
  EXPECT_EQ(WriteCopy("engine"), 0u);
  EXPECT_EQ(OnlyBox().Text, TempCopyText);
  EXPECT_FALSE(M.Exists(std::string(Temp) + "setup.exe"));
}

// On code page 932 the byte 0x5C can be the second half of a character; it must not be
// taken for the backslash that separates the folder from the name.
TEST_F(LauncherTest, DoubleByteNamesKeepTheirSecondByte) {
  sim::Machine& M = sim::Sim();
  M.AnsiCodePage = 932;
  M.ModulePath = "C:\\dl\\\x95\x5C.exe";
  M.AddFile(M.ModulePath, "launcher");
  std::string Folder, Name, Copy;
  sim::RunInSim([&] {
    TAnsiString Own = OwnPath();
    Folder = StrCStr(FolderOfPath(Own));
    Name = StrCStr(NameOfPath(Own));
    TStream Engine;
    HANDLE Guard = nullptr;
    Copy = StrCStr(MakeTemporaryCopy(Engine, 0, Guard));
  });
  EXPECT_EQ(Folder, "C:\\dl\\");
  EXPECT_EQ(Name, "\x95\x5C.exe");
  EXPECT_EQ(Copy, std::string(Temp) + "\x95\x5C.exe");
}

TEST(PathParts, FolderAndName) {
  struct Case {
    const char* Path;
    const char* Folder;
    const char* Name;
  } Cases[] = {
      {"C:\\a\\b.exe", "C:\\a\\", "b.exe"},
      {"b.exe", "", "b.exe"},
      {"C:\\a\\", "C:\\a\\", ""},
      {"\\\\server\\share\\s.exe", "\\\\server\\share\\", "s.exe"},
  };
  sim::ResetSim();
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Path);
    std::string Folder, Name;
    sim::RunInSim([&] {
      TAnsiString P = StrFromC(C.Path);
      Folder = StrCStr(FolderOfPath(P));
      Name = StrCStr(NameOfPath(P));
    });
    EXPECT_EQ(Folder, C.Folder);
    EXPECT_EQ(Name, C.Name);
  }
}

}  // namespace
