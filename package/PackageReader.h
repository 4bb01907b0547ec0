// Opening the launcher's own file and checking the package it carries.
#pragma once

#include "package/StubTypes.h"
#include "platform/Win32.h"

// The two process-wide records, filled once by CheckPackage and only read afterwards.
extern TPackageLocator Locator;
extern TPackageHeader Header;

// The whole size of the package file, high half included (a signed package may pass 4 GiB).
int64_t PackageFileSize(HANDLE PackageFile);

// Opens OwnPath for reading with read sharing; FatalReadError when it cannot.
HANDLE OpenPackageFile();

// Locator, size test (FatalTruncatedError), CRC of the checked region and the header
// (FatalReadError). Returns only when every check passed.
void CheckPackage(HANDLE PackageFile);
