// The PE entry point of launcher.exe. Windows calls it with no C run-time in between: there is
// no main, no argument vector and no static constructor, and launcher code gets its command
// line and its own path from the system itself.
#include "launcher/StubCore.h"

// force_align_arg_pointer: Windows guarantees only 4-byte stack alignment at the entry while
// GCC assumes 16 for the code it calls. The linker is given _LauncherStart@0 with -e.
extern "C" [[noreturn]] __attribute__((force_align_arg_pointer, used)) void WINAPI
LauncherStart() {
  LauncherMain();
}
