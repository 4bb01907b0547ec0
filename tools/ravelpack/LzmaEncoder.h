// The payload encoder: raw LZMA1 streams as the launcher decodes them, that is, range-coded
// data with no header of their own, normally without an end marker, and decoding to
// exactly the input's size.
#pragma once

#include <lzma.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// What the command line asks for; unset fields (-1 / 0) take the preset's values.
struct TLzmaSettings {
  uint32_t Preset = 6;
  bool Extreme = false;
  int Lc = -1;
  int Lp = -1;
  int Pb = -1;
  uint32_t DictSize = 0;  // 0: the preset's, but no larger than the largest input needs
  bool EndMarker = false;
};

// The options both payloads are encoded with (one LzmaProps byte and one DictSize serve
// both). Refuses (TToolError) values liblzma's LZMA1 encoder would not take.
lzma_options_lzma ResolveLzmaOptions(const TLzmaSettings& Settings, uint64_t LargestInput);

// (pb * 5 + lp) * 9 + lc.
uint8_t LzmaPropsByte(const lzma_options_lzma& Options);

// Called now and then with the number of input bytes consumed so far.
using TProgress = std::function<void(uint64_t Done, uint64_t Total)>;

// Encodes Input as a raw LZMA1 stream. Without EndMarker the stream has none, and its
// first byte is 0 like every plain LZMA1 stream's.
std::vector<uint8_t> EncodeLzma(const lzma_options_lzma& Options, bool EndMarker,
                                const std::vector<uint8_t>& Input, const TProgress& Progress);
