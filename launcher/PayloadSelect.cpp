// The expiry date and the choice between the 32-bit and the 64-bit engine.
#include "launcher/StubCore.h"
#include "package/PackageMessage.h"
#include "package/PackageReader.h"

void CheckExpiryDate(HANDLE PackageFile) {
  if (Header.ExpiryYear == 0) return;
  SYSTEMTIME Today{};
  GetLocalTime(&Today);
  // The expiry date is the first day on which the package no longer runs.
  bool Expired = Header.ExpiryYear < Today.wYear ||
                 (Header.ExpiryYear == Today.wYear && Header.ExpiryMonth < Today.wMonth) ||
                 (Header.ExpiryYear == Today.wYear && Header.ExpiryMonth == Today.wMonth &&
                  Header.ExpiryDay <= Today.wDay);
  if (Expired) ShowPackageMessage(PackageFile, Header.ExpiryMessage, nullptr);
}

bool RunningOnWow64() {
  // Looked up each time: Windows versions before XP SP2 do not export it.
  HMODULE Kernel = GetModuleHandleA("kernel32");
  PFN_IsWow64Process IsWow64 =
      Kernel ? reinterpret_cast<PFN_IsWow64Process>(GetProcAddress(Kernel, "IsWow64Process"))
             : nullptr;
  if (!IsWow64) return false;
  BOOL Flag = FALSE;
  if (!IsWow64(GetCurrentProcess(), &Flag)) return false;
  return Flag != FALSE;
}

// "/32" is matched exactly, byte for byte.
static bool IsForce32BitSwitch(const TAnsiString& A) {
  return StrEquals(A, "/32");
}

TPayloadRef SelectPayload(HANDLE PackageFile) {
  const TPayloadRef& P32 = Header.Payload32;
  const TPayloadRef& P64 = Header.Payload64;
  if (P32.Offset == 0) {
    if (RunningOnWow64()) return P64;
  } else if (P64.Offset == 0) {
    return P32;
  } else if (P64.Offset == PayloadRefuses64Bit) {
    if (!RunningOnWow64()) return P32;
  } else {
    if (FindArgFromLast(ArgCount(), IsForce32BitSwitch) || !RunningOnWow64()) return P32;
    return P64;
  }
  ShowPackageMessage(PackageFile, Header.BitnessMessage, nullptr);
}
