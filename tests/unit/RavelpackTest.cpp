// The package tool's pieces, in process: the LZMA encoder against liblzma's decoders, the
// launcher's payload rules, the option parsers, the launcher image checks, and whole packages
// from BuildPackage read back by InspectPackage.
#include <gtest/gtest.h>
#include <lzma.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "package/CRC32.h"
#include "package/StubTypes.h"
#include "tools/pefix/PeChecksum.h"
#include "tools/ravelpack/CommandLine.h"
#include "tools/ravelpack/LzmaEncoder.h"
#include "tools/ravelpack/PackageInspector.h"
#include "tools/ravelpack/PackageWriter.h"
#include "tools/ravelpack/PayloadCheck.h"
#include "tools/ravelpack/PeImage.h"
#include "tools/ravelpack/ToolError.h"
#include "tools/ravelpack/Utf16.h"
#include "tools/ravelpack/WindowsNames.h"

namespace {

using TBytes = std::vector<uint8_t>;

// Engine-like data: a stretch that compresses well, then noise, then text.
TBytes SampleData(size_t Size, uint32_t Seed = 1) {
  std::mt19937 Random(Seed);
  TBytes Data(Size);
  for (size_t I = 0; I < Size; ++I) {
    if (I < Size / 3) {
      Data[I] = uint8_t(I % 17);
    } else if (I < 2 * Size / 3) {
      Data[I] = uint8_t(Random());
    } else {
      Data[I] = "setup engine "[I % 13];
    }
  }
  return Data;
}

void Put16(TBytes& B, size_t At, uint32_t V) {
  B[At] = uint8_t(V);
  B[At + 1] = uint8_t(V >> 8);
}

void Put32(TBytes& B, size_t At, uint32_t V) {
  for (int K = 0; K < 4; ++K) B[At + K] = uint8_t(V >> (8 * K));
}

// A PE32 image shaped like the launcher: PE header at 256, bytes 128 to 255 zero, one
// section of raw data ending the file. Never run, only packaged.
TBytes MakeLauncher(uint16_t Magic = 0x10B) {
  const uint32_t Pe = 256, OptionalSize = 224, RawPointer = 0x400, RawSize = 0x200;
  TBytes Image(RawPointer + RawSize, 0);
  Image[0] = 'M';
  Image[1] = 'Z';
  Put32(Image, 60, Pe);
  memcpy(&Image[64], "This program cannot be run in DOS mode.", 39);
  memcpy(&Image[Pe], "PE\0\0", 4);
  Put16(Image, Pe + 4, 0x14C);
  Put16(Image, Pe + 6, 1);
  Put16(Image, Pe + 20, OptionalSize);
  const uint32_t Optional = Pe + 24;
  Put16(Image, Optional, Magic);
  Put32(Image, Optional + 56, 0x2000);      // SizeOfImage
  Put32(Image, Optional + 60, RawPointer);  // SizeOfHeaders
  Put32(Image, Optional + 92, 16);          // NumberOfRvaAndSizes
  const uint32_t Section = Optional + OptionalSize;
  memcpy(&Image[Section], ".text", 5);
  Put32(Image, Section + 16, RawSize);
  Put32(Image, Section + 20, RawPointer);
  for (uint32_t I = RawPointer; I < Image.size(); ++I) Image[I] = uint8_t(I * 7 + 3);
  return Image;
}

std::string RefusalOf(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const TToolError& Error) {
    return Error.what();
  }
  return "";
}

lzma_options_lzma DefaultOptions(uint64_t Largest = 1 << 20) {
  return ResolveLzmaOptions(TLzmaSettings(), Largest);
}

// Decodes with liblzma's strict reading of "no end marker, exactly Size bytes".
bool DecodesStrictly(const lzma_options_lzma& Options, const TBytes& Packed,
                     const TBytes& Expected) {
  lzma_options_lzma Strict = Options;
  Strict.ext_flags = 0;  // an end marker anywhere is an error
  Strict.ext_size_low = uint32_t(Expected.size());
  Strict.ext_size_high = 0;
  lzma_filter Filters[2] = {{LZMA_FILTER_LZMA1EXT, &Strict}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream Stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&Stream, Filters) != LZMA_OK) return false;
  TBytes Out(Expected.size() + 16);
  Stream.next_in = Packed.data();
  Stream.avail_in = Packed.size();
  Stream.next_out = Out.data();
  Stream.avail_out = Out.size();
  lzma_ret Result = lzma_code(&Stream, LZMA_FINISH);
  Out.resize(Stream.total_out);
  bool AllInputUsed = Stream.total_in == Packed.size();
  lzma_end(&Stream);
  return Result == LZMA_STREAM_END && AllInputUsed && Out == Expected;
}

// The MicroLZMA encoder's output for the same input: also without an end marker.
TBytes EncodeMicroLzma(const lzma_options_lzma& Options, const TBytes& Input) {
  lzma_stream Stream = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_microlzma_encoder(&Stream, &Options), LZMA_OK);
  TBytes Out(Input.size() * 2 + 64);
  Stream.next_in = Input.data();
  Stream.avail_in = Input.size();
  Stream.next_out = Out.data();
  Stream.avail_out = Out.size();
  EXPECT_EQ(lzma_code(&Stream, LZMA_FINISH), LZMA_STREAM_END);
  EXPECT_EQ(Stream.total_in, Input.size());
  Out.resize(Stream.total_out);
  lzma_end(&Stream);
  return Out;
}

