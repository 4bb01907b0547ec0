// How the package tool reports a refusal: one line of text that main() prints to stderr
// before it exits with status 2. Every check deep inside the writer or the parsers throws
// one, so no partial output survives (the output file is only renamed into place at the end).
#pragma once

#include <stdexcept>
#include <string>

struct TToolError : std::runtime_error {
  explicit TToolError(const std::string& Message) : std::runtime_error(Message) {}
};

[[noreturn]] inline void Refuse(const std::string& Message) {
  throw TToolError(Message);
}
