// Modules and the functions reached through GetProcAddress: WOW64, security identifiers and
// token membership, DLL directories, and mpr's universal names.
#include <cstring>

#include "platform/sim/SimInternal.h"

using namespace sim;

namespace {

constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;

HMODULE Module(uintptr_t Value) { return reinterpret_cast<HMODULE>(Value); }

HMODULE const kOwn = Module(0x00400000);
HMODULE const kKernel32 = Module(0x7C800000);
HMODULE const kNtdll = Module(0x7C900000);
HMODULE const kAdvapi32 = Module(0x77DD0000);
HMODULE const kUser32 = Module(0x7E410000);
HMODULE const kShell32 = Module(0x7C9C0000);
HMODULE const kMpr = Module(0x71B20000);

// The module name without folder and ".dll", lower case; empty when the folder is not the
// system folder.
std::string BaseName(const Machine& M, const std::string& Name, bool* HasFolder) {
  std::string Leaf = Name;
  size_t Slash = LastSeparator(Name);
  *HasFolder = Slash != std::string::npos;
  if (*HasFolder) {
    if (!SameAscii(AbsolutePath(M, Name.substr(0, Slash)), AbsolutePath(M, M.SystemFolder))) return "";
    Leaf = Name.substr(Slash + 1);
  }
  Leaf = Lower(Leaf);
  if (Leaf.size() > 4 && Leaf.compare(Leaf.size() - 4, 4, ".dll") == 0) Leaf.resize(Leaf.size() - 4);
  return Leaf;
}

// The modules every process of the launcher has loaded from the start.
HMODULE SystemModule(const std::string& Base) {
  if (Base == "kernel32") return kKernel32;
  if (Base == "ntdll") return kNtdll;
  if (Base == "advapi32") return kAdvapi32;
  if (Base == "user32") return kUser32;
  if (Base == "shell32") return kShell32;
  return nullptr;
}

bool IsAdminSid(const uint8_t* Sid) {
  static const uint8_t Admins[] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
  return std::memcmp(Sid, Admins, sizeof(Admins)) == 0;
}

BOOL WINAPI SimIsWow64Process(HANDLE Process, BOOL* Wow64Process) {
  Machine& M = Sim();
  bool Faulted = Hit("IsWow64Process") != nullptr;
  ++M.IsWow64Calls;
  if (Process != reinterpret_cast<HANDLE>(intptr_t(-1)) && !(FindHandle(Process) && FindHandle(Process)->Process))
    return M.LastError = kErrorInvalidHandle, FALSE;
  if (!Wow64Process) return M.LastError = kErrorInvalidParameter, FALSE;
  if (Faulted || M.Wow64 == Wow64Mode::Fails) return M.LastError = kErrorAccessDenied, FALSE;
  *Wow64Process = M.Wow64 == Wow64Mode::Yes ? TRUE : FALSE;
  return TRUE;
}

BOOL WINAPI SimSetDefaultDllDirectories(DWORD DirectoryFlags) {
  Machine& M = Sim();
  Count("SetDefaultDllDirectories");
  M.DllDirectoriesCalls.push_back(DirectoryFlags);
  return DirectoryFlags ? TRUE : (M.LastError = kErrorInvalidParameter, FALSE);
}

BOOL WINAPI SimAllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* Authority, BYTE Count, DWORD S0, DWORD S1,
                                        DWORD S2, DWORD S3, DWORD S4, DWORD S5, DWORD S6, DWORD S7, PSID* Sid) {
  Machine& M = Sim();
  bool Faulted = Hit("AllocateAndInitializeSid") != nullptr;
  SidRequest Request{};
  if (Authority) std::memcpy(Request.Authority, Authority->Value, 6);
  Request.Count = Count;
  DWORD Subs[8] = {S0, S1, S2, S3, S4, S5, S6, S7};
  std::memcpy(Request.SubAuthority, Subs, sizeof(Subs));
  M.SidRequests.push_back(Request);
  if (!Authority || !Sid || Count == 0 || Count > 8) return M.LastError = kErrorInvalidParameter, FALSE;
  if (Faulted || M.AllocateSidFails) return M.LastError = kErrorNotEnoughMemory, FALSE;
  // The layout of a SID: revision, count, authority (big-endian), sub-authorities.
  uint8_t* Memory = new uint8_t[8 + 4 * Count];
  Memory[0] = 1;
  Memory[1] = Count;
  std::memcpy(Memory + 2, Authority->Value, 6);
  for (int I = 0; I < Count; ++I) std::memcpy(Memory + 8 + 4 * I, &Subs[I], 4);
  M.In->Sids.insert(Memory);
  ++M.SidsLive;
  *Sid = Memory;
  return TRUE;
}

void* WINAPI SimFreeSid(PSID Sid) {
  Machine& M = Sim();
  Count("FreeSid");
  ++M.FreeSidCalls;
  if (!M.In->Sids.count(Sid)) {
    Misuse("FreeSid of a SID that is not allocated");
    return Sid;
  }
  M.In->Sids.erase(Sid);
  delete[] static_cast<uint8_t*>(Sid);
  --M.SidsLive;
  return nullptr;
}

