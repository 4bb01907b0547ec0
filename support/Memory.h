// Memory for the launcher (small blocks from the process heap, large ones in address space of
// their own that grows in place), and the few byte helpers a freestanding program needs.
// Allocation never returns null: exhausted memory ends the process at once with
// OutOfMemoryExitCode and shows nothing, so no phase goes on with a missing buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The status Windows itself uses for exhausted memory; any nonzero code tells the caller.
const uint32_t OutOfMemoryExitCode = 0xC0000017u;

[[noreturn]] void OutOfMemory();

void* MemAlloc(size_t Bytes);
void* MemRealloc(void* Block, size_t Bytes);  // Block may be null
void MemFree(void* Block);                    // Block may be null

void MemCopy(void* Dest, const void* Source, size_t Count);
void MemZero(void* Dest, size_t Count);
int CStrLength(const char* Text);
