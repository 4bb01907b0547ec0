// ravelpack: writes setup packages (`build`) and checks them as the launcher would
// (`inspect`). See Help.cpp for the command line.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/ravelpack/CommandLine.h"
#include "tools/ravelpack/FileIo.h"
#include "tools/ravelpack/Help.h"
#include "tools/ravelpack/PackageInspector.h"
#include "tools/ravelpack/PackageWriter.h"
#include "tools/ravelpack/ToolError.h"

namespace {

const uint64_t Below2Pow31 = uint64_t(1) << 31;
// Progress is worth showing only where compression takes noticeable time.
const uint64_t ProgressThreshold = 4u << 20;

int RunBuild(const std::vector<std::string>& Args) {
  TBuildOptions Options = ParseBuildOptions(Args);
  TPackageInputs Inputs;
  Inputs.Launcher = ReadWholeFile(Options.Launcher, "launcher", Below2Pow31);
  if (!Options.Engine32.empty()) {
    Inputs.Engine32 = ReadWholeFile(Options.Engine32, "engine32", Below2Pow31);
    Inputs.HasEngine32 = true;
  }
  if (!Options.Engine64.empty()) {
    Inputs.Engine64 = ReadWholeFile(Options.Engine64, "engine64", Below2Pow31);
    Inputs.HasEngine64 = true;
  }
  Inputs.EngineData = Options.EngineData.empty()
                          ? DefaultEngineData()
                          : ReadWholeFile(Options.EngineData, "engine data", UINT64_MAX);

  bool ShowProgress =
      isatty(2) && Inputs.Engine32.size() + Inputs.Engine64.size() >= ProgressThreshold;
  int LastPercent = -1;
  TProgress Progress;
  if (ShowProgress) {
    Progress = [&](uint64_t Done, uint64_t Total) {
      int Percent = Total == 0 ? 100 : int(Done * 100 / Total);
      if (Percent == LastPercent) return;
      LastPercent = Percent;
      fprintf(stderr, "\rravelpack: compressing %3d%%", Percent);
      if (Percent == 100) {
        fputc('\n', stderr);
        LastPercent = -1;
      }
    };
  }
  std::vector<uint8_t> Package = BuildPackage(Options, Inputs, Progress);
  WriteFileAtomically(Options.Out, Package);
  return 0;
}

int RunInspect(const std::vector<std::string>& Args) {
  bool Json = false;
  std::string Path;
  for (const std::string& Arg : Args) {
    if (Arg == "--json") {
      Json = true;
    } else if (Path.empty() && !(Arg.size() > 1 && Arg[0] == '-')) {
      Path = Arg;
    } else {
      Refuse("inspect: unexpected argument '" + Arg + "'");
    }
  }
  if (Path.empty()) Refuse("inspect needs a FILE");
  TInspection Inspection = InspectPackage(ReadWholeFile(Path, "package", UINT64_MAX));
  fputs((Json ? FormatInspectionJson(Inspection) : FormatInspection(Inspection)).c_str(), stdout);
  return Inspection.Failures.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  if (Args.empty() || Args[0] == "--help" || Args[0] == "-h" || Args[0] == "help") {
    fputs(HelpText, Args.empty() ? stderr : stdout);
    return Args.empty() ? 2 : 0;
  }
  std::string Command = Args[0];
  Args.erase(Args.begin());
  try {
    if (Command == "build") return RunBuild(Args);
    if (Command == "inspect") return RunInspect(Args);
    Refuse("unknown command '" + Command + "' (build, inspect or --help)");
  } catch (const TToolError& Error) {
    fprintf(stderr, "ravelpack: %s\n", Error.what());
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "ravelpack: out of memory\n");
  }
  return 2;
}