BOOL WINAPI SimCheckTokenMembership(HANDLE Token, PSID Sid, BOOL* IsMember) {
  Machine& M = Sim();
  bool Faulted = Hit("CheckTokenMembership") != nullptr;
  ++M.CheckTokenCalls;
  if (Token) return M.LastError = kErrorInvalidHandle, FALSE;
  if (!Sid || !M.In->Sids.count(Sid) || !IsMember) {
    Misuse("CheckTokenMembership without a live SID or an answer variable");
    return M.LastError = kErrorInvalidParameter, FALSE;
  }
  if (Faulted || M.TokenMembership == TokenMode::Fails) return M.LastError = kErrorAccessDenied, FALSE;
  *IsMember = M.IsAdmin && IsAdminSid(static_cast<uint8_t*>(Sid)) ? TRUE : FALSE;
  return TRUE;
}

DWORD WINAPI SimWNetGetUniversalNameA(LPCSTR LocalPath, DWORD InfoLevel, void* Buffer, DWORD* BufferSize) {
  Machine& M = Sim();
  bool Faulted = Hit("WNetGetUniversalNameA") != nullptr;
  M.UniversalNameQueries.push_back(LocalPath ? LocalPath : "");
  if (!LocalPath || !BufferSize) return kErrorInvalidParameter;
  if (Faulted) return kErrorNoNetwork;
  if (M.WNetFailCode) return M.WNetFailCode;
  if (InfoLevel != UNIVERSAL_NAME_INFO_LEVEL) return kErrorNotSupported;
  std::string Path = LocalPath;
  if (Path.size() < 2 || Path[1] != ':') return kErrorBadDevice;
  char Drive = Path[0];
  if (Drive >= 'a' && Drive <= 'z') Drive = char(Drive - 32);
  std::string Prefix;
  for (const auto& [Letter, Unc] : M.MappedDrives) {
    char L = Letter >= 'a' && Letter <= 'z' ? char(Letter - 32) : Letter;
    if (L == Drive) Prefix = Unc;
  }
  if (Prefix.empty()) return kErrorNotConnected;
  std::string Rest = Path.substr(2);
  if (!Prefix.empty() && Prefix.back() == '\\' && !Rest.empty() && Rest[0] == '\\') Rest.erase(0, 1);
  std::string Universal = Prefix + Rest;
  DWORD Needed = DWORD(sizeof(UNIVERSAL_NAME_INFOA) + Universal.size() + 1);
  if (!Buffer || *BufferSize < Needed) {
    *BufferSize = Needed;
    return kErrorMoreData;
  }
  UNIVERSAL_NAME_INFOA* Info = static_cast<UNIVERSAL_NAME_INFOA*>(Buffer);
  char* Text = static_cast<char*>(Buffer) + sizeof(UNIVERSAL_NAME_INFOA);
  std::memcpy(Text, Universal.c_str(), Universal.size() + 1);
  Info->lpUniversalName = Text;
  return 0;
}

template <typename F>
FARPROC Proc(F Function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(Function));
}

}  // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR ModuleName) {
  Machine& M = Sim();
  Count("GetModuleHandleA");
  if (!ModuleName) return kOwn;
  bool HasFolder = false;
  std::string Base = BaseName(M, ModuleName, &HasFolder);
  if (HMODULE H = SystemModule(Base)) return H;
  if (Base == "mpr" && M.In->MprLoaded) return kMpr;
  M.LastError = kErrorModNotFound;
  return nullptr;
}

HMODULE WINAPI LoadLibraryA(LPCSTR FileName) {
  Machine& M = Sim();
  bool Faulted = Hit("LoadLibraryA") != nullptr;
  if (!FileName) return M.LastError = kErrorInvalidParameter, nullptr;
  M.LoadedLibraries.push_back(FileName);
  if (Faulted) return M.LastError = kErrorModNotFound, nullptr;
  bool HasFolder = false;
  std::string Base = BaseName(M, FileName, &HasFolder);
  if (HMODULE H = SystemModule(Base)) return H;
  // mpr.dll only by its full path in the system folder: a bare name could load a planted copy.
  if (Base == "mpr" && HasFolder && !M.MprLoadFails) {
    M.In->MprLoaded = true;
    return kMpr;
  }
  M.LastError = kErrorModNotFound;
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE Module, LPCSTR ProcName) {
  Machine& M = Sim();
  Count("GetProcAddress");
  M.LastError = kErrorProcNotFound;
  if (!ProcName || reinterpret_cast<uintptr_t>(ProcName) < 0x10000) return nullptr;
  std::string Name = ProcName;
  if (M.MissingExports.count(Name)) return nullptr;
  const VersionInfo& V = M.Version;
  bool Windows8 = V.PlatformId == VER_PLATFORM_WIN32_NT && (V.Major > 6 || (V.Major == 6 && V.Minor >= 2));
  if (Module == kKernel32) {
    if (Name == "IsWow64Process" && M.Wow64 != Wow64Mode::Missing) return Proc(&SimIsWow64Process);
    if (Name == "SetDefaultDllDirectories" && (Windows8 || M.DllDirectoriesUpdate))
      return Proc(&SimSetDefaultDllDirectories);
  } else if (Module == kAdvapi32) {
    if (Name == "CheckTokenMembership" && M.TokenMembership != TokenMode::Missing)
      return Proc(&SimCheckTokenMembership);
    if (Name == "AllocateAndInitializeSid") return Proc(&SimAllocateAndInitializeSid);
    if (Name == "FreeSid") return Proc(&SimFreeSid);
  } else if (Module == kShell32) {
    if (Name == "ShellExecuteExA") return Proc(&ShellExecuteExA);
  } else if (Module == kMpr && M.In->MprLoaded) {
    if (Name == "WNetGetUniversalNameA") return Proc(&SimWNetGetUniversalNameA);
  } else if (!Module) {
    Misuse("GetProcAddress on a null module");
  }
  return nullptr;
}
