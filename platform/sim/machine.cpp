// The current machine, runs, call counting, faults and the handle table.
#include <cstdlib>

#include "platform/sim/SimInternal.h"

namespace sim {

namespace {

std::unique_ptr<Machine> Current;

RegValue Text(const char* Value) {
  RegValue V;
  V.Data = ToBytes(Value);
  V.Data.push_back(0);
  return V;
}

HandleInfo InfoOf(uintptr_t Value, const HandleEntry& E) {
  return HandleInfo{reinterpret_cast<HANDLE>(Value), E.Kind, E.Path, E.Access, E.Share, E.Owner};
}

// The process end: what Windows does when the launcher's process goes away.
void EndRun(Machine& M) {
  Machine::Impl& In = *M.In;
  M.OpenHandlesAtExit = M.OpenHandles();
  std::vector<uintptr_t> ToClose;
  for (auto& [Value, E] : In.Handles) {
    if (E.Owner != Holder::Other) ToClose.push_back(Value);
    if (E.Process && !E.Process->Ended) E.Process->Ended = true;
  }
  for (uintptr_t Value : ToClose) CloseEntry(reinterpret_cast<HANDLE>(Value));
  M.HeapBytesAtExit = M.HeapBytes;
  M.HeapBlocksAtExit = M.HeapBlocks;
  for (auto It = In.Heap.begin(); It != In.Heap.end();) {
    if (It->second.Run == In.Run) {
      M.HeapBytes -= It->second.Size;
      --M.HeapBlocks;
      std::free(It->first);
      It = In.Heap.erase(It);
    } else {
      ++It;
    }
  }
  for (void* Sid : In.Sids) delete[] static_cast<uint8_t*>(Sid);
  In.Sids.clear();
  In.MprLoaded = false;
  In.InEngine = false;
  In.Run = 0;
}

}  // namespace

Machine::Machine() : In(new Impl) {
  RegistryValues["CurrentBuild"] = Text("19045");
  RegistryValues["CurrentBuildNumber"] = Text("19045");
  RegistryValues["DisplayVersion"] = Text("22H2");
  RegistryValues["ReleaseId"] = Text("2009");
  RegistryValues["ProductName"] = Text("Windows 10 Pro");
  AddFolder(ParentOf(ModulePath));
  AddFolder(TempPath);
  AddFolder(SystemFolder);
  AddFolder(CurrentDirectory);
}

Machine::~Machine() {
  for (auto& [Memory, Block] : In->Heap) std::free(Memory);
  for (void* Sid : In->Sids) delete[] static_cast<uint8_t*>(Sid);
}

void Machine::FailNth(const std::string& Operation, uint64_t Nth, bool Persistent,
                      DWORD ShortCount) {
  Faults[Operation] = Fault{Nth, Persistent, ShortCount};
}

std::vector<HandleInfo> Machine::OpenHandles() const {
  std::vector<HandleInfo> Result;
  for (const auto& [Value, E] : In->Handles)
    if (E.Owner == Holder::Launcher) Result.push_back(InfoOf(Value, E));
  return Result;
}

std::vector<HandleInfo> Machine::AllHandles() const {
  std::vector<HandleInfo> Result;
  for (const auto& [Value, E] : In->Handles) Result.push_back(InfoOf(Value, E));
  return Result;
}

bool Machine::HandleOpenOn(const std::string& Path) const {
  std::string Key = KeyOf(AbsolutePath(*this, Path));
  for (const auto& [Value, E] : In->Handles)
    if (E.Owner == Holder::Launcher && KeyOf(E.Path) == Key) return true;
  return false;
}

void Machine::ResetHeapPeak() { PeakHeapBytes = HeapBytes; }

Machine& Sim() {
  if (!Current) Current.reset(new Machine);
  return *Current;
}

void ResetSim() {
  Current.reset();
  Current.reset(new Machine);
}

uint32_t RunInSim(const std::function<void()>& Body) {
  Machine& M = Sim();
  M.In->Run = ++M.In->RunCounter;
  M.ExitCode.reset();
  uint32_t Result = kNoExit;
  try {
    Body();
  } catch (const ProcessExit& Exit) {
    Result = Exit.Code;
  } catch (...) {
    EndRun(M);
    throw;
  }
  EndRun(M);
  return Result;
}

UINT CurrentCodePage() { return Current ? Current->AnsiCodePage : 1252; }

void Count(const char* Operation) { ++Sim().Calls[Operation]; }

const Fault* Hit(const char* Operation) {
  Machine& M = Sim();
  uint64_t N = ++M.Calls[Operation];
  auto It = M.Faults.find(Operation);
  if (It == M.Faults.end() || It->second.Nth == 0) return nullptr;
  const Fault& F = It->second;
  if (N == F.Nth || (F.Persistent && N > F.Nth)) return &F;
  return nullptr;
}

void Misuse(const std::string& What) { Sim().Misuses.push_back(What); }

HANDLE NewHandle(HandleEntry Entry) {
  Machine::Impl& In = *Sim().In;
  uintptr_t Value = In.NextHandle;
  In.NextHandle += 4;
  if (In.InEngine && Entry.Owner == Holder::Launcher) Entry.Owner = Holder::Engine;
  In.Handles.emplace(Value, std::move(Entry));
  return reinterpret_cast<HANDLE>(Value);
}

HandleEntry* FindHandle(HANDLE Value) {
  Machine::Impl& In = *Sim().In;
  auto It = In.Handles.find(reinterpret_cast<uintptr_t>(Value));
  return It == In.Handles.end() ? nullptr : &It->second;
}

void CloseEntry(HANDLE Value) {
  Machine& M = Sim();
  auto It = M.In->Handles.find(reinterpret_cast<uintptr_t>(Value));
  if (It == M.In->Handles.end()) return;
  if (It->second.Kind == HandleKind::Key) --M.RegKeysOpen;
  M.In->Handles.erase(It);
}

Bytes ToBytes(const std::string& Text) { return Bytes(Text.begin(), Text.end()); }

std::string ToText(const Bytes& Data) { return std::string(Data.begin(), Data.end()); }

std::u16string Utf16(const std::string& Utf8) {
  std::u16string Out;
  for (size_t I = 0; I < Utf8.size();) {
    uint8_t B = uint8_t(Utf8[I]);
    uint32_t Code = B;
    size_t Len = 1;
    if (B >= 0xF0) {
      Code = B & 0x07;
      Len = 4;
    } else if (B >= 0xE0) {
      Code = B & 0x0F;
      Len = 3;
    } else if (B >= 0xC0) {
      Code = B & 0x1F;
      Len = 2;
    }
    for (size_t K = 1; K < Len && I + K < Utf8.size(); ++K) Code = (Code << 6) | (uint8_t(Utf8[I + K]) & 0x3F);
    I += Len;
    if (Code >= 0x10000) {
      Code -= 0x10000;
      Out += char16_t(0xD800 + (Code >> 10));
      Out += char16_t(0xDC00 + (Code & 0x3FF));
    } else {
      Out += char16_t(Code);
    }
  }
  return Out;
}

}  // namespace sim