// ---------------------------------------------------------------------------------------
// The encoder

struct TEncodeCase {
  const char* Name;
  int Lc, Lp, Pb;
  size_t Size;
};

void PrintTo(const TEncodeCase& Case, std::ostream* Out) {
  *Out << Case.Name;
}

class EncoderTest : public ::testing::TestWithParam<TEncodeCase> {};

TEST_P(EncoderTest, WritesPlainLzma1WithoutEndMarkerThatDecodesExactly) {
  const TEncodeCase& Case = GetParam();
  TLzmaSettings Settings;
  Settings.Lc = Case.Lc;
  Settings.Lp = Case.Lp;
  Settings.Pb = Case.Pb;
  lzma_options_lzma Options = ResolveLzmaOptions(Settings, Case.Size);
  TBytes Input = SampleData(Case.Size);
  TBytes Packed = EncodeLzma(Options, false, Input, nullptr);
  ASSERT_GE(Packed.size(), 5u);
  EXPECT_EQ(Packed[0], 0) << "a plain LZMA1 stream starts with the range coder's 0 byte";
  EXPECT_TRUE(DecodesStrictly(Options, Packed, Input));
  EXPECT_EQ(CheckPayloadDecodes(LzmaPropsByte(Options), Options.dict_size, Packed,
                                uint32_t(Input.size()), nullptr),
            "");

  // The same stream as liblzma's MicroLZMA encoder writes, but for the first byte, which
  // MicroLZMA replaces with the inverted properties byte.
  TBytes Micro = EncodeMicroLzma(Options, Input);
  ASSERT_EQ(Micro.size(), Packed.size());
  EXPECT_EQ(Micro[0], uint8_t(~LzmaPropsByte(Options)));
  EXPECT_TRUE(std::equal(Packed.begin() + 1, Packed.end(), Micro.begin() + 1));

  // With --end-marker the stream is the same data plus the marker, which a decoder that
  // knows no size needs to stop.
  TBytes Marked = EncodeLzma(Options, true, Input, nullptr);
  EXPECT_GT(Marked.size(), Packed.size());
  EXPECT_FALSE(DecodesStrictly(Options, Marked, Input)) << "the marker must be there";
  EXPECT_EQ(CheckPayloadDecodes(LzmaPropsByte(Options), Options.dict_size, Marked,
                                uint32_t(Input.size()), nullptr),
            "");
}

INSTANTIATE_TEST_SUITE_P(Settings, EncoderTest,
                         ::testing::Values(TEncodeCase{"Defaults", -1, -1, -1, 100000},
                                           TEncodeCase{"OneByte", -1, -1, -1, 1},
                                           TEncodeCase{"Lc0Lp4Pb4", 0, 4, 4, 70000},
                                           TEncodeCase{"Lc4Lp0Pb0", 4, 0, 0, 70000},
                                           TEncodeCase{"Lc1Lp3Pb1", 1, 3, 1, 3000},
                                           TEncodeCase{"TwoSlices", -1, -1, -1,
                                                       (1u << 20) + 100000}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(Encoder, EmptyInputGivesAStreamThatDecodesToNothing) {
  lzma_options_lzma Options = DefaultOptions(0);
  TBytes Packed = EncodeLzma(Options, false, {}, nullptr);
  EXPECT_TRUE(DecodesStrictly(Options, Packed, {}));
}

TEST(Encoder, ReportsProgressUpToTheWholeInput) {
  TBytes Input = SampleData(5u << 19);
  uint64_t Last = 0, Calls = 0;
  bool Monotonic = true;
  TLzmaSettings Fast;
  Fast.Preset = 1;
  EncodeLzma(ResolveLzmaOptions(Fast, Input.size()), false, Input,
             [&](uint64_t Done, uint64_t Total) {
               EXPECT_EQ(Total, Input.size());
               Monotonic = Monotonic && Done >= Last;
               Last = Done;
               ++Calls;
             });
  EXPECT_TRUE(Monotonic);
  EXPECT_EQ(Last, Input.size());
  EXPECT_GE(Calls, 3u);
}

TEST(Encoder, SameInputSameBytes) {
  TBytes Input = SampleData(200000, 7);
  EXPECT_EQ(EncodeLzma(DefaultOptions(), false, Input, nullptr),
            EncodeLzma(DefaultOptions(), false, Input, nullptr));
}

TEST(LzmaSettings, DefaultDictionaryIsNoLargerThanTheLargestInputNeeds) {
  struct {
    uint64_t Largest;
    uint32_t Dict;
  } Rows[] = {{0, 4096}, {4096, 4096}, {4097, 8192}, {100000, 131072}, {64u << 20, 8u << 20}};
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Largest);
    EXPECT_EQ(DefaultOptions(Row.Largest).dict_size, Row.Dict);
  }
  TLzmaSettings Given;
  Given.DictSize = 1u << 20;
  EXPECT_EQ(ResolveLzmaOptions(Given, 10).dict_size, 1u << 20) << "an explicit size stays";
}

