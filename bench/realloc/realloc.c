/* How the system heap grows a large block: grows one block by STEP bytes at a time up to TOTAL
 * (MiB, default 1 and 256), writing every new byte as a decoder would, and prints the time, how
 * often the block moved, and the peak working set.
 *
 *   realloc.exe [STEP_MIB TOTAL_MIB]
 *
 * A heap that moves the block on growth copies everything written so far each time: the total
 * copied is quadratic in the final size, and during each move the old and the new block are both
 * resident. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
// after windows.h
#include <psapi.h>

int main(int argc, char** argv) {
  SIZE_T Step = (argc > 2 ? atoi(argv[1]) : 1) * 1048576u;
  SIZE_T Total = (argc > 2 ? atoi(argv[2]) : 256) * 1048576u;
  HANDLE Heap = GetProcessHeap();
  LARGE_INTEGER Freq, Start, End;
  QueryPerformanceFrequency(&Freq);
  QueryPerformanceCounter(&Start);
  unsigned char* Block = NULL;
  unsigned Moves = 0;
  unsigned long long Copied = 0;
  for (SIZE_T Size = Step; Size <= Total; Size += Step) {
    unsigned char* Grown = Block ? (unsigned char*)HeapReAlloc(Heap, 0, Block, Size)
                                 : (unsigned char*)HeapAlloc(Heap, 0, Size);
    if (!Grown) {
      printf("out of memory at %lu MiB\n", (unsigned long)(Size >> 20));
      return 1;
    }
    if (Block && Grown != Block) Moves++, Copied += Size - Step;
    Block = Grown;
    memset(Block + Size - Step, (int)(Size >> 20), Step);
  }
  QueryPerformanceCounter(&End);
  PROCESS_MEMORY_COUNTERS C;
  memset(&C, 0, sizeof C);
  C.cb = sizeof C;
  GetProcessMemoryInfo(GetCurrentProcess(), &C, sizeof C);
  printf(
      "grow %lu MiB in %lu MiB steps: %.0f ms, moved %u times (%llu MiB copied), "
      "peak working set %lu MiB\n",
      (unsigned long)(Total >> 20), (unsigned long)(Step >> 20),
      (double)(End.QuadPart - Start.QuadPart) * 1000.0 / (double)Freq.QuadPart, Moves, Copied >> 20,
      (unsigned long)(C.PeakWorkingSetSize >> 20));
  return 0;
}
