// The one header through which launcher code reaches the system.
//
// It declares the subset of Win32 that the launcher uses, by its Win32 names and with the
// Win32 meanings. In the Windows build these are the real ANSI entry points of KERNEL32,
// USER32 and ADVAPI32; in the host build the simulated Windows of platform/sim implements
// them. Functions that an older Windows may lack are never declared here as
// imports: they are reached through GetProcAddress with the PFN_ types below.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define WINAPI __stdcall
#define WIN32_IMPORT extern "C" __declspec(dllimport)
#else
#define WINAPI
#define WIN32_IMPORT
#endif

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef uint16_t WCHAR;
typedef void* HANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HWND;
typedef HANDLE HKEY;
typedef HANDLE HINSTANCE;
typedef void* PSID;
typedef LONG LSTATUS;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef intptr_t(WINAPI* FARPROC)();

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_BEGIN 0u
#define INVALID_FILE_SIZE 0xFFFFFFFFu

#define INFINITE 0xFFFFFFFFu
#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define SW_SHOW 5
#define SEE_MASK_NOCLOSEPROCESS 0x00000040u

#define VER_PLATFORM_WIN32s 0u
#define VER_PLATFORM_WIN32_WINDOWS 1u
#define VER_PLATFORM_WIN32_NT 2u

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_READ 0x00020019u
#define ERROR_SUCCESS 0L

#define UNIVERSAL_NAME_INFO_LEVEL 1u
#define SECURITY_BUILTIN_DOMAIN_RID 0x20u
#define DOMAIN_ALIAS_RID_ADMINS 0x220u

#define HEAP_ZERO_MEMORY 0x00000008u
#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_DECOMMIT 0x00004000u
#define MEM_RELEASE 0x00008000u
#define PAGE_NOACCESS 0x01u
#define PAGE_READWRITE 0x04u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u

struct SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};

struct OSVERSIONINFOEXA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};

static_assert(sizeof(OSVERSIONINFOA) == 148, "the basic version record is 148 bytes");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "the extended version record is 156 bytes");

struct FILETIME {
  DWORD dwLowDateTime, dwHighDateTime;
};

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
  DWORD nFileSizeHigh, nFileSizeLow;
  DWORD dwReserved0, dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
};

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

struct SHELLEXECUTEINFOA {
  DWORD cbSize;
  DWORD fMask;
  HWND hwnd;
  LPCSTR lpVerb;
  LPCSTR lpFile;
  LPCSTR lpParameters;
  LPCSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
  void* lpIDList;
  LPCSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  HANDLE hIconOrMonitor;
  HANDLE hProcess;
};

struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};

struct UNIVERSAL_NAME_INFOA {
  LPSTR lpUniversalName;
};

#if defined(_WIN32)
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA is 68 bytes on 32-bit Windows");
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "SHELLEXECUTEINFOA is 60 bytes on 32-bit Windows");
#endif

// Functions reached through GetProcAddress: absent on some Windows versions, or (mpr.dll,
// shell32.dll) kept out of the import table: loading those DLLs pulls in others that some
// systems look for beside the program first, where a planted copy may lie.
typedef BOOL(WINAPI* PFN_IsWow64Process)(HANDLE Process, BOOL* Wow64Process);
typedef BOOL(WINAPI* PFN_CheckTokenMembership)(HANDLE Token, PSID Sid, BOOL* IsMember);
typedef BOOL(WINAPI* PFN_AllocateAndInitializeSid)(SID_IDENTIFIER_AUTHORITY* Authority, BYTE Count,
                                                   DWORD S0, DWORD S1, DWORD S2, DWORD S3, DWORD S4,
                                                   DWORD S5, DWORD S6, DWORD S7, PSID* Sid);
typedef void*(WINAPI* PFN_FreeSid)(PSID Sid);
typedef DWORD(WINAPI* PFN_WNetGetUniversalNameA)(LPCSTR LocalPath, DWORD InfoLevel, void* Buffer,
                                                 DWORD* BufferSize);
typedef BOOL(WINAPI* PFN_SetDefaultDllDirectories)(DWORD DirectoryFlags);
typedef BOOL(WINAPI* PFN_ShellExecuteExA)(SHELLEXECUTEINFOA* Info);

// KERNEL32
WIN32_IMPORT DWORD WINAPI GetModuleFileNameA(HMODULE Module, LPSTR FileName, DWORD Size);
WIN32_IMPORT LPSTR WINAPI GetCommandLineA();
WIN32_IMPORT HANDLE WINAPI CreateFileA(LPCSTR FileName, DWORD Access, DWORD ShareMode,
                                       SECURITY_ATTRIBUTES* Security, DWORD Disposition,
                                       DWORD FlagsAndAttributes, HANDLE Template);
