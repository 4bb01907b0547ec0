// The expiry date and the choice of the 32-bit or the 64-bit engine, each run alone with the
// header set by the test.
#include <string>

#include "tests/unit/TestSupport.h"

using namespace testsupport;

namespace {

class GatesTest : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    PrepareMessages();
  }

  // The run's outcome: "pass", or the text of the one box it showed (exit code 0 checked).
  static std::string Outcome(uint32_t Exit) {
    if (Exit == sim::kNoExit) {
      return sim::Sim().Boxes.empty() ? "pass" : "<box without exit>";
    }
    EXPECT_EQ(Exit, 0u);
    sim::BoxRecord Box = OnlyBox();
    EXPECT_EQ(Box.Caption, LauncherPath());
    EXPECT_EQ(Box.Flags, MB_OK | MB_ICONERROR);
    return Box.Text;
  }
};

// ---- Expiry date -----------------------------------------------------------------------------

struct ExpiryCase {
  const char* Name;
  uint16_t Year, Month, Day;        // the expiry date in the header
  uint16_t TodayY, TodayM, TodayD;  // the local date
  const char* Expect;               // "pass" or "expired"
};

const ExpiryCase kExpiryCases[] = {
    {"day before", 2024, 3, 15, 2024, 3, 14, "pass"},
    {"a year before, later month", 2024, 3, 15, 2023, 4, 20, "pass"},
    {"earlier month, later day", 2024, 3, 15, 2024, 2, 29, "pass"},
    {"previous year's last day", 2024, 3, 15, 2023, 12, 31, "pass"},
    {"the day itself", 2024, 3, 15, 2024, 3, 15, "expired"},
    {"day after", 2024, 3, 15, 2024, 3, 16, "expired"},
    {"later month, earlier day", 2024, 3, 15, 2024, 4, 1, "expired"},
    {"later year, earlier month and day", 2024, 3, 15, 2025, 1, 1, "expired"},
    {"day 0: first day of the month", 2024, 3, 0, 2024, 3, 1, "expired"},
    {"day 0: month before", 2024, 3, 0, 2024, 2, 29, "pass"},
    {"month 13 is a plain number", 2024, 13, 1, 2024, 12, 31, "pass"},
    {"year above 32767 compares unsigned", 0x8000, 1, 1, 2026, 12, 11, "pass"},
    {"month above 32767 compares unsigned", 2026, 0x8000, 1, 2026, 12, 11, "pass"},
    {"day above 32767 compares unsigned", 2026, 12, 0x8000, 2026, 12, 11, "pass"},
};

TEST_F(GatesTest, ExpiryDateIsTheFirstDayRefused) {
  for (const ExpiryCase& C : kExpiryCases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    Header.ExpiryYear = C.Year;
    Header.ExpiryMonth = C.Month;
    Header.ExpiryDay = C.Day;
    sim::Sim().LocalTime = SYSTEMTIME{C.TodayY, C.TodayM, 3, C.TodayD, 23, 59, 59, 999};
    EXPECT_EQ(Outcome(RunPhase(CheckExpiryDate)), C.Expect);
    EXPECT_EQ(sim::Sim().LocalTimeReads, 1);
  }
}

TEST_F(GatesTest, ExpiryYearZeroNeverExpiresAndNeverReadsTheClock) {
  const uint16_t MonthDay[][2] = {{0, 0}, {1, 1}, {12, 31}, {0xFFFF, 0xFFFF}};
  for (const auto& MD : MonthDay) {
    SCOPED_TRACE(std::to_string(MD[0]) + "/" + std::to_string(MD[1]));
    SetUp();
    Header.ExpiryMonth = MD[0];
    Header.ExpiryDay = MD[1];
    sim::Sim().LocalTime = SYSTEMTIME{65535, 12, 0, 31, 0, 0, 0, 0};
    EXPECT_EQ(Outcome(RunPhase(CheckExpiryDate)), "pass");
    EXPECT_EQ(sim::Sim().LocalTimeReads, 0);
  }
}

// ---- Engine variant --------------------------------------------------------------------------

const uint32_t kOffset32 = 0x1000, kOffset64 = 0x9000;

struct PayloadCase {
  const char* Name;
  uint32_t Offset32, Offset64;
  const char* Args;  // the user's arguments
  sim::Wow64Mode Wow64;
  int Expect;      // 32 or 64: that engine; 0: refused with the bitness message
  int Wow64Calls;  // how often IsWow64Process was asked
};

