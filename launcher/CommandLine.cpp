// The launcher's view of its command line: its own path and the user arguments.
#include "launcher/StubCore.h"
#include "support/Memory.h"

TAnsiString OwnPath() {
  char Buffer[261];
  DWORD N = GetModuleFileNameA(nullptr, Buffer, sizeof Buffer);
  if (N > sizeof Buffer - 1) N = sizeof Buffer - 1;
  TAnsiString Path{};
  StrAssign(Path, Buffer, int(N));
  return Path;
}

static bool IsSeparator(char C) {
  return uint8_t(C) >= 1 && uint8_t(C) <= 32;
}

// Reads one token starting at P and returns where it ended. The token's bytes are appended
// to Out when it is given; its length is returned through Length either way. There is no
// escape character: a double quote only ever opens or closes a quoted run and is dropped.
static const char* ReadToken(const char* P, TAnsiString* Out, int& Length) {
  for (;;) {
    while (IsSeparator(*P)) ++P;
    if (P[0] == '"' && P[1] == '"')
      P += 2;
    else
      break;
  }
  Length = 0;
  bool Quoted = false;
  while (*P && (Quoted || !IsSeparator(*P))) {
    // Step whole characters, so the second byte of a double-byte character is never taken
    // for a quote or a separator.
    const char* Next = CharNextA(P);
    if (Next == P) break;
    if (*P == '"') {
      Quoted = !Quoted;
    } else {
      Length += int(Next - P);
      if (Out) StrAppend(*Out, P, int(Next - P));
    }
    P = Next;
  }
  return P;
}

int ArgCount() {
  int Length;
  const char* P = ReadToken(GetCommandLineA(), nullptr, Length);
  int Count = 0;
  for (;;) {
    P = ReadToken(P, nullptr, Length);
    if (Length == 0) return Count;
    ++Count;
  }
}

TAnsiString Arg(int Index) {
  TAnsiString Result{};
  int Length;
  const char* P = ReadToken(GetCommandLineA(), nullptr, Length);
  for (int I = 1; I <= Index; ++I) {
    Result.Length = 0;
    P = ReadToken(P, I == Index ? &Result : nullptr, Length);
    if (Length == 0) break;
  }
  return Result;
}

bool SameTextAscii(const TAnsiString& A, const char* B) {
  int N = CStrLength(B);
  if (A.Length != N) return false;
  for (int I = 0; I < N; ++I) {
    uint8_t X = uint8_t(A.Chars[I]), Y = uint8_t(B[I]);
    if (X >= 'a' && X <= 'z') X = uint8_t(X - 32);
    if (Y >= 'a' && Y <= 'z') Y = uint8_t(Y - 32);
    if (X != Y) return false;
  }
  return true;
}

int FindArgFromLast(int Last, bool (*Match)(const TAnsiString& Argument)) {
  for (int I = Last; I >= 1; --I) {
    TAnsiString A = Arg(I);
    bool Found = Match(A);
    StrFree(A);
    if (Found) return I;
  }
  return 0;
}