WIN32_IMPORT DWORD WINAPI SetFilePointer(HANDLE File, LONG Distance, LONG* DistanceHigh,
                                         DWORD Method);
WIN32_IMPORT BOOL WINAPI ReadFile(HANDLE File, void* Buffer, DWORD ToRead, DWORD* Read,
                                  OVERLAPPED* Overlapped);
WIN32_IMPORT BOOL WINAPI WriteFile(HANDLE File, const void* Buffer, DWORD ToWrite, DWORD* Written,
                                   OVERLAPPED* Overlapped);
WIN32_IMPORT DWORD WINAPI GetFileSize(HANDLE File, DWORD* SizeHigh);
WIN32_IMPORT BOOL WINAPI CloseHandle(HANDLE Object);
WIN32_IMPORT BOOL WINAPI DeleteFileA(LPCSTR FileName);
WIN32_IMPORT HANDLE WINAPI FindFirstFileA(LPCSTR FileName, WIN32_FIND_DATAA* FindData);
WIN32_IMPORT BOOL WINAPI FindClose(HANDLE Find);
WIN32_IMPORT DWORD WINAPI GetTempPathA(DWORD Length, LPSTR Buffer);
WIN32_IMPORT UINT WINAPI GetSystemDirectoryA(LPSTR Buffer, UINT Size);
WIN32_IMPORT void WINAPI GetLocalTime(SYSTEMTIME* Time);
WIN32_IMPORT BOOL WINAPI GetVersionExA(OSVERSIONINFOA* Info);
WIN32_IMPORT HMODULE WINAPI GetModuleHandleA(LPCSTR ModuleName);
WIN32_IMPORT HMODULE WINAPI LoadLibraryA(LPCSTR FileName);
WIN32_IMPORT FARPROC WINAPI GetProcAddress(HMODULE Module, LPCSTR ProcName);
WIN32_IMPORT HANDLE WINAPI GetCurrentProcess();
WIN32_IMPORT BOOL WINAPI CreateProcessA(LPCSTR ApplicationName, LPSTR CommandLine,
                                        SECURITY_ATTRIBUTES* ProcessAttributes,
                                        SECURITY_ATTRIBUTES* ThreadAttributes, BOOL InheritHandles,
                                        DWORD CreationFlags, void* Environment,
                                        LPCSTR CurrentDirectory, STARTUPINFOA* StartupInfo,
                                        PROCESS_INFORMATION* ProcessInformation);
WIN32_IMPORT DWORD WINAPI WaitForSingleObject(HANDLE Handle, DWORD Milliseconds);
WIN32_IMPORT UINT WINAPI GetACP();
WIN32_IMPORT int WINAPI MultiByteToWideChar(UINT CodePage, DWORD Flags, LPCSTR MultiByteStr,
                                            int MultiByteCount, LPWSTR WideStr, int WideCount);
WIN32_IMPORT int WINAPI WideCharToMultiByte(UINT CodePage, DWORD Flags, LPCWSTR WideStr,
                                            int WideCount, LPSTR MultiByteStr, int MultiByteCount,
                                            LPCSTR DefaultChar, BOOL* UsedDefaultChar);
WIN32_IMPORT HANDLE WINAPI GetProcessHeap();
WIN32_IMPORT void* WINAPI HeapAlloc(HANDLE Heap, DWORD Flags, size_t Bytes);
WIN32_IMPORT void* WINAPI HeapReAlloc(HANDLE Heap, DWORD Flags, void* Memory, size_t Bytes);
WIN32_IMPORT BOOL WINAPI HeapFree(HANDLE Heap, DWORD Flags, void* Memory);
WIN32_IMPORT void* WINAPI VirtualAlloc(void* Address, size_t Bytes, DWORD AllocationType,
                                       DWORD Protect);
WIN32_IMPORT BOOL WINAPI VirtualFree(void* Address, size_t Bytes, DWORD FreeType);
WIN32_IMPORT void WINAPI ExitProcess(UINT ExitCode) __attribute__((noreturn));

// USER32
WIN32_IMPORT LPSTR WINAPI CharNextA(LPCSTR Current);
WIN32_IMPORT int WINAPI MessageBoxA(HWND Owner, LPCSTR Text, LPCSTR Caption, UINT Type);

// ADVAPI32
WIN32_IMPORT LSTATUS WINAPI RegOpenKeyExA(HKEY Key, LPCSTR SubKey, DWORD Options, DWORD Access,
                                          HKEY* Result);
WIN32_IMPORT LSTATUS WINAPI RegQueryValueExA(HKEY Key, LPCSTR ValueName, DWORD* Reserved,
                                             DWORD* Type, BYTE* Data, DWORD* DataSize);
WIN32_IMPORT LSTATUS WINAPI RegCloseKey(HKEY Key);
