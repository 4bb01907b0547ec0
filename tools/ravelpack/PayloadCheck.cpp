#include "tools/ravelpack/PayloadCheck.h"

#include <lzma.h>

std::string CheckPayloadDecodes(uint8_t LzmaProps, uint32_t DictSize,
                                const std::vector<uint8_t>& Packed, uint32_t UnpackedSize,
                                std::vector<uint8_t>* Decoded) {
  // The launcher's own acceptance rules come before the decoder's.
  if (LzmaProps > 224) return "LzmaProps " + std::to_string(LzmaProps) + " is above 224";
  if (DictSize >= 0x80000000u) return "DictSize " + std::to_string(DictSize) + " is 2^31 or more";
  if (UnpackedSize >= 0x80000000u) {
    return "UnpackedSize " + std::to_string(UnpackedSize) + " is 2^31 or more";
  }
  if (UnpackedSize == 0) {
    if (Decoded) Decoded->clear();
    return "";
  }

  lzma_options_lzma Options = {};
  Options.lc = LzmaProps % 9;
  Options.lp = (LzmaProps / 9) % 5;
  Options.pb = LzmaProps / 45;
  Options.dict_size = DictSize < 4096 ? 4096 : DictSize;
  // A known size with the end marker allowed only right behind it: the same verdict as
  // the launcher's "exactly UnpackedSize bytes, neither fewer nor more".
  Options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  Options.ext_size_low = UnpackedSize;
  Options.ext_size_high = 0;
  lzma_filter Filters[2] = {{LZMA_FILTER_LZMA1EXT, &Options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream Stream = LZMA_STREAM_INIT;
  lzma_ret Result = lzma_raw_decoder(&Stream, Filters);
  if (Result != LZMA_OK) {
    return "the decoder refuses lc " + std::to_string(Options.lc) + ", lp " +
           std::to_string(Options.lp) + ", pb " + std::to_string(Options.pb) +
           (Options.lc + Options.lp > 4 ? " (liblzma needs lc + lp <= 4)" : "");
  }
  // One byte of room beyond UnpackedSize, so a stream that runs past it shows as longer.
  std::vector<uint8_t> Output(size_t(UnpackedSize) + 1);
  Stream.next_in = Packed.data();
  Stream.avail_in = Packed.size();
  Stream.next_out = Output.data();
  Stream.avail_out = Output.size();
  Result = lzma_code(&Stream, LZMA_FINISH);
  uint64_t Produced = Stream.total_out;
  lzma_end(&Stream);
  if (Result == LZMA_STREAM_END && Produced == UnpackedSize) {
    if (Decoded) {
      Output.resize(UnpackedSize);
      Decoded->swap(Output);
    }
    return "";
  }
  std::string Why = Result == LZMA_STREAM_END   ? "the stream ended"
                    : Result == LZMA_DATA_ERROR ? "corrupt data, an early end marker or data "
                                                  "running past UnpackedSize"
                    : Result == LZMA_BUF_ERROR  ? "the payload ended too soon"
                                                : "liblzma error " + std::to_string(int(Result));
  return "decoding gives " + std::to_string(Produced) + " of " + std::to_string(UnpackedSize) +
         " bytes: " + Why;
}
