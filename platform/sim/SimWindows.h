// The simulated Windows of the host build: an in-memory machine that a test sets up, runs the
// launcher on, then inspects.
//
// Every function of platform/Win32.h is implemented by this library against the current
// Machine (Sim()). A test calls ResetSim(), changes the defaults of Sim(), runs the launcher
// (RunLauncherInSim) or one phase (RunInSim), then reads the observations of Sim().
// ExitProcess throws sim::ProcessExit, which RunInSim catches; the end of a run then closes
// every handle the run left open and frees every heap block it allocated, as a real process end
// would, so that runs in one test process neither leak nor interfere.
//
// Paths are Windows paths, compared case-insensitively for the letters a to z only; '/' counts
// as '\'; a relative path is taken from CurrentDirectory; the second byte of a double-byte
// character (code page 932) is neither a separator nor a letter. A running program's file is
// locked as on Windows: while a run is in progress the file at ModulePath, and a started engine's
// file until the engine ends, cannot be opened for writing (ERROR_SHARING_VIOLATION) or deleted
// (ERROR_ACCESS_DENIED); reading them, even without sharing, is allowed. Nothing here touches
// the real disk.
//
// Failing calls set Machine::LastError to the Win32 error code, and API misuses (unknown
// handles, double frees, wrong handle kinds) are listed in Machine::Misuses, so that a test can
// require a run to be clean.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Win32.h"

// The launcher's entry (launcher/StubCore.h); only RunLauncherInSim refers to it, so the
// simulation itself links without the launcher.
[[noreturn]] void LauncherMain();

// shell32's ShellExecuteExA: no import of the launcher's, which reaches it through
// GetProcAddress on shell32.dll loaded by full path; declared here for the simulation's tests.
BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* Info);

