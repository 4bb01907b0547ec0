#include "tools/ravelpack/CommandLine.h"

#include <errno.h>
#include <stdlib.h>

#include "tools/ravelpack/ToolError.h"
#include "tools/ravelpack/WindowsNames.h"

namespace {

std::vector<std::string> Split(const std::string& Text, char Separator) {
  std::vector<std::string> Parts;
  size_t Start = 0;
  for (;;) {
    size_t End = Text.find(Separator, Start);
    Parts.push_back(Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start));
    if (End == std::string::npos) return Parts;
    Start = End + 1;
  }
}

bool IsLeapYear(unsigned Year) {
  return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

}  // namespace

uint64_t ParseNumber(const std::string& Option, const std::string& Text, uint64_t Max) {
  bool Hex = Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
  const std::string Digits = Hex ? Text.substr(2) : Text;
  const char* Allowed = Hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (Digits.empty() || Digits.size() > 20 ||
      Digits.find_first_not_of(Allowed) != std::string::npos) {
    Refuse(Option + ": '" + Text + "' is not a number");
  }
  errno = 0;
  unsigned long long Value = strtoull(Digits.c_str(), nullptr, Hex ? 16 : 10);
  if (errno != 0 || Value > Max) {
    Refuse(Option + ": " + Text + " is out of range (0 to " + std::to_string(Max) + ")");
  }
  return Value;
}

TWindowsSet ParseWindowsList(const std::string& Text) {
  TWindowsSet Set = {};
  for (const std::string& Name : Split(Text, ',')) {
    size_t I = 0;
    while (I < WindowsNameCount && Name != WindowsNames[I].Name) ++I;
    if (I == WindowsNameCount) {
      Refuse("--windows: unknown Windows version '" + Name +
             "' (known: 95, 98, me, nt4, 2000, xp, vista, 7, 8, 8.1, 10, 11, later)");
    }
    WindowsSetInclude(Set, WindowsNames[I].Element);
  }
  return Set;
}

TReleaseRange ParseReleaseRange(const std::string& Option, const std::string& Text, bool Ordered) {
  std::vector<std::string> Parts = Split(Text, '-');
  if (Parts.size() != 2) Refuse(Option + ": '" + Text + "' is not a range MIN-MAX");
  TReleaseRange Range;
  Range.Min = uint16_t(ParseNumber(Option, Parts[0], 65535));
  Range.Max = uint16_t(ParseNumber(Option, Parts[1], 65535));
  if (Ordered && Range.Min > Range.Max) {
    Refuse(Option + ": the range " + Text + " is empty (MIN above MAX)");
  }
  return Range;
}

TDate ParseDate(const std::string& Option, const std::string& Text, bool Checked) {
  std::vector<std::string> Parts = Split(Text, '-');
  if (Parts.size() != 3) Refuse(Option + ": '" + Text + "' is not a date YYYY-MM-DD");
  TDate Date;
  Date.Year = uint16_t(ParseNumber(Option, Parts[0], 65535));
  Date.Month = uint16_t(ParseNumber(Option, Parts[1], 65535));
  Date.Day = uint16_t(ParseNumber(Option, Parts[2], 65535));
  if (!Checked) return Date;
  static const uint8_t MonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool Valid = Parts[0].size() == 4 && Parts[1].size() == 2 && Parts[2].size() == 2 &&
               Date.Year >= 1 && Date.Month >= 1 && Date.Month <= 12 && Date.Day >= 1 &&
               Date.Day <= MonthDays[Date.Month - 1] &&
               !(Date.Month == 2 && Date.Day == 29 && !IsLeapYear(Date.Year));
  if (!Valid) Refuse(Option + ": '" + Text + "' is not a valid date YYYY-MM-DD");
  return Date;
}

uint8_t ParseElevation(const std::string& Text) {
  if (Text == "none") return emNone;
  if (Text == "require-admin") return emRequireAdmin;
  if (Text == "no-admin") return emNoAdmin;
  if (!Text.empty() && Text.find_first_not_of("0123456789") == std::string::npos) {
    return uint8_t(ParseNumber("--elevation", Text, 255));
  }
  Refuse("--elevation: '" + Text + "' is not none, require-admin, no-admin or a number 0 to 255");
}

void ParsePreset(const std::string& Text, TLzmaSettings& Settings) {
  bool Valid = (Text.size() == 1 || (Text.size() == 2 && Text[1] == 'e')) && Text[0] >= '0' &&
               Text[0] <= '9';
  if (!Valid) Refuse("--preset: '" + Text + "' is not 0 to 9, optionally followed by e");
  Settings.Preset = uint32_t(Text[0] - '0');
  Settings.Extreme = Text.size() == 2;
}

