// ANSI code pages: 1252 by its table; 932 (and the other East Asian double-byte pages 936,
// 949, 950) by the system's iconv for the double-byte characters.
#include <iconv.h>

#include <cstring>
#include <map>
#include <vector>

#include "platform/sim/SimInternal.h"

using namespace sim;

namespace {

constexpr UINT kCpAcp = 0;

// Windows-1252 0x80 to 0x9F; the five bytes Windows leaves unassigned map to themselves.
const WCHAR k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr WCHAR kDbcsDefault = 0x30FB;  // what 932 gives for a byte sequence it lacks

bool IsDbcs(UINT Cp) { return Cp == 932 || Cp == 936 || Cp == 949 || Cp == 950; }

bool Supported(UINT Cp) { return Cp == 1252 || IsDbcs(Cp); }

UINT Resolve(UINT Cp) { return Cp == kCpAcp ? Sim().AnsiCodePage : Cp; }

// One iconv converter per direction and code page, kept for the life of the process.
struct ConverterCache {
  std::map<std::pair<UINT, bool>, iconv_t> Open;
  ~ConverterCache() {
    for (auto& [Key, C] : Open)
      if (C != iconv_t(-1)) iconv_close(C);
  }
};

iconv_t Converter(UINT Cp, bool ToWide) {
  static ConverterCache Cache;
  auto It = Cache.Open.find({Cp, ToWide});
  if (It != Cache.Open.end()) return It->second;
  std::string Name = "CP" + std::to_string(Cp);
  iconv_t C = ToWide ? iconv_open("UTF-16LE", Name.c_str()) : iconv_open(Name.c_str(), "UTF-16LE");
  Cache.Open[{Cp, ToWide}] = C;
  return C;
}

// Converts In through iconv; false when the converter lacks it.
bool Iconv(UINT Cp, bool ToWide, const char* In, size_t InLength, char* Out, size_t& OutLength) {
  iconv_t C = Converter(Cp, ToWide);
  if (C == iconv_t(-1)) return false;
  iconv(C, nullptr, nullptr, nullptr, nullptr);
  char* Src = const_cast<char*>(In);
  size_t Left = InLength;
  size_t Room = OutLength;
  char* Dst = Out;
  if (iconv(C, &Src, &Left, &Dst, &Room) == size_t(-1) || Left != 0) return false;
  OutLength -= Room;
  return true;
}

std::vector<WCHAR> ToWide(UINT Cp, const uint8_t* In, size_t Length) {
  std::vector<WCHAR> Out;
  for (size_t I = 0; I < Length; ++I) {
    uint8_t B = In[I];
    if (B < 0x80) {
      Out.push_back(B);
    } else if (Cp == 1252) {
      Out.push_back(B < 0xA0 ? k1252High[B - 0x80] : WCHAR(B));
    } else if (Cp == 932 && B >= 0xA1 && B <= 0xDF) {
      Out.push_back(WCHAR(0xFF61 + (B - 0xA1)));
    } else if (Cp == 932 && B == 0x80) {
      Out.push_back(0x0080);
    } else if (Cp == 932 && B == 0xA0) {
      Out.push_back(0xF8F0);
    } else if (Cp == 932 && B >= 0xFD) {
      Out.push_back(WCHAR(0xF8F1 + (B - 0xFD)));
    } else if (IsLeadByte(Cp, B) && I + 1 < Length) {
      char Wide[8];
      size_t WideLength = sizeof(Wide);
      if (Iconv(Cp, true, reinterpret_cast<const char*>(In + I), 2, Wide, WideLength) && WideLength == 2)
        Out.push_back(WCHAR(uint8_t(Wide[0]) | (uint8_t(Wide[1]) << 8)));
      else
        Out.push_back(kDbcsDefault);
      ++I;
    } else {
      char Wide[8];
      size_t WideLength = sizeof(Wide);
      if (Iconv(Cp, true, reinterpret_cast<const char*>(In + I), 1, Wide, WideLength) && WideLength == 2)
        Out.push_back(WCHAR(uint8_t(Wide[0]) | (uint8_t(Wide[1]) << 8)));
      else
        Out.push_back(kDbcsDefault);
    }
  }
  return Out;
}

// One UTF-16 character to the code page; empty when the code page lacks it.
std::string FromWideChar(UINT Cp, WCHAR C) {
  if (C < 0x80) return std::string(1, char(C));
  if (Cp == 1252) {
    if (C >= 0xA0 && C <= 0xFF) return std::string(1, char(C));
    for (int I = 0; I < 32; ++I)
      if (k1252High[I] == C) return std::string(1, char(0x80 + I));
    return "";
  }
  if (Cp == 932) {
    if (C >= 0xFF61 && C <= 0xFF9F) return std::string(1, char(0xA1 + (C - 0xFF61)));
    if (C == 0x0080) return "\x80";
    if (C == 0xF8F0) return "\xA0";
    if (C >= 0xF8F1 && C <= 0xF8F3) return std::string(1, char(0xFD + (C - 0xF8F1)));
  }
  if (C >= 0xD800 && C <= 0xDFFF) return "";
  char Wide[2] = {char(C & 0xFF), char(C >> 8)};
  char Out[8];
  size_t OutLength = sizeof(Out);
  if (!Iconv(Cp, false, Wide, 2, Out, OutLength)) return "";
  std::string Result(Out, OutLength);
  // Only a character that comes back unchanged counts: no best fit, and never plain ASCII
  // for a character outside ASCII.
  if (Result.empty() || uint8_t(Result[0]) < 0x80) return "";
  std::vector<WCHAR> Back = ToWide(Cp, reinterpret_cast<const uint8_t*>(Result.data()), Result.size());
  if (Back.size() != 1 || Back[0] != C) return "";
  return Result;
}

}  // namespace

