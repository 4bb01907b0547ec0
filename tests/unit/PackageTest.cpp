// Finding the package, the size and checksum tests, and the package's own messages.
#include <algorithm>
#include <cstring>

#include "package/PackageMessage.h"
#include "tests/unit/TestPackages.h"
#include "tests/unit/TestSupport.h"

using namespace testsupport;

namespace {

// What CheckPackage ended with: "" when it passed, else the text of its box.
std::string CheckOutcome(const sim::Bytes& File) {
  sim::ResetSim();
  InstallPackage(File);
  uint32_t Code = RunPhase([](HANDLE F) { CheckPackage(F); });
  if (Code == sim::kNoExit) return "";
  EXPECT_EQ(Code, 0u);
  return OnlyBox().Text;
}

void PutLocator(sim::Bytes& File, const TPackageLocator& L) {
  std::memcpy(&File[LocatorFileOffset], &L, sizeof L);
}

class PackageTest : public LauncherTest {
 protected:
  sim::Bytes Package = BuildTestPackage();
  TPackageLocator Loc = LocatorOf(Package);
};

TEST_F(PackageTest, ASoundPackagePassesAndFillsBothRecords) {
  EXPECT_EQ(CheckOutcome(Package), "");
  // The records are process-wide: a second run reads them afresh.
  InstallPackage(Package);
  RunPhase([](HANDLE F) { CheckPackage(F); });
  EXPECT_EQ(std::memcmp(&Locator, &Package[LocatorFileOffset], sizeof Locator), 0);
  EXPECT_EQ(std::memcmp(&Header, &Package[Loc.HeaderOffset], sizeof Header), 0);
}

TEST_F(PackageTest, FailureTable) {
  struct Case {
    const char* Name;
    sim::Bytes File;
    const char* Text;
  };
  auto WithLocator = [this](void (*Change)(TPackageLocator&)) {
    sim::Bytes F = Package;
    TPackageLocator L = Loc;
    Change(L);
    PutLocator(F, L);
    return F;
  };
  sim::Bytes Short(Package.begin(), Package.begin() + 140);
  Case Cases[] = {
      {"LocatorCutShort", Short, ReadErrorText},
      {"NoPackage", MakeLauncherImage(), ReadErrorText},
      {"HeaderOffsetZero", WithLocator([](TPackageLocator& L) { L.HeaderOffset = 0; }),
       ReadErrorText},
      {"OneByteShortOfMinFileSize",
       WithLocator([](TPackageLocator& L) { L.MinFileSize += 1; }), TruncatedText},
      {"CheckedRegionBeyondEnd",
       WithLocator([](TPackageLocator& L) { L.CheckedLength = uint32_t(L.MinFileSize); }),
       ReadErrorText},
      {"CrcDiffers", WithLocator([](TPackageLocator& L) { L.CheckedCrc ^= 1; }), ReadErrorText},
      {"HeaderBeyondEnd",
       WithLocator([](TPackageLocator& L) {
         L.HeaderOffset = uint32_t(L.MinFileSize - 10), L.CheckedLength = 0, L.CheckedCrc = 0;
       }),
       ReadErrorText},
      {"HugeCheckedLength",
       WithLocator([](TPackageLocator& L) { L.CheckedLength = 0x7FFFFFFF; }), ReadErrorText},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(CheckOutcome(C.File), C.Text);
    // Refused without asking for memory the file cannot fill.
    EXPECT_LT(sim::Sim().PeakHeapBytes, size_t(1) << 20);
  }
  EXPECT_EQ(CheckOutcome(Package), "");
}

TEST_F(PackageTest, TheOwnFileHeldForWritingElsewhereCannotBeOpened) {
  InstallPackage(Package);
  sim::Sim().Hold(LauncherPath(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(RunPhase([](HANDLE F) { CheckPackage(F); }), 0u);
  EXPECT_EQ(OnlyBox().Text, ReadErrorText);
}

TEST_F(PackageTest, SizeTestUsesMinFileSizeOrDetachSize) {
  sim::Bytes Signed = Package;
  Signed.resize(Signed.size() + 7, 0);
  Signed.insert(Signed.end(), 900, 0x5A);  // a signature behind MinFileSize
  EXPECT_EQ(CheckOutcome(Signed), "");
  EXPECT_EQ(CheckOutcome(Package), "");  // ends exactly at MinFileSize
  sim::Bytes Cut(Package.begin(), Package.end() - 1);
  EXPECT_EQ(CheckOutcome(Cut), TruncatedText);

  // DetachSize replaces MinFileSize: a file of exactly DetachSize bytes passes.
  sim::Bytes Detached = Package;
  TPackageLocator L = Loc;
  L.DetachSize = uint32_t(Package.size() - 100);
  L.MinFileSize = int64_t(1) << 40;  // ignored
  PutLocator(Detached, L);
  EXPECT_EQ(CheckOutcome(Detached), "");
  Detached.resize(L.DetachSize);
  EXPECT_EQ(CheckOutcome(Detached), "");
  Detached.pop_back();
  EXPECT_EQ(CheckOutcome(Detached), TruncatedText);
}

TEST_F(PackageTest, DetachSizeIsComparedWithTheLowHalfOfTheSizeOnly) {
  sim::Bytes Detached = Package;
  TPackageLocator L = Loc;
  L.DetachSize = uint32_t(Package.size() + 1);
  PutLocator(Detached, L);
  InstallPackage(Detached);
  // 4 GiB + the real size: the low half is still one byte short.
  sim::Sim().SetVirtualSize(LauncherPath(), (uint64_t(1) << 32) + Package.size());
  EXPECT_EQ(RunPhase([](HANDLE F) { CheckPackage(F); }), 0u);
  EXPECT_EQ(OnlyBox().Text, TruncatedText);
}

TEST_F(PackageTest, EmptyCheckedRegionPassesOnlyWithCrcZero) {
  sim::Bytes F = Package;
  TPackageLocator L = Loc;
  L.CheckedLength = 0;
  L.CheckedCrc = 0;
  PutLocator(F, L);
  EXPECT_EQ(CheckOutcome(F), "");
  L.CheckedCrc = 1;
  PutLocator(F, L);
  EXPECT_EQ(CheckOutcome(F), ReadErrorText);
}

// A download that stopped anywhere is incomplete, never damaged: the size test comes first.
TEST_F(PackageTest, EveryCutPointIsReportedAsTruncated) {
  for (size_t Length = LocatorFileOffset + sizeof(TPackageLocator); Length < Package.size();
       ++Length) {
    sim::Bytes Cut(Package.begin(), Package.begin() + std::ptrdiff_t(Length));
    std::string Outcome = CheckOutcome(Cut);
    if (Outcome != TruncatedText) {
      ADD_FAILURE() << "cut at " << Length << ": " << Outcome;
      break;
    }
  }
}

TEST_F(PackageTest, EveryChangedByteInsideTheCheckedRegionIsDamage) {
  // Every byte of the header, the payloads and the texts; the engine data behind them is
  // checked the same way, so a stride through it suffices.
  TPackageHeader H = HeaderOf(Package);
  size_t TextsEnd = 0;
  for (const TMessageRef& M : {H.ExpiryMessage, H.BitnessMessage, H.WindowsMessage})
    TextsEnd = std::max(TextsEnd, size_t(M.Offset) + 2u * M.Length);
  for (size_t At = Loc.HeaderOffset; At < Loc.HeaderOffset + Loc.CheckedLength;
       At += At < TextsEnd ? 1 : 97) {
    sim::Bytes F = Package;
    F[At] ^= 0x01;
    std::string Outcome = CheckOutcome(F);
    if (Outcome != ReadErrorText) {
      ADD_FAILURE() << "byte " << At << ": " << Outcome;
      break;
    }
  }
}

TEST_F(PackageTest, ChangedBytesOutsideTheCheckedRegionPassThisPhase) {
  size_t Outside[] = {0x400,  // the launcher's own code
                      size_t(Loc.HeaderOffset + Loc.CheckedLength),
                      Package.size() - 1};
  for (size_t At : Outside) {
    SCOPED_TRACE(At);
    sim::Bytes F = Package;
    F[At] ^= 0xFF;
    EXPECT_EQ(CheckOutcome(F), "");
  }
}

// --- Package messages ---------------------------------------------------------------------

std::string ShowMessage(const std::string& Text, const char* Name, UINT CodePage = 1252) {
  sim::ResetSim();
  sim::Sim().AnsiCodePage = CodePage;
  TMessageTexts Texts;
  Texts.Windows = Text;
  PrepareMessages(Texts);
  uint32_t Code =
      RunPhase([Name](HANDLE F) { ShowPackageMessage(F, Header.WindowsMessage, Name); });
  EXPECT_EQ(Code, 0u);
  sim::BoxRecord Box = OnlyBox();
  EXPECT_EQ(Box.Caption, LauncherPath());
  EXPECT_EQ(Box.Flags, MB_ICONERROR);
  EXPECT_EQ(Box.Owner, nullptr);
  return Box.Text;
}

TEST(PackageMessage, PlaceholderRules) {
  struct Case {
    const char* Text;
    const char* Name;
    const char* Shown;
  } Cases[] = {
      {"Not on %USER%.", "Windows XP", "Not on Windows XP."},
      {"%USER%%user%x%USER%", "W", "WWxW"},
      {"Mixed %User% and %uSER% stay", "Windows XP", "Mixed %User% and %uSER% stay"},
      {"No name: %USER% %user%", nullptr, "No name: %USER% %user%"},
      {"Empty name [%user%]", "", "Empty name []"},
      {"Half %USER and USER%", "N", "Half %USER and USER%"},
      {"", "Windows XP", ""},
      // A name that holds a placeholder is inserted once; the search goes on behind it.
      {"On %USER% / %user%", "Windows 10 %USER%", "On Windows 10 %USER% / Windows 10 %USER%"},
      {"On %user%", "x%user%y", "On x%user%y"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(ShowMessage(C.Text, C.Name), C.Shown);
  }
}

TEST(PackageMessage, TextIsConvertedWithTheAnsiCodePage) {
  // U+00E9 exists in 1252; U+4E2D does not and becomes the default character.
  EXPECT_EQ(ShowMessage("caf\xc3\xa9 \xe4\xb8\xad", nullptr), "caf\xe9 ?");
}

TEST(PackageMessage, AZeroCodeUnitEndsTheShownText) {
  EXPECT_EQ(ShowMessage(std::string("before\0after", 12), nullptr), "before");
}

TEST(PackageMessage, ATextBeyondTheEndOfTheFileIsDamage) {
  for (uint32_t Offset : {0x7FFFFFF0u, 0x80000000u, 0xFFFFFFFFu, 10u}) {
    SCOPED_TRACE(Offset);
    sim::ResetSim();
    PrepareMessages();
    TMessageRef Ref = {Offset, 200};
    EXPECT_EQ(RunPhase([&Ref](HANDLE F) { ShowPackageMessage(F, Ref, "Windows XP"); }), 0u);
    EXPECT_EQ(OnlyBox().Text, ReadErrorText);
  }
}

}  // namespace
