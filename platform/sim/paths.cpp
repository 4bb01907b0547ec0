// Windows path handling of the simulated file system. Paths are ANSI strings of the machine's
// code page: a second byte of a double-byte character (which may be 0x5C, the backslash, or a
// letter) is never a separator and never changes case, as on Windows, which converts ANSI
// paths to Unicode before it looks at them.
#include <vector>

#include "platform/sim/SimInternal.h"

namespace sim {

namespace {

// The length of the character at I: 2 for a lead byte with a second byte, else 1.
size_t Step(const std::string& Text, size_t I) {
  return IsLeadByte(CurrentCodePage(), uint8_t(Text[I])) && I + 1 < Text.size() ? 2 : 1;
}

std::vector<std::string> Split(const std::string& Text) {
  std::vector<std::string> Parts;
  std::string Part;
  for (size_t I = 0; I < Text.size();) {
    size_t Length = Step(Text, I);
    if (Length == 1 && Text[I] == '\\') {
      Parts.push_back(Part);
      Part.clear();
    } else {
      Part.append(Text, I, Length);
    }
    I += Length;
  }
  Parts.push_back(Part);
  return Parts;
}

// Positions of the separators ('\' or '/') that are characters of their own.
std::vector<size_t> Separators(const std::string& Text) {
  std::vector<size_t> Found;
  for (size_t I = 0; I < Text.size(); I += Step(Text, I))
    if (Text[I] == '\\' || Text[I] == '/') Found.push_back(I);
  return Found;
}

}  // namespace

std::string AbsolutePath(const Machine& M, const std::string& Path) {
  std::string P = Path;
  for (size_t I = 0; I < P.size(); I += Step(P, I))
    if (P[I] == '/') P[I] = '\\';
  std::string Root;  // "C:" or "\\server\share"
  std::string Rest;
  if (P.size() >= 2 && P[0] == '\\' && P[1] == '\\') {
    std::vector<std::string> Parts = Split(P.substr(2));
    Root = "\\\\" + Parts[0];
    if (Parts.size() > 1) Root += "\\" + Parts[1];
    for (size_t I = 2; I < Parts.size(); ++I) Rest += "\\" + Parts[I];
  } else if (P.size() >= 2 && P[1] == ':' && Step(P, 0) == 1) {
    Root = P.substr(0, 2);
    Rest = P.substr(2);
  } else if (!P.empty() && P[0] == '\\') {
    Root = AbsolutePath(M, M.CurrentDirectory).substr(0, 2);
    Rest = P;
  } else {
    if (M.CurrentDirectory.empty() || P == M.CurrentDirectory) return P;
    return AbsolutePath(M, M.CurrentDirectory + "\\" + P);
  }
  std::vector<std::string> Out;
  for (const std::string& Part : Split(Rest)) {
    if (Part.empty() || Part == ".") continue;
    if (Part == "..") {
      if (!Out.empty()) Out.pop_back();
      continue;
    }
    Out.push_back(Part);
  }
  std::string Result = Root;
  if (Out.empty() && Root.size() == 2 && Root[1] == ':') return Root + "\\";
  for (const std::string& Part : Out) Result += "\\" + Part;
  return Result;
}

std::string KeyOf(const std::string& Absolute) {
  std::string Key = Absolute;
  for (size_t I = 0; I < Key.size(); I += Step(Key, I))
    if (Key[I] >= 'a' && Key[I] <= 'z') Key[I] = char(Key[I] - 32);
  return Key;
}

std::string Lower(std::string Text) {
  for (size_t I = 0; I < Text.size(); I += Step(Text, I))
    if (Text[I] >= 'A' && Text[I] <= 'Z') Text[I] = char(Text[I] + 32);
  return Text;
}

bool SameAscii(const std::string& A, const std::string& B) { return KeyOf(A) == KeyOf(B); }

size_t LastSeparator(const std::string& Path) {
  std::vector<size_t> Found = Separators(Path);
  return Found.empty() ? std::string::npos : Found.back();
}

bool EndsWithSeparator(const std::string& Path) {
  if (Path.empty()) return false;
  for (size_t I = 0; I < Path.size();) {
    size_t Length = Step(Path, I);
    if (I + Length == Path.size()) return Length == 1 && (Path[I] == '\\' || Path[I] == '/');
    I += Length;
  }
  return false;
}

std::string ParentOf(const std::string& Absolute) {
  std::vector<size_t> Found = Separators(Absolute);
  if (Found.empty()) return "";
  size_t Slash = Found.back();
  if (Absolute.size() >= 2 && Absolute[0] == '\\' && Absolute[1] == '\\') {
    // \\server\share is a root; below it, the parent is what precedes the last backslash.
    if (Found.size() <= 3) return "";
    return Absolute.substr(0, Slash);
  }
  if (Absolute.size() <= 3) return "";  // "C:\"
  if (Slash == 2) return Absolute.substr(0, 3);
  return Absolute.substr(0, Slash);
}

std::string NameOf(const std::string& Absolute) {
  size_t Slash = LastSeparator(Absolute);
  return Slash == std::string::npos ? Absolute : Absolute.substr(Slash + 1);
}

}  // namespace sim
