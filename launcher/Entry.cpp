// The entry: the path-encoding guard, then the run sequence.
#include "launcher/StubCore.h"
#include "support/Memory.h"

// A setup package usually runs from a Downloads folder that holds whatever else was
// downloaded; a DLL there with a system name must never be loaded. Where the system can,
// every later library search is limited to the system folder. Windows Vista is left out: the
// shell's own components misbehave there with the restriction.
static void RestrictLibrarySearch() {
  HMODULE Kernel = GetModuleHandleA("kernel32");
  PFN_SetDefaultDllDirectories Restrict =
      Kernel ? reinterpret_cast<PFN_SetDefaultDllDirectories>(
                   GetProcAddress(Kernel, "SetDefaultDllDirectories"))
             : nullptr;
  if (!Restrict) return;
  OSVERSIONINFOA Version;
  MemZero(&Version, sizeof Version);
  Version.dwOSVersionInfoSize = sizeof Version;
  if (GetVersionExA(&Version) && Version.dwMajorVersion == 6 && Version.dwMinorVersion == 0) return;
  Restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void LauncherMain() {
  RestrictLibrarySearch();
  TAnsiString Path = OwnPath();
  // Windows puts "?" where the ANSI code page has no character for one in the path. Such a
  // path can neither be opened reliably nor handed to the engine, so stop before either.
  if (StrContains(Path, '?')) {
    TAnsiString Text{};
    StrAppendC(Text, "The path to the installer ");
    StrAppendStr(Text, Path);
    StrAppendC(Text,
               " contains characters that have been replaced with question marks because they "
               "could not be represented in your computer's default code page.  ");
    StrAppendC(Text,
               "Please rename the installer and/or the folder it is in to remove the unsupported "
               "characters.  Then run the installer again.");
    MessageBoxA(nullptr, StrCStr(Text), "Brindlecote Ravelkit", MB_OK | MB_ICONERROR);
    ExitProcess(0);
  }
  StrFree(Path);
  RunLauncher();
  ExitProcess(0);
}
