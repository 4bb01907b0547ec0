// Decoding the chosen engine in memory with liblzma.
#include <lzma.h>

#include "launcher/StubCore.h"
#include "package/PackageReader.h"
#include "support/Memory.h"

// liblzma's memory comes from the same heap as the launcher's, so exhausted memory ends the
// run the same way wherever it happens.
static void* LzmaAlloc(void*, size_t Count, size_t Size) {
  if (Size && Count > SIZE_MAX / Size) OutOfMemory();
  return MemAlloc(Count * Size);
}
static void LzmaFree(void*, void* Block) {
  MemFree(Block);
}
static const lzma_allocator LauncherAllocator = {LzmaAlloc, LzmaFree, nullptr};

const uint32_t LzmaMinWindow = 4096;
const int32_t DecodeChunk = 1 << 20;

void DecodePayload(HANDLE PackageFile, const TPackageHeader& Header, const TPayloadRef& Payload,
                   TStream& Input, TStream& Output) {
  // Offsets and sizes are signed 32-bit values for the launcher. A payload that does not lie
  // inside the file could never be read in full: refuse it before asking for its memory.
  int64_t FileSize = PackageFileSize(PackageFile);
  if (Payload.Offset > INT32_MAX || Payload.PackedSize > INT32_MAX ||
      Payload.UnpackedSize > INT32_MAX || int64_t(Payload.Offset) + Payload.PackedSize > FileSize)
    FatalReadError();

  SetFilePointer(PackageFile, LONG(Payload.Offset), nullptr, FILE_BEGIN);
  Input.SetSize(int32_t(Payload.PackedSize));
  DWORD Read = 0;
  DWORD Wanted = DWORD(Input.GetSize());
  if (Wanted > 0) ReadFile(PackageFile, Input.Memory, Wanted, &Read, nullptr);
  if (Read != Wanted) FatalReadError();

  // The launcher's own acceptance of the properties, whatever liblzma would take.
  if (Header.LzmaProps > 224 || Header.DictSize > INT32_MAX) FatalReadError();
  lzma_options_lzma Options{};
  Options.lc = Header.LzmaProps % 9;
  Options.lp = (Header.LzmaProps / 9) % 5;
  Options.pb = Header.LzmaProps / 45;
  // A window larger than the whole engine is never reached back into: no match may go
  // further back than the bytes produced so far. Capping it keeps a large dictionary from
  // costing memory that a small engine cannot use.
  uint32_t Window = Header.DictSize < LzmaMinWindow ? LzmaMinWindow : Header.DictSize;
  if (Window > Payload.UnpackedSize && Payload.UnpackedSize >= LzmaMinWindow)
    Window = Payload.UnpackedSize;
  Options.dict_size = Window;
  // The size is known, so the stream needs no end marker; one right behind the last byte is
  // accepted, one anywhere earlier is corrupt data.
  Options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  Options.ext_size_low = Payload.UnpackedSize;
  Options.ext_size_high = 0;
  lzma_filter Filters[2] = {{LZMA_FILTER_LZMA1EXT, &Options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream Stream = LZMA_STREAM_INIT;
  Stream.allocator = &LauncherAllocator;
  lzma_ret Result = lzma_raw_decoder(&Stream, Filters);
  if (Result == LZMA_MEM_ERROR) OutOfMemory();
  // liblzma refuses lc + lp above 4; such a stream cannot be decoded here.
  if (Result != LZMA_OK) FatalReadError();

  // Decoding stops at exactly UnpackedSize bytes; a last match running past that end, an
  // early end marker, corrupt data and exhausted input all end in an error or a short
  // output. The size of the output is the verdict.
  bool Complete = Payload.UnpackedSize == 0;
  if (!Complete) {
    int32_t ChunkSize =
        int32_t(Payload.UnpackedSize) < DecodeChunk ? int32_t(Payload.UnpackedSize) : DecodeChunk;
    uint8_t* Chunk = static_cast<uint8_t*>(MemAlloc(size_t(ChunkSize)));
    Stream.next_in = Input.Memory;
    Stream.avail_in = size_t(Input.GetSize());
    for (;;) {
      Stream.next_out = Chunk;
      Stream.avail_out = size_t(ChunkSize);
      Result = lzma_code(&Stream, LZMA_FINISH);
      int32_t Produced = ChunkSize - int32_t(Stream.avail_out);
      if (Produced > 0) Output.Write(Chunk, Produced);
      if (Result == LZMA_MEM_ERROR) OutOfMemory();
      if (Result != LZMA_OK || Produced == 0) break;
    }
    MemFree(Chunk);
    Complete = Result == LZMA_STREAM_END;
  }
  lzma_end(&Stream);
  if (!Complete || Output.GetSize() != int32_t(Payload.UnpackedSize)) FatalReadError();
}