TEST(LzmaSettings, PropsByteAndPresets) {
  EXPECT_EQ(LzmaPropsByte(DefaultOptions()), 93);  // lc 3, lp 0, pb 2
  TLzmaSettings Settings;
  Settings.Lc = 0;
  Settings.Lp = 4;
  Settings.Pb = 4;
  EXPECT_EQ(LzmaPropsByte(ResolveLzmaOptions(Settings, 10)), (4 * 5 + 4) * 9 + 0);
  TLzmaSettings Extreme;
  ParsePreset("9e", Extreme);
  EXPECT_EQ(Extreme.Preset, 9u);
  EXPECT_TRUE(Extreme.Extreme);
  EXPECT_EQ(ResolveLzmaOptions(Extreme, 100u << 20).dict_size, 64u << 20);
}

TEST(LzmaSettings, RefusesWhatTheEncoderCannotTake) {
  struct {
    int Lc, Lp, Pb;
    uint32_t Dict;
    const char* Says;
  } Rows[] = {
      {5, 0, 2, 0, "lc and lp must be 0 to 4"},
      {3, 2, 2, 0, "lc + lp <= 4"},
      {4, 1, 0, 0, "lc + lp <= 4"},
      {0, 0, 5, 0, "pb 0 to 4"},
      {3, 0, 2, 4095, "--dict-size must be 4096"},
      {3, 0, 2, 0xC0000001u, "--dict-size"},
  };
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Says);
    TLzmaSettings Settings;
    Settings.Lc = Row.Lc;
    Settings.Lp = Row.Lp;
    Settings.Pb = Row.Pb;
    Settings.DictSize = Row.Dict;
    EXPECT_NE(RefusalOf([&] { ResolveLzmaOptions(Settings, 100); }).find(Row.Says),
              std::string::npos);
  }
}

// ---------------------------------------------------------------------------------------
// The launcher's payload rules, as `inspect` applies them

TEST(PayloadCheck, ExactSizeRuleAndPropertyLimits) {
  lzma_options_lzma Options = DefaultOptions();
  const uint8_t Props = LzmaPropsByte(Options);
  TBytes Input = SampleData(50000);
  const uint32_t Size = uint32_t(Input.size());
  TBytes Plain = EncodeLzma(Options, false, Input, nullptr);
  TBytes Marked = EncodeLzma(Options, true, Input, nullptr);
  TBytes Trailing = Plain;
  Trailing.insert(Trailing.end(), 100, 0xAB);
  TBytes Cut(Plain.begin(), Plain.end() - 20);
  TBytes Micro = EncodeMicroLzma(Options, Input);
  struct {
    const char* Name;
    uint8_t Props;
    uint32_t Dict;
    const TBytes* Packed;
    uint32_t Unpacked;
    bool Passes;
  } Rows[] = {
      {"exact", Props, Options.dict_size, &Plain, Size, true},
      {"end marker right behind the data", Props, Options.dict_size, &Marked, Size, true},
      {"input left over", Props, Options.dict_size, &Trailing, Size, true},
      {"UnpackedSize one too large", Props, Options.dict_size, &Plain, Size + 1, false},
      {"UnpackedSize one too small", Props, Options.dict_size, &Plain, Size - 1, false},
      {"end marker before UnpackedSize", Props, Options.dict_size, &Marked, Size + 1, false},
      {"payload cut short", Props, Options.dict_size, &Cut, Size, false},
      {"MicroLZMA first byte", Props, Options.dict_size, &Micro, Size, false},
      {"LzmaProps 225", 225, Options.dict_size, &Plain, Size, false},
      {"lc + lp above 4", 3 + 9 * 2 + 45 * 2, Options.dict_size, &Plain, Size, false},
      {"DictSize 2^31", Props, 0x80000000u, &Plain, Size, false},
      {"UnpackedSize 0 passes whatever the input", 224, 0, &Cut, 0, true},
  };
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    TBytes Decoded;
    std::string Problem =
        CheckPayloadDecodes(Row.Props, Row.Dict, *Row.Packed, Row.Unpacked, &Decoded);
    EXPECT_EQ(Problem.empty(), Row.Passes) << Problem;
    if (Row.Passes && Row.Unpacked != 0) EXPECT_EQ(Decoded, Input);
  }
}

TEST(PayloadCheck, SmallDictionaryThatHoldsTheDataPasses) {
  // DictSize 0 is accepted with a 4096-byte window: data whose matches stay within 4096
  // bytes decodes.
  TLzmaSettings Settings;
  Settings.DictSize = 4096;
  lzma_options_lzma Options = ResolveLzmaOptions(Settings, 3000);
  TBytes Input = SampleData(3000);
  TBytes Packed = EncodeLzma(Options, false, Input, nullptr);
  EXPECT_EQ(CheckPayloadDecodes(LzmaPropsByte(Options), 0, Packed, 3000, nullptr), "");
}

// ---------------------------------------------------------------------------------------
// Option parsers

