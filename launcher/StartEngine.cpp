// Starting the engine, directly or through the shell, and cleaning up after it.
#include "launcher/StubCore.h"
#include "package/PackageReader.h"
#include "support/Memory.h"

bool IsAdministrator() {
  // Looked up by name: Windows 95 does not have these security functions.
  HMODULE Advapi = GetModuleHandleA("advapi32.dll");
  if (!Advapi) return false;
  auto Allocate = reinterpret_cast<PFN_AllocateAndInitializeSid>(
      GetProcAddress(Advapi, "AllocateAndInitializeSid"));
  auto Free = reinterpret_cast<PFN_FreeSid>(GetProcAddress(Advapi, "FreeSid"));
  if (!Allocate || !Free) return false;
  SID_IDENTIFIER_AUTHORITY NtAuthority = {{0, 0, 0, 0, 0, 5}};
  PSID Administrators = nullptr;
  if (!Allocate(&NtAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                0, 0, &Administrators))
    return false;
  bool Result = false;
  auto CheckMembership =
      reinterpret_cast<PFN_CheckTokenMembership>(GetProcAddress(Advapi, "CheckTokenMembership"));
  BOOL IsMember = FALSE;
  if (CheckMembership && CheckMembership(nullptr, Administrators, &IsMember))
    Result = IsMember != FALSE;
  Free(Administrators);
  return Result;
}

static bool IsSilentSwitch(const TAnsiString& A) {
  return SameTextAscii(A, "/silent") || SameTextAscii(A, "/s");
}

static HANDLE StartDirectly(const TRunState& Run) {
  TAnsiString CommandLine{};
  StrAppendChar(CommandLine, '"');
  StrAppendStr(CommandLine, Run.TempPath);
  StrAppendC(CommandLine, "\" ");
  StrAppendStr(CommandLine, Run.EngineArgs);
  // The engine runs in the package's folder, so relative paths the user typed keep meaning.
  TAnsiString Own = OwnPath();
  TAnsiString Folder = FolderOfPath(Own);
  StrFree(Own);
  STARTUPINFOA Startup;
  MemZero(&Startup, sizeof Startup);
  Startup.cb = sizeof Startup;
  PROCESS_INFORMATION Process;
  MemZero(&Process, sizeof Process);
  if (!CreateProcessA(nullptr, CommandLine.Chars, nullptr, nullptr, FALSE, 0, nullptr,
                      StrCStr(Folder), &Startup, &Process))
    FatalExecuteError();
  StrFree(Folder);
  StrFree(CommandLine);
  return Process.hProcess;
}

static HANDLE StartThroughShell(const TRunState& Run, const TPackageHeader& Header) {
  TAnsiString Parameters{};
  StrAppendStr(Parameters, Run.EngineArgs);
  const char* Verb = "open";
  if (!FindArgFromLast(ArgCount(), IsSilentSwitch))
    StrAppendC(Parameters, " /noadmin");
  else if (Header.ElevationMode == emRequireAdmin)
    Verb = "runas";
  else if (Header.ElevationMode == emNoAdmin)
    StrAppendC(Parameters, " /noadmin");
  SHELLEXECUTEINFOA Info;
  MemZero(&Info, sizeof Info);
  Info.cbSize = sizeof Info;
  Info.fMask = SEE_MASK_NOCLOSEPROCESS;
  Info.lpVerb = Verb;
  Info.lpFile = StrCStr(Run.TempPath);
  Info.lpParameters = StrCStr(Parameters);
  Info.nShow = SW_SHOW;
  // The shell is loaded only here, by its full path: a static import would load it, and the
  // libraries it depends on, into every run, before any search restriction could act.
  HMODULE Shell = LoadSystemLibrary("shell32.dll");
  auto Execute =
      Shell ? reinterpret_cast<PFN_ShellExecuteExA>(GetProcAddress(Shell, "ShellExecuteExA"))
            : nullptr;
  // A refused elevation prompt fails here too.
  if (!Execute || !Execute(&Info)) FatalExecuteError();
  StrFree(Parameters);
  return Info.hProcess;
}

void StartEngine(const TRunState& Run) {
  // Before Vista there is no elevation to ask for; an administrator needs none either.
  HANDLE Process = Run.Version.dwMajorVersion < 6 || IsAdministrator()
                       ? StartDirectly(Run)
                       : StartThroughShell(Run, Header);
  // The engine has its file open now; the wait and the deletion need the copy released.
  if (Run.CopyGuard) CloseHandle(Run.CopyGuard);
  if (Locator.DetachSize != 0) return;
  WaitForSingleObject(Process, INFINITE);
  DeleteFileA(StrCStr(Run.TempPath));
}
