#include "tools/ravelpack/WindowsNames.h"

const TWindowsName WindowsNames[] = {
    {"95", wvWin95},     {"98", wvWin98},  {"me", wvWinME},       {"nt4", wvWinNT4},
    {"2000", wvWin2000}, {"xp", wvWinXP},  {"vista", wvWinVista}, {"7", wvWin7},
    {"8", wvWin8},       {"8.1", wvWin81}, {"10", wvWin10},       {"11", wvWin11},
    {"later", wvLater},
};
const size_t WindowsNameCount = sizeof(WindowsNames) / sizeof(WindowsNames[0]);

TWindowsSet AllWindows() {
  TWindowsSet Set = {};
  for (size_t I = 0; I < WindowsNameCount; ++I) WindowsSetInclude(Set, WindowsNames[I].Element);
  return Set;
}
