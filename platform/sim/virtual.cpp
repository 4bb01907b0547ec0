// Address space beyond the heap: VirtualAlloc reserves a range and commits pages in it,
// VirtualFree decommits pages or releases the range.
//
// A reserved range is host memory from aligned_alloc, entered in the heap table as a block
// whose size is its committed bytes: so committed memory counts in HeapBytes, PeakHeapBytes and
// HeapLimit, a range counts as one of HeapBlocks, and a run's end frees what the run left
// reserved, as it does with heap blocks. Which pages are committed is kept here.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/sim/SimInternal.h"

using namespace sim;

namespace {

const size_t kPage = 4096;
const size_t kGranularity = 65536;
const DWORD kErrorInvalidAddress = 487;

struct Range {
  const Machine* Owner;
  size_t Reserved;
  std::vector<bool> Committed;  // by page
};

std::map<uint8_t*, Range> Ranges;

// The live range that holds Address; ranges the heap table no longer holds (freed at a run's
// end or with their machine) are dropped on the way.
std::map<uint8_t*, Range>::iterator RangeOf(Machine& M, void* Address) {
  for (auto It = Ranges.begin(); It != Ranges.end();) {
    if (It->second.Owner != &M || !M.In->Heap.count(It->first))
      It = Ranges.erase(It);
    else
      ++It;
  }
  uint8_t* A = static_cast<uint8_t*>(Address);
  auto It = Ranges.upper_bound(A);
  if (It == Ranges.begin()) return Ranges.end();
  --It;
  return A < It->first + It->second.Reserved ? It : Ranges.end();
}

// Commits (or decommits) the pages that [Address, Address + Bytes) touches; the change in
// committed bytes, or false when committing would pass HeapLimit.
bool SetPages(Machine& M, std::map<uint8_t*, Range>::iterator It, void* Address, size_t Bytes,
              bool Commit) {
  uint8_t* Base = It->first;
  size_t First = size_t(static_cast<uint8_t*>(Address) - Base) / kPage;
  size_t End = (size_t(static_cast<uint8_t*>(Address) - Base) + Bytes + kPage - 1) / kPage;
  std::vector<bool>& Pages = It->second.Committed;
  if (End > Pages.size()) return false;
  size_t Change = 0;
  for (size_t P = First; P < End; ++P)
    if (Pages[P] != Commit) Change += kPage;
  if (Commit && (Change > M.HeapLimit || M.HeapBytes > M.HeapLimit - Change)) return false;
  for (size_t P = First; P < End; ++P) {
    if (Pages[P] == Commit) continue;
    Pages[P] = Commit;
    if (Commit) std::memset(Base + P * kPage, 0, kPage);  // fresh pages read as zero
  }
  HeapBlock& Block = M.In->Heap[Base];
  if (Commit) {
    Block.Size += Change;
    M.HeapBytes += Change;
    if (M.HeapBytes > M.PeakHeapBytes) M.PeakHeapBytes = M.HeapBytes;
  } else {
    Block.Size -= Change;
    M.HeapBytes -= Change;
  }
  return true;
}

}  // namespace

void* WINAPI VirtualAlloc(void* Address, size_t Bytes, DWORD AllocationType, DWORD Protect) {
  Machine& M = Sim();
  if (Hit("VirtualAlloc")) return M.LastError = kErrorNotEnoughMemory, nullptr;
  if (Bytes == 0 || !(AllocationType & (MEM_RESERVE | MEM_COMMIT)) ||
      (AllocationType & ~(MEM_RESERVE | MEM_COMMIT)) ||
      ((AllocationType & MEM_COMMIT) && Protect != PAGE_READWRITE)) {
    Misuse("VirtualAlloc with arguments the launcher never passes");
    return M.LastError = kErrorInvalidParameter, nullptr;
  }
  std::map<uint8_t*, Range>::iterator It;
  if (AllocationType & MEM_RESERVE) {
    if (Address) {
      Misuse("VirtualAlloc reserving at a chosen address");
      return M.LastError = kErrorInvalidParameter, nullptr;
    }
    size_t Reserved = (Bytes + kGranularity - 1) / kGranularity * kGranularity;
    void* Base = std::aligned_alloc(kGranularity, Reserved);
    if (!Base) return M.LastError = kErrorNotEnoughMemory, nullptr;
    RangeOf(M, Base);  // drops stale ranges, one of which may have had this address
    M.In->Heap[Base] = HeapBlock{0, M.In->Run};
    ++M.HeapBlocks;
    It = Ranges
             .emplace(static_cast<uint8_t*>(Base),
                      Range{&M, Reserved, std::vector<bool>(Reserved / kPage)})
             .first;
    Address = Base;
    if (!(AllocationType & MEM_COMMIT)) return Base;
  } else {
    It = RangeOf(M, Address);
    if (It == Ranges.end()) {
      Misuse("VirtualAlloc committing outside a reserved range");
      return M.LastError = kErrorInvalidAddress, nullptr;
    }
  }
  if (!SetPages(M, It, Address, Bytes, true)) {
    if (AllocationType & MEM_RESERVE) VirtualFree(It->first, 0, MEM_RELEASE);
    return M.LastError = kErrorNotEnoughMemory, nullptr;
  }
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(Address) / kPage * kPage);
}

BOOL WINAPI VirtualFree(void* Address, size_t Bytes, DWORD FreeType) {
  Machine& M = Sim();
  Count("VirtualFree");
  auto It = RangeOf(M, Address);
  if (It == Ranges.end()) {
    Misuse("VirtualFree of memory that is not reserved");
    return M.LastError = kErrorInvalidAddress, FALSE;
  }
  if (FreeType == MEM_RELEASE) {
    if (Address != It->first || Bytes != 0) {
      Misuse("VirtualFree releasing other than a whole range");
      return M.LastError = kErrorInvalidParameter, FALSE;
    }
    auto Block = M.In->Heap.find(It->first);
    M.HeapBytes -= Block->second.Size;
    --M.HeapBlocks;
    M.In->Heap.erase(Block);
    std::free(It->first);
    Ranges.erase(It);
    return TRUE;
  }
  if (FreeType != MEM_DECOMMIT || Bytes == 0 || !SetPages(M, It, Address, Bytes, false)) {
    Misuse("VirtualFree with arguments the launcher never passes");
    return M.LastError = kErrorInvalidParameter, FALSE;
  }
  return TRUE;
}
