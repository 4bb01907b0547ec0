// Windows path handling of the simulated file system.
#include <vector>

#include "platform/sim/SimInternal.h"

namespace sim {

namespace {

std::vector<std::string> Split(const std::string& Text) {
  std::vector<std::string> Parts;
  std::string Part;
  for (char C : Text) {
    if (C == '\\') {
      Parts.push_back(Part);
      Part.clear();
    } else {
      Part += C;
    }
  }
  Parts.push_back(Part);
  return Parts;
}

}  // namespace

std::string AbsolutePath(const Machine& M, const std::string& Path) {
  std::string P = Path;
  for (char& C : P)
    if (C == '/') C = '\\';
  std::string Root;  // "C:" or "\\server\share"
  std::string Rest;
  if (P.size() >= 2 && P[0] == '\\' && P[1] == '\\') {
    std::vector<std::string> Parts = Split(P.substr(2));
    Root = "\\\\" + Parts[0];
    if (Parts.size() > 1) Root += "\\" + Parts[1];
    for (size_t I = 2; I < Parts.size(); ++I) Rest += "\\" + Parts[I];
  } else if (P.size() >= 2 && P[1] == ':') {
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
  for (char& C : Key)
    if (C >= 'a' && C <= 'z') C = char(C - 32);
  return Key;
}

std::string Lower(std::string Text) {
  for (char& C : Text)
    if (C >= 'A' && C <= 'Z') C = char(C + 32);
  return Text;
}

bool SameAscii(const std::string& A, const std::string& B) { return KeyOf(A) == KeyOf(B); }

std::string ParentOf(const std::string& Absolute) {
  size_t Slash = Absolute.find_last_of('\\');
  if (Absolute.size() >= 2 && Absolute[0] == '\\' && Absolute[1] == '\\') {
    // \\server\share is a root; below it, the parent is what precedes the last backslash.
    size_t ShareSlash = Absolute.find('\\', 2);
    if (ShareSlash == std::string::npos || Slash <= ShareSlash) return "";
    return Absolute.substr(0, Slash);
  }
  if (Absolute.size() <= 3) return "";  // "C:\"
  if (Slash == 2) return Absolute.substr(0, 3);
  return Absolute.substr(0, Slash);
}

std::string NameOf(const std::string& Absolute) {
  size_t Slash = Absolute.find_last_of('\\');
  return Slash == std::string::npos ? Absolute : Absolute.substr(Slash + 1);
}

}  // namespace sim
