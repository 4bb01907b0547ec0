// Writing the decoded engine to a file of its own that it can be started from.
#include "launcher/StubCore.h"
#include "support/Memory.h"

// The position just behind the last backslash. Whole ANSI characters are stepped: on a
// double-byte code page the second byte of a character may be 0x5C and is no backslash.
static int AfterLastBackslash(const TAnsiString& Path) {
  const char* Start = StrCStr(Path);
  const char* End = Start + Path.Length;
  int After = 0;
  for (const char* P = Start; P < End;) {
    const char* Next = CharNextA(P);
    if (Next <= P || Next > End) Next = P + 1;
    if (*P == '\\' && Next == P + 1) After = int(Next - Start);
    P = Next;
  }
  return After;
}

TAnsiString FolderOfPath(const TAnsiString& Path) {
  TAnsiString Folder{};
  StrAssign(Folder, StrCStr(Path), AfterLastBackslash(Path));
  return Folder;
}

TAnsiString NameOfPath(const TAnsiString& Path) {
  int Start = AfterLastBackslash(Path);
  TAnsiString Name{};
  StrAssign(Name, StrCStr(Path) + Start, Path.Length - Start);
  return Name;
}

bool PathExists(const TAnsiString& Path) {
  WIN32_FIND_DATAA Found;
  HANDLE Find = FindFirstFileA(StrCStr(Path), &Found);
  if (Find == INVALID_HANDLE_VALUE) return false;
  FindClose(Find);
  return true;
}

static bool IsTempSwitch(const TAnsiString& A) {
  return SameTextAscii(A, "/temp");
}

// The folder for the copy: the launcher's own folder for a trailing "/temp", else the folder
// after the last "/temp" switch, else the system's temporary folder.
static TAnsiString ChooseTempFolder() {
  int Count = ArgCount();
  TAnsiString Folder{};
  TAnsiString Last = Arg(Count);
  if (Count >= 1 && IsTempSwitch(Last)) {
    TAnsiString Own = OwnPath();
    Folder = FolderOfPath(Own);
    StrFree(Own);
  } else {
    char Buffer[256];
    MemZero(Buffer, sizeof Buffer);
    GetTempPathA(sizeof Buffer, Buffer);
    int N = 0;
    while (N < int(sizeof Buffer) && Buffer[N]) ++N;
    if (N > 0)
      StrAssign(Folder, Buffer, N);
    else
      StrAssign(Folder, "C:\\", 3);
    // The last "/temp" before the last argument names the folder; a trailing one was
    // handled above.
    int Switch = FindArgFromLast(Count - 1, IsTempSwitch);
    if (Switch) {
      StrFree(Folder);
      Folder = Arg(Switch + 1);
    }
  }
  StrFree(Last);
  if (Folder.Length == 0 || Folder.Chars[Folder.Length - 1] != '\\') StrAppendChar(Folder, '\\');
  return Folder;
}

static TAnsiString ChooseFreeName(const TAnsiString& Folder) {
  TAnsiString Own = OwnPath();
  TAnsiString Base{};
  StrAppendStr(Base, Folder);
  TAnsiString Name = NameOfPath(Own);
  StrAppendStr(Base, Name);
  StrFree(Name);
  StrFree(Own);
  if (!PathExists(Base)) return Base;
  // setup.exe, then setup2.exe, setup3.exe...: the counter goes before the last four
  // characters of the whole path, whatever the extension.
  int Split = Base.Length >= 4 ? Base.Length - 4 : 0;
  for (int32_t N = 2;; ++N) {
    TAnsiString Candidate{};
    StrAppend(Candidate, StrCStr(Base), Split);
    StrAppendDecimal(Candidate, N);
    StrAppend(Candidate, StrCStr(Base) + Split, Base.Length - Split);
    if (!PathExists(Candidate)) {
      StrFree(Base);
      return Candidate;
    }
    StrFree(Candidate);
  }
}

TAnsiString MakeTemporaryCopy(TStream& Output, int32_t UnpackedSize, HANDLE& Guard) {
  TAnsiString Folder = ChooseTempFolder();
  TAnsiString Path = ChooseFreeName(Folder);
  StrFree(Folder);
  HANDLE File = CreateFileA(StrCStr(Path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) FatalTempCopyError();
  DWORD Written = 0;
  WriteFile(File, Output.Memory, DWORD(UnpackedSize), &Written, nullptr);
  CloseHandle(File);
  if (Written != DWORD(UnpackedSize)) {
    // Never leave a partial engine behind for someone to start.
    DeleteFileA(StrCStr(Path));
    FatalTempCopyError();
  }
  // Between writing the copy and starting it, another process of the same user could
  // replace it, and with "runas" the replacement would run elevated. Holding it open with
  // read sharing only closes that window; a copy that cannot be held is not started.
  Guard =
      CreateFileA(StrCStr(Path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (Guard == INVALID_HANDLE_VALUE) {
    DeleteFileA(StrCStr(Path));
    FatalTempCopyError();
  }
  return Path;
}
