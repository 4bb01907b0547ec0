// Whole-file reading and the all-or-nothing output file of the package tool.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

using TBytes = std::vector<uint8_t>;

// Reads the whole file; refuses (TToolError) when it cannot be read or holds MaxSize bytes
// or more. What names the file in the message (e.g. "engine32").
TBytes ReadWholeFile(const std::string& Path, const std::string& What, uint64_t MaxSize);

// Writes Data to a temporary file beside Path and renames it to Path, so that a failure
// at any point leaves no output file (and no temporary file) behind.
void WriteFileAtomically(const std::string& Path, const TBytes& Data);
