#include "tests/fuzz/FuzzMachine.h"

namespace {

const DWORD NT = VER_PLATFORM_WIN32_NT, NINE = VER_PLATFORM_WIN32_WINDOWS;

// One Windows as the launcher sees it: the version records, the values under
// "Software\Microsoft\Windows NT\CurrentVersion" (null: absent) and which of the looked-up
// functions kernel32 and advapi32 export.
struct TWindowsRow {
  const char* Name;
  DWORD Major, Minor, Build, Platform;
  const char* ServicePack;  // szCSDVersion
  WORD ServicePackMajor;
  bool ExtendedFails;  // the extended version record is unknown (9x, NT 4 before SP6)
  bool BasicFails;     // even the basic query fails
  const char* CurrentBuild;
  const char* DisplayVersion;
  const char* ReleaseId;
  bool HasWow64Query;       // IsWow64Process (XP SP2 and later)
  bool HasTokenMembership;  // CheckTokenMembership (2000 and later)
  enum { Plain, Unterminated, Binary, Oversized } Values = Plain;  // how the values are stored
};

const TWindowsRow kWindows[] = {
    {"95", 4, 0, 0x040003B6, NINE, "", 0, true, false, nullptr, nullptr, nullptr, false, false},
    {"98 SE", 4, 10, 0x040A08AE, NINE, " A ", 0, true, false, nullptr, nullptr, nullptr, false,
     false},
    {"ME", 4, 90, 0x045A0BB8, NINE, "", 0, true, false, nullptr, nullptr, nullptr, false, false},
    {"NT4 SP1", 4, 0, 1381, NT, "Service Pack 1", 1, true, false, "1381", nullptr, nullptr, false,
     false},
    {"NT4 SP6", 4, 0, 1381, NT, "Service Pack 6", 6, false, false, "1381", nullptr, nullptr, false,
     false},
    {"2000", 5, 0, 2195, NT, "", 0, false, false, "2195", nullptr, nullptr, false, true},
    {"2000 SP1", 5, 0, 2195, NT, "Service Pack 1", 1, false, false, "2195", nullptr, nullptr, false,
     true},
    {"2000 SP2", 5, 0, 2195, NT, "Service Pack 2", 2, false, false, "2195", nullptr, nullptr, false,
     true},
    {"2000 SP3", 5, 0, 2195, NT, "Service Pack 3", 3, false, false, "2195", nullptr, nullptr, false,
     true},
    {"2000 SP4", 5, 0, 2195, NT, "Service Pack 4", 4, false, false, "2195", nullptr, nullptr, false,
     true},
    {"XP SP1", 5, 1, 2600, NT, "Service Pack 1", 1, false, false, "2600", nullptr, nullptr, false,
     true},
    {"XP SP3", 5, 1, 2600, NT, "Service Pack 3", 3, false, false, "2600", nullptr, nullptr, true,
     true},
    {"XP x64 SP2", 5, 2, 3790, NT, "Service Pack 2", 2, false, false, "3790", nullptr, nullptr,
     true, true},
    {"Vista SP2", 6, 0, 6002, NT, "Service Pack 2", 2, false, false, "6002", nullptr, nullptr, true,
     true},
    {"7 SP1", 6, 1, 7601, NT, "Service Pack 1", 1, false, false, "7601", nullptr, nullptr, true,
     true},
    {"8", 6, 2, 9200, NT, "", 0, false, false, "9200", nullptr, nullptr, true, true},
    {"8.1", 6, 3, 9600, NT, "", 0, false, false, "9600", nullptr, nullptr, true, true},
    {"6.4 preview", 6, 4, 9841, NT, "", 0, false, false, "9841", nullptr, nullptr, true, true},
    {"10 1507", 10, 0, 10240, NT, "", 0, false, false, "10240", nullptr, nullptr, true, true},
    {"10 1607", 10, 0, 14393, NT, "", 0, false, false, "14393", nullptr, "1607", true, true},
    {"10 1809", 10, 0, 17763, NT, "", 0, false, false, "17763", nullptr, "1809", true, true},
    {"10 2004", 10, 0, 19041, NT, "", 0, false, false, "19041", nullptr, "2004", true, true},
    {"10 21H2", 10, 0, 19044, NT, "", 0, false, false, "19044", "21H2", "2009", true, true},
    {"10 1703 unterminated", 10, 0, 15063, NT, "", 0, false, false, "15063", nullptr, "1703", true,
     true, TWindowsRow::Unterminated},
    {"10 1909", 10, 0, 18363, NT, "", 0, false, false, "18363", nullptr, "1909", true, true},
    {"10 20H2 binary", 10, 0, 19042, NT, "", 0, false, false, "19042", "20H2", "2009", true, true,
     TWindowsRow::Binary},
    {"10 21H1", 10, 0, 19043, NT, "", 0, false, false, "19043", "21H1", "2009", true, true},
    {"10 22H2", 10, 0, 19045, NT, "", 0, false, false, "19045", "22H2", "2009", true, true},
    {"10 22H2 oversized", 10, 0, 19045, NT, "", 0, false, false, "19045", "22H2", "2009", true,
     true, TWindowsRow::Oversized},
    {"10 unknown build", 10, 0, 19999, NT, "", 0, false, false, "19999", "23H9", "2009", true,
     true},
    {"11 21H2", 10, 0, 22000, NT, "", 0, false, false, "22000", "21H2", "2009", true, true},
    {"11 22H2", 10, 0, 22621, NT, "", 0, false, false, "22621", "22H2", "2009", true, true},
    {"11 23H2", 10, 0, 22631, NT, "", 0, false, false, "22631", "23H2", "2009", true, true},
    {"11 24H2", 10, 0, 26100, NT, "", 0, false, false, "26100", "24H2", "2009", true, true},
    {"11 24H2 oversized", 10, 0, 26100, NT, "", 0, false, false, "26100", "24H2", "2009", true,
     true, TWindowsRow::Oversized},
    {"11 no build value", 10, 0, 22631, NT, "", 0, false, false, nullptr, "23H2", nullptr, true,
     true},
    {"12.0", 12, 0, 30000, NT, "", 0, false, false, "30000", "25H2", "2009", true, true},
    {"version unknown", 0, 0, 0, NT, "", 0, true, true, nullptr, nullptr, nullptr, true, true},
};
const size_t kWindowsRows = sizeof kWindows / sizeof kWindows[0];

// Where the temporary copy goes for an argument list.
enum TFolderRule { frSystemTemp, frOwnFolder, frOtherFolder };

struct TArgsRow {
  const char* Tail;
  TFolderRule Folder;
  bool Force32;
};

const char kOtherFolder[] = "D:\\t\\";

const TArgsRow kArgs[] = {
    {"", frSystemTemp, false},
    {"/32", frSystemTemp, true},
    {"/temp D:\\t", frOtherFolder, false},
    {"/temp", frOwnFolder, false},
    {"/silent", frSystemTemp, false},
    {"/s", frSystemTemp, false},
    {"/S /32", frSystemTemp, true},
    {"/32 /silent /temp D:\\t", frOtherFolder, true},
    {"/temp D:\\t /s /temp", frOwnFolder, false},
    {"/SILENT /temp \"D:\\t\"", frOtherFolder, false},
    {"/s /temp D:\\t\\", frOtherFolder, false},
    {"/Temp D:\\t /32 /Silent", frOtherFolder, true},
    {"/32 /temp", frOwnFolder, true},
    {"/silent /32x \"a b\"", frSystemTemp, false},
};
const size_t kArgsRows = sizeof kArgs / sizeof kArgs[0];

// Where the launcher's own file lies: an ordinary folder, a mapped network drive (the engine
// gets the universal name), a name with blanks, a drive's root, and a folder whose name holds
// a double-byte character with a backslash as its second byte (code page 932).
struct TPlaceRow {
  const char* ModulePath;
  const char* Folder;
  UINT CodePage;
};

const TPlaceRow kPlaces[] = {
    {"C:\\Users\\Ann\\Downloads\\setup.exe", "C:\\Users\\Ann\\Downloads\\", 1252},
    {"M:\\setup.exe", "M:\\", 1252},
    {"C:\\Users\\Ann\\My Downloads\\Ravelkit Setup 1.0.exe", "C:\\Users\\Ann\\My Downloads\\",
     1252},
    {"C:\\s.exe", "C:\\", 1252},
    {"C:\\Users\\Ann\\\x95\\\\setup.exe", "C:\\Users\\Ann\\\x95\\\\", 932},
};
const size_t kPlaceRows = sizeof kPlaces / sizeof kPlaces[0];

// A registry value as the row stores it: text with its terminating zero, unless the row
// says otherwise.
sim::RegValue Value(const TWindowsRow& W, const char* Text) {
  sim::RegValue V;
  V.Data = sim::ToBytes(Text);
  if (W.Values == TWindowsRow::Oversized) V.Data.resize(64, 'X');  // fills the reader's buffer
  if (W.Values != TWindowsRow::Unterminated && W.Values != TWindowsRow::Oversized)
    V.Data.push_back(0);
  if (W.Values == TWindowsRow::Binary) V.Type = 3;  // REG_BINARY
  return V;
}

void SetWindows(sim::Machine& M, const TWindowsRow& W, uint8_t Flags, uint8_t Faults) {
  M.Version.Major = W.Major;
  M.Version.Minor = W.Minor;
  M.Version.Build = W.Build;
  M.Version.PlatformId = W.Platform;
  M.Version.CSDVersion = W.ServicePack;
  M.Version.ServicePackMajor = W.ServicePackMajor;
  M.Version.ExtendedFails = W.ExtendedFails;
  M.Version.BasicFails = W.BasicFails;
  M.RegistryValues.clear();
  M.RegOpenFails = W.Platform != NT;
  if (W.CurrentBuild) M.RegistryValues["CurrentBuild"] = Value(W, W.CurrentBuild);
  if (W.DisplayVersion) M.RegistryValues["DisplayVersion"] = Value(W, W.DisplayVersion);
  if (W.ReleaseId) M.RegistryValues["ReleaseId"] = Value(W, W.ReleaseId);
  M.Wow64 = !W.HasWow64Query               ? sim::Wow64Mode::Missing
            : (Faults & ffWow64Fails) != 0 ? sim::Wow64Mode::Fails
            : (Flags & cfWow64) != 0       ? sim::Wow64Mode::Yes
                                           : sim::Wow64Mode::No;
  M.TokenMembership = W.HasTokenMembership ? sim::TokenMode::Answer : sim::TokenMode::Missing;
  M.IsAdmin = (Flags & cfAdmin) != 0;
  M.AllocateSidFails = (Faults & ffSidFails) != 0;
  M.MprLoadFails = (Faults & ffMprFails) != 0;
  if (Faults & ffWNetFails) M.WNetFailCode = sim::kErrorNoNetwork;
  M.TempPathFails = (Faults & ffTempPathFails) != 0;
}

std::string NameOf(const std::string& Path) {
  return Path.substr(Path.rfind('\\') + 1);
}

}  // namespace