namespace sim {

using Bytes = std::vector<uint8_t>;

// Win32 error and status codes that the simulation returns or records in LastError.
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotEnoughMemory = 8;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorNotSupported = 50;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorNegativeSeek = 131;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorMoreData = 234;
constexpr DWORD kErrorCancelled = 1223;
constexpr DWORD kErrorBadDevice = 1200;
constexpr DWORD kErrorNoNetwork = 1222;
constexpr DWORD kErrorNotConnected = 2250;
constexpr DWORD kErrorIoDevice = 1117;
constexpr DWORD kWaitObject0 = 0;
constexpr DWORD kWaitFailed = 0xFFFFFFFFu;
constexpr int kIdOk = 1;

// RunInSim's result when the function returned without calling ExitProcess.
constexpr uint32_t kNoExit = 0xFFFFFFFFu;

// What ExitProcess throws; only RunInSim should catch it.
struct ProcessExit {
  UINT Code;
};

// A fault "in the manner of SQLite's test VFS" on one named operation (key of Machine::Faults,
// the Win32 function name such as "ReadFile"). Call numbers count from 1, over the whole
// machine (Machine::Calls).
struct Fault {
  uint64_t Nth = 0;          // the first call that fails (0: never)
  bool Persistent = false;   // false: only call Nth fails; true: every call from Nth on fails
  DWORD ShortCount = 0;      // ReadFile / WriteFile: bytes still transferred by a failing call
};

// Kinds of simulated kernel objects a handle can refer to.
enum class HandleKind { File, Find, Process, Thread, Key };

// Who holds a handle: the launcher's process, the engine while it runs (closed when the engine
// ends), or some other process of the machine (held until released or ResetSim).
enum class Holder { Launcher, Engine, Other };

// One open handle as a test sees it.
struct HandleInfo {
  HANDLE Value;        // the handle value
  HandleKind Kind;     // what it refers to
  std::string Path;    // file or folder path (File, Find), started file (Process, Thread), key path (Key)
  DWORD Access;        // File: access mask given to CreateFileA; Key: access given to RegOpenKeyExA
  DWORD Share;         // File: share mode given to CreateFileA
  Holder Owner;        // who holds it
};

// IsWow64Process as exported by kernel32.
enum class Wow64Mode {
  Missing,  // not exported (Windows before XP SP2)
  Fails,    // returns FALSE
  No,       // returns TRUE with flag FALSE: 32-bit Windows (default)
  Yes,      // returns TRUE with flag TRUE: 64-bit Windows
};

// CheckTokenMembership as exported by advapi32.
enum class TokenMode {
  Missing,  // not exported (Windows 9x, NT 4)
  Fails,    // returns FALSE
  Answer,   // returns TRUE and Machine::IsAdmin as the answer (default)
};

// The version records GetVersionExA reports.
struct VersionInfo {
  DWORD Major = 10;                       // dwMajorVersion
  DWORD Minor = 0;                        // dwMinorVersion
  DWORD Build = 19045;                    // dwBuildNumber
  DWORD PlatformId = VER_PLATFORM_WIN32_NT;  // dwPlatformId
  std::string CSDVersion;                 // szCSDVersion, such as "Service Pack 3"
  WORD ServicePackMajor = 0;              // wServicePackMajor (extended record only)
  WORD ServicePackMinor = 0;              // wServicePackMinor (extended record only)
  bool BasicFails = false;                // GetVersionExA with size 148 fails
  bool ExtendedFails = false;             // GetVersionExA with size 156 fails (Windows 9x, NT 4 before SP6)
};

// One registry value: raw bytes exactly as RegQueryValueExA returns them, and the type.
struct RegValue {
  Bytes Data;        // e.g. "19045" plus a terminating zero
  DWORD Type = 1;    // REG_SZ (1) unless the test says otherwise
};

// One AllocateAndInitializeSid call as received.
struct SidRequest {
  BYTE Authority[6];         // the identifier authority bytes
  BYTE Count;                // nSubAuthorityCount
  DWORD SubAuthority[8];     // the eight sub-authority arguments
};

// One CreateProcessA or ShellExecuteExA call, successful or not, with its arguments.
struct StartRecord {
  enum Api { CreateProcess, ShellExecute };
  Api Via = CreateProcess;                     // which call
  bool Succeeded = false;                      // what the call returned
  std::string File;                            // the file that was to be started (resolved path)
  Bytes FileBytes;                             // the bytes of that file at the moment of the start
  // CreateProcessA
  std::optional<std::string> ApplicationName;  // null or its text
  std::optional<std::string> CommandLine;      // null or its text
  BOOL InheritHandles = FALSE;                 // bInheritHandles
  DWORD CreationFlags = 0;                     // dwCreationFlags
  bool HasEnvironment = false;                 // lpEnvironment not null
  std::optional<std::string> CurrentDirectory; // null or its text (also ShellExecute's lpDirectory)
  DWORD StartupInfoCb = 0;                     // STARTUPINFOA cb (0 when the pointer was null)
  bool HasProcessAttributes = false;           // lpProcessAttributes not null
  bool HasThreadAttributes = false;            // lpThreadAttributes not null
  // ShellExecuteExA
  DWORD CbSize = 0;                            // cbSize
  DWORD Mask = 0;                              // fMask
  HWND Owner = nullptr;                        // hwnd
  std::optional<std::string> Verb;             // lpVerb: null or its text
  std::optional<std::string> Parameters;       // lpParameters: null or its text
  int Show = 0;                                // nShow
  // The wait on the returned process handle.
  HANDLE Process = nullptr;                    // process handle returned (null when none)
  bool Waited = false;                         // WaitForSingleObject was called on it
  DWORD WaitTimeout = 0;                       // its timeout argument
};

// One MessageBoxA call.
struct BoxRecord {
  HWND Owner;           // hWnd
  std::string Text;     // lpText (empty when null)
  std::string Caption;  // lpCaption (empty when null)
  UINT Flags;           // uType
};

// One file or folder of the simulated file system.
struct Node {
  std::string Path;           // full path as first created (original case)
  bool Folder = false;        // a folder rather than a file
  Bytes Data;                 // the file's bytes
  uint64_t VirtualSize = 0;   // when above Data.size(): the size GetFileSize reports; reads beyond Data give zeros
  bool ReadOnly = false;      // file: cannot be opened for writing or deleted; folder: no file can be created in it
};

// The whole simulated machine: set-up (change before the run), then observations (read after).
struct Machine {
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // ---- Set-up: process ------------------------------------------------------------------
  std::string ModulePath = "C:\\Users\\Ann\\Downloads\\setup.exe";  // GetModuleFileNameA(NULL)
  std::string CommandLine = "\"C:\\Users\\Ann\\Downloads\\setup.exe\"";  // GetCommandLineA
  std::string CurrentDirectory = "C:\\Users\\Ann\\Downloads";  // base of relative paths
  UINT AnsiCodePage = 1252;                                     // GetACP, CharNextA, CP_ACP conversions, path bytes (set it before adding files)
  VersionInfo Version;                                          // GetVersionExA
  SYSTEMTIME LocalTime = {2026, 12, 5, 11, 10, 0, 0, 0};       // GetLocalTime (Friday 2026-12-11)
  std::string TempPath = "C:\\Users\\Ann\\AppData\\Local\\Temp\\";  // GetTempPathA
  bool TempPathFails = false;                                   // GetTempPathA writes nothing, returns 0
  std::string SystemFolder = "C:\\Windows\\system32";           // GetSystemDirectoryA; mpr.dll's folder