TEST(Parsers, Dates) {
  struct {
    const char* Text;
    bool Valid;
  } Rows[] = {{"2030-01-31", true},  {"2024-02-29", true},  {"2000-02-29", true},
              {"1900-02-29", false}, {"2023-02-29", false}, {"2030-04-31", false},
              {"2030-13-01", false}, {"2030-00-10", false}, {"2030-01-00", false},
              {"2030-1-31", false},  {"30-01-31", false},   {"2030/01/31", false},
              {"0000-01-01", false}, {"", false},           {"2030-01-31-", false}};
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Text);
    std::string Refusal = RefusalOf([&] { ParseDate("--expires", Row.Text, true); });
    EXPECT_EQ(Refusal.empty(), Row.Valid) << Refusal;
    if (!Row.Valid) EXPECT_EQ(Refusal.rfind("--expires", 0), 0u) << "names the option";
  }
  TDate Date = ParseDate("--expires", "2030-01-31", true);
  EXPECT_EQ(Date.Year, 2030);
  EXPECT_EQ(Date.Month, 1);
  EXPECT_EQ(Date.Day, 31);
  TDate Raw = ParseDate("--raw-expiry", "2030-13-0", false);
  EXPECT_EQ(Raw.Month, 13);
  EXPECT_EQ(Raw.Day, 0);
}

TEST(Parsers, WindowsList) {
  TWindowsSet Set = ParseWindowsList("xp,8.1,later");
  uint64_t Bits;
  memcpy(&Bits, Set.Bits, 8);
  EXPECT_EQ(Bits, (1ull << wvWinXP) | (1ull << wvWin81) | (1ull << wvLater));
  TWindowsSet All = AllWindows();
  memcpy(&Bits, All.Bits, 8);
  EXPECT_EQ(Bits, 0xFFFull | (1ull << 63)) << "every named element and nothing else";
  EXPECT_EQ(WindowsNameCount, 13u);
  for (const char* Bad : {"", "xp,", "XP", "8,1", "win10", "10 ,11"}) {
    SCOPED_TRACE(Bad);
    EXPECT_NE(RefusalOf([&] { ParseWindowsList(Bad); }), "");
  }
}

TEST(Parsers, RangesNumbersElevationPresets) {
  TReleaseRange Range = ParseReleaseRange("--win10-releases", "1903-2210", true);
  EXPECT_EQ(Range.Min, 1903);
  EXPECT_EQ(Range.Max, 2210);
  EXPECT_EQ(ParseReleaseRange("--raw-win10-releases", "2210-1903", false).Min, 2210);
  for (const char* Bad : {"2210-1903", "1903", "1903-", "-2210", "1903-70000", "a-b", "1-2-3"}) {
    SCOPED_TRACE(Bad);
    EXPECT_NE(RefusalOf([&] { ParseReleaseRange("--win10-releases", Bad, true); }), "");
  }
  EXPECT_EQ(ParseNumber("--raw-props", "0xE1", 255), 225u);
  EXPECT_EQ(ParseNumber("--raw-windows-set", "18446744073709551615", UINT64_MAX), UINT64_MAX);
  for (const char* Bad : {"256", "-1", "0x", "1e3", "18446744073709551616", " 5"}) {
    SCOPED_TRACE(Bad);
    EXPECT_NE(RefusalOf([&] { ParseNumber("--raw-props", Bad, 255); }), "");
  }
  EXPECT_EQ(ParseElevation("none"), emNone);
  EXPECT_EQ(ParseElevation("require-admin"), emRequireAdmin);
  EXPECT_EQ(ParseElevation("no-admin"), emNoAdmin);
  EXPECT_EQ(ParseElevation("7"), 7);
  for (const char* Bad : {"admin", "256", "", "None"}) {
    SCOPED_TRACE(Bad);
    EXPECT_NE(RefusalOf([&] { ParseElevation(Bad); }), "");
  }
  for (const char* Bad : {"10", "e", "5x", "", "6ee"}) {
    SCOPED_TRACE(Bad);
    TLzmaSettings Settings;
    EXPECT_NE(RefusalOf([&] { ParsePreset(Bad, Settings); }), "");
  }
}

TEST(Parsers, BuildOptionsNeedLauncherOutAndAnEngine) {
  using TArgs = std::vector<std::string>;
  const TArgs Base = {"--launcher", "l", "--out", "o"};
  struct {
    TArgs Extra;
    const char* Says;  // nullptr: accepted
  } Rows[] = {
      {{"--engine32", "e"}, nullptr},
      {{}, "no engine"},
      {{"--engine64", "e", "--refuse-64bit-windows"}, "--refuse-64bit-windows needs"},
      {{"--engine32", "e", "--engine64", "f", "--refuse-64bit-windows"}, "needs --engine32"},
      {{"--engine32", "e", "--bogus"}, "unknown option '--bogus'"},
      {{"--engine32", "e", "--preset"}, "--preset needs a value"},
      {{"--engine32", "e", "--dict-size", "0"}, "--dict-size must not be 0"},
  };
  for (const auto& Row : Rows) {
    TArgs Args = Base;
    Args.insert(Args.end(), Row.Extra.begin(), Row.Extra.end());
    SCOPED_TRACE(::testing::PrintToString(Args));
    std::string Refusal = RefusalOf([&] { ParseBuildOptions(Args); });
    if (Row.Says == nullptr) {
      EXPECT_EQ(Refusal, "");
    } else {
      EXPECT_NE(Refusal.find(Row.Says), std::string::npos) << Refusal;
    }
  }
  EXPECT_NE(RefusalOf([] { ParseBuildOptions({"--out", "o", "--engine32", "e"}); }), "");
  EXPECT_NE(RefusalOf([] { ParseBuildOptions({"--launcher", "l", "--engine32", "e"}); }), "");
}