TFuzzChoice ReadChoice(const uint8_t* Data) {
  return TFuzzChoice{Data[0], Data[1], Data[2], Data[3]};
}

void WriteChoice(const TFuzzChoice& Choice, sim::Bytes& Out) {
  Out.insert(Out.end(), {Choice.Windows, Choice.Args, Choice.Flags, Choice.Place});
}

int WindowsRow(const std::string& Name) {
  for (size_t I = 0; I < kWindowsRows; ++I)
    if (Name == kWindows[I].Name) return int(I);
  return -1;
}

int ArgsRow(const std::string& Tail) {
  for (size_t I = 0; I < kArgsRows; ++I)
    if (Tail == kArgs[I].Tail) return int(I);
  return -1;
}

TMachinePlan SetUpMachine(const TFuzzChoice& Choice, const sim::Bytes& Package) {
  const TWindowsRow& W = kWindows[Choice.Windows % kWindowsRows];
  const TArgsRow& A = kArgs[Choice.Args % kArgsRows];
  const TPlaceRow& P = kPlaces[(Choice.Place & PlaceRowMask) % kPlaceRows];
  uint8_t Faults = Choice.Place & ~PlaceRowMask;
  sim::Machine& M = sim::Sim();
  M.HeapLimit = FuzzHeapLimit;
  M.AnsiCodePage = P.CodePage;  // before any file is added: paths are bytes of this code page
  SetWindows(M, W, Choice.Flags, Faults);

  TMachinePlan Plan;
  Plan.WindowsName = W.Name;
  Plan.ArgsTail = A.Tail;
  Plan.ModulePath = P.ModulePath;
  Plan.Wow64 = M.Wow64 == sim::Wow64Mode::Yes;
  Plan.Force32 = A.Force32;
  Plan.TempFolder = A.Folder == frOwnFolder      ? P.Folder
                    : A.Folder == frOtherFolder  ? kOtherFolder
                    : (Faults & ffTempPathFails) ? "C:\\"
                                                 : M.TempPath;

  M.ModulePath = P.ModulePath;
  M.CommandLine = "\"" + Plan.ModulePath + "\"" + (Plan.ArgsTail.empty() ? "" : " ") + A.Tail;
  M.CurrentDirectory = P.Folder;
  M.AddFolder(P.Folder);
  M.MappedDrives['M'] = "\\\\server\\share";
  M.AddFile(Plan.ModulePath, Package);
  if (Choice.Flags & cfOtherFolder) M.AddFolder(kOtherFolder);
  if ((Choice.Flags & cfNameTaken) && M.IsFolder(Plan.TempFolder)) {
    // In the launcher's own folder the launcher itself holds the plain name.
    std::string Taken = Plan.TempFolder + NameOf(Plan.ModulePath);
    if (Taken != Plan.ModulePath) M.AddFile(Taken, "taken");
    M.AddFile(Taken.insert(Taken.size() - 4, "2"), "taken too");
  }
  if (Choice.Flags & cfStartFails) {
    M.CreateProcessFails = true;
    M.ShellExecuteFails = true;
    M.ElevationRefused = true;
  }
  if (Choice.Flags & cfDiskFull) M.SetFreeSpace(Plan.TempFolder, 100);
  return Plan;
}
