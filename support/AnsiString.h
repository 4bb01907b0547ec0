// Byte strings in the system's ANSI code page with an explicit length, on the process heap.
// Chars is null for an empty string that never held text, and otherwise always followed by
// a zero byte, so that a string can be handed to Win32 as it is.
#pragma once

#include <stdint.h>

struct TAnsiString {
  char* Chars;
  int Length;
  int Capacity;  // bytes of Chars, the terminating zero included
};

const char* StrCStr(const TAnsiString& S);  // never null: "" for an empty string
void StrFree(TAnsiString& S);
void StrAssign(TAnsiString& S, const char* Text, int Length);
void StrAppend(TAnsiString& S, const char* Text, int Length);
void StrAppendC(TAnsiString& S, const char* Text);  // zero-terminated Text
void StrAppendStr(TAnsiString& S, const TAnsiString& Tail);
void StrAppendChar(TAnsiString& S, char C);
void StrAppendDecimal(TAnsiString& S, int32_t Value);  // no sign, no leading zeros for >= 0
TAnsiString StrFromC(const char* Text);
bool StrEquals(const TAnsiString& S, const char* Text);  // exact: same length, same bytes
bool StrContains(const TAnsiString& S, char C);
