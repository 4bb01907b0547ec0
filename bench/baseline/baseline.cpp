/* The floor for extraction: what liblzma itself costs on the same payload.
 *
 *   baseline.exe PACKAGE COPY
 *
 * Reads the 32-bit engine's compressed bytes from PACKAGE (the locator at offset 128 gives the
 * header, the header the payload), decodes them with the same static liblzma and the same
 * options as the launcher (raw LZMA1 with the size known) into one buffer allocated once at
 * the final size, writes the buffer to COPY in one WriteFile, frees both buffers, then starts
 * COPY and waits for it, as the launcher does with its temporary copy. The runner times both
 * programs up to the start of that child, so the two figures cover the same work.
 *
 * It imports the same system DLLs as the launcher (user32, advapi32, shell32 besides kernel32):
 * their pages count in a process's working set, and the comparison is about buffers, not about
 * which DLLs are loaded. */
#include <windows.h>
// after windows.h
#include <lzma.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "package/StubTypes.h"

static int Fail(const char* What) {
  fprintf(stderr, "baseline: %s (error %lu)\n", What, GetLastError());
  return 1;
}

static int ReadAt(HANDLE File, uint32_t Offset, void* Buffer, DWORD Count) {
  DWORD Read = 0;
  if (SetFilePointer(File, (LONG)Offset, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return 0;
  return ReadFile(File, Buffer, Count, &Read, NULL) && Read == Count;
}

/* Never true at run time; the references keep the three DLLs in the import table. */
static void KeepImports(int Never) {
  if (Never != 12345) return;
  CharNextA("");
  RegCloseKey(NULL);
  ShellExecuteA(NULL, NULL, NULL, NULL, NULL, 0);
}

int main(int argc, char** argv) {
  KeepImports(argc);
  if (argc != 3) {
    fprintf(stderr, "usage: baseline.exe PACKAGE COPY\n");
    return 2;
  }
  HANDLE File = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (File == INVALID_HANDLE_VALUE) return Fail("cannot open the package");
  TPackageLocator Locator;
  TPackageHeader Header;
  if (!ReadAt(File, LocatorFileOffset, &Locator, sizeof Locator) ||
      !ReadAt(File, Locator.HeaderOffset, &Header, sizeof Header))
    return Fail("cannot read the locator and header");
  TPayloadRef Payload = Header.Payload32;

  uint8_t* Input = (uint8_t*)malloc(Payload.PackedSize ? Payload.PackedSize : 1);
  uint8_t* Output = (uint8_t*)malloc(Payload.UnpackedSize ? Payload.UnpackedSize : 1);
  if (!Input || !Output) return Fail("out of memory");
  if (!ReadAt(File, Payload.Offset, Input, Payload.PackedSize))
    return Fail("cannot read the payload");
  CloseHandle(File);

  /* The launcher's options: window at least 4096 and no larger than the engine. */
  lzma_options_lzma Options;
  memset(&Options, 0, sizeof Options);
  Options.lc = Header.LzmaProps % 9;
  Options.lp = (Header.LzmaProps / 9) % 5;
  Options.pb = Header.LzmaProps / 45;
  uint32_t Window = Header.DictSize < 4096 ? 4096 : Header.DictSize;
  if (Window > Payload.UnpackedSize && Payload.UnpackedSize >= 4096) Window = Payload.UnpackedSize;
  Options.dict_size = Window;
  Options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  Options.ext_size_low = Payload.UnpackedSize;
  lzma_filter Filters[2] = {{LZMA_FILTER_LZMA1EXT, &Options}, {LZMA_VLI_UNKNOWN, NULL}};
  lzma_stream Stream;
  memset(&Stream, 0, sizeof Stream);
  if (lzma_raw_decoder(&Stream, Filters) != LZMA_OK) return Fail("the decoder refuses the options");
  Stream.next_in = Input;
  Stream.avail_in = Payload.PackedSize;
  Stream.next_out = Output;
  Stream.avail_out = Payload.UnpackedSize;
  lzma_ret Result = lzma_code(&Stream, LZMA_FINISH);
  lzma_end(&Stream);
  if (Result != LZMA_STREAM_END || Stream.avail_out != 0)
    return Fail("the payload does not decode");

  HANDLE Copy = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (Copy == INVALID_HANDLE_VALUE) return Fail("cannot create the copy");
  DWORD Written = 0;
  WriteFile(Copy, Output, Payload.UnpackedSize, &Written, NULL);
  CloseHandle(Copy);
  if (Written != Payload.UnpackedSize) return Fail("short write");
  free(Output);
  free(Input);

  STARTUPINFOA Si;
  PROCESS_INFORMATION Pi;
  memset(&Si, 0, sizeof Si);
  Si.cb = sizeof Si;
  if (!CreateProcessA(argv[2], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &Si, &Pi))
    return Fail("cannot start the copy");
  WaitForSingleObject(Pi.hProcess, INFINITE);
  CloseHandle(Pi.hThread);
  CloseHandle(Pi.hProcess);
  DeleteFileA(argv[2]);
  return 0;
}