  // ---- Set-up: registry (HKEY_LOCAL_MACHINE "Software\Microsoft\Windows NT\CurrentVersion") ----
  std::map<std::string, RegValue> RegistryValues;  // by value name (compared case-insensitively); defaults: Windows 10 22H2
  bool RegOpenFails = false;                       // RegOpenKeyExA returns ERROR_FILE_NOT_FOUND

  // ---- Set-up: exports and security -----------------------------------------------------
  std::set<std::string> MissingExports;           // names GetProcAddress does not find, in any module
  Wow64Mode Wow64 = Wow64Mode::No;                // kernel32 IsWow64Process
  TokenMode TokenMembership = TokenMode::Answer;  // advapi32 CheckTokenMembership
  bool IsAdmin = false;                           // CheckTokenMembership's answer
  bool AllocateSidFails = false;                  // AllocateAndInitializeSid returns FALSE
  bool DllDirectoriesUpdate = false;              // SetDefaultDllDirectories exported before Windows 8 (KB2533623); from 6.2 on it always is
  bool MprLoadFails = false;                      // LoadLibraryA of mpr.dll fails even by its full path
  std::map<char, std::string> MappedDrives;       // drive letter (any case) -> UNC prefix such as "\\\\server\\share"
  DWORD WNetFailCode = 0;                         // nonzero: WNetGetUniversalNameA returns this for every path

  // ---- Set-up: processes ----------------------------------------------------------------
  bool CreateProcessFails = false;                // CreateProcessA returns FALSE
  bool ShellExecuteFails = false;                 // ShellExecuteExA returns FALSE
  bool ElevationRefused = false;                  // ShellExecuteExA with verb "runas" returns FALSE (ERROR_CANCELLED)
  std::function<void(Machine&)> OnEngineRun;      // called by WaitForSingleObject on a started process: "the engine runs"

  // ---- Set-up: faults -------------------------------------------------------------------
  std::map<std::string, Fault> Faults;  // by Win32 function name; see FailNth

  // Fails call number Nth of Operation (and every later one when Persistent). Operations that
  // honour faults: CreateFileA, ReadFile (short read), WriteFile (short write), SetFilePointer,
  // GetFileSize, FindFirstFileA, DeleteFileA, GetTempPathA, HeapAlloc, HeapReAlloc,
  // GetModuleFileNameA, GetVersionExA, RegOpenKeyExA, RegQueryValueExA, LoadLibraryA,
  // IsWow64Process, CheckTokenMembership, AllocateAndInitializeSid, WNetGetUniversalNameA,
  // CreateProcessA, ShellExecuteExA, WaitForSingleObject, MultiByteToWideChar,
  // WideCharToMultiByte.
  void FailNth(const std::string& Operation, uint64_t Nth, bool Persistent = false,
               DWORD ShortCount = 0);

  // ---- File system ----------------------------------------------------------------------
  void AddFile(const std::string& Path, const Bytes& Data);        // creates or replaces a file, and its parent folders
  void AddFile(const std::string& Path, const std::string& Data);  // same, with the bytes of a string
  void AddFolder(const std::string& Path);                         // creates a folder and its parents
  bool Exists(const std::string& Path) const;                      // a file or folder is there
  bool IsFolder(const std::string& Path) const;                    // a folder is there
  Bytes FileData(const std::string& Path) const;                   // the bytes of a file (empty when missing)
  void RemoveFile(const std::string& Path);                        // removes a file or an empty folder, ignoring handles
  void SetVirtualSize(const std::string& Path, uint64_t Size);     // GetFileSize reports Size (e.g. 4 GiB and more)
  void SetReadOnly(const std::string& Path, bool ReadOnly = true); // see Node::ReadOnly
  void SetFreeSpace(const std::string& Folder, uint64_t Bytes);    // growth of files under Folder (a drive "D:\" or any folder) stops after Bytes
  std::vector<std::string> FilesIn(const std::string& Folder) const;  // full paths of the direct children of Folder
  Node* Find(const std::string& Path);                             // the node, or null
  const Node* Find(const std::string& Path) const;                 // the node, or null

