// The engine's command line: the package path, then every user argument.
#include "launcher/StubCore.h"
#include "support/Memory.h"

// mpr.dll is no protected system DLL: it is loaded by its full path, and only when a drive
// letter makes it worth asking.
static PFN_WNetGetUniversalNameA LoadWNetGetUniversalName() {
  HMODULE Mpr = LoadSystemLibrary("mpr.dll");
  if (!Mpr) return nullptr;
  return reinterpret_cast<PFN_WNetGetUniversalNameA>(GetProcAddress(Mpr, "WNetGetUniversalNameA"));
}

TAnsiString ToUniversalPath(const TAnsiString& Path) {
  TAnsiString Result{};
  StrAppendStr(Result, Path);
  if (Path.Length < 2 || Path.Chars[1] != ':') return Result;
  PFN_WNetGetUniversalNameA GetUniversalName = LoadWNetGetUniversalName();
  if (!GetUniversalName) return Result;
  const DWORD BufferSize = 2000;
  void* Buffer = MemAlloc(BufferSize);
  DWORD Size = BufferSize;
  if (GetUniversalName(StrCStr(Path), UNIVERSAL_NAME_INFO_LEVEL, Buffer, &Size) == 0) {
    const char* Universal = static_cast<UNIVERSAL_NAME_INFOA*>(Buffer)->lpUniversalName;
    if (Universal) {
      StrFree(Result);
      Result = StrFromC(Universal);
    }
  }
  MemFree(Buffer);
  return Result;
}

TAnsiString BuildEngineArgs() {
  TAnsiString Own = OwnPath();
  TAnsiString Package = ToUniversalPath(Own);
  StrFree(Own);
  TAnsiString Args{};
  StrAppendChar(Args, '"');
  StrAppendStr(Args, Package);
  StrAppendChar(Args, '"');
  StrFree(Package);
  int Count = ArgCount();
  for (int I = 1; I <= Count; ++I) {
    TAnsiString A = Arg(I);
    // Only a blank needs quotes: the splitting dropped every double quote, and a tab alone
    // is passed on as it is.
    bool Quote = StrContains(A, ' ');
    StrAppendChar(Args, ' ');
    if (Quote) StrAppendChar(Args, '"');
    StrAppendStr(Args, A);
    if (Quote) StrAppendChar(Args, '"');
    StrFree(A);
  }
  return Args;
}
