// The launcher's acceptance of one payload, repeated on the host: its property rules and
// the exact-size rule of the decoded result.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Decodes Packed as a raw LZMA1 stream with the header's LzmaProps and DictSize and
// returns an empty string when it yields exactly UnpackedSize bytes (an end marker right
// behind them is allowed, trailing input is ignored); otherwise the reason, in words.
// Decoded receives the output when it is not null and the check passed.
std::string CheckPayloadDecodes(uint8_t LzmaProps, uint32_t DictSize,
                                const std::vector<uint8_t>& Packed, uint32_t UnpackedSize,
                                std::vector<uint8_t>* Decoded);
