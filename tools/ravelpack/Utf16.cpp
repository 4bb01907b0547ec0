#include "tools/ravelpack/Utf16.h"

#include "tools/ravelpack/ToolError.h"

std::vector<uint16_t> Utf8ToUtf16(const std::string& Text, const std::string& What) {
  std::vector<uint16_t> Result;
  size_t I = 0;
  while (I < Text.size()) {
    uint8_t Lead = uint8_t(Text[I]);
    int Extra = Lead < 0x80         ? 0
                : (Lead >> 5) == 6  ? 1
                : (Lead >> 4) == 14 ? 2
                : (Lead >> 3) == 30 ? 3
                                    : -1;
    if (Extra < 0 || I + size_t(Extra) >= Text.size()) {
      Refuse(What + " is not valid UTF-8");
    }
    uint32_t Code = Extra == 0 ? Lead : Lead & (0x3F >> Extra);
    for (int K = 1; K <= Extra; ++K) {
      uint8_t Next = uint8_t(Text[I + K]);
      if ((Next >> 6) != 2) Refuse(What + " is not valid UTF-8");
      Code = (Code << 6) | (Next & 0x3F);
    }
    static const uint32_t Least[4] = {0, 0x80, 0x800, 0x10000};
    if (Code < Least[Extra] || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF)) {
      Refuse(What + " is not valid UTF-8");
    }
    if (Code >= 0x10000) {
      Code -= 0x10000;
      Result.push_back(uint16_t(0xD800 | (Code >> 10)));
      Result.push_back(uint16_t(0xDC00 | (Code & 0x3FF)));
    } else {
      Result.push_back(uint16_t(Code));
    }
    I += size_t(Extra) + 1;
  }
  return Result;
}

std::string Utf16ToUtf8(const std::vector<uint16_t>& Text) {
  std::string Result;
  for (size_t I = 0; I < Text.size(); ++I) {
    uint32_t Code = Text[I];
    if (Code >= 0xD800 && Code <= 0xDBFF && I + 1 < Text.size() && Text[I + 1] >= 0xDC00 &&
        Text[I + 1] <= 0xDFFF) {
      Code = 0x10000 + ((Code - 0xD800) << 10) + (Text[I + 1] - 0xDC00);
      ++I;
    } else if (Code >= 0xD800 && Code <= 0xDFFF) {
      Code = 0xFFFD;
    }
    if (Code < 0x80) {
      Result += char(Code);
    } else if (Code < 0x800) {
      Result += char(0xC0 | (Code >> 6));
      Result += char(0x80 | (Code & 0x3F));
    } else if (Code < 0x10000) {
      Result += char(0xE0 | (Code >> 12));
      Result += char(0x80 | ((Code >> 6) & 0x3F));
      Result += char(0x80 | (Code & 0x3F));
    } else {
      Result += char(0xF0 | (Code >> 18));
      Result += char(0x80 | ((Code >> 12) & 0x3F));
      Result += char(0x80 | ((Code >> 6) & 0x3F));
      Result += char(0x80 | (Code & 0x3F));
    }
  }
  return Result;
}
