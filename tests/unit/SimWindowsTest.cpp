// Tests of the simulated Windows itself: the parts whose Windows behaviour is not obvious.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/SimWindows.h"

using namespace sim;

namespace {

const char kFile[] = "C:\\Data\\package.bin";

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSim(); }
};

HANDLE Open(const char* Path, DWORD Access, DWORD Share, DWORD Disposition = OPEN_EXISTING) {
  return CreateFileA(Path, Access, Share, nullptr, Disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// ---- Files and sharing ----

struct SharingCase {
  const char* Name;
  DWORD HeldAccess, HeldShare;  // the handle already open
  DWORD Access, Share, Disposition;  // the second open
  bool Opens;
};

class SharingTest : public SimTest, public ::testing::WithParamInterface<SharingCase> {};

TEST_P(SharingTest, SecondOpenFollowsWindowsSharing) {
  const SharingCase& C = GetParam();
  Sim().AddFile(kFile, "abc");
  HANDLE Held = Open(kFile, C.HeldAccess, C.HeldShare);
  ASSERT_NE(Held, INVALID_HANDLE_VALUE);
  HANDLE Second = Open(kFile, C.Access, C.Share, C.Disposition);
  EXPECT_EQ(Second != INVALID_HANDLE_VALUE, C.Opens);
  if (!C.Opens) EXPECT_EQ(Sim().LastError, kErrorSharingViolation);
}

const SharingCase kSharingCases[] = {
    {"ReadersSharingRead", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, true},
    {"WriterAgainstReadShare", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, false},
    {"ReaderMustShareHeldRead", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, 0, OPEN_EXISTING, false},
    {"ReaderAgainstExclusiveWriter", GENERIC_WRITE, 0, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, false},
    {"WriterWhenAllShared", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, true},
    {"CreateAlwaysOnHeldFile", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, false},
    {"ReadOnlyCreateAlwaysStillTruncates", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, CREATE_ALWAYS, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, SharingTest, ::testing::ValuesIn(kSharingCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(SimTest, DeleteNeedsShareDeleteFromEveryHolder) {
  Sim().AddFile(kFile, "abc");
  HANDLE H = Open(kFile, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_FALSE(DeleteFileA(kFile));
  EXPECT_TRUE(Sim().Exists(kFile));
  EXPECT_TRUE(CloseHandle(H));
  H = Open(kFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_TRUE(DeleteFileA(kFile));
  EXPECT_FALSE(Sim().Exists(kFile));
  EXPECT_TRUE(CloseHandle(H));
}

TEST_F(SimTest, PathsAreCaseInsensitiveAndParentsMustExist) {
  Sim().AddFile(kFile, "abc");
  EXPECT_TRUE(Sim().Exists("c:\\DATA\\Package.BIN"));
  EXPECT_TRUE(Sim().IsFolder("C:\\data"));
  EXPECT_EQ(Open("C:\\Missing\\x.exe", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Sim().LastError, kErrorPathNotFound);
  EXPECT_EQ(Open("C:\\Data\\other.bin", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Sim().LastError, kErrorFileNotFound);
  HANDLE H = Open("C:\\Data\\new.bin", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_NE(H, INVALID_HANDLE_VALUE);
  CloseHandle(H);
  EXPECT_TRUE(Sim().Exists("C:\\Data\\new.bin"));
}

TEST_F(SimTest, NegativeSeekFailsAndKeepsThePosition) {
  Sim().AddFile(kFile, "abcdef");
  HANDLE H = Open(kFile, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_EQ(SetFilePointer(H, 2, nullptr, FILE_BEGIN), 2u);
  EXPECT_EQ(SetFilePointer(H, -1, nullptr, FILE_BEGIN), 0xFFFFFFFFu);
  char Buffer[4] = {};
  DWORD Read = 0;
  EXPECT_TRUE(ReadFile(H, Buffer, 4, &Read, nullptr));
  EXPECT_EQ(Read, 4u);
  EXPECT_EQ(std::string(Buffer, 4), "cdef");
  EXPECT_TRUE(ReadFile(H, Buffer, 4, &Read, nullptr));
  EXPECT_EQ(Read, 0u);  // end of file
}

TEST_F(SimTest, VirtualSizeGivesTheHighPart) {
  Sim().AddFile(kFile, "abc");
  Sim().SetVirtualSize(kFile, 0x100000010ull);
  HANDLE H = Open(kFile, GENERIC_READ, FILE_SHARE_READ);
  DWORD High = 0;
  EXPECT_EQ(GetFileSize(H, &High), 0x10u);
  EXPECT_EQ(High, 1u);
}

TEST_F(SimTest, FullDiskWritesShort) {
  Sim().AddFolder("D:\\Small");
  Sim().SetFreeSpace("D:\\", 5);
  HANDLE H = Open("D:\\Small\\x.exe", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  DWORD Written = 0;
  EXPECT_FALSE(WriteFile(H, "0123456789", 10, &Written, nullptr));
  EXPECT_EQ(Written, 5u);
  CloseHandle(H);
  EXPECT_TRUE(DeleteFileA("D:\\Small\\x.exe"));  // gives the space back
  H = Open("D:\\Small\\y.exe", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  EXPECT_TRUE(WriteFile(H, "01234", 5, &Written, nullptr));
  EXPECT_EQ(Written, 5u);
}

TEST_F(SimTest, TempPathHonoursTheBufferLength) {
  char Buffer[64];
  std::memset(Buffer, 'x', sizeof(Buffer));
  const std::string Temp = Sim().TempPath;
  EXPECT_EQ(GetTempPathA(DWORD(Temp.size()), Buffer), Temp.size() + 1);  // no room for the NUL
  EXPECT_EQ(Buffer[0], 'x');
  EXPECT_EQ(GetTempPathA(sizeof(Buffer), Buffer), Temp.size());
  EXPECT_EQ(std::string(Buffer), Temp);
  Sim().TempPathFails = true;
  std::memset(Buffer, 0, sizeof(Buffer));
  EXPECT_EQ(GetTempPathA(sizeof(Buffer), Buffer), 0u);
  EXPECT_EQ(Buffer[0], 0);
}

TEST_F(SimTest, ModuleFileNameIsTruncatedAndTerminated) {
  char Buffer[8];
  EXPECT_EQ(GetModuleFileNameA(nullptr, Buffer, sizeof(Buffer)), 8u);
  EXPECT_STREQ(Buffer, "C:\\User");
}

TEST_F(SimTest, DoubleByteSecondBytesAreNeitherSeparatorsNorLetters) {
  Sim().AnsiCodePage = 932;
  Sim().AddFolder("C:\\dl");
  HANDLE H = Open("C:\\dl\\\x95\x5C.exe", GENERIC_WRITE, 0, CREATE_ALWAYS);  // 0x5C: second byte
  ASSERT_NE(H, INVALID_HANDLE_VALUE);
  CloseHandle(H);
  EXPECT_EQ(Sim().FilesIn("C:\\dl").size(), 1u);
  Sim().AddFile("C:\\dl\\\x95\x61", "lower");  // 0x61 'a' as a second byte keeps its case
  EXPECT_FALSE(Sim().Exists("C:\\dl\\\x95\x41"));
}

// ---- Registry ----

TEST_F(SimTest, RegistrySizeSemantics) {
  Sim().RegistryValues["CurrentBuild"] = RegValue{ToBytes(std::string("22631\0", 6))};
  HKEY Key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ, &Key),
            ERROR_SUCCESS);
  EXPECT_EQ(Sim().RegOpenAccess.back(), KEY_READ);
  char Data[16] = {};
  DWORD Size = 4;
  EXPECT_EQ(RegQueryValueExA(Key, "CurrentBuild", nullptr, nullptr, reinterpret_cast<BYTE*>(Data), &Size),
            LSTATUS(kErrorMoreData));
  EXPECT_EQ(Size, 6u);
  EXPECT_EQ(Data[0], 0);  // nothing written
  Size = 0;
  EXPECT_EQ(RegQueryValueExA(Key, "CurrentBuild", nullptr, nullptr, nullptr, &Size), ERROR_SUCCESS);
  EXPECT_EQ(Size, 6u);
  Size = sizeof(Data);
  DWORD Type = 0;
  EXPECT_EQ(RegQueryValueExA(Key, "currentbuild", nullptr, &Type, reinterpret_cast<BYTE*>(Data), &Size),
            ERROR_SUCCESS);
  EXPECT_EQ(Size, 6u);
  EXPECT_STREQ(Data, "22631");
  EXPECT_EQ(RegQueryValueExA(Key, "Nothing", nullptr, nullptr, reinterpret_cast<BYTE*>(Data), &Size),
            LSTATUS(kErrorFileNotFound));
  EXPECT_EQ(Sim().RegQueries["CurrentBuild"], 2);
  EXPECT_EQ(Sim().RegKeysOpen, 1);
  EXPECT_EQ(RegCloseKey(Key), ERROR_SUCCESS);
  EXPECT_EQ(Sim().RegKeysOpen, 0);
  EXPECT_NE(RegCloseKey(Key), ERROR_SUCCESS);
}

// ---- Code pages ----

TEST_F(SimTest, CharNextSteps932DoubleByteCharacters) {
  Sim().AnsiCodePage = 932;
  const char Text[] = "a\x93\xfa\xb1\x81";  // 'a', a double-byte character, half-width katakana, a lone lead byte
  const char* P = Text;
  P = CharNextA(P);
  EXPECT_EQ(P, Text + 1);
  P = CharNextA(P);
  EXPECT_EQ(P, Text + 3);
  P = CharNextA(P);
  EXPECT_EQ(P, Text + 4);
  P = CharNextA(P);  // a lead byte before the terminating zero steps one byte only
  EXPECT_EQ(P, Text + 5);
  EXPECT_EQ(CharNextA(P), P);
  Sim().AnsiCodePage = 1252;
  EXPECT_EQ(CharNextA(Text + 1), Text + 2);
}

TEST_F(SimTest, Converts932) {
  const char Text[] = "\x93\xfa\x96\x7b\xb1";  // two kanji (Japan), one half-width katakana
  EXPECT_EQ(MultiByteToWideChar(932, 0, Text, -1, nullptr, 0), 4);
  WCHAR Wide[8] = {};
  ASSERT_EQ(MultiByteToWideChar(932, 0, Text, -1, Wide, 8), 4);
  EXPECT_EQ(Wide[0], 0x65E5);
  EXPECT_EQ(Wide[1], 0x672C);
  EXPECT_EQ(Wide[2], 0xFF71);
  EXPECT_EQ(Wide[3], 0);
  EXPECT_EQ(MultiByteToWideChar(932, 0, Text, -1, Wide, 3), 0);  // too small
  char Back[16] = {};
  BOOL Used = TRUE;
  EXPECT_EQ(WideCharToMultiByte(932, 0, Wide, -1, nullptr, 0, nullptr, nullptr), 6);
  ASSERT_EQ(WideCharToMultiByte(932, 0, Wide, -1, Back, sizeof(Back), nullptr, &Used), 6);
  EXPECT_STREQ(Back, Text);
  EXPECT_FALSE(Used);
  const WCHAR Missing[] = {0x00E9, 'x', 0};  // e acute: not in 932
  ASSERT_EQ(WideCharToMultiByte(932, 0, Missing, 2, Back, sizeof(Back), nullptr, &Used), 2);
  EXPECT_EQ(std::string(Back, 2), "?x");
  EXPECT_TRUE(Used);
}

TEST_F(SimTest, Converts1252WithItsWholeTable) {
  const char Text[] = "\x80\x9f\xe9\x81";
  WCHAR Wide[4] = {};
  ASSERT_EQ(MultiByteToWideChar(0, 0, Text, 4, Wide, 4), 4);  // CP_ACP is 1252
  EXPECT_EQ(Wide[0], 0x20AC);
  EXPECT_EQ(Wide[1], 0x0178);
  EXPECT_EQ(Wide[2], 0x00E9);
  EXPECT_EQ(Wide[3], 0x0081);
  const WCHAR Out[] = {0x20AC, 0x0100, 0x65E5};
  char Back[4] = {};
  ASSERT_EQ(WideCharToMultiByte(1252, 0, Out, 3, Back, 4, nullptr, nullptr), 3);
  EXPECT_EQ(std::string(Back, 3), "\x80??");
}

// ---- Faults ----

TEST_F(SimTest, TransientAndPersistentFaults) {
  Sim().AddFile(kFile, "abcdef");
  Sim().FailNth("ReadFile", 2, false, 1);
  HANDLE H = Open(kFile, GENERIC_READ, FILE_SHARE_READ);
  char Buffer[2];
  DWORD Read = 0;
  EXPECT_TRUE(ReadFile(H, Buffer, 2, &Read, nullptr));
  EXPECT_EQ(Read, 2u);
  EXPECT_FALSE(ReadFile(H, Buffer, 2, &Read, nullptr));
  EXPECT_EQ(Read, 1u);  // the configured short count
  EXPECT_TRUE(ReadFile(H, Buffer, 2, &Read, nullptr));
  EXPECT_EQ(Read, 2u);
  EXPECT_EQ(Sim().Calls["ReadFile"], 3u);

  Sim().FailNth("HeapAlloc", 2, true);
  HANDLE Heap = GetProcessHeap();
  void* First = HeapAlloc(Heap, 0, 10);
  EXPECT_NE(First, nullptr);
  EXPECT_EQ(HeapAlloc(Heap, 0, 10), nullptr);
  EXPECT_EQ(HeapAlloc(Heap, 0, 10), nullptr);
  EXPECT_TRUE(HeapFree(Heap, 0, First));
}

// ---- Heap ----

TEST_F(SimTest, HeapTracksBytesAndKeepsContentsOnRealloc) {
  HANDLE Heap = GetProcessHeap();
  char* P = static_cast<char*>(HeapAlloc(Heap, HEAP_ZERO_MEMORY, 100));
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(P[99], 0);
  std::memcpy(P, "kept", 4);
  P = static_cast<char*>(HeapReAlloc(Heap, HEAP_ZERO_MEMORY, P, 1000));
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(std::string(P, 4), "kept");
  EXPECT_EQ(P[999], 0);
  EXPECT_EQ(Sim().HeapBytes, 1000u);
  EXPECT_EQ(Sim().PeakHeapBytes, 1000u);
  EXPECT_TRUE(HeapFree(Heap, 0, P));
  EXPECT_EQ(Sim().HeapBytes, 0u);
  EXPECT_FALSE(HeapFree(Heap, 0, P));
  EXPECT_EQ(Sim().Misuses.size(), 1u);
}

// ---- Runs, processes, modules ----

TEST_F(SimTest, RunEndsLikeAProcess) {
  Sim().AddFile(Sim().ModulePath, "MZ");
  uint32_t Code = RunInSim([] {
    CreateFileA(Sim().ModulePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HeapAlloc(GetProcessHeap(), 0, 50);
    ExitProcess(3);
  });
  EXPECT_EQ(Code, 3u);
  ASSERT_EQ(Sim().OpenHandlesAtExit.size(), 1u);
  EXPECT_EQ(Sim().OpenHandlesAtExit[0].Kind, HandleKind::File);
  EXPECT_EQ(Sim().OpenHandlesAtExit[0].Path, Sim().ModulePath);
  EXPECT_TRUE(Sim().OpenHandles().empty());
  EXPECT_EQ(Sim().HeapBytesAtExit, 50u);
  EXPECT_EQ(Sim().HeapBytes, 0u);
  EXPECT_EQ(RunInSim([] {}), kNoExit);
}

TEST_F(SimTest, WaitRunsTheEngineAndItsHandlesCloseWhenItEnds) {
  const std::string Engine = "C:\\Users\\Ann\\AppData\\Local\\Temp\\setup.exe";
  Sim().AddFile(Engine, "engine");
  bool Opened = false;
  Sim().OnEngineRun = [&](Machine& M) {
    Opened = Open(M.ModulePath.c_str(), GENERIC_WRITE, 0) != INVALID_HANDLE_VALUE;
    EXPECT_FALSE(DeleteFileA(Engine.c_str()));  // a running image cannot be deleted
  };
  Sim().AddFile(Sim().ModulePath, "MZ");
  RunInSim([&] {
    STARTUPINFOA Startup = {};
    Startup.cb = sizeof(Startup);
    PROCESS_INFORMATION Info = {};
    std::string CommandLine = "\"" + Engine + "\" \"C:\\Users\\Ann\\Downloads\\setup.exe\"";
    ASSERT_TRUE(CreateProcessA(nullptr, &CommandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                               "C:\\Users\\Ann\\Downloads\\", &Startup, &Info));
    EXPECT_EQ(WaitForSingleObject(Info.hProcess, INFINITE), 0u);
    EXPECT_TRUE(DeleteFileA(Engine.c_str()));
    ExitProcess(0);
  });
  EXPECT_FALSE(Opened);  // the launcher's own image is locked while it runs
  ASSERT_EQ(Sim().Starts.size(), 1u);
  const StartRecord& S = Sim().Starts[0];
  EXPECT_TRUE(S.Succeeded);
  EXPECT_EQ(ToText(S.FileBytes), "engine");
  EXPECT_FALSE(S.ApplicationName.has_value());
  EXPECT_EQ(*S.CurrentDirectory, "C:\\Users\\Ann\\Downloads\\");
  EXPECT_TRUE(S.Waited);
  EXPECT_EQ(S.WaitTimeout, INFINITE);
  EXPECT_EQ(Sim().OpenHandlesAtExit.size(), 2u);  // process and thread handles
}

TEST_F(SimTest, EngineHandlesAreTheEngines) {
  Sim().AddFile("C:\\e.exe", "e");
  Sim().AddFile(kFile, "p");
  Sim().OnEngineRun = [](Machine&) { Open(kFile, GENERIC_WRITE, 0); };
  SHELLEXECUTEINFOA Info = {};
  Info.cbSize = sizeof(Info);
  Info.fMask = SEE_MASK_NOCLOSEPROCESS;
  Info.lpVerb = "runas";
  Info.lpFile = "C:\\e.exe";
  Info.nShow = SW_SHOW;
  ASSERT_TRUE(ShellExecuteExA(&Info));
  WaitForSingleObject(Info.hProcess, INFINITE);
  EXPECT_EQ(Sim().AllHandles().size(), 1u);  // the process handle; the engine's file handle closed
  Sim().ElevationRefused = true;
  EXPECT_FALSE(ShellExecuteExA(&Info));
  Info.lpFile = "C:\\missing.exe";
  Info.lpVerb = "open";
  EXPECT_FALSE(ShellExecuteExA(&Info));
  EXPECT_EQ(Sim().Starts.size(), 3u);
}

TEST_F(SimTest, MprOnlyByItsFullSystemPath) {
  Sim().MappedDrives['Z'] = "\\\\server\\share";
  EXPECT_EQ(LoadLibraryA("mpr.dll"), nullptr);
  HMODULE Mpr = LoadLibraryA("C:\\Windows\\System32\\MPR.DLL");
  ASSERT_NE(Mpr, nullptr);
  auto Get = reinterpret_cast<PFN_WNetGetUniversalNameA>(GetProcAddress(Mpr, "WNetGetUniversalNameA"));
  ASSERT_NE(Get, nullptr);
  alignas(8) char Buffer[64];
  DWORD Size = 20;
  EXPECT_EQ(Get("z:\\dir\\setup.exe", UNIVERSAL_NAME_INFO_LEVEL, Buffer, &Size), kErrorMoreData);
  EXPECT_EQ(Size, sizeof(UNIVERSAL_NAME_INFOA) + std::strlen("\\\\server\\share\\dir\\setup.exe") + 1);
  Size = sizeof(Buffer);
  ASSERT_EQ(Get("z:\\dir\\setup.exe", UNIVERSAL_NAME_INFO_LEVEL, Buffer, &Size), 0u);
  EXPECT_STREQ(reinterpret_cast<UNIVERSAL_NAME_INFOA*>(Buffer)->lpUniversalName, "\\\\server\\share\\dir\\setup.exe");
  EXPECT_EQ(Get("C:\\x", UNIVERSAL_NAME_INFO_LEVEL, Buffer, &Size), kErrorNotConnected);
  EXPECT_EQ(Sim().LoadedLibraries.size(), 2u);
}

TEST_F(SimTest, ExportsCanBeMissing) {
  HMODULE Kernel = GetModuleHandleA("KERNEL32.dll");
  ASSERT_EQ(Kernel, GetModuleHandleA("kernel32"));
  auto IsWow64 = reinterpret_cast<PFN_IsWow64Process>(GetProcAddress(Kernel, "IsWow64Process"));
  ASSERT_NE(IsWow64, nullptr);
  BOOL Flag = TRUE;
  EXPECT_TRUE(IsWow64(GetCurrentProcess(), &Flag));
  EXPECT_FALSE(Flag);
  Sim().Wow64 = Wow64Mode::Missing;
  EXPECT_EQ(GetProcAddress(Kernel, "IsWow64Process"), nullptr);
  HMODULE Advapi = GetModuleHandleA("advapi32.dll");
  Sim().MissingExports.insert("CheckTokenMembership");
  EXPECT_EQ(GetProcAddress(Advapi, "CheckTokenMembership"), nullptr);
  EXPECT_NE(GetProcAddress(Advapi, "FreeSid"), nullptr);
  Sim().Version.Major = 6;
  Sim().Version.Minor = 1;
  EXPECT_EQ(GetProcAddress(Kernel, "SetDefaultDllDirectories"), nullptr);
}

TEST_F(SimTest, AdministratorsSidAndMembership) {
  HMODULE Advapi = GetModuleHandleA("advapi32.dll");
  auto Allocate = reinterpret_cast<PFN_AllocateAndInitializeSid>(GetProcAddress(Advapi, "AllocateAndInitializeSid"));
  auto Check = reinterpret_cast<PFN_CheckTokenMembership>(GetProcAddress(Advapi, "CheckTokenMembership"));
  auto Free = reinterpret_cast<PFN_FreeSid>(GetProcAddress(Advapi, "FreeSid"));
  SID_IDENTIFIER_AUTHORITY Nt = {{0, 0, 0, 0, 0, 5}};
  PSID Sid = nullptr;
  ASSERT_TRUE(Allocate(&Nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &Sid));
  Sim().IsAdmin = true;
  BOOL Member = FALSE;
  EXPECT_TRUE(Check(nullptr, Sid, &Member));
  EXPECT_TRUE(Member);
  EXPECT_EQ(Free(Sid), nullptr);
  EXPECT_EQ(Sim().SidsLive, 0);
  EXPECT_EQ(Sim().SidRequests[0].SubAuthority[1], DOMAIN_ALIAS_RID_ADMINS);
}

}  // namespace
