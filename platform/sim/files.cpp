// The simulated file system: set-up methods of Machine and the Win32 file calls.
#include <algorithm>
#include <cstring>

#include "platform/sim/SimInternal.h"

namespace sim {

namespace {

constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr DWORD kFileAppendData = 0x0004;
constexpr DWORD kFileExecute = 0x0020;
constexpr DWORD kDelete = 0x00010000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kCreateNew = 1;
constexpr DWORD kOpenAlways = 4;
constexpr DWORD kTruncateExisting = 5;
constexpr DWORD kFileCurrent = 1;
constexpr DWORD kFileEnd = 2;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorInvalidName = 123;
constexpr DWORD kErrorFilenameTooLong = 206;
constexpr DWORD kAttributeDirectory = 0x10;

bool Reads(DWORD A) { return A & (GENERIC_READ | kGenericAll | kGenericExecute | kFileReadData | kFileExecute); }
bool Writes(DWORD A) { return A & (GENERIC_WRITE | kGenericAll | kFileWriteData | kFileAppendData); }
bool Deletes(DWORD A) { return A & (kDelete | kGenericAll); }

uint64_t SizeOf(const Node& N) { return std::max<uint64_t>(N.Data.size(), N.VirtualSize); }

void Fail(DWORD Error) { Sim().LastError = Error; }

// The bytes left under the nearest folder with a limit, or null when unlimited.
uint64_t* FreeSpaceFor(Machine& M, const std::string& Key) {
  uint64_t* Best = nullptr;
  size_t BestLength = 0;
  for (auto& [Folder, Left] : M.In->FreeSpace) {
    bool Under = Key == Folder ||
                 (Key.compare(0, Folder.size(), Folder) == 0 &&
                  (ParentOf(Folder).empty() || Key[Folder.size()] == '\\'));
    if (Under && Folder.size() >= BestLength) {
      Best = &Left;
      BestLength = Folder.size();
    }
  }
  return Best;
}

void GiveBackSpace(Machine& M, const Node& N) {
  if (uint64_t* Left = FreeSpaceFor(M, KeyOf(N.Path))) *Left += N.Data.size();
}

// A name Windows refuses outright: wildcards, reserved characters, too long.
DWORD BadName(const std::string& Name, const std::string& Absolute) {
  if (Name.empty()) return kErrorPathNotFound;
  for (size_t I = 0; I < Name.size(); ++I) {
    if (IsLeadByte(CurrentCodePage(), uint8_t(Name[I])) && I + 1 < Name.size()) {
      ++I;  // a double-byte character: its second byte is no reserved character
      continue;
    }
    char C = Name[I];
    if (C == '*' || C == '?' || C == '"' || C == '<' || C == '>' || C == '|') return kErrorInvalidName;
    if (C == ':' && I != 1) return kErrorInvalidName;
  }
  if (Absolute.size() >= MAX_PATH) return kErrorFilenameTooLong;
  return 0;
}

HandleEntry* FileHandle(HANDLE File) {
  HandleEntry* E = FindHandle(File);
  if (!E || E->Kind != HandleKind::File) {
    Misuse("file call on a handle that is not an open file");
    Fail(kErrorInvalidHandle);
    return nullptr;
  }
  return E;
}

}  // namespace

// ---- Helpers shared with the other files ----

std::shared_ptr<Node> NodeOf(const Machine& M, const std::string& Path) {
  auto It = M.In->Nodes.find(KeyOf(AbsolutePath(M, Path)));
  return It == M.In->Nodes.end() ? nullptr : It->second;
}

bool SharingAllows(const Machine& M, const Node* File, DWORD Access, DWORD Share) {
  for (const auto& [Value, E] : M.In->Handles) {
    if (E.Kind != HandleKind::File || E.File.get() != File) continue;
    if (Reads(Access) && !(E.Share & FILE_SHARE_READ)) return false;
    if (Writes(Access) && !(E.Share & FILE_SHARE_WRITE)) return false;
    if (Deletes(Access) && !(E.Share & FILE_SHARE_DELETE)) return false;
    if (Reads(E.Access) && !(Share & FILE_SHARE_READ)) return false;
    if (Writes(E.Access) && !(Share & FILE_SHARE_WRITE)) return false;
    if (Deletes(E.Access) && !(Share & FILE_SHARE_DELETE)) return false;
  }
  return true;
}

bool IsRunningImage(const Machine& M, const std::string& Key) {
  if (M.In->Run != 0 && KeyOf(AbsolutePath(M, M.ModulePath)) == Key) return true;
  for (const auto& [Value, E] : M.In->Handles)
    if (E.Process && !E.Process->Ended && E.Process->FileKey == Key) return true;
  return false;
}

// ---- Machine set-up ----

void Machine::AddFolder(const std::string& Path) {
  std::string Absolute = AbsolutePath(*this, Path);
  std::string Parent = ParentOf(Absolute);
  if (!Parent.empty()) AddFolder(Parent);
  std::shared_ptr<Node>& Slot = In->Nodes[KeyOf(Absolute)];
  if (Slot && Slot->Folder) return;
  Slot = std::make_shared<Node>();
  Slot->Path = Absolute;
  Slot->Folder = true;
}

void Machine::AddFile(const std::string& Path, const Bytes& Data) {
  std::string Absolute = AbsolutePath(*this, Path);
  std::string Parent = ParentOf(Absolute);
  if (!Parent.empty()) AddFolder(Parent);
  std::shared_ptr<Node>& Slot = In->Nodes[KeyOf(Absolute)];
  Slot = std::make_shared<Node>();  // open handles keep the replaced node
  Slot->Path = Absolute;
  Slot->Data = Data;
}

void Machine::AddFile(const std::string& Path, const std::string& Data) { AddFile(Path, ToBytes(Data)); }

Node* Machine::Find(const std::string& Path) { return NodeOf(*this, Path).get(); }

const Node* Machine::Find(const std::string& Path) const { return NodeOf(*this, Path).get(); }

bool Machine::Exists(const std::string& Path) const { return Find(Path) != nullptr; }

bool Machine::IsFolder(const std::string& Path) const {
  const Node* N = Find(Path);
  return N && N->Folder;
}

Bytes Machine::FileData(const std::string& Path) const {
  const Node* N = Find(Path);
  return N && !N->Folder ? N->Data : Bytes();
}

void Machine::RemoveFile(const std::string& Path) {
  In->Nodes.erase(KeyOf(AbsolutePath(*this, Path)));
}

void Machine::SetVirtualSize(const std::string& Path, uint64_t Size) {
  if (Node* N = Find(Path)) N->VirtualSize = Size;
}

void Machine::SetReadOnly(const std::string& Path, bool ReadOnly) {
  if (Node* N = Find(Path)) N->ReadOnly = ReadOnly;
}

void Machine::SetFreeSpace(const std::string& Folder, uint64_t Bytes) {
  In->FreeSpace[KeyOf(AbsolutePath(*this, Folder))] = Bytes;
}

std::vector<std::string> Machine::FilesIn(const std::string& Folder) const {
  std::string Key = KeyOf(AbsolutePath(*this, Folder));
  std::vector<std::string> Result;
  for (const auto& [NodeKey, N] : In->Nodes)
    if (KeyOf(ParentOf(N->Path)) == Key) Result.push_back(N->Path);
  return Result;
}

HANDLE Machine::Hold(const std::string& Path, DWORD Access, DWORD Share) {
  std::shared_ptr<Node> N = NodeOf(*this, Path);
  if (!N || !SharingAllows(*this, N.get(), Access, Share)) return nullptr;
  HandleEntry E{HandleKind::File, N->Path, Access, Share, Holder::Other, N, 0, nullptr};
  return NewHandle(E);
}

void Machine::Release(HANDLE Held) { CloseEntry(Held); }

}  // namespace sim

