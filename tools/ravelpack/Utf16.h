// Conversion between the UTF-8 of command-line arguments and terminals and the UTF-16LE
// that package message texts are stored in.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Refuses (TToolError) text that is not valid UTF-8; What names it in the message.
std::vector<uint16_t> Utf8ToUtf16(const std::string& Text, const std::string& What);

// Unpaired surrogates become U+FFFD, so any stored text can be printed.
std::string Utf16ToUtf8(const std::vector<uint16_t>& Text);