TEST(Utf16, ConvertsBothWaysAndRefusesBrokenUtf8) {
  std::vector<uint16_t> Text = Utf8ToUtf16("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "text");
  EXPECT_EQ(Text, (std::vector<uint16_t>{0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(Text), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8({0xD800, 0x41}),
            "\xEF\xBF\xBD"
            "A")
      << "a lone surrogate";
  for (const char* Bad :
       {"\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "a\xE2\x82"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(Bad)));
    EXPECT_NE(RefusalOf([&] { Utf8ToUtf16(Bad, "text"); }), "");
  }
}

// ---------------------------------------------------------------------------------------
// The launcher image

TEST(LauncherImage, RefusesWhatAPackageCannotBeBuiltOn) {
  struct {
    const char* Name;
    std::function<void(TBytes&)> Damage;
    const char* Says;
  } Rows[] = {
      {"not MZ", [](TBytes& B) { B[0] = 'X'; }, "not a PE32 file"},
      {"no PE signature", [](TBytes& B) { B[257] = 'X'; }, "not a PE32 file"},
      {"PE32+", [](TBytes& B) { Put16(B, 256 + 24, 0x20B); }, "not a 32-bit (PE32) image"},
      {"header cut", [](TBytes& B) { B.resize(300); }, "not a PE32 file"},
      {"section runs past the end", [](TBytes& B) { B.resize(B.size() - 1); }, "runs past"},
      {"byte 128 set", [](TBytes& B) { B[128] = 1; }, "bytes 128 to 255 are not zero"},
      {"byte 255 set", [](TBytes& B) { B[255] = 1; }, "bytes 128 to 255 are not zero"},
      {"data behind the sections", [](TBytes& B) { B.push_back(0); }, "behind its last section"},
      {"certificate table", [](TBytes& B) { Put32(B, 256 + 24 + 96 + 4 * 8 + 4, 8); }, "signed"},
  };
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    TBytes Image = MakeLauncher();
    Row.Damage(Image);
    std::string Refusal = RefusalOf([&] { CheckLauncherImage(Image); });
    EXPECT_NE(Refusal.find(Row.Says), std::string::npos) << Refusal;
  }
  TPeLayout Layout = CheckLauncherImage(MakeLauncher());
  EXPECT_EQ(Layout.SectionsEnd, MakeLauncher().size());
}

// ---------------------------------------------------------------------------------------
// Whole packages

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Options.Launcher = "launcher.exe";
    Options.Out = "package.exe";
    Options.Engine32 = "engine32.exe";
    Options.Windows = AllWindows();
    Inputs.Launcher = MakeLauncher();
    Inputs.Engine32 = SampleData(20000, 32);
    Inputs.HasEngine32 = true;
    Inputs.EngineData = SampleData(300, 5);
  }

  void AddEngine64() {
    Options.Engine64 = "engine64.exe";
    Inputs.Engine64 = SampleData(30000, 64);
    Inputs.HasEngine64 = true;
  }

  TBytes Build() { return BuildPackage(Options, Inputs, nullptr); }

  static TPackageLocator LocatorOf(const TBytes& File) {
    TPackageLocator L;
    memcpy(&L, &File[LocatorFileOffset], sizeof(L));
    return L;
  }

  static TPackageHeader HeaderOf(const TBytes& File) {
    TPackageHeader H;
    memcpy(&H, &File[LocatorOf(File).HeaderOffset], sizeof(H));
    return H;
  }

  static std::string FirstFailure(const TBytes& File) {
    TInspection I = InspectPackage(File);
    return I.Failures.empty() ? "" : I.Failures[0];
  }

  TBuildOptions Options;
  TPackageInputs Inputs;
};

TEST_F(PackageTest, LayoutFollowsTheLauncher) {
  AddEngine64();
  TBytes File = Build();
  TPackageLocator L = LocatorOf(File);
  TPackageHeader H = HeaderOf(File);
  EXPECT_EQ(L.HeaderOffset, Inputs.Launcher.size()) << "the header follows the last section";
  // The launcher is copied unchanged but for the locator and the PE checksum field.
  EXPECT_TRUE(std::equal(Inputs.Launcher.begin(), Inputs.Launcher.begin() + 128, File.begin()));
  EXPECT_TRUE(std::equal(Inputs.Launcher.begin() + 256 + 92, Inputs.Launcher.end(),
                         File.begin() + 256 + 92));
  EXPECT_EQ(H.Payload32.Offset, L.HeaderOffset + sizeof(TPackageHeader));
  EXPECT_EQ(H.Payload64.Offset, H.Payload32.Offset + H.Payload32.PackedSize);
  EXPECT_EQ(H.Payload32.UnpackedSize, Inputs.Engine32.size());
  EXPECT_EQ(H.Payload64.UnpackedSize, Inputs.Engine64.size());
  EXPECT_EQ(H.ExpiryMessage.Offset, H.Payload64.Offset + H.Payload64.PackedSize);
  EXPECT_EQ(H.BitnessMessage.Offset, H.ExpiryMessage.Offset + 2u * H.ExpiryMessage.Length);
  EXPECT_EQ(H.WindowsMessage.Offset, H.BitnessMessage.Offset + 2u * H.BitnessMessage.Length);
  const uint32_t EngineData = H.WindowsMessage.Offset + 2u * H.WindowsMessage.Length;
  EXPECT_TRUE(
      std::equal(Inputs.EngineData.begin(), Inputs.EngineData.end(), File.begin() + EngineData));
  EXPECT_EQ(uint64_t(L.MinFileSize), File.size());
  EXPECT_EQ(EngineData + Inputs.EngineData.size(), File.size());
  EXPECT_EQ(L.HeaderOffset + L.CheckedLength, File.size()) << "small engine data: all checked";
  EXPECT_EQ(L.CheckedCrc, CalcCrc32(&File[L.HeaderOffset], int32_t(L.CheckedLength)));
  EXPECT_EQ(L.DetachSize, 0u);
  EXPECT_TRUE(pechecksum::ChecksumIsRight(File.data(), File.size()));
  for (uint32_t I = 152; I < 256; ++I) ASSERT_EQ(File[I], 0) << I;
}

TEST_F(PackageTest, CheckedRegionTakesOnlyTheFirst64KiBOfEngineData) {
  Inputs.EngineData = SampleData(200000, 9);
  TBytes File = Build();
  TPackageLocator L = LocatorOf(File);
  EXPECT_EQ(File.size() - (L.HeaderOffset + L.CheckedLength),
            Inputs.EngineData.size() - CheckedEngineDataLength);
  EXPECT_EQ(uint64_t(L.MinFileSize), File.size());
}

TEST_F(PackageTest, InspectAgreesWithWhatWasAsked) {
  AddEngine64();
  Options.Expiry = {2031, 6, 30};
  Options.Windows = ParseWindowsList("xp,vista,10,later");
  Options.Win10Releases = {1809, 2210};
  Options.Win11Releases = {2200, 9999};
  Options.Elevation = emNoAdmin;
  Options.Detach = true;
  Options.ExpiryMessage = "Expired \xE2\x82\xAC";
  Options.BitnessMessage = "";
  Options.WindowsMessage = "Not on %USER% or %user%.";
  Options.Lzma.Lc = 1;
  Options.Lzma.Lp = 2;
  Options.Lzma.Pb = 3;
  Options.Lzma.DictSize = 65536;
  TBytes File = Build();
  TInspection I = InspectPackage(File);
  EXPECT_TRUE(I.Failures.empty()) << ::testing::PrintToString(I.Failures);
  ASSERT_TRUE(I.HasHeader);
  const TPackageHeader& H = I.Header;
  EXPECT_EQ(H.LzmaProps, (3 * 5 + 2) * 9 + 1);
  EXPECT_EQ(H.DictSize, 65536u);
  EXPECT_EQ(memcmp(H.WindowsSet.Bits, Options.Windows.Bits, 8), 0);
  EXPECT_EQ(H.Win10MinRelease, 1809);
  EXPECT_EQ(H.Win10MaxRelease, 2210);
  EXPECT_EQ(H.Win11MinRelease, 2200);
  EXPECT_EQ(H.Win11MaxRelease, 9999);
  EXPECT_EQ(H.ElevationMode, emNoAdmin);
  EXPECT_EQ(H.ExpiryYear, 2031);
  EXPECT_EQ(H.ExpiryMonth, 6);
  EXPECT_EQ(H.ExpiryDay, 30);
  EXPECT_EQ(I.Locator.DetachSize, File.size());
  EXPECT_EQ(I.Messages[0].Utf8, "Expired \xE2\x82\xAC");
  EXPECT_EQ(H.ExpiryMessage.Length, 9) << "UTF-16 code units, not UTF-8 bytes";
  EXPECT_EQ(H.BitnessMessage.Length, 0);
  EXPECT_TRUE(I.Messages[1].Readable);
  EXPECT_EQ(I.Messages[2].Utf8, "Not on %USER% or %user%.");
  EXPECT_TRUE(I.Payloads[0].Present && I.Payloads[1].Present);
  std::string Text = FormatInspection(I);
  for (const char* Shown :
       {"ExpiryYear      2031", "xp, vista, 10, later", "ElevationMode   2 (no-admin)",
        "Win10MaxRelease 2210\n", "\"Not on %USER% or %user%.\"", "verdict: passes"}) {
    EXPECT_NE(Text.find(Shown), std::string::npos) << Shown << "\n" << Text;
  }
}

TEST_F(PackageTest, DefaultsAndThe64BitRefusal) {
  Options.Refuse64BitWindows = true;
  TBytes File = Build();
  TPackageHeader H = HeaderOf(File);
  EXPECT_EQ(H.Payload64.Offset, PayloadRefuses64Bit);
  EXPECT_EQ(H.ExpiryYear, 0);
  EXPECT_EQ(H.Win10MinRelease, 1507);
  EXPECT_EQ(H.Win10MaxRelease, 9999);
  EXPECT_EQ(H.Win11MinRelease, 2110);
  EXPECT_EQ(H.Win11MaxRelease, 9999);
  EXPECT_EQ(H.ElevationMode, emNone);
  TInspection I = InspectPackage(File);
  EXPECT_TRUE(I.Failures.empty());
  EXPECT_FALSE(I.Payloads[1].Present);
  EXPECT_EQ(I.Messages[1].Utf8, DefaultBitnessMessage(Options));
  EXPECT_NE(I.Messages[1].Utf8.find("64-bit"), std::string::npos);
  EXPECT_NE(I.Messages[2].Utf8.find("%USER%"), std::string::npos);
}

TEST_F(PackageTest, Only64BitEngine) {
  Options.Engine32.clear();
  Inputs.HasEngine32 = false;
  Inputs.Engine32.clear();
  AddEngine64();
  TBytes File = Build();
  TPackageHeader H = HeaderOf(File);
  EXPECT_EQ(H.Payload32.Offset, 0u);
  EXPECT_EQ(H.Payload64.Offset, LocatorOf(File).HeaderOffset + sizeof(TPackageHeader));
  EXPECT_EQ(FirstFailure(File), "");
}

TEST_F(PackageTest, SameInputsSameBytes) {
  AddEngine64();
  EXPECT_EQ(Build(), Build());
}

TEST_F(PackageTest, SizeTestCutsAndDetachSize) {
  TBytes File = Build();
  TBytes Signed = File;  // a signature or any tail behind MinFileSize
  Signed.resize(File.size() + 4096, 0x5A);
  EXPECT_EQ(FirstFailure(Signed), "");
  // Every cut point behind the locator is a truncated file, never a damaged one.
  for (size_t Cut = LocatorFileOffset + sizeof(TPackageLocator); Cut < File.size(); ++Cut) {
    TBytes Short(File.begin(), File.begin() + Cut);
    ASSERT_EQ(FirstFailure(Short).rfind("truncated:", 0), 0u) << "cut at " << Cut;
  }

  Options.Detach = true;
  TBytes Detached = Build();
  TPackageLocator L = LocatorOf(Detached);
  EXPECT_EQ(L.DetachSize, Detached.size());
  // DetachSize alone decides: a MinFileSize beyond the file is not consulted.
  L.MinFileSize = int64_t(Detached.size()) + 1000;
  memcpy(&Detached[LocatorFileOffset], &L, sizeof(L));
  EXPECT_EQ(FirstFailure(Detached), "");
  TBytes OneShort(Detached.begin(), Detached.end() - 1);
  EXPECT_EQ(FirstFailure(OneShort).rfind("truncated:", 0), 0u);
}

TEST_F(PackageTest, EveryChangedByteInTheCheckedRegionIsDamage) {
  Inputs.Engine32 = SampleData(3000, 3);
  Inputs.EngineData = SampleData(70000, 4);
  TBytes File = Build();
  TPackageLocator L = LocatorOf(File);
  const size_t EngineData = L.HeaderOffset + L.CheckedLength - CheckedEngineDataLength;
  for (size_t At = L.HeaderOffset; At < L.HeaderOffset + L.CheckedLength; ++At) {
    // Every byte of header, payload and texts; a sample of the checked engine data.
    if (At >= EngineData && (At - EngineData) % 97 != 0) continue;
    File[At] ^= 0x01;
    ASSERT_EQ(FirstFailure(File).rfind("damaged: the checked region's CRC", 0), 0u) << At;
    File[At] ^= 0x01;
  }
  // Outside the region: the launcher image (but the locator) and the unchecked engine data.
  for (size_t At : {size_t(0), size_t(300), size_t(L.HeaderOffset - 1),
                    size_t(L.HeaderOffset + L.CheckedLength), File.size() - 1}) {
    File[At] ^= 0x01;
    EXPECT_EQ(FirstFailure(File), "") << At;
    File[At] ^= 0x01;
  }
}

TEST_F(PackageTest, LocatorDefects) {
  TBytes File = Build();
  TBytes NoPackage = MakeLauncher();
  EXPECT_NE(FirstFailure(NoPackage).find("HeaderOffset is 0"), std::string::npos);
  TBytes Tiny(100, 0);
  EXPECT_NE(FirstFailure(Tiny).find("too short to hold the locator"), std::string::npos);

  TPackageLocator L = LocatorOf(File);
  struct {
    const char* Name;
    std::function<void(TPackageLocator&)> Change;
    bool Passes;
  } Rows[] = {
      {"CheckedLength 0 with CheckedCrc 0",
       [](TPackageLocator& X) { X.CheckedLength = 0, X.CheckedCrc = 0; }, true},
      {"CheckedLength 0 with CheckedCrc 1",
       [](TPackageLocator& X) { X.CheckedLength = 0, X.CheckedCrc = 1; }, false},
      {"CheckedLength past the end",
       [&](TPackageLocator& X) { X.CheckedLength = uint32_t(File.size()); }, false},
      {"CheckedCrc off by one", [](TPackageLocator& X) { X.CheckedCrc ^= 1; }, false},
  };
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    TBytes Copy = File;
    TPackageLocator Changed = L;
    Row.Change(Changed);
    memcpy(&Copy[LocatorFileOffset], &Changed, sizeof(Changed));
    EXPECT_EQ(FirstFailure(Copy).empty(), Row.Passes) << FirstFailure(Copy);
  }
}