using namespace sim;

// ---- Win32 ----

HANDLE WINAPI CreateFileA(LPCSTR FileName, DWORD Access, DWORD ShareMode, SECURITY_ATTRIBUTES*,
                          DWORD Disposition, DWORD, HANDLE) {
  Machine& M = Sim();
  if (Hit("CreateFileA")) return Fail(kErrorAccessDenied), INVALID_HANDLE_VALUE;
  if (!FileName) return Fail(kErrorInvalidParameter), INVALID_HANDLE_VALUE;
  std::string Name = FileName;
  std::string Absolute = AbsolutePath(M, Name);
  if (DWORD Error = BadName(Name, Absolute)) return Fail(Error), INVALID_HANDLE_VALUE;
  if (EndsWithSeparator(Name)) return Fail(kErrorInvalidName), INVALID_HANDLE_VALUE;
  if (Disposition < kCreateNew || Disposition > kTruncateExisting)
    return Fail(kErrorInvalidParameter), INVALID_HANDLE_VALUE;
  std::string Key = KeyOf(Absolute);
  std::shared_ptr<Node> N = NodeOf(M, Absolute);
  std::shared_ptr<Node> Parent = NodeOf(M, ParentOf(Absolute));
  bool Truncate = Disposition == CREATE_ALWAYS || Disposition == kTruncateExisting;
  if (N && N->Folder) return Fail(kErrorAccessDenied), INVALID_HANDLE_VALUE;
  if (!N) {
    if (!Parent || !Parent->Folder) return Fail(kErrorPathNotFound), INVALID_HANDLE_VALUE;
    if (Disposition == OPEN_EXISTING || Disposition == kTruncateExisting)
      return Fail(kErrorFileNotFound), INVALID_HANDLE_VALUE;
    if (Parent->ReadOnly) return Fail(kErrorAccessDenied), INVALID_HANDLE_VALUE;
    M.AddFile(Absolute, Bytes());
    N = NodeOf(M, Absolute);
  } else {
    if (Disposition == kCreateNew) return Fail(kErrorFileExists), INVALID_HANDLE_VALUE;
    DWORD Effective = Truncate ? (Access | GENERIC_WRITE) : Access;
    if (Writes(Effective) && N->ReadOnly) return Fail(kErrorAccessDenied), INVALID_HANDLE_VALUE;
    if (Writes(Effective) && IsRunningImage(M, Key)) return Fail(kErrorSharingViolation), INVALID_HANDLE_VALUE;
    if (!SharingAllows(M, N.get(), Effective, ShareMode)) return Fail(kErrorSharingViolation), INVALID_HANDLE_VALUE;
    if (Truncate) {
      GiveBackSpace(M, *N);
      N->Data.clear();
      N->VirtualSize = 0;
    }
  }
  HandleEntry E{HandleKind::File, N->Path, Access, ShareMode, Holder::Launcher, N, 0, nullptr};
  return NewHandle(E);
}

