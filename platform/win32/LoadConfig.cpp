// launcher.exe's load-configuration record. It is there for one field, DependentLoadFlags:
// Windows 10 1607 and later load the DLLs that the static imports (kernel32, user32, advapi32,
// shell32) import in turn with these flags, and LOAD_LIBRARY_SEARCH_SYSTEM32 keeps that search
// in the system folder, out of the folder a downloaded setup file shares with whatever else was
// downloaded. Earlier Windows do not know the field and pass over it. Every other field is zero,
// which every loader takes as "keep the default"; none holds an address, so the record needs no
// base relocation.
//
// Size 72 ends the record after SEHandlerTable and SEHandlerCount, like the x86 record of
// linkers before control-flow guard. 56 bytes would reach DependentLoadFlags, but loaders
// older than the Size field knew a fixed 64-byte record, and x86 loaders that look for a
// safe-handler table read bytes 64 to 71: with 72 whatever length a loader assumes, it reads
// these zeros and never the data the linker placed behind the record. A null table with count 0
// names no handler, which loaders take as "no table": launcher.exe installs no exception handler
// at all (no SEH frame, no fs:0 access; tests/pe/check_launcher.py disassembles to be sure), and
// what declares that is the image flag IMAGE_DLLCHARACTERISTICS_NO_SEH (ld --no-seh), with which
// Windows refuses every handler inside the image: a stack overwrite cannot borrow one.
//
// The GNU linker of the build (binutils 2.40) does not fill the load-configuration directory
// itself: it only keeps the record (--require-defined=__load_config_used, also the guard against
// --gc-sections), and the post-link step tools/pefix points the directory at the address that
// the link map gives for _load_config_used, with the record's own Size.
#include "platform/Win32.h"

// The 32-bit record as far as this launcher writes it; field names as in Windows' headers.
struct TLoadConfig32 {
  DWORD Size;
  DWORD TimeDateStamp;
  WORD MajorVersion;
  WORD MinorVersion;
  DWORD GlobalFlagsClear;
  DWORD GlobalFlagsSet;
  DWORD CriticalSectionDefaultTimeout;
  DWORD DeCommitFreeBlockThreshold;
  DWORD DeCommitTotalFreeThreshold;
  DWORD LockPrefixTable;
  DWORD MaximumAllocationSize;
  DWORD VirtualMemoryThreshold;
  DWORD ProcessHeapFlags;
  DWORD ProcessAffinityMask;
  WORD CSDVersion;
  WORD DependentLoadFlags;
  DWORD EditList;
  DWORD SecurityCookie;
  DWORD SEHandlerTable;
  DWORD SEHandlerCount;
};
static_assert(offsetof(TLoadConfig32, DependentLoadFlags) == 54, "Windows reads the flags here");
static_assert(offsetof(TLoadConfig32, SEHandlerTable) == 64, "the safe-handler pair follows");
static_assert(sizeof(TLoadConfig32) == 72, "the record ends after SEHandlerCount");

// Built by a constant expression, so it is constant-initialized: read-only data, no
// constructor (a program without a C run-time would never run one).
constexpr TLoadConfig32 LauncherLoadConfig() {
  TLoadConfig32 Record{};
  Record.Size = sizeof(TLoadConfig32);
  Record.DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return Record;
}

// alignas(4): the record's own alignment, so that GCC does not pad it to 32 bytes.
extern "C" alignas(4) const TLoadConfig32 _load_config_used = LauncherLoadConfig();
