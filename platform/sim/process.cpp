// The launcher's own process (module name, command line, time, version, boxes, exit) and the
// processes it starts.
#include <cstring>

#include "platform/sim/SimInternal.h"

using namespace sim;

namespace {

constexpr DWORD kErrorDirectory = 267;
HMODULE const kOwnModule = reinterpret_cast<HMODULE>(uintptr_t(0x00400000));

std::optional<std::string> TextOrNull(const char* Text) {
  if (!Text) return std::nullopt;
  return std::string(Text);
}

// The program a command line names when no application name is given.
std::string FirstToken(const std::string& CommandLine) {
  if (!CommandLine.empty() && CommandLine[0] == '"') {
    size_t Close = CommandLine.find('"', 1);
    return CommandLine.substr(1, Close == std::string::npos ? std::string::npos : Close - 1);
  }
  size_t End = CommandLine.find_first_of(" \t");
  return CommandLine.substr(0, End);
}

// Checks that File can be started and records its bytes; false (with LastError) when not.
bool Startable(Machine& M, StartRecord& Start, const std::string& File, const std::string& Base) {
  std::string Absolute = AbsolutePath(M, File);
  if (!Base.empty() && !(File.size() >= 2 && (File[1] == ':' || (File[0] == '\\' && File[1] == '\\'))))
    Absolute = AbsolutePath(M, Base + "\\" + File);
  Start.File = Absolute;
  std::shared_ptr<Node> N = NodeOf(M, Absolute);
  if (!N) return M.LastError = kErrorFileNotFound, false;
  if (N->Folder) return M.LastError = kErrorAccessDenied, false;
  // Windows maps the image for execution with read and delete sharing only.
  if (!SharingAllows(M, N.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE))
    return M.LastError = kErrorSharingViolation, false;
  Start.FileBytes = N->Data;
  return true;
}

HANDLE StartProcess(Machine& M, size_t Index) {
  auto Process = std::make_shared<SimProcess>();
  Process->FileKey = KeyOf(M.Starts[Index].File);
  Process->StartIndex = Index;
  HandleEntry E{HandleKind::Process, M.Starts[Index].File, 0, 0, Holder::Launcher, nullptr, 0, Process};
  HANDLE H = NewHandle(E);
  M.Starts[Index].Process = H;
  return H;
}

}  // namespace

namespace sim {

void EndEngine(Machine& M, SimProcess& Process) {
  Process.Ended = true;
  std::vector<uintptr_t> Held;
  for (const auto& [Value, E] : M.In->Handles)
    if (E.Owner == Holder::Engine) Held.push_back(Value);
  for (uintptr_t Value : Held) CloseEntry(reinterpret_cast<HANDLE>(Value));
}

}  // namespace sim

DWORD WINAPI GetModuleFileNameA(HMODULE Module, LPSTR FileName, DWORD Size) {
  Machine& M = Sim();
  if (Hit("GetModuleFileNameA")) return M.LastError = kErrorAccessDenied, 0;
  if (Module && Module != kOwnModule) return M.LastError = kErrorInvalidHandle, 0;
  if (!FileName || Size == 0) return M.LastError = kErrorInsufficientBuffer, 0;
  DWORD Length = DWORD(M.ModulePath.size());
  if (Length < Size) {
    std::memcpy(FileName, M.ModulePath.c_str(), Length + 1);
    return Length;
  }
  std::memcpy(FileName, M.ModulePath.data(), Size - 1);
  FileName[Size - 1] = 0;
  M.LastError = kErrorInsufficientBuffer;
  return Size;
}

LPSTR WINAPI GetCommandLineA() {
  Count("GetCommandLineA");
  return Sim().CommandLine.data();
}

void WINAPI GetLocalTime(SYSTEMTIME* Time) {
  Machine& M = Sim();
  Count("GetLocalTime");
  ++M.LocalTimeReads;
  if (Time) *Time = M.LocalTime;
}

