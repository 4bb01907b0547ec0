// The messages a package carries (expiry, bitness, Windows version).
#pragma once

#include "package/StubTypes.h"
#include "platform/Win32.h"

// Reads the UTF-16LE text, puts WindowsName (ANSI, may be null) in place of "%USER%" and then
// "%user%", shows it in an error box captioned with OwnPath and ends the process with 0.
// A text that cannot be read in full gives FatalReadError instead.
[[noreturn]] void ShowPackageMessage(HANDLE PackageFile, const TMessageRef& Message,
                                     const char* WindowsName);
