// The launcher's version, shown in the version record of launcher.exe.
#pragma once
#define RAVELKIT_VERSION_COMMAS 1, 0, 0, 0
#define RAVELKIT_VERSION_TEXT "1.0.0.0"