DWORD WINAPI SetFilePointer(HANDLE File, LONG Distance, LONG* DistanceHigh, DWORD Method) {
  constexpr DWORD kInvalid = 0xFFFFFFFFu;
  if (Hit("SetFilePointer")) return Fail(kErrorIoDevice), kInvalid;
  HandleEntry* E = FileHandle(File);
  if (!E) return kInvalid;
  int64_t Move = DistanceHigh ? int64_t((uint64_t(uint32_t(*DistanceHigh)) << 32) | uint32_t(Distance))
                              : int64_t(Distance);
  int64_t Base = 0;
  if (Method == kFileCurrent) Base = int64_t(E->Position);
  else if (Method == kFileEnd) Base = int64_t(SizeOf(*E->File));
  else if (Method != FILE_BEGIN) return Fail(kErrorInvalidParameter), kInvalid;
  int64_t Position = Base + Move;
  if (Position < 0) return Fail(kErrorNegativeSeek), kInvalid;
  if (!DistanceHigh && Position > 0xFFFFFFFELL) return Fail(kErrorInvalidParameter), kInvalid;
  E->Position = uint64_t(Position);
  if (DistanceHigh) *DistanceHigh = LONG(uint64_t(Position) >> 32);
  return DWORD(Position);
}

BOOL WINAPI ReadFile(HANDLE File, void* Buffer, DWORD ToRead, DWORD* Read, OVERLAPPED*) {
  const Fault* F = Hit("ReadFile");
  if (Read) *Read = 0;
  HandleEntry* E = FileHandle(File);
  if (!E) return FALSE;
  if (!Read || (!Buffer && ToRead)) return Misuse("ReadFile without buffer or count"), Fail(kErrorInvalidParameter), FALSE;
  if (!Reads(E->Access)) return Fail(kErrorAccessDenied), FALSE;
  uint64_t Size = SizeOf(*E->File);
  uint64_t Count = E->Position >= Size ? 0 : std::min<uint64_t>(ToRead, Size - E->Position);
  if (F) Count = std::min<uint64_t>(Count, F->ShortCount);
  const Bytes& Data = E->File->Data;
  uint8_t* Out = static_cast<uint8_t*>(Buffer);
  for (uint64_t I = 0; I < Count; ++I) {
    uint64_t At = E->Position + I;
    Out[I] = At < Data.size() ? Data[size_t(At)] : 0;
  }
  E->Position += Count;
  *Read = DWORD(Count);
  if (F) return Fail(kErrorIoDevice), FALSE;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE File, const void* Buffer, DWORD ToWrite, DWORD* Written, OVERLAPPED*) {
  Machine& M = Sim();
  const Fault* F = Hit("WriteFile");
  if (Written) *Written = 0;
  HandleEntry* E = FileHandle(File);
  if (!E) return FALSE;
  if (!Written || (!Buffer && ToWrite)) return Misuse("WriteFile without buffer or count"), Fail(kErrorInvalidParameter), FALSE;
  if (!Writes(E->Access)) return Fail(kErrorAccessDenied), FALSE;
  Node& N = *E->File;
  uint64_t Count = ToWrite;
  DWORD Error = 0;
  if (F) {
    Count = std::min<uint64_t>(Count, F->ShortCount);
    Error = kErrorIoDevice;
  }
  uint64_t* Left = FreeSpaceFor(M, KeyOf(N.Path));
  if (Left) {
    uint64_t Room = N.Data.size() + *Left;  // the furthest the file may reach
    uint64_t Limit = E->Position >= Room ? 0 : Room - E->Position;
    if (Count > Limit) {
      Count = Limit;
      Error = kErrorDiskFull;
    }
  }
  uint64_t End = E->Position + Count;
  if (Count > 0 && End > N.Data.size()) {
    if (Left) *Left -= End - N.Data.size();
    N.Data.resize(size_t(End), 0);
  }
  if (Count > 0) std::memcpy(N.Data.data() + E->Position, Buffer, size_t(Count));
  E->Position = End;
  *Written = DWORD(Count);
  if (Error) return Fail(Error), FALSE;
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE File, DWORD* SizeHigh) {
  if (Hit("GetFileSize")) return Fail(kErrorIoDevice), INVALID_FILE_SIZE;
  HandleEntry* E = FileHandle(File);
  if (!E) return INVALID_FILE_SIZE;
  uint64_t Size = SizeOf(*E->File);
  if (SizeHigh) *SizeHigh = DWORD(Size >> 32);
  return DWORD(Size);
}

