// Shared set-up for the launcher's unit tests: a fresh simulated Windows per test, command
// lines, and files holding package message texts.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "launcher/StubCore.h"
#include "package/PackageReader.h"
#include "platform/sim/SimWindows.h"

namespace testsupport {

// The launcher's path in every test unless a test says otherwise.
inline const std::string& LauncherPath() { return sim::Sim().ModulePath; }

// The command line as a caller would write it: the quoted program name, then Tail verbatim.
inline void SetArgs(const std::string& Tail) {
  sim::Sim().CommandLine = "\"" + LauncherPath() + "\"" + (Tail.empty() ? "" : " " + Tail);
}

// UTF-16LE bytes of a UTF-8 text, as the package stores message texts.
inline sim::Bytes Utf16Bytes(const std::string& Utf8) {
  std::u16string Wide = sim::Utf16(Utf8);
  sim::Bytes Out;
  for (char16_t C : Wide) {
    Out.push_back(uint8_t(C & 0xFF));
    Out.push_back(uint8_t(C >> 8));
  }
  return Out;
}

// Writes the launcher's file as a bare holder of message texts and points the header's three
// messages at them, so that a gate can be run alone (RunPhase) with Header set by the test.
struct TMessageTexts {
  std::string Expiry = "expired";
  std::string Bitness = "bitness";
  std::string Windows = "not on %USER%";
};

inline void PrepareMessages(const TMessageTexts& Texts = {}) {
  sim::Bytes File(16, 0);
  auto Place = [&File](const std::string& Text, TMessageRef& Ref) {
    sim::Bytes Wide = Utf16Bytes(Text);
    Ref.Offset = uint32_t(File.size());
    Ref.Length = uint16_t(Wide.size() / 2);
    File.insert(File.end(), Wide.begin(), Wide.end());
  };
  Place(Texts.Expiry, Header.ExpiryMessage);
  Place(Texts.Bitness, Header.BitnessMessage);
  Place(Texts.Windows, Header.WindowsMessage);
  sim::Sim().AddFile(LauncherPath(), File);
}

// Runs one phase as the launcher's process would, with the package file opened as the run
// opens it. Returns the exit code, or sim::kNoExit when the phase passed.
inline uint32_t RunPhase(const std::function<void(HANDLE)>& Phase) {
  return sim::RunInSim([&Phase] { Phase(OpenPackageFile()); });
}

// The single box a run showed, or an empty record when it showed none or several.
inline sim::BoxRecord OnlyBox() {
  const auto& Boxes = sim::Sim().Boxes;
  if (Boxes.size() != 1) return sim::BoxRecord{nullptr, "<" + std::to_string(Boxes.size()) + " boxes>", "", 0};
  return Boxes[0];
}

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetSim();
    Locator = TPackageLocator{};
    Header = TPackageHeader{};
  }
};

extern const char* const ReadErrorText;
extern const char* const TruncatedText;
extern const char* const TempCopyText;
extern const char* const ExecuteText;

}  // namespace testsupport