TEST_F(PackageTest, RawOverridesMakeThePackagesTheOptionsRefuse) {
  struct {
    const char* Name;
    std::function<void(TRawOverrides&)> Set;
    const char* Fails;  // nullptr: passes
  } Rows[] = {
      {"LzmaProps 225", [](TRawOverrides& R) { R.Props = 225; }, "LzmaProps 225 is above 224"},
      {"LzmaProps 224", [](TRawOverrides& R) { R.Props = 224; }, "lc + lp <= 4"},
      {"DictSize 2^31", [](TRawOverrides& R) { R.DictSize = 0x80000000u; }, "2^31 or more"},
      {"UnpackedSize one too large", [](TRawOverrides& R) { R.UnpackedSize32 = 20001; },
       "20000 of 20001"},
      {"UnpackedSize one too small", [](TRawOverrides& R) { R.UnpackedSize32 = 19999; },
       "Payload32"},
      {"PackedSize past the end", [](TRawOverrides& R) { R.PackedSize32 = 1u << 30; },
       "ends inside the payload"},
      {"PackedSize 0", [](TRawOverrides& R) { R.PackedSize32 = 0; }, "Payload32"},
      {"64-bit refusal marker", [](TRawOverrides& R) { R.Offset64 = PayloadRefuses64Bit; },
       nullptr},
      {"unknown windows bits", [](TRawOverrides& R) { R.WindowsSet = 1ull << 40; }, nullptr},
      {"odd expiry",
       [](TRawOverrides& R) {
         R.Expiry = TDate{2030, 13, 0};
       },
       nullptr},
      {"reversed releases",
       [](TRawOverrides& R) {
         R.Win10Releases = TReleaseRange{2210, 1507};
       },
       nullptr},
  };
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    Options.Raw = TRawOverrides();
    Row.Set(Options.Raw);
    TBytes File = Build();
    std::string Failure = FirstFailure(File);
    if (Row.Fails == nullptr) {
      EXPECT_EQ(Failure, "");
    } else {
      EXPECT_EQ(Failure.rfind("damaged: ", 0), 0u) << Failure;
      EXPECT_NE(Failure.find(Row.Fails), std::string::npos) << Failure;
      EXPECT_EQ(Failure.find("CRC"), std::string::npos) << "the CRC must still match";
    }
  }
  Options.Raw = TRawOverrides();
  // The stream plus the texts behind it: the decoder ignores what follows the stream.
  Options.Raw.PackedSize32 = HeaderOf(Build()).Payload32.PackedSize + 100;
  EXPECT_EQ(FirstFailure(Build()), "");
  Options.Raw = TRawOverrides();
  Options.Raw.WindowsSet = 1ull << 40;
  EXPECT_NE(FormatInspection(InspectPackage(Build())).find("unnamed bits 0x0000010000000000"),
            std::string::npos);
}

