// The harness's own verdict on a package, made without the launcher's code: the reading and
// integrity rules (locator, size test, checksum region, header), the expiry date, the choice of
// engine, and whether that engine decodes to exactly its size. The Windows version gate is
// left out: a refusal there only means that no engine starts, which the harness allows.
#pragma once

#include <stdint.h>

#include <string>

#include "package/StubTypes.h"
#include "platform/sim/SimWindows.h"

struct TIntegrityVerdict {
  bool Intact = false;     // the file passes every reading and integrity check
  bool Truncated = false;  // it fails the size test (the incomplete-download message)
  std::string Why;         // what fails, in words
  TPackageLocator Locator{};
  TPackageHeader Header{};
};

TIntegrityVerdict JudgeIntegrity(const sim::Bytes& File);

struct TEngineVerdict {
  bool Startable = false;  // an intact, unexpired package whose chosen engine decodes
  std::string Why;         // what stops it, in words
  sim::Bytes Engine;       // the decoded engine when Startable
};

// Wow64: the running Windows is 64-bit as IsWow64Process tells; Force32: an argument is
// exactly "/32"; Today: the local date.
TEngineVerdict JudgeEngine(const sim::Bytes& File, const TIntegrityVerdict& Integrity, bool Wow64,
                           bool Force32, const SYSTEMTIME& Today);

// The checksum the locator must hold for the region it names, when that region lies in the
// file; false otherwise.
bool RegionCrc(const sim::Bytes& File, uint32_t& Crc);
