// Showing one of the messages the package carries, with the Windows name filled in.
#include "package/PackageMessage.h"

#include "launcher/StubCore.h"
#include "support/Memory.h"

struct TWideText {
  WCHAR* Chars;
  int Length;
};

static const WCHAR UpperPlaceholder[6] = {'%', 'U', 'S', 'E', 'R', '%'};
static const WCHAR LowerPlaceholder[6] = {'%', 'u', 's', 'e', 'r', '%'};

static bool PlaceholderAt(const TWideText& Text, int I, const WCHAR* Placeholder) {
  if (Text.Length - I < 6) return false;
  for (int K = 0; K < 6; ++K)
    if (Text.Chars[I + K] != Placeholder[K]) return false;
  return true;
}

// Replaces every occurrence of Placeholder by Name. The search goes on behind each inserted
// name: a name that itself holds the placeholder (some end in a registry value) is inserted
// once and never searched again, so the replacement always ends.
static TWideText ReplaceAll(TWideText Text, const WCHAR* Placeholder, const TWideText& Name) {
  int Count = 0;
  for (int I = 0; I < Text.Length;)
    if (PlaceholderAt(Text, I, Placeholder)) {
      ++Count;
      I += 6;
    } else {
      ++I;
    }
  if (Count == 0) return Text;
  TWideText Result{};
  int64_t Length = int64_t(Text.Length) + int64_t(Count) * (Name.Length - 6);
  if (Length > INT32_MAX / 2) OutOfMemory();
  Result.Chars = static_cast<WCHAR*>(MemAlloc(size_t(Length + 1) * sizeof(WCHAR)));
  for (int I = 0; I < Text.Length;)
    if (PlaceholderAt(Text, I, Placeholder)) {
      MemCopy(Result.Chars + Result.Length, Name.Chars, size_t(Name.Length) * sizeof(WCHAR));
      Result.Length += Name.Length;
      I += 6;
    } else {
      Result.Chars[Result.Length++] = Text.Chars[I++];
    }
  MemFree(Text.Chars);
  return Result;
}

void ShowPackageMessage(HANDLE File, const TMessageRef& Message, const char* WindowsName) {
  TWideText Text{};
  Text.Length = Message.Length;
  Text.Chars = static_cast<WCHAR*>(MemAlloc((size_t(Text.Length) + 1) * sizeof(WCHAR)));
  if (Text.Length > 0) {
    // An offset that a signed 32-bit seek cannot reach would leave the read wherever the file
    // position happened to be: count it as a text that cannot be read.
    DWORD Wanted = DWORD(Text.Length) * 2;
    DWORD Read = 0;
    if (Message.Offset <= INT32_MAX) {
      SetFilePointer(File, LONG(Message.Offset), nullptr, FILE_BEGIN);
      ReadFile(File, Text.Chars, Wanted, &Read, nullptr);
    }
    if (Read != Wanted) FatalReadError();
  }

  UINT CodePage = GetACP();
  if (WindowsName) {
    int NameBytes = CStrLength(WindowsName);
    TWideText Name{};
    if (NameBytes > 0) {
      Name.Length = MultiByteToWideChar(CodePage, 0, WindowsName, NameBytes, nullptr, 0);
      Name.Chars = static_cast<WCHAR*>(MemAlloc((size_t(Name.Length) + 1) * sizeof(WCHAR)));
      MultiByteToWideChar(CodePage, 0, WindowsName, NameBytes, Name.Chars, Name.Length);
    }
    Text = ReplaceAll(Text, UpperPlaceholder, Name);
    Text = ReplaceAll(Text, LowerPlaceholder, Name);
  }

  // The box takes a zero-terminated string, so a text holding a zero code unit shows up to it.
  int Bytes = Text.Length > 0
                  ? WideCharToMultiByte(CodePage, 0, Text.Chars, Text.Length, nullptr, 0,
                                        nullptr, nullptr)
                  : 0;
  char* Ansi = static_cast<char*>(MemAlloc(size_t(Bytes) + 1));
  if (Bytes > 0)
    Bytes = WideCharToMultiByte(CodePage, 0, Text.Chars, Text.Length, Ansi, Bytes, nullptr,
                                nullptr);
  Ansi[Bytes > 0 ? Bytes : 0] = 0;

  TAnsiString Caption = OwnPath();
  MessageBoxA(nullptr, Ansi, StrCStr(Caption), MB_OK | MB_ICONERROR);
  ExitProcess(0);
}