TEST_F(PackageTest, NoEngineIsAFailure) {
  TBytes File = Build();
  TPackageHeader H = HeaderOf(File);
  // Clearing Payload32.Offset needs a fresh CRC; the locator lies outside the region.
  H.Payload32.Offset = 0;
  TPackageLocator L = LocatorOf(File);
  memcpy(&File[L.HeaderOffset], &H, sizeof(H));
  L.CheckedCrc = CalcCrc32(&File[L.HeaderOffset], int32_t(L.CheckedLength));
  memcpy(&File[LocatorFileOffset], &L, sizeof(L));
  EXPECT_NE(FirstFailure(File).find("no engine"), std::string::npos);
}

TEST_F(PackageTest, RefusesWhatTheFormatCannotHold) {
  struct {
    const char* Name;
    std::function<void(TBuildOptions&, TPackageInputs&)> Change;
    const char* Says;
  } Rows[] = {
      {"message too long",
       [](TBuildOptions& O, TPackageInputs&) { O.WindowsMessage = std::string(65536, 'x'); },
       "the Windows message is 65536 UTF-16 code units long"},
      {"message not UTF-8", [](TBuildOptions& O, TPackageInputs&) { O.ExpiryMessage = "\xFF"; },
       "the expiry message is not valid UTF-8"},
      {"launcher not PE32", [](TBuildOptions&, TPackageInputs& In) { In.Launcher[0] = 0; },
       "not a PE32 file"},
      {"lc + lp above 4", [](TBuildOptions& O, TPackageInputs&) { O.Lzma.Lc = 4, O.Lzma.Lp = 1; },
       "lc + lp <= 4"},
  };
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.Name);
    TBuildOptions O = Options;
    TPackageInputs In = Inputs;
    Row.Change(O, In);
    std::string Refusal = RefusalOf([&] { BuildPackage(O, In, nullptr); });
    EXPECT_NE(Refusal.find(Row.Says), std::string::npos) << Refusal;
  }
}

TEST_F(PackageTest, JsonCarriesEveryField) {
  Options.Expiry = {2030, 1, 2};
  std::string Json = FormatInspectionJson(InspectPackage(Build()));
  for (const char* Name :
       {"HeaderOffset",    "CheckedLength",   "CheckedCrc",      "MinFileSize",   "DetachSize",
        "LzmaProps",       "DictSize",        "WindowsSet",      "Windows",       "Win10MinRelease",
        "Win10MaxRelease", "Win11MinRelease", "Win11MaxRelease", "ElevationMode", "Payload32",
        "Payload64",       "Reserved",        "ExpiryYear",      "ExpiryMonth",   "ExpiryDay",
        "ExpiryMessage",   "BitnessMessage",  "WindowsMessage",  "Failures",      "Passes",
        "PeChecksumRight"}) {
    EXPECT_NE(Json.find("\"" + std::string(Name) + "\": "), std::string::npos) << Name;
  }
  EXPECT_NE(Json.find("\"ExpiryDay\": 2,"), std::string::npos);
  EXPECT_NE(Json.find("\"Passes\": true"), std::string::npos);
}

}  // namespace