TBuildOptions ParseBuildOptions(const std::vector<std::string>& Args) {
  TBuildOptions Options;
  Options.Windows = AllWindows();
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& Name = Args[I];
    auto Value = [&]() -> const std::string& {
      if (I + 1 >= Args.size()) Refuse(Name + " needs a value");
      return Args[++I];
    };
    auto Number = [&](uint64_t Max) { return ParseNumber(Name, Value(), Max); };
    if (Name == "--launcher") {
      Options.Launcher = Value();
    } else if (Name == "--out") {
      Options.Out = Value();
    } else if (Name == "--engine32") {
      Options.Engine32 = Value();
    } else if (Name == "--engine64") {
      Options.Engine64 = Value();
    } else if (Name == "--engine-data") {
      Options.EngineData = Value();
    } else if (Name == "--refuse-64bit-windows") {
      Options.Refuse64BitWindows = true;
    } else if (Name == "--expires") {
      Options.Expiry = ParseDate(Name, Value(), true);
    } else if (Name == "--windows") {
      Options.Windows = ParseWindowsList(Value());
    } else if (Name == "--win10-releases") {
      Options.Win10Releases = ParseReleaseRange(Name, Value(), true);
    } else if (Name == "--win11-releases") {
      Options.Win11Releases = ParseReleaseRange(Name, Value(), true);
    } else if (Name == "--elevation") {
      Options.Elevation = ParseElevation(Value());
    } else if (Name == "--detach") {
      Options.Detach = true;
    } else if (Name == "--expiry-message") {
      Options.ExpiryMessage = Value();
    } else if (Name == "--bitness-message") {
      Options.BitnessMessage = Value();
    } else if (Name == "--windows-message") {
      Options.WindowsMessage = Value();
    } else if (Name == "--preset") {
      ParsePreset(Value(), Options.Lzma);
    } else if (Name == "--lc") {
      Options.Lzma.Lc = int(Number(8));
    } else if (Name == "--lp") {
      Options.Lzma.Lp = int(Number(4));
    } else if (Name == "--pb") {
      Options.Lzma.Pb = int(Number(4));
    } else if (Name == "--dict-size") {
      Options.Lzma.DictSize = uint32_t(Number(UINT32_MAX));
      if (Options.Lzma.DictSize == 0) Refuse("--dict-size must not be 0");
    } else if (Name == "--end-marker") {
      Options.Lzma.EndMarker = true;
    } else if (Name == "--raw-props") {
      Options.Raw.Props = uint8_t(Number(255));
    } else if (Name == "--raw-dict-size") {
      Options.Raw.DictSize = uint32_t(Number(UINT32_MAX));
    } else if (Name == "--raw-unpacked-size32") {
      Options.Raw.UnpackedSize32 = uint32_t(Number(UINT32_MAX));
    } else if (Name == "--raw-unpacked-size64") {
      Options.Raw.UnpackedSize64 = uint32_t(Number(UINT32_MAX));
    } else if (Name == "--raw-packed-size32") {
      Options.Raw.PackedSize32 = uint32_t(Number(UINT32_MAX));
    } else if (Name == "--raw-packed-size64") {
      Options.Raw.PackedSize64 = uint32_t(Number(UINT32_MAX));
    } else if (Name == "--raw-offset64") {
      Options.Raw.Offset64 = uint32_t(Number(UINT32_MAX));
    } else if (Name == "--raw-windows-set") {
      Options.Raw.WindowsSet = Number(UINT64_MAX);
    } else if (Name == "--raw-expiry") {
      Options.Raw.Expiry = ParseDate(Name, Value(), false);
    } else if (Name == "--raw-win10-releases") {
      Options.Raw.Win10Releases = ParseReleaseRange(Name, Value(), false);
    } else if (Name == "--raw-win11-releases") {
      Options.Raw.Win11Releases = ParseReleaseRange(Name, Value(), false);
    } else {
      Refuse("unknown option '" + Name + "' (see ravelpack --help)");
    }
  }
  if (Options.Launcher.empty()) Refuse("--launcher FILE is required");
  if (Options.Out.empty()) Refuse("--out FILE is required");
  if (Options.Engine32.empty() && Options.Engine64.empty()) {
    Refuse("no engine: give --engine32 FILE, --engine64 FILE or both");
  }
  if (Options.Refuse64BitWindows && (Options.Engine32.empty() || !Options.Engine64.empty())) {
    Refuse("--refuse-64bit-windows needs --engine32 and no --engine64");
  }
  return Options;
}
