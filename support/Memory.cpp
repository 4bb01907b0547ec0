#include "support/Memory.h"

#include "platform/Win32.h"

void OutOfMemory() { ExitProcess(OutOfMemoryExitCode); }

void* MemAlloc(size_t Bytes) {
  void* Block = HeapAlloc(GetProcessHeap(), 0, Bytes);
  if (!Block) OutOfMemory();
  return Block;
}

void* MemRealloc(void* Block, size_t Bytes) {
  if (!Block) return MemAlloc(Bytes);
  void* Grown = HeapReAlloc(GetProcessHeap(), 0, Block, Bytes);
  if (!Grown) OutOfMemory();
  return Grown;
}

void MemFree(void* Block) {
  if (Block) HeapFree(GetProcessHeap(), 0, Block);
}

void MemCopy(void* Dest, const void* Source, size_t Count) {
  if (Count) __builtin_memmove(Dest, Source, Count);
}

void MemZero(void* Dest, size_t Count) {
  if (Count) __builtin_memset(Dest, 0, Count);
}

int CStrLength(const char* Text) {
  int N = 0;
  while (Text[N]) ++N;
  return N;
}
