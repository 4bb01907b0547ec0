#include "support/NoRTLStream.h"

#include "support/Memory.h"

TStream::~TStream() { Clear(); }

int32_t TStream::Read(void* Buffer, int32_t Count) {
  if (Position < 0 || Count < 0) return 0;
  int32_t Available = Size - Position;
  if (Available <= 0) return 0;
  int32_t N = Count < Available ? Count : Available;
  MemCopy(Buffer, Memory + Position, size_t(N));
  Position += N;
  return N;
}

int32_t TStream::Write(const void* Buffer, int32_t Count) {
  if (Position < 0 || Count < 0) return 0;
  // Computed in 64 bits: Position and Count are each below 2^31, their sum may not be.
  int64_t End = int64_t(Position) + Count;
  if (End <= 0 || End > INT32_MAX) return 0;
  if (End > Size) {
    if (End > Capacity) SetCapacity(int32_t(End));
    Size = int32_t(End);
  }
  MemCopy(Memory + Position, Buffer, size_t(Count));
  Position = int32_t(End);
  return Count;
}

int32_t TStream::Seek(int32_t Distance, int Origin) {
  switch (Origin) {
    case 0: Position = Distance; break;
    case 1: Position += Distance; break;
    case 2: Position = Size + Distance; break;
    default: break;
  }
  return Position;
}

int32_t TStream::GetSize() {
  int32_t Saved = Seek(0, 1);
  int32_t Result = Seek(0, 2);
  Seek(Saved, 0);
  return Result;
}

void TStream::SetSize(int32_t NewSize) {
  int32_t Saved = Position;
  SetCapacity(NewSize);
  Size = NewSize;
  if (NewSize < Saved) Position = Size;
}

void TStream::SetCapacity(int32_t NewCapacity) {
  int64_t N = NewCapacity;
  // Growth in 128 KiB steps; a request for exactly Size is a final fit and is kept as it is.
  if (N > 0 && N != Size) N = (N + StreamCapacityStep - 1) / StreamCapacityStep * StreamCapacityStep;
  if (N > INT32_MAX) OutOfMemory();
  if (N == Capacity) return;
  if (N <= 0) {
    MemFree(Memory);
    Memory = nullptr;
    N = 0;
  } else {
    Memory = static_cast<uint8_t*>(MemRealloc(Memory, size_t(N)));
  }
  Capacity = int32_t(N);
}

void TStream::Clear() {
  SetCapacity(0);
  Size = 0;
  Position = 0;
}
