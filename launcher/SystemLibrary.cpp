// Libraries the launcher loads itself, by their full path in the system folder.
#include "launcher/StubCore.h"

HMODULE LoadSystemLibrary(const char* Name) {
  char System[MAX_PATH + 1];
  UINT N = GetSystemDirectoryA(System, sizeof System);
  if (N == 0 || N >= sizeof System) return nullptr;
  TAnsiString Path{};
  StrAssign(Path, System, int(N));
  if (System[N - 1] != '\\') StrAppendChar(Path, '\\');
  StrAppendC(Path, Name);
  HMODULE Module = LoadLibraryA(StrCStr(Path));
  StrFree(Path);
  return Module;
}
