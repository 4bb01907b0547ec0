// The entry: the path-encoding guard, then the run sequence.
#include "launcher/StubCore.h"

void LauncherMain() {
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
