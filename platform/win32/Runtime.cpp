// The little of a C and C++ run-time that a freestanding launcher.exe needs: the memory and
// string functions that GCC may emit calls to (structure copies, zero-filling, a counting loop)
// and that liblzma calls, liblzma's allocator on the process heap, and the operator delete of
// TStream's virtual destructor. Everything else a C run-time would bring is deliberately
// absent, so that the link fails loudly when code starts to depend on it.
//
// This file is compiled with -fno-tree-loop-distribute-patterns (cmake/WindowsBuild.cmake):
// otherwise GCC would turn the loops below into calls to the very functions they implement.
#include "platform/Win32.h"

namespace {
typedef uint32_t __attribute__((may_alias, aligned(1))) UnalignedWord;

// Below this length a plain loop beats rep movs's start-up cost; liblzma calls memcpy for
// every match, most of them a few bytes long.
const size_t RepThreshold = 64;
}  // namespace

extern "C" {

void* memcpy(void* Dest, const void* Source, size_t Count) {
  uint8_t* D = static_cast<uint8_t*>(Dest);
  const uint8_t* S = static_cast<const uint8_t*>(Source);
  if (Count >= RepThreshold) {
    size_t Words = Count >> 2;
    size_t Rest = Count & 3;
    __asm__ volatile("rep movsl\n\tmovl %3, %%ecx\n\trep movsb"
                     : "+D"(D), "+S"(S), "+c"(Words)
                     : "r"(Rest)
                     : "memory");
    return Dest;
  }
  for (; Count >= 4; Count -= 4, D += 4, S += 4)
    *reinterpret_cast<UnalignedWord*>(D) = *reinterpret_cast<const UnalignedWord*>(S);
  for (; Count > 0; --Count) *D++ = *S++;
  return Dest;
}

void* memmove(void* Dest, const void* Source, size_t Count) {
  uint8_t* D = static_cast<uint8_t*>(Dest);
  const uint8_t* S = static_cast<const uint8_t*>(Source);
  // A forward copy is right unless the destination starts inside the source.
  if (D <= S || D >= S + Count) return memcpy(Dest, Source, Count);
  while (Count > 0) {
    --Count;
    D[Count] = S[Count];
  }
  return Dest;
}

void* memset(void* Dest, int Value, size_t Count) {
  uint8_t* D = static_cast<uint8_t*>(Dest);
  if (Count >= RepThreshold) {
    __asm__ volatile("rep stosb" : "+D"(D), "+c"(Count) : "a"(Value) : "memory");
    return Dest;
  }
  for (; Count > 0; --Count) *D++ = static_cast<uint8_t>(Value);
  return Dest;
}

int memcmp(const void* A, const void* B, size_t Count) {
  const uint8_t* X = static_cast<const uint8_t*>(A);
  const uint8_t* Y = static_cast<const uint8_t*>(B);
  for (; Count > 0; --Count, ++X, ++Y)
    if (*X != *Y) return *X < *Y ? -1 : 1;
  return 0;
}

// GCC recognises a counting loop as strlen and calls it.
size_t strlen(const char* Text) {
  const char* End = Text;
  while (*End) ++End;
  return static_cast<size_t>(End - Text);
}

// liblzma's allocator (it calls malloc, calloc and free when given no lzma_allocator). Failure
// returns null as the C functions do; liblzma turns it into LZMA_MEM_ERROR.
void* malloc(size_t Bytes) { return HeapAlloc(GetProcessHeap(), 0, Bytes ? Bytes : 1); }

void* calloc(size_t Count, size_t Size) {
  if (Size != 0 && Count > static_cast<size_t>(-1) / Size) return nullptr;
  size_t Bytes = Count * Size;
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, Bytes ? Bytes : 1);
}

void* realloc(void* Block, size_t Bytes) {
  if (!Block) return malloc(Bytes);
  if (Bytes == 0) {
    HeapFree(GetProcessHeap(), 0, Block);
    return nullptr;
  }
  return HeapReAlloc(GetProcessHeap(), 0, Block, Bytes);
}

void free(void* Block) {
  if (Block) HeapFree(GetProcessHeap(), 0, Block);
}

}  // extern "C"

// TStream's virtual destructor makes GCC emit a deleting destructor that names these, even
// though the launcher keeps its streams on the stack and never deletes one.
void operator delete(void* Block) noexcept { free(Block); }
void operator delete(void* Block, size_t) noexcept { free(Block); }