bool sim::IsLeadByte(UINT Cp, uint8_t B) {
  if (Cp == 932) return (B >= 0x81 && B <= 0x9F) || (B >= 0xE0 && B <= 0xFC);
  if (IsDbcs(Cp)) return B >= 0x81 && B <= 0xFE;
  return false;
}

UINT WINAPI GetACP() {
  Count("GetACP");
  return Sim().AnsiCodePage;
}

LPSTR WINAPI CharNextA(LPCSTR Current) {
  Count("CharNextA");
  if (!Current || *Current == 0) return const_cast<LPSTR>(Current);
  if (IsLeadByte(Sim().AnsiCodePage, uint8_t(Current[0])) && Current[1] != 0)
    return const_cast<LPSTR>(Current + 2);
  return const_cast<LPSTR>(Current + 1);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR MultiByteStr, int MultiByteCount,
                               LPWSTR WideStr, int WideCount) {
  Machine& M = Sim();
  if (Hit("MultiByteToWideChar")) return M.LastError = kErrorInvalidParameter, 0;
  UINT Cp = Resolve(CodePage);
  if (!Supported(Cp) || !MultiByteStr || MultiByteCount == 0 || MultiByteCount < -1 || WideCount < 0 ||
      (WideCount > 0 && !WideStr))
    return M.LastError = kErrorInvalidParameter, 0;
  size_t Length = MultiByteCount == -1 ? std::strlen(MultiByteStr) + 1 : size_t(MultiByteCount);
  std::vector<WCHAR> Out = ToWide(Cp, reinterpret_cast<const uint8_t*>(MultiByteStr), Length);
  if (WideCount == 0) return int(Out.size());
  if (Out.size() > size_t(WideCount)) return M.LastError = kErrorInsufficientBuffer, 0;
  std::copy(Out.begin(), Out.end(), WideStr);
  return int(Out.size());
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR WideStr, int WideCount, LPSTR MultiByteStr,
                               int MultiByteCount, LPCSTR DefaultChar, BOOL* UsedDefaultChar) {
  Machine& M = Sim();
  if (Hit("WideCharToMultiByte")) return M.LastError = kErrorInvalidParameter, 0;
  UINT Cp = Resolve(CodePage);
  if (!Supported(Cp) || !WideStr || WideCount == 0 || WideCount < -1 || MultiByteCount < 0 ||
      (MultiByteCount > 0 && !MultiByteStr))
    return M.LastError = kErrorInvalidParameter, 0;
  size_t Length = 0;
  if (WideCount == -1) {
    while (WideStr[Length]) ++Length;
    ++Length;
  } else {
    Length = size_t(WideCount);
  }
  std::string Default = "?";
  if (DefaultChar && DefaultChar[0]) Default = IsLeadByte(Cp, uint8_t(DefaultChar[0])) && DefaultChar[1]
                                                   ? std::string(DefaultChar, 2)
                                                   : std::string(DefaultChar, 1);
  std::string Out;
  bool UsedDefault = false;
  for (size_t I = 0; I < Length; ++I) {
    WCHAR C = WideStr[I];
    std::string Bytes = FromWideChar(Cp, C);
    if (Bytes.empty()) {
      Bytes = Default;
      UsedDefault = true;
      // A surrogate pair is one character, hence one default character.
      if (C >= 0xD800 && C <= 0xDBFF && I + 1 < Length && WideStr[I + 1] >= 0xDC00 && WideStr[I + 1] <= 0xDFFF) ++I;
    }
    Out += Bytes;
  }
  if (UsedDefaultChar) *UsedDefaultChar = UsedDefault ? TRUE : FALSE;
  if (MultiByteCount == 0) return int(Out.size());
  if (Out.size() > size_t(MultiByteCount)) return M.LastError = kErrorInsufficientBuffer, 0;
  std::memcpy(MultiByteStr, Out.data(), Out.size());
  return int(Out.size());
}
