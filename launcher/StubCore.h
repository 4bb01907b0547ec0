// The launcher's phases and the routines they share. Every phase either passes or ends the
// process through a fatal message or a package message; none of them reports an error
// upwards. LauncherMain is what the platform's entry point calls.
#pragma once

#include "package/StubTypes.h"
#include "platform/Win32.h"
#include "support/AnsiString.h"
#include "support/NoRTLStream.h"

// Entry: the path-encoding guard, then RunLauncher, then ExitProcess(0). Never returns.
[[noreturn]] void LauncherMain();

// The fixed order of the phases; returns only when the engine has been started (and, unless
// the package is detached, has ended and its temporary copy has been deleted).
void RunLauncher();

// Command line. OwnPath is the running module's file name, never the first token.
TAnsiString OwnPath();
int ArgCount();
TAnsiString Arg(int Index);  // from 1; empty when there are fewer arguments
bool SameTextAscii(const TAnsiString& A, const char* B);  // ignores the case of a..z only
// Searches Arg(Last) down to Arg(1) and returns the index of the first that Match accepts,
// or 0: the launcher's switches are all looked for from the last argument down.
int FindArgFromLast(int Last, bool (*Match)(const TAnsiString& Argument));

// The four fixed fatal messages: a box with caption OwnPath, then exit code 0.
[[noreturn]] void FatalReadError();
[[noreturn]] void FatalTruncatedError();
[[noreturn]] void FatalTempCopyError();
[[noreturn]] void FatalExecuteError();

// The values one phase hands on to the next.
struct TRunState {
  HANDLE PackageFile;
  TPayloadRef Payload;     // the chosen engine
  OSVERSIONINFOA Version;  // zero-filled when the query failed
  TAnsiString TempPath;    // the temporary copy of the engine
  HANDLE CopyGuard;        // read-only handle on the copy, held until the engine started
  TAnsiString EngineArgs;
};

// Requirement gates.
void CheckExpiryDate(HANDLE PackageFile);
bool RunningOnWow64();
TPayloadRef SelectPayload(HANDLE PackageFile);
void CheckWindowsVersion(HANDLE PackageFile, OSVERSIONINFOA& Version);
void CheckWin2000ServicePack(HANDLE PackageFile);

// Extraction.
void DecodePayload(HANDLE PackageFile, const TPackageHeader& Header, const TPayloadRef& Payload,
                   TStream& Input, TStream& Output);
// Writes the engine to a free name and returns its path. Guard receives a read-only handle
// on the written copy that lets others read it but neither write, replace nor delete it.
TAnsiString MakeTemporaryCopy(TStream& Output, int32_t UnpackedSize, HANDLE& Guard);
TAnsiString FolderOfPath(const TAnsiString& Path);
TAnsiString NameOfPath(const TAnsiString& Path);
bool PathExists(const TAnsiString& Path);

// Loads a DLL by its full path in the system folder, never by a bare name that would find a
// copy planted beside the package first. Null when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* Name);

// Launch.
TAnsiString ToUniversalPath(const TAnsiString& Path);
TAnsiString BuildEngineArgs();
bool IsAdministrator();
void StartEngine(const TRunState& Run);