using W = sim::Wow64Mode;
const PayloadCase kPayloadCases[] = {
    // Only a 64-bit engine: "/32" is ignored, whatever Payload64 holds.
    {"64 only, 64-bit Windows", 0, kOffset64, "", W::Yes, 64, 1},
    {"64 only, 32-bit Windows", 0, kOffset64, "", W::No, 0, 1},
    {"64 only, /32, 64-bit Windows", 0, kOffset64, "/32", W::Yes, 64, 1},
    {"64 only, /32, 32-bit Windows", 0, kOffset64, "/32", W::No, 0, 1},
    {"64 only, offset -1 still chosen", 0, PayloadRefuses64Bit, "", W::Yes, 64, 1},
    {"64 only, offset 0 still chosen", 0, 0, "", W::Yes, 64, 1},
    {"64 only, no IsWow64Process", 0, kOffset64, "", W::Missing, 0, 0},
    {"64 only, IsWow64Process fails", 0, kOffset64, "", W::Fails, 0, 1},
    // Only a 32-bit engine: WOW64 is not asked.
    {"32 only, 64-bit Windows", kOffset32, 0, "", W::Yes, 32, 0},
    {"32 only, 32-bit Windows", kOffset32, 0, "/32", W::No, 32, 0},
    // A 32-bit engine that refuses 64-bit Windows.
    {"refuses 64, 32-bit Windows", kOffset32, PayloadRefuses64Bit, "", W::No, 32, 1},
    {"refuses 64, 64-bit Windows", kOffset32, PayloadRefuses64Bit, "", W::Yes, 0, 1},
    {"refuses 64, /32 on 64-bit Windows", kOffset32, PayloadRefuses64Bit, "/32", W::Yes, 0, 1},
    {"refuses 64, no IsWow64Process", kOffset32, PayloadRefuses64Bit, "", W::Missing, 32, 0},
    {"refuses 64, IsWow64Process fails", kOffset32, PayloadRefuses64Bit, "", W::Fails, 32, 1},
    // Both engines.
    {"both, 32-bit Windows", kOffset32, kOffset64, "", W::No, 32, 1},
    {"both, 64-bit Windows", kOffset32, kOffset64, "", W::Yes, 64, 1},
    {"both, /32 third of five", kOffset32, kOffset64, "a b /32 c d", W::Yes, 32, 0},
    {"both, /32 last", kOffset32, kOffset64, "x /32", W::Yes, 32, 0},
    {"both, /32 first", kOffset32, kOffset64, "/32 x", W::Yes, 32, 0},
    {"both, quoted /32", kOffset32, kOffset64, "\"/32\"", W::Yes, 32, 0},
    {"both, /32x is no switch", kOffset32, kOffset64, "/32x", W::Yes, 64, 1},
    {"both, x/32 is no switch", kOffset32, kOffset64, "x/32", W::Yes, 64, 1},
    {"both, -32 is no switch", kOffset32, kOffset64, "-32", W::Yes, 64, 1},
    {"both, \\32 is no switch", kOffset32, kOffset64, "\\32", W::Yes, 64, 1},
    {"both, /32 with a blank is no switch", kOffset32, kOffset64, "\"/32 \"", W::Yes, 64, 1},
    {"both, /3 is no switch", kOffset32, kOffset64, "/3 2", W::Yes, 64, 1},
    {"both, no IsWow64Process", kOffset32, kOffset64, "", W::Missing, 32, 0},
    {"both, IsWow64Process fails", kOffset32, kOffset64, "", W::Fails, 32, 1},
};

TEST_F(GatesTest, SelectPayloadFollowsItsTableFromTheTop) {
  for (const PayloadCase& C : kPayloadCases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    SetArgs(C.Args);
    sim::Sim().Wow64 = C.Wow64;
    // Distinct sizes show that the whole record of the chosen engine is copied.
    Header.Payload32 = TPayloadRef{C.Offset32, 111, 222};
    Header.Payload64 = TPayloadRef{C.Offset64, 333, 444};
    TPayloadRef Chosen{0xDEAD, 0xDEAD, 0xDEAD};
    uint32_t Exit = RunPhase([&Chosen](HANDLE File) { Chosen = SelectPayload(File); });
    EXPECT_EQ(sim::Sim().IsWow64Calls, C.Wow64Calls);
    if (C.Expect == 0) {
      EXPECT_EQ(Outcome(Exit), "bitness");
      continue;
    }
    ASSERT_EQ(Outcome(Exit), "pass");
    const TPayloadRef& Want = C.Expect == 32 ? Header.Payload32 : Header.Payload64;
    EXPECT_EQ(Chosen.Offset, Want.Offset);
    EXPECT_EQ(Chosen.PackedSize, Want.PackedSize);
    EXPECT_EQ(Chosen.UnpackedSize, Want.UnpackedSize);
  }
}

TEST_F(GatesTest, Wow64IsLookedUpAfreshAtEveryCall) {
  bool First = true, Second = false;
  sim::Sim().Wow64 = sim::Wow64Mode::Missing;
  RunPhase([&](HANDLE) {
    First = RunningOnWow64();
    sim::Sim().Wow64 = sim::Wow64Mode::Yes;  // e.g. an update that adds the export
    Second = RunningOnWow64();
  });
  EXPECT_FALSE(First);
  EXPECT_TRUE(Second);
}

}  // namespace