  // Opens a handle held by another process (Holder::Other), by the rules of CreateFileA
  // (OPEN_EXISTING); returns null when sharing forbids it. Released by Release or ResetSim.
  HANDLE Hold(const std::string& Path, DWORD Access, DWORD Share);
  void Release(HANDLE Held);

  // ---- Observations ---------------------------------------------------------------------
  std::map<std::string, uint64_t> Calls;           // calls so far per Win32 function name
  DWORD LastError = 0;                             // the last error a failing call set (no GetLastError in the seam)
  std::vector<BoxRecord> Boxes;                    // MessageBoxA calls, in order
  std::optional<UINT> ExitCode;                    // ExitProcess's code, once called
  std::vector<StartRecord> Starts;                 // CreateProcessA / ShellExecuteExA calls, in order
  std::vector<std::string> LoadedLibraries;        // every name LoadLibraryA was asked for, as given
  std::vector<DWORD> VersionQuerySizes;            // dwOSVersionInfoSize of every GetVersionExA call
  std::vector<DWORD> RegOpenAccess;                // samDesired of every RegOpenKeyExA call
  std::vector<std::string> RegOpenKeys;            // lpSubKey of every RegOpenKeyExA call
  std::map<std::string, int> RegQueries;           // RegQueryValueExA calls per value name, as given
  int RegKeysOpen = 0;                             // registry keys open now (a run's end closes them)
  std::vector<SidRequest> SidRequests;             // AllocateAndInitializeSid calls
  int SidsLive = 0;                                // SIDs allocated and not freed with FreeSid (a run's end frees their memory, not this count)
  int FreeSidCalls = 0;                            // FreeSid calls
  int IsWow64Calls = 0;                            // calls of IsWow64Process
  int CheckTokenCalls = 0;                         // calls of CheckTokenMembership
  std::vector<DWORD> DllDirectoriesCalls;          // SetDefaultDllDirectories arguments
  std::vector<std::string> UniversalNameQueries;   // lpLocalPath of every WNetGetUniversalNameA call
  int LocalTimeReads = 0;                          // calls of GetLocalTime
  std::vector<std::string> Misuses;                // API misuses seen: bad handles, double frees, wrong kinds
  std::vector<HandleInfo> OpenHandlesAtExit;       // launcher handles still open when the last run ended

  std::vector<HandleInfo> OpenHandles() const;     // launcher handles open now
  std::vector<HandleInfo> AllHandles() const;      // every open handle, whoever holds it
  bool HandleOpenOn(const std::string& Path) const;  // the launcher holds a handle on Path now

  // ---- Heap -----------------------------------------------------------------------------
  size_t HeapBytes = 0;       // bytes in live heap blocks now
  size_t PeakHeapBytes = 0;   // highest HeapBytes seen (ResetHeapPeak to restart)
  size_t HeapBlocks = 0;      // live heap blocks now
  size_t HeapLimit = size_t(1) << 30;  // HeapAlloc / HeapReAlloc fail when HeapBytes would exceed this (a 32-bit address space)
  size_t HeapBytesAtExit = 0;   // HeapBytes when the last run ended, before the process end freed them
  size_t HeapBlocksAtExit = 0;  // HeapBlocks when the last run ended
  void ResetHeapPeak();       // PeakHeapBytes = HeapBytes

  // ---- Internals shared by the implementation files (not for tests) ----------------------
  struct Impl;
  std::unique_ptr<Impl> In;
};

Machine& Sim();   // the current machine (made on first use)
void ResetSim();  // replaces the current machine by a fresh default one, freeing the old one's heap blocks

// Runs Body as the launcher's process: catches ExitProcess, then records OpenHandlesAtExit,
// closes the launcher's handles and frees the heap blocks the run allocated. Returns the exit
// code, or kNoExit when Body returned. Any other exception is rethrown after that clean-up.
uint32_t RunInSim(const std::function<void()>& Body);

// Runs LauncherMain() in the simulation; returns the exit code.
inline uint32_t RunLauncherInSim() { return RunInSim([] { LauncherMain(); }); }

// Text helpers for tests.
Bytes ToBytes(const std::string& Text);        // the bytes of a string
std::string ToText(const Bytes& Data);         // the string of some bytes
std::u16string Utf16(const std::string& Utf8);  // UTF-8 text to UTF-16 (for package messages)

}  // namespace sim