BOOL WINAPI CloseHandle(HANDLE Object) {
  Count("CloseHandle");
  if (Object == INVALID_HANDLE_VALUE) {
    Misuse("CloseHandle on INVALID_HANDLE_VALUE (the current process pseudo handle)");
    return TRUE;
  }
  HandleEntry* E = FindHandle(Object);
  if (!E) return Misuse("CloseHandle on an unknown or closed handle"), Fail(kErrorInvalidHandle), FALSE;
  if (E->Kind == HandleKind::Key) return Misuse("CloseHandle on a registry key"), Fail(kErrorInvalidHandle), FALSE;
  if (E->Kind == HandleKind::Find) Misuse("CloseHandle on a find handle (FindClose closes it)");
  CloseEntry(Object);
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR FileName) {
  Machine& M = Sim();
  if (Hit("DeleteFileA")) return Fail(kErrorAccessDenied), FALSE;
  if (!FileName) return Fail(kErrorInvalidParameter), FALSE;
  std::string Absolute = AbsolutePath(M, FileName);
  if (DWORD Error = BadName(FileName, Absolute)) return Fail(Error), FALSE;
  std::shared_ptr<Node> N = NodeOf(M, Absolute);
  if (!N) return Fail(NodeOf(M, ParentOf(Absolute)) ? kErrorFileNotFound : kErrorPathNotFound), FALSE;
  if (N->Folder || N->ReadOnly || IsRunningImage(M, KeyOf(Absolute))) return Fail(kErrorAccessDenied), FALSE;
  if (!SharingAllows(M, N.get(), kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return Fail(kErrorSharingViolation), FALSE;
  GiveBackSpace(M, *N);
  M.In->Nodes.erase(KeyOf(Absolute));
  return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR FileName, WIN32_FIND_DATAA* FindData) {
  Machine& M = Sim();
  if (Hit("FindFirstFileA")) return Fail(kErrorAccessDenied), INVALID_HANDLE_VALUE;
  if (!FileName || !FindData) return Fail(kErrorInvalidParameter), INVALID_HANDLE_VALUE;
  std::string Name = FileName;
  std::string Absolute = AbsolutePath(M, Name);
  if (Name.empty() || EndsWithSeparator(Name) || ParentOf(Absolute).empty())
    return Fail(kErrorFileNotFound), INVALID_HANDLE_VALUE;
  if (DWORD Error = BadName(Name, Absolute)) return Fail(Error == kErrorInvalidName ? kErrorFileNotFound : Error), INVALID_HANDLE_VALUE;
  std::shared_ptr<Node> N = NodeOf(M, Absolute);
  if (!N) return Fail(NodeOf(M, ParentOf(Absolute)) ? kErrorFileNotFound : kErrorPathNotFound), INVALID_HANDLE_VALUE;
  std::memset(FindData, 0, sizeof(*FindData));
  FindData->dwFileAttributes = N->Folder ? kAttributeDirectory : FILE_ATTRIBUTE_NORMAL;
  uint64_t Size = N->Folder ? 0 : SizeOf(*N);
  FindData->nFileSizeHigh = DWORD(Size >> 32);
  FindData->nFileSizeLow = DWORD(Size);
  std::string Leaf = NameOf(N->Path);
  std::strncpy(FindData->cFileName, Leaf.c_str(), MAX_PATH - 1);
  HandleEntry E{HandleKind::Find, N->Path, 0, 0, Holder::Launcher, nullptr, 0, nullptr};
  return NewHandle(E);
}

BOOL WINAPI FindClose(HANDLE Find) {
  Count("FindClose");
  HandleEntry* E = FindHandle(Find);
  if (!E || E->Kind != HandleKind::Find) return Misuse("FindClose on a handle that is not a find handle"), Fail(kErrorInvalidHandle), FALSE;
  CloseEntry(Find);
  return TRUE;
}

DWORD WINAPI GetTempPathA(DWORD Length, LPSTR Buffer) {
  Machine& M = Sim();
  if (Hit("GetTempPathA") || M.TempPathFails) return Fail(kErrorAccessDenied), 0;
  DWORD Needed = DWORD(M.TempPath.size());
  if (!Buffer || Needed + 1 > Length) return Needed + 1;
  std::memcpy(Buffer, M.TempPath.c_str(), Needed + 1);
  return Needed;
}

UINT WINAPI GetSystemDirectoryA(LPSTR Buffer, UINT Size) {
  Machine& M = Sim();
  Count("GetSystemDirectoryA");
  UINT Needed = UINT(M.SystemFolder.size());
  if (!Buffer || Needed + 1 > Size) return Needed + 1;
  std::memcpy(Buffer, M.SystemFolder.c_str(), Needed + 1);
  return Needed;
}
