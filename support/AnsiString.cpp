#include "support/AnsiString.h"

#include "support/Memory.h"

const char* StrCStr(const TAnsiString& S) { return S.Chars ? S.Chars : ""; }

void StrFree(TAnsiString& S) {
  MemFree(S.Chars);
  S = TAnsiString{};
}

static void Reserve(TAnsiString& S, int Length) {
  if (Length + 1 <= S.Capacity) return;
  int Capacity = S.Capacity < 64 ? 64 : S.Capacity;
  while (Capacity < Length + 1) Capacity *= 2;
  S.Chars = static_cast<char*>(MemRealloc(S.Chars, size_t(Capacity)));
  S.Capacity = Capacity;
}

void StrAssign(TAnsiString& S, const char* Text, int Length) {
  S.Length = 0;
  StrAppend(S, Text, Length);
}

void StrAppend(TAnsiString& S, const char* Text, int Length) {
  Reserve(S, S.Length + Length);
  MemCopy(S.Chars + S.Length, Text, size_t(Length));
  S.Length += Length;
  S.Chars[S.Length] = 0;
}

void StrAppendC(TAnsiString& S, const char* Text) { StrAppend(S, Text, CStrLength(Text)); }

void StrAppendStr(TAnsiString& S, const TAnsiString& Tail) {
  StrAppend(S, StrCStr(Tail), Tail.Length);
}

void StrAppendChar(TAnsiString& S, char C) { StrAppend(S, &C, 1); }

void StrAppendDecimal(TAnsiString& S, int32_t Value) {
  char Digits[12];
  int N = 0;
  uint32_t V = Value < 0 ? 0u - uint32_t(Value) : uint32_t(Value);
  do {
    Digits[N++] = char('0' + V % 10);
    V /= 10;
  } while (V);
  if (Value < 0) StrAppendChar(S, '-');
  while (N) StrAppendChar(S, Digits[--N]);
}

TAnsiString StrFromC(const char* Text) {
  TAnsiString S{};
  StrAppendC(S, Text);
  return S;
}

bool StrEquals(const TAnsiString& S, const char* Text) {
  int N = CStrLength(Text);
  if (S.Length != N) return false;
  for (int I = 0; I < N; ++I)
    if (S.Chars[I] != Text[I]) return false;
  return true;
}

bool StrContains(const TAnsiString& S, char C) {
  for (int I = 0; I < S.Length; ++I)
    if (S.Chars[I] == C) return true;
  return false;
}
