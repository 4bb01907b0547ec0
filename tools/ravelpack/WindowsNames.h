// The names of the Windows set's elements as the command line and `inspect` spell them.
#pragma once

#include <stddef.h>

#include "package/StubTypes.h"

struct TWindowsName {
  const char* Name;
  TWindowsVersion Element;
};

extern const TWindowsName WindowsNames[];
extern const size_t WindowsNameCount;

// Every named element: the default set.
TWindowsSet AllWindows();
