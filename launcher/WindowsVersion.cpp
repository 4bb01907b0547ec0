// The Windows version gate: which Windows the package allows, down to the feature releases
// of Windows 10 and 11. Whatever cannot be found out passes; only a positive finding refuses.
#include "launcher/StubCore.h"
#include "package/PackageMessage.h"
#include "package/PackageReader.h"
#include "support/Memory.h"

[[noreturn]] static void Refuse(HANDLE PackageFile, const char* Name) {
  ShowPackageMessage(PackageFile, Header.WindowsMessage, Name);
}

[[noreturn]] static void Refuse(HANDLE PackageFile, const TAnsiString& Name) {
  Refuse(PackageFile, StrCStr(Name));
}

static bool Allows(TWindowsVersion Element) {
  return WindowsSetHas(Header.WindowsSet, Element);
}

static void Require(HANDLE PackageFile, TWindowsVersion Element, const char* Name) {
  if (!Allows(Element)) Refuse(PackageFile, Name);
}

// The digit for 0 to 9; larger numbers run on into the characters after '9' (10 gives ':').
static char VersionChar(DWORD N) {
  return char(uint8_t(48 + N));
}

void CheckWin2000ServicePack(HANDLE PackageFile) {
  // A package that also allows the 9x line is meant for old systems: no service pack needed.
  if (Allows(wvWin95) || Allows(wvWin98) || Allows(wvWinME)) return;
  OSVERSIONINFOEXA Info{};
  Info.dwOSVersionInfoSize = sizeof Info;
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&Info))) return;
  WORD ServicePack = Info.wServicePackMajor;
  if (ServicePack == 0) Refuse(PackageFile, "Windows 2000 (no Service Pack)");
  if (ServicePack <= 3) {
    TAnsiString Name = StrFromC("Windows 2000 Service Pack ");
    StrAppendChar(Name, VersionChar(ServicePack));
    Refuse(PackageFile, Name);
  }
}

// A registry value as the gate reads it: at most 64 bytes; anything longer counts as missing.
struct TRegValue {
  uint8_t Bytes[64];
  DWORD Size;
};

static bool QueryValue(HKEY Key, const char* Name, TRegValue& Value) {
  MemZero(Value.Bytes, sizeof Value.Bytes);
  Value.Size = sizeof Value.Bytes;
  DWORD Type = 0;
  return RegQueryValueExA(Key, Name, nullptr, &Type, Value.Bytes, &Value.Size) == ERROR_SUCCESS;
}

static int32_t ValueAsNumber(const TRegValue& Value) {
  uint32_t N = 0;
  for (DWORD I = 0; I < Value.Size && I < sizeof Value.Bytes; ++I) {
    uint8_t B = Value.Bytes[I];
    if (B < '0' || B > '9') break;
    N = N * 10 + (B - '0');
  }
  return int32_t(N);
}

static void AppendValueText(TAnsiString& S, const TRegValue& Value) {
  DWORD N = 0;
  while (N < Value.Size && N < sizeof Value.Bytes && Value.Bytes[N]) ++N;
  StrAppend(S, reinterpret_cast<const char*>(Value.Bytes), int(N));
}

static bool TextIs(const TRegValue& Value, const char* Label) {
  TAnsiString S{};
  AppendValueText(S, Value);
  bool Same = StrEquals(S, Label);
  StrFree(S);
  return Same;
}

static bool ReleaseAllowed(uint16_t Release, uint16_t Min, uint16_t Max) {
  return Min <= Release && Release <= Max;
}

struct TNamedRelease {
  int32_t Key;  // build number, or "ReleaseId" for Windows 10 before build 19042
  uint16_t Release;
  const char* Name;
};

static const TNamedRelease Win10ByReleaseId[] = {
    {1507, 1507, "Windows 10 1507 (Original Release)"},
    {1511, 1511, "Windows 10 1511 (November Update)"},
    {1607, 1607, "Windows 10 1607 (Anniversary Update)"},
    {1703, 1703, "Windows 10 1703 (Creators Update)"},
    {1709, 1709, "Windows 10 1709 (Fall Creators Update)"},
    {1803, 1803, "Windows 10 1803 (April 2018 Update)"},
    {1809, 1809, "Windows 10 1809 (October 2018 Update)"},
    {1903, 1903, "Windows 10 1903 (May 2019 Update)"},
    {1909, 1909, "Windows 10 1909 (November 2019 Update)"},
    {2004, 2004, "Windows 10 2004 (May 2020 Update)"},
};

static const TNamedRelease Win10ByBuild[] = {
    {19042, 2009, "Windows 10 20H2 (October 2020 Update)"},
    {19043, 2105, "Windows 10 21H1 (May 2021 Update)"},
    {19044, 2111, "Windows 10 21H2 (November 2021 Update)"},
    {19045, 2210, "Windows 10 22H2 (2022 Update)"},
};

// Windows 11: the release that "DisplayVersion" names or the build implies, the earlier one.
struct TWin11Release {
  const char* Label;
  int32_t LastBuild;
  uint16_t Release;
  const char* Name;
};

static const TWin11Release Win11Releases[] = {
    {"21H2", 22448, 2110, "Windows 11 21H2 (Original Release)"},
    {"22H2", 22621, 2209, "Windows 11 22H2 (2022 Update)"},
    {"23H2", 22631, 2310, "Windows 11 23H2 (2023 Update)"},
};

