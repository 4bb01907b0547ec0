#include "support/Memory.h"

#include "platform/Win32.h"

// Large blocks live in address space of their own rather than on the heap. A heap grows a large
// block by allocating a new one and copying (Wine's does so on every growth), so a buffer that
// grows in steps up to its final size would be copied over and over, quadratic in time, with
// the old and the new copy both in memory during each move. A large block instead reserves
// address space and commits pages as it grows, in place: the memory in use is what was asked
// for, and nothing moves until the reservation is full.
//
// A block allocated large reserves only its own size (most never grow: the input buffer,
// liblzma's window). A block that grows to large size reserves as much room as the address
// space gives, up to RoomReserved, so that it does not move again; the room is address space
// only, and it is given back when the block is freed.
//
// Every block starts with a header that tells its size and where it lives, so that no table
// has to be kept (and nothing is left to go stale when a process ends halfway).
namespace {

struct TBlockHeader {
  size_t Bytes;     // as asked for
  size_t Reserved;  // 0: a heap block; else the address space reserved from the header on
};
const size_t HeaderSize = 16;  // keeps the caller's bytes 16-byte aligned
static_assert(sizeof(TBlockHeader) <= HeaderSize, "header");

const size_t LargeBlockSize = size_t(1) << 20;
const size_t PageSize = 4096;
const size_t ReserveGranularity = 65536;
const size_t RoomReserved = size_t(1) << 30;

size_t RoundUp(size_t Bytes, size_t Step) {
  if (Bytes > SIZE_MAX - Step) OutOfMemory();
  return (Bytes + Step - 1) / Step * Step;
}

TBlockHeader* HeaderOf(void* Block) {
  return reinterpret_cast<TBlockHeader*>(static_cast<uint8_t*>(Block) - HeaderSize);
}

void* BytesOf(TBlockHeader* Header) {
  return reinterpret_cast<uint8_t*>(Header) + HeaderSize;
}

size_t CommittedFor(size_t Bytes) {
  return RoundUp(HeaderSize + Bytes, PageSize);
}

// Commits or decommits pages so that exactly the pages holding the header and Bytes are
// committed.
void CommitLarge(TBlockHeader* Header, size_t Bytes) {
  uint8_t* Base = reinterpret_cast<uint8_t*>(Header);
  size_t Old = CommittedFor(Header->Bytes);
  size_t New = CommittedFor(Bytes);
  if (New > Old) {
    if (!VirtualAlloc(Base + Old, New - Old, MEM_COMMIT, PAGE_READWRITE)) OutOfMemory();
  } else if (New < Old) {
    VirtualFree(Base + New, Old - New, MEM_DECOMMIT);
  }
  Header->Bytes = Bytes;
}

// A new large block of Bytes; with Room, reserved as far as the address space allows.
TBlockHeader* NewLarge(size_t Bytes, bool Room) {
  size_t Needed = RoundUp(HeaderSize + Bytes, ReserveGranularity);
  size_t Wanted = Room && Needed < RoomReserved ? RoomReserved : Needed;
  void* Base;
  // Halving finds the largest free range of a fragmented 32-bit address space.
  while (!(Base = VirtualAlloc(nullptr, Wanted, MEM_RESERVE, PAGE_NOACCESS))) {
    if (Wanted == Needed) OutOfMemory();
    Wanted = Wanted / 2 <= Needed ? Needed : RoundUp(Wanted / 2, ReserveGranularity);
  }
  size_t First = CommittedFor(Bytes);
  if (!VirtualAlloc(Base, First, MEM_COMMIT, PAGE_READWRITE)) OutOfMemory();
  TBlockHeader* Header = static_cast<TBlockHeader*>(Base);
  *Header = TBlockHeader{Bytes, Wanted};
  return Header;
}

}  // namespace

void OutOfMemory() {
  ExitProcess(OutOfMemoryExitCode);
}

void* MemAlloc(size_t Bytes) {
  if (Bytes >= LargeBlockSize) return BytesOf(NewLarge(Bytes, false));
  TBlockHeader* Header =
      static_cast<TBlockHeader*>(HeapAlloc(GetProcessHeap(), 0, HeaderSize + Bytes));
  if (!Header) OutOfMemory();
  *Header = TBlockHeader{Bytes, 0};
  return BytesOf(Header);
}

void* MemRealloc(void* Block, size_t Bytes) {
  if (!Block) return MemAlloc(Bytes);
  TBlockHeader* Header = HeaderOf(Block);
  if (Header->Reserved && CommittedFor(Bytes) <= Header->Reserved) {
    CommitLarge(Header, Bytes);
    return Block;
  }
  if (!Header->Reserved && Bytes < LargeBlockSize) {
    Header =
        static_cast<TBlockHeader*>(HeapReAlloc(GetProcessHeap(), 0, Header, HeaderSize + Bytes));
    if (!Header) OutOfMemory();
    Header->Bytes = Bytes;
    return BytesOf(Header);
  }
  // Growing past the heap, or past a full reservation: move once, into room to grow in.
  TBlockHeader* Moved = NewLarge(Bytes, true);
  MemCopy(BytesOf(Moved), Block, Header->Bytes < Bytes ? Header->Bytes : Bytes);
  MemFree(Block);
  return BytesOf(Moved);
}

void MemFree(void* Block) {
  if (!Block) return;
  TBlockHeader* Header = HeaderOf(Block);
  if (Header->Reserved)
    VirtualFree(Header, 0, MEM_RELEASE);
  else
    HeapFree(GetProcessHeap(), 0, Header);
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