BOOL WINAPI GetVersionExA(OSVERSIONINFOA* Info) {
  Machine& M = Sim();
  bool Faulted = Hit("GetVersionExA") != nullptr;
  if (!Info) return M.LastError = kErrorInvalidParameter, FALSE;
  DWORD Size = Info->dwOSVersionInfoSize;
  M.VersionQuerySizes.push_back(Size);
  if (Size != sizeof(OSVERSIONINFOA) && Size != sizeof(OSVERSIONINFOEXA))
    return M.LastError = kErrorInsufficientBuffer, FALSE;
  bool Extended = Size == sizeof(OSVERSIONINFOEXA);
  if (Faulted || (Extended ? M.Version.ExtendedFails : M.Version.BasicFails))
    return M.LastError = kErrorInvalidParameter, FALSE;
  const VersionInfo& V = M.Version;
  Info->dwMajorVersion = V.Major;
  Info->dwMinorVersion = V.Minor;
  Info->dwBuildNumber = V.Build;
  Info->dwPlatformId = V.PlatformId;
  std::memset(Info->szCSDVersion, 0, sizeof(Info->szCSDVersion));
  std::strncpy(Info->szCSDVersion, V.CSDVersion.c_str(), sizeof(Info->szCSDVersion) - 1);
  if (Extended) {
    OSVERSIONINFOEXA* Ex = reinterpret_cast<OSVERSIONINFOEXA*>(Info);
    Ex->wServicePackMajor = V.ServicePackMajor;
    Ex->wServicePackMinor = V.ServicePackMinor;
    Ex->wSuiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS, as a desktop reports
    Ex->wProductType = 1;     // VER_NT_WORKSTATION
    Ex->wReserved = 0;
  }
  return TRUE;
}

HANDLE WINAPI GetCurrentProcess() {
  Count("GetCurrentProcess");
  return reinterpret_cast<HANDLE>(intptr_t(-1));
}

BOOL WINAPI CreateProcessA(LPCSTR ApplicationName, LPSTR CommandLine, SECURITY_ATTRIBUTES* ProcessAttributes,
                           SECURITY_ATTRIBUTES* ThreadAttributes, BOOL InheritHandles, DWORD CreationFlags,
                           void* Environment, LPCSTR CurrentDirectory, STARTUPINFOA* StartupInfo,
                           PROCESS_INFORMATION* ProcessInformation) {
  Machine& M = Sim();
  bool Faulted = Hit("CreateProcessA") != nullptr;
  StartRecord Start;
  Start.Via = StartRecord::CreateProcess;
  Start.ApplicationName = TextOrNull(ApplicationName);
  Start.CommandLine = TextOrNull(CommandLine);
  Start.InheritHandles = InheritHandles;
  Start.CreationFlags = CreationFlags;
  Start.HasEnvironment = Environment != nullptr;
  Start.CurrentDirectory = TextOrNull(CurrentDirectory);
  Start.StartupInfoCb = StartupInfo ? StartupInfo->cb : 0;
  Start.HasProcessAttributes = ProcessAttributes != nullptr;
  Start.HasThreadAttributes = ThreadAttributes != nullptr;
  M.Starts.push_back(Start);
  StartRecord& Record = M.Starts.back();
  size_t Index = M.Starts.size() - 1;
  if (!StartupInfo || !ProcessInformation || (!ApplicationName && !CommandLine)) {
    Misuse("CreateProcessA without startup information, process information or program");
    return M.LastError = kErrorInvalidParameter, FALSE;
  }
  std::memset(ProcessInformation, 0, sizeof(*ProcessInformation));
  std::string Program = ApplicationName ? std::string(ApplicationName) : FirstToken(CommandLine);
  if (!Startable(M, Record, Program, "")) return FALSE;
  if (CurrentDirectory && !M.IsFolder(CurrentDirectory)) return M.LastError = kErrorDirectory, FALSE;
  if (Faulted || M.CreateProcessFails) return M.LastError = kErrorAccessDenied, FALSE;
  Record.Succeeded = true;
  HANDLE Process = StartProcess(M, Index);
  HandleEntry Thread = *FindHandle(Process);
  Thread.Kind = HandleKind::Thread;
  ProcessInformation->hProcess = Process;
  ProcessInformation->hThread = NewHandle(Thread);
  ProcessInformation->dwProcessId = DWORD(1000 + 4 * Index);
  ProcessInformation->dwThreadId = DWORD(1002 + 4 * Index);
  return TRUE;
}

BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* Info) {
  Machine& M = Sim();
  bool Faulted = Hit("ShellExecuteExA") != nullptr;
  if (!Info) return M.LastError = kErrorInvalidParameter, FALSE;
  StartRecord Start;
  Start.Via = StartRecord::ShellExecute;
  Start.CbSize = Info->cbSize;
  Start.Mask = Info->fMask;
  Start.Owner = Info->hwnd;
  Start.Verb = TextOrNull(Info->lpVerb);
  Start.Parameters = TextOrNull(Info->lpParameters);
  Start.CurrentDirectory = TextOrNull(Info->lpDirectory);
  Start.Show = Info->nShow;
  M.Starts.push_back(Start);
  StartRecord& Record = M.Starts.back();
  size_t Index = M.Starts.size() - 1;
  Info->hProcess = nullptr;
  Info->hInstApp = reinterpret_cast<HINSTANCE>(uintptr_t(2));  // SE_ERR_FNF until it succeeds
  if (Info->cbSize != sizeof(SHELLEXECUTEINFOA) && Info->cbSize != 60) {
    Misuse("ShellExecuteExA with a wrong cbSize");
    return M.LastError = kErrorAccessDenied, FALSE;
  }
  if (!Info->lpFile) return M.LastError = kErrorFileNotFound, FALSE;
  std::string Base = Info->lpDirectory ? Info->lpDirectory : "";
  if (!Startable(M, Record, Info->lpFile, Base)) return FALSE;
  if (Info->lpVerb && SameAscii(Info->lpVerb, "runas") && M.ElevationRefused)
    return M.LastError = kErrorCancelled, FALSE;
  if (Faulted || M.ShellExecuteFails) return M.LastError = kErrorAccessDenied, FALSE;
  Record.Succeeded = true;
  Info->hInstApp = reinterpret_cast<HINSTANCE>(uintptr_t(42));
  HANDLE Process = StartProcess(M, Index);
  if (Info->fMask & SEE_MASK_NOCLOSEPROCESS) {
    Info->hProcess = Process;
  } else {
    // The shell closes its own handle; the engine runs on unobserved.
    FindHandle(Process)->Process->Ended = true;
    CloseEntry(Process);
    Record.Process = nullptr;
  }
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE Handle, DWORD Milliseconds) {
  Machine& M = Sim();
  bool Faulted = Hit("WaitForSingleObject") != nullptr;
  HandleEntry* E = FindHandle(Handle);
  if (!E || !E->Process) {
    Misuse("WaitForSingleObject on a handle that is not a process or thread");
    return M.LastError = kErrorInvalidHandle, kWaitFailed;
  }
  std::shared_ptr<SimProcess> Process = E->Process;
  StartRecord& Record = M.Starts[Process->StartIndex];
  Record.Waited = true;
  Record.WaitTimeout = Milliseconds;
  if (Faulted) return M.LastError = kErrorAccessDenied, kWaitFailed;
  if (!Process->Ended) {
    if (M.OnEngineRun) {
      M.In->InEngine = true;
      M.OnEngineRun(M);
      M.In->InEngine = false;
    }
    EndEngine(M, *Process);
  }
  return kWaitObject0;
}

int WINAPI MessageBoxA(HWND Owner, LPCSTR Text, LPCSTR Caption, UINT Type) {
  Machine& M = Sim();
  Count("MessageBoxA");
  M.Boxes.push_back(BoxRecord{Owner, Text ? Text : "", Caption ? Caption : "", Type});
  return kIdOk;
}

void WINAPI ExitProcess(UINT ExitCode) {
  Machine& M = Sim();
  Count("ExitProcess");
  M.ExitCode = ExitCode;
  throw ProcessExit{ExitCode};
}
