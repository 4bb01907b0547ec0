// The process heap: blocks from malloc, tracked per run so that a run's end frees them.
#include <cstdlib>
#include <cstring>

#include "platform/sim/SimInternal.h"

using namespace sim;

namespace {

HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(uintptr_t(0x00150000));

bool CheckHeap(HANDLE Heap) {
  if (Heap == kProcessHeap) return true;
  Misuse("heap call on a heap that is not the process heap");
  return false;
}

void Grow(Machine& M, size_t Bytes) {
  M.HeapBytes += Bytes;
  if (M.HeapBytes > M.PeakHeapBytes) M.PeakHeapBytes = M.HeapBytes;
}

}  // namespace

HANDLE WINAPI GetProcessHeap() {
  Count("GetProcessHeap");
  return kProcessHeap;
}

void* WINAPI HeapAlloc(HANDLE Heap, DWORD Flags, size_t Bytes) {
  Machine& M = Sim();
  if (Hit("HeapAlloc") || !CheckHeap(Heap)) return M.LastError = kErrorNotEnoughMemory, nullptr;
  if (Bytes > M.HeapLimit || M.HeapBytes > M.HeapLimit - Bytes) return M.LastError = kErrorNotEnoughMemory, nullptr;
  void* Memory = (Flags & HEAP_ZERO_MEMORY) ? std::calloc(1, Bytes ? Bytes : 1) : std::malloc(Bytes ? Bytes : 1);
  if (!Memory) return M.LastError = kErrorNotEnoughMemory, nullptr;
  M.In->Heap[Memory] = HeapBlock{Bytes, M.In->Run};
  ++M.HeapBlocks;
  Grow(M, Bytes);
  return Memory;
}

void* WINAPI HeapReAlloc(HANDLE Heap, DWORD Flags, void* Memory, size_t Bytes) {
  Machine& M = Sim();
  if (Hit("HeapReAlloc") || !CheckHeap(Heap)) return M.LastError = kErrorNotEnoughMemory, nullptr;
  auto It = M.In->Heap.find(Memory);
  if (It == M.In->Heap.end()) {
    Misuse("HeapReAlloc of a block that is not allocated");
    return M.LastError = kErrorInvalidParameter, nullptr;
  }
  size_t Old = It->second.Size;
  if (Bytes > Old && (Bytes - Old > M.HeapLimit || M.HeapBytes > M.HeapLimit - (Bytes - Old)))
    return M.LastError = kErrorNotEnoughMemory, nullptr;
  void* Moved = std::realloc(Memory, Bytes ? Bytes : 1);
  if (!Moved) return M.LastError = kErrorNotEnoughMemory, nullptr;
  if ((Flags & HEAP_ZERO_MEMORY) && Bytes > Old) std::memset(static_cast<char*>(Moved) + Old, 0, Bytes - Old);
  HeapBlock Block{Bytes, It->second.Run};
  M.In->Heap.erase(It);
  M.In->Heap[Moved] = Block;
  M.HeapBytes -= Old;
  Grow(M, Bytes);
  return Moved;
}

BOOL WINAPI HeapFree(HANDLE Heap, DWORD, void* Memory) {
  Machine& M = Sim();
  Count("HeapFree");
  if (!CheckHeap(Heap)) return FALSE;
  if (!Memory) return TRUE;
  auto It = M.In->Heap.find(Memory);
  if (It == M.In->Heap.end()) {
    Misuse("HeapFree of a block that is not allocated");
    M.LastError = kErrorInvalidParameter;
    return FALSE;
  }
  M.HeapBytes -= It->second.Size;
  --M.HeapBlocks;
  std::free(Memory);
  M.In->Heap.erase(It);
  return TRUE;
}
