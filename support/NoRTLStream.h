// TStream: the launcher's growable memory buffer, the one class of the launcher.
//
// Capacity grows in multiples of 128 KiB; a request equal to Size is taken exactly (so a
// buffer sized once for a known length wastes nothing). Memory comes from the process heap.
// Position may lie anywhere: Read and Write bound themselves, Seek does not.
#pragma once

#include <stdint.h>

const int32_t StreamCapacityStep = 131072;

class TStream {
 public:
  uint8_t* Memory = nullptr;  // owned; null while Capacity is 0
  int32_t Size = 0;
  int32_t Position = 0;
  int32_t Capacity = 0;

  virtual ~TStream();

  int32_t Read(void* Buffer, int32_t Count);
  int32_t Write(const void* Buffer, int32_t Count);
  int32_t Seek(int32_t Distance, int Origin);  // 0 from start, 1 from Position, 2 from end
  int32_t GetSize();
  void SetSize(int32_t NewSize);
  void SetCapacity(int32_t NewCapacity);
  void Clear();
};