// A release newer than every one named above: only an open-ended maximum admits it.
static void CheckLaterRelease(HANDLE PackageFile, uint16_t Max, const char* Prefix,
                              const TRegValue& DisplayVersion) {
  if (Max >= ReleaseOpenEnded) return;
  TAnsiString Name = StrFromC(Prefix);
  AppendValueText(Name, DisplayVersion);
  Refuse(PackageFile, Name);
}

static void CheckWindows10(HANDLE PackageFile, HKEY Key, int32_t Build) {
  Require(PackageFile, wvWin10, "Windows 10");
  uint16_t Min = Header.Win10MinRelease, Max = Header.Win10MaxRelease;
  TRegValue Value;
  if (Build >= 19042) {
    if (!QueryValue(Key, "DisplayVersion", Value)) Value.Size = 0;
    for (const TNamedRelease& R : Win10ByBuild)
      if (R.Key == Build) {
        if (!ReleaseAllowed(R.Release, Min, Max)) Refuse(PackageFile, R.Name);
        return;
      }
    CheckLaterRelease(PackageFile, Max, "Windows 10 ", Value);
    return;
  }
  if (!QueryValue(Key, "ReleaseId", Value)) return;
  int32_t ReleaseId = ValueAsNumber(Value);
  if (ReleaseAllowed(uint16_t(ReleaseId), Min, Max)) return;
  for (const TNamedRelease& R : Win10ByReleaseId)
    if (R.Key == ReleaseId) Refuse(PackageFile, R.Name);
  TAnsiString Name = StrFromC("Windows 10 ");
  AppendValueText(Name, Value);
  Refuse(PackageFile, Name);
}

static void CheckWindows11(HANDLE PackageFile, HKEY Key, int32_t Build) {
  Require(PackageFile, wvWin11, "Windows 11");
  TRegValue DisplayVersion;
  if (!QueryValue(Key, "DisplayVersion", DisplayVersion)) DisplayVersion.Size = 0;
  uint16_t Min = Header.Win11MinRelease, Max = Header.Win11MaxRelease;
  for (const TWin11Release& R : Win11Releases)
    if (TextIs(DisplayVersion, R.Label) || Build <= R.LastBuild) {
      if (!ReleaseAllowed(R.Release, Min, Max)) Refuse(PackageFile, R.Name);
      return;
    }
  CheckLaterRelease(PackageFile, Max, "Windows 11 ", DisplayVersion);
}

// Windows 10 and 11 both report version 10.0; only the build number in the registry tells
// them apart, and the feature release comes from the registry as well.
static void CheckWindows10Or11(HANDLE PackageFile) {
  HKEY Key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                    KEY_READ, &Key) != ERROR_SUCCESS)
    return;
  TRegValue Value;
  if (QueryValue(Key, "CurrentBuild", Value)) {
    int32_t Build = ValueAsNumber(Value);
    if (Build >= 22000)
      CheckWindows11(PackageFile, Key, Build);
    else
      CheckWindows10(PackageFile, Key, Build);
  }
  RegCloseKey(Key);
}

void CheckWindowsVersion(HANDLE PackageFile, OSVERSIONINFOA& Version) {
  MemZero(&Version, sizeof Version);
  Version.dwOSVersionInfoSize = sizeof Version;
  if (!GetVersionExA(&Version)) {
    // The start decision reads the major version later: 0 means "before Vista".
    MemZero(&Version, sizeof Version);
    return;
  }
  DWORD Major = Version.dwMajorVersion, Minor = Version.dwMinorVersion;
  TAnsiString Name{};
  switch (Major) {
    case 4:
      if (Version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        Require(PackageFile, wvWinNT4, "Windows NT 4");
      else if (Minor <= 3)
        Require(PackageFile, wvWin95, "Windows 95");
      else if (Minor == 10)
        Require(PackageFile, wvWin98, "Windows 98");
      else
        Require(PackageFile, wvWinME, "Windows ME");
      return;
    case 5:
      if (Minor == 0) {
        Require(PackageFile, wvWin2000, "Windows 2000");
        CheckWin2000ServicePack(PackageFile);
      } else {
        Require(PackageFile, wvWinXP, "Windows XP");
      }
      return;
    case 6: {
      static const TWindowsVersion SixLine[] = {wvWinVista, wvWin7, wvWin8, wvWin81};
      static const char* const SixNames[] = {"Windows Vista", "Windows 7", "Windows 8",
                                             "Windows 8.1"};
      if (Minor <= 3) {
        Require(PackageFile, SixLine[Minor], SixNames[Minor]);
        return;
      }
      // 6.4 was only ever a preview of Windows 10; no package may run there.
      StrAppendC(Name, "Windows 6.");
      StrAppendChar(Name, VersionChar(Minor));
      Refuse(PackageFile, Name);
    }
    case 10:
    case 11:
      if (Minor == 0) {
        CheckWindows10Or11(PackageFile);
        return;
      }
      StrAppendC(Name, "Windows 10.");
      StrAppendChar(Name, VersionChar(Minor));
      break;
    default:
      StrAppendC(Name, "Windows ");
      StrAppendChar(Name, VersionChar(Major / 10));
      StrAppendChar(Name, VersionChar(Major % 10));
      StrAppendChar(Name, '.');
      StrAppendChar(Name, VersionChar(Minor));
      break;
  }
  if (!Allows(wvLater)) Refuse(PackageFile, Name);
  StrFree(Name);
}
