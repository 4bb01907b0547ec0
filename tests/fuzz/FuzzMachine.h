// The machine a fuzz input runs on. The input is a few choice bytes followed by the package
// file (the launcher's own file); the choice bytes pick rows of small tables rather than raw
// values, so that every input describes a machine that exists: a Windows version with its
// registry values and exports, an argument list, where the launcher lies, and a few troubles.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/sim/SimWindows.h"

// The bytes in front of the package.
struct TFuzzChoice {
  uint8_t Windows;  // row of the Windows table (modulo its size)
  uint8_t Args;     // row of the argument table (modulo its size)
  uint8_t Flags;    // TChoiceFlag bits
  uint8_t Place;    // low 3 bits: row of the launcher-location table (modulo its size);
                    // high 5 bits: TFaultFlag bits
};
const size_t FuzzChoiceBytes = 4;

enum TChoiceFlag : uint8_t {
  cfWow64 = 0x01,        // 64-bit Windows, where the version exports IsWow64Process
  cfAdmin = 0x02,        // the user is a member of Administrators
  cfRepairCrc = 0x04,    // the harness writes the true CRC of the checked region into the locator
  cfRepairSize = 0x08,   // the harness writes the file's length into the locator's size test
  cfOtherFolder = 0x10,  // the folder D:\t exists (arguments name it as the "/temp" folder)
  cfNameTaken = 0x20,    // the chosen folder already holds the copy's name and its "2" variant
  cfStartFails = 0x40,   // CreateProcessA and ShellExecuteExA fail, elevation is refused
  cfDiskFull = 0x80,     // the chosen folder has room for 100 bytes only
};

// System calls that fail; the launcher goes on as if it had no answer.
enum TFaultFlag : uint8_t {
  ffTempPathFails = 0x08,  // GetTempPathA writes nothing: the copy goes to "C:\"
  ffMprFails = 0x10,       // mpr.dll cannot be loaded
  ffWNetFails = 0x20,      // WNetGetUniversalNameA fails for every path
  ffSidFails = 0x40,       // AllocateAndInitializeSid fails: not an administrator
  ffWow64Fails = 0x80,     // IsWow64Process, where exported, fails: 32-bit Windows
};
const uint8_t PlaceRowMask = 0x07;

TFuzzChoice ReadChoice(const uint8_t* Data);  // Data holds FuzzChoiceBytes bytes
void WriteChoice(const TFuzzChoice& Choice, sim::Bytes& Out);

// The table rows by name, for seeds: -1 when no row has the name.
int WindowsRow(const std::string& Name);
int ArgsRow(const std::string& Tail);

// What the harness knows about the machine it set up.
struct TMachinePlan {
  std::string WindowsName;  // the row's name, for messages
  std::string ArgsTail;     // the command line behind the quoted program name
  std::string ModulePath;   // the launcher's own file
  std::string TempFolder;   // where the temporary copy must go, with a trailing backslash
  bool Wow64 = false;       // IsWow64Process exists and reports 64-bit Windows
  bool Force32 = false;     // an argument is exactly "/32"
};

// Makes the simulated Windows, fresh from ResetSim, the machine Choice describes, installs
// Package as the launcher's file, and returns the plan. The heap is limited, so that a hostile size
// ends in the out-of-memory exit at once rather than after gigabytes.
TMachinePlan SetUpMachine(const TFuzzChoice& Choice, const sim::Bytes& Package);

const size_t FuzzHeapLimit = size_t(64) << 20;
