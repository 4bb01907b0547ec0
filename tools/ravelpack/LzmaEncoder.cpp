#include "tools/ravelpack/LzmaEncoder.h"

#include <algorithm>

#include "tools/ravelpack/ToolError.h"

namespace {

std::string LzmaError(lzma_ret Result) {
  switch (Result) {
    case LZMA_MEM_ERROR:
      return "out of memory";
    case LZMA_OPTIONS_ERROR:
      return "options not supported";
    default:
      return "liblzma error " + std::to_string(int(Result));
  }
}

}  // namespace

lzma_options_lzma ResolveLzmaOptions(const TLzmaSettings& Settings, uint64_t LargestInput) {
  lzma_options_lzma Options;
  if (Settings.Preset > 9 ||
      lzma_lzma_preset(&Options, Settings.Preset | (Settings.Extreme ? LZMA_PRESET_EXTREME : 0))) {
    Refuse("--preset " + std::to_string(Settings.Preset) + " is not a preset (0 to 9)");
  }
  if (Settings.DictSize != 0) {
    Options.dict_size = Settings.DictSize;
  } else {
    // The launcher allocates the whole dictionary as its window, so a small engine should
    // not make it reserve the preset's megabytes. A window that holds the whole input
    // compresses exactly as well.
    uint32_t Enough = LZMA_DICT_SIZE_MIN;
    while (Enough < LargestInput && Enough < Options.dict_size) Enough *= 2;
    if (Enough < Options.dict_size) Options.dict_size = Enough;
  }
  if (Settings.Lc >= 0) Options.lc = uint32_t(Settings.Lc);
  if (Settings.Lp >= 0) Options.lp = uint32_t(Settings.Lp);
  if (Settings.Pb >= 0) Options.pb = uint32_t(Settings.Pb);
  if (Options.lc > LZMA_LCLP_MAX || Options.lp > LZMA_LCLP_MAX || Options.pb > LZMA_PB_MAX) {
    Refuse("lc and lp must be 0 to 4 and pb 0 to 4 (lc " + std::to_string(Options.lc) + ", lp " +
           std::to_string(Options.lp) + ", pb " + std::to_string(Options.pb) + ")");
  }
  if (Options.lc + Options.lp > LZMA_LCLP_MAX) {
    Refuse("liblzma's LZMA1 encoder needs lc + lp <= 4 (lc " + std::to_string(Options.lc) +
           ", lp " + std::to_string(Options.lp) + ")");
  }
  // liblzma's encoder takes 4 KiB to 1.5 GiB.
  if (Options.dict_size < LZMA_DICT_SIZE_MIN || Options.dict_size > (UINT32_C(3) << 29)) {
    Refuse("--dict-size must be 4096 to 1610612736 bytes");
  }
  return Options;
}

uint8_t LzmaPropsByte(const lzma_options_lzma& Options) {
  return uint8_t((Options.pb * 5 + Options.lp) * 9 + Options.lc);
}

std::vector<uint8_t> EncodeLzma(const lzma_options_lzma& Options, bool EndMarker,
                                const std::vector<uint8_t>& Input, const TProgress& Progress) {
  // LZMA1EXT is liblzma's LZMA1 with the end marker made optional: without
  // LZMA_LZMA1EXT_ALLOW_EOPM the encoder writes none. (The plain LZMA1 filter always writes
  // one; the MicroLZMA encoder writes none either, but replaces the first byte and must
  // finish in one call, which leaves no room for progress.)
  lzma_options_lzma Ext = Options;
  Ext.ext_flags = EndMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_filter Filters[2] = {{LZMA_FILTER_LZMA1EXT, &Ext}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream Stream = LZMA_STREAM_INIT;
  lzma_ret Result = lzma_raw_encoder(&Stream, Filters);
  if (Result != LZMA_OK) Refuse("cannot start the LZMA encoder: " + LzmaError(Result));

  std::vector<uint8_t> Output(Input.size() / 2 + 4096);
  const size_t Slice = size_t(1) << 20;  // input handed over per call, for progress
  size_t Fed = 0;
  Stream.next_out = Output.data();
  Stream.avail_out = Output.size();
  for (;;) {
    if (Stream.avail_in == 0 && Fed < Input.size()) {
      size_t Count = std::min(Slice, Input.size() - Fed);
      Stream.next_in = Input.data() + Fed;
      Stream.avail_in = Count;
      Fed += Count;
    }
    if (Stream.avail_out == 0) {
      size_t Used = Output.size();
      Output.resize(Used * 2);
      Stream.next_out = Output.data() + Used;
      Stream.avail_out = Output.size() - Used;
    }
    Result = lzma_code(&Stream, Fed == Input.size() ? LZMA_FINISH : LZMA_RUN);
    if (Progress) Progress(Stream.total_in, Input.size());
    if (Result == LZMA_STREAM_END) break;
    if (Result != LZMA_OK) {
      lzma_end(&Stream);
      Refuse("LZMA encoding failed: " + LzmaError(Result));
    }
  }
  Output.resize(Stream.total_out);
  lzma_end(&Stream);
  return Output;
}
