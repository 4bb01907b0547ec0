// `ravelpack build`: lays out a package behind a copy of the launcher.
#pragma once

#include <stdint.h>

#include <vector>

#include "tools/ravelpack/CommandLine.h"
#include "tools/ravelpack/LzmaEncoder.h"

// The inputs, already read: the writer itself touches no file.
struct TPackageInputs {
  std::vector<uint8_t> Launcher;
  std::vector<uint8_t> Engine32, Engine64;  // empty vector and no file: no such engine
  bool HasEngine32 = false, HasEngine64 = false;
  std::vector<uint8_t> EngineData;
};

// How much of the engine data the checksum region covers: enough for the engine to trust
// its own directory at the front, without making the launcher read megabytes at start.
const uint32_t CheckedEngineDataLength = 64 * 1024;

// What the engine data is when no --engine-data is given: a small fixed block, so that the
// checksum region always reaches past the payloads into engine data as in a real package.
std::vector<uint8_t> DefaultEngineData();

// Default message texts (UTF-8); the bitness one depends on which engines there are.
std::string DefaultExpiryMessage();
std::string DefaultBitnessMessage(const TBuildOptions& Options);
std::string DefaultWindowsMessage();

// The whole package file. Refuses (TToolError) what the format cannot hold.
std::vector<uint8_t> BuildPackage(const TBuildOptions& Options, const TPackageInputs& Inputs,
                                  const TProgress& Progress);
