// The registry: one key, HKEY_LOCAL_MACHINE "Software\Microsoft\Windows NT\CurrentVersion".
#include <cstring>

#include "platform/sim/SimInternal.h"

using namespace sim;

namespace {

const char kVersionKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";

HandleEntry* KeyHandle(HKEY Key) {
  HandleEntry* E = FindHandle(Key);
  return E && E->Kind == HandleKind::Key ? E : nullptr;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY Key, LPCSTR SubKey, DWORD, DWORD Access, HKEY* Result) {
  Machine& M = Sim();
  bool Faulted = Hit("RegOpenKeyExA") != nullptr;
  M.RegOpenAccess.push_back(Access);
  M.RegOpenKeys.push_back(SubKey ? SubKey : "");
  if (!Result) return LSTATUS(kErrorInvalidParameter);
  *Result = nullptr;
  if (Key != HKEY_LOCAL_MACHINE) return LSTATUS(kErrorInvalidHandle);
  if (Faulted) return LSTATUS(kErrorAccessDenied);
  if (M.RegOpenFails || !SubKey || !SameAscii(SubKey, kVersionKey)) return LSTATUS(kErrorFileNotFound);
  HandleEntry E{HandleKind::Key, std::string("HKEY_LOCAL_MACHINE\\") + kVersionKey, Access, 0, Holder::Launcher, nullptr, 0, nullptr};
  *Result = NewHandle(E);
  ++M.RegKeysOpen;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY Key, LPCSTR ValueName, DWORD* Reserved, DWORD* Type, BYTE* Data,
                                DWORD* DataSize) {
  Machine& M = Sim();
  bool Faulted = Hit("RegQueryValueExA") != nullptr;
  std::string Name = ValueName ? ValueName : "";
  ++M.RegQueries[Name];
  if (!KeyHandle(Key)) {
    Misuse("RegQueryValueExA on a key that is not open");
    return LSTATUS(kErrorInvalidHandle);
  }
  if (Reserved || (Data && !DataSize)) return LSTATUS(kErrorInvalidParameter);
  if (Faulted) return LSTATUS(kErrorAccessDenied);
  const RegValue* Value = nullptr;
  for (const auto& [Stored, V] : M.RegistryValues)
    if (SameAscii(Stored, Name)) Value = &V;
  if (!Value) return LSTATUS(kErrorFileNotFound);
  if (Type) *Type = Value->Type;
  DWORD Needed = DWORD(Value->Data.size());
  if (!Data) {
    if (DataSize) *DataSize = Needed;
    return ERROR_SUCCESS;
  }
  if (*DataSize < Needed) {
    *DataSize = Needed;
    return LSTATUS(kErrorMoreData);
  }
  if (Needed) std::memcpy(Data, Value->Data.data(), Needed);
  *DataSize = Needed;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY Key) {
  Count("RegCloseKey");
  if (!KeyHandle(Key)) {
    Misuse("RegCloseKey on a key that is not open");
    return LSTATUS(kErrorInvalidHandle);
  }
  CloseEntry(Key);
  return ERROR_SUCCESS;
}
