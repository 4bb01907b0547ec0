// The fixed order of the phases and what each hands on to the next.
#include "launcher/StubCore.h"
#include "package/PackageReader.h"

void RunLauncher() {
  TRunState Run{};
  Run.PackageFile = OpenPackageFile();
  CheckPackage(Run.PackageFile);
  CheckExpiryDate(Run.PackageFile);
  Run.Payload = SelectPayload(Run.PackageFile);
  CheckWindowsVersion(Run.PackageFile, Run.Version);
  {
    TStream Input;
    TStream Output;
    DecodePayload(Run.PackageFile, Header, Run.Payload, Input, Output);
    Run.TempPath = MakeTemporaryCopy(Output, int32_t(Run.Payload.UnpackedSize), Run.CopyGuard);
    // The engine may be large: give its memory back before it runs.
    Output.Clear();
    Input.Clear();
  }
  // From here on the launcher holds no handle on its own file, so the engine may open the
  // package in any mode.
  CloseHandle(Run.PackageFile);
  Run.EngineArgs = BuildEngineArgs();
  StartEngine(Run);
  StrFree(Run.EngineArgs);
  StrFree(Run.TempPath);
}
