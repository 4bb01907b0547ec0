// Internals shared by the files of the simulated Windows; not for tests.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/sim/SimWindows.h"

namespace sim {

// A simulated process started by CreateProcessA or ShellExecuteExA.
struct SimProcess {
  std::string FileKey;  // key of the started file (locked as a running image until it ends)
  size_t StartIndex;    // index into Machine::Starts
  bool Ended = false;
};

// One entry of the handle table.
struct HandleEntry {
  HandleKind Kind;
  std::string Path;            // display path
  DWORD Access = 0;
  DWORD Share = 0;
  Holder Owner = Holder::Launcher;
  std::shared_ptr<Node> File;  // File: the node, kept alive after a delete
  uint64_t Position = 0;       // File: the file pointer
  std::shared_ptr<SimProcess> Process;  // Process, Thread
};

struct HeapBlock {
  size_t Size;
  int Run;  // the run that allocated it (0: outside any run)
};

struct Machine::Impl {
  std::map<std::string, std::shared_ptr<Node>> Nodes;  // by key
  std::map<uintptr_t, HandleEntry> Handles;
  uintptr_t NextHandle = 0x100;
  std::map<std::string, uint64_t> FreeSpace;  // folder key -> bytes left
  std::map<void*, HeapBlock> Heap;
  std::set<void*> Sids;
  int Run = 0;         // the run in progress (0: none)
  int RunCounter = 0;  // runs started so far
  bool InEngine = false;
  bool MprLoaded = false;
};

// ---- Paths (paths.cpp) ----
// The absolute form of a Windows path: '/' read as '\', relative paths taken from
// CurrentDirectory, "." and ".." resolved, no trailing backslash except on a drive root.
std::string AbsolutePath(const Machine& M, const std::string& Path);
std::string KeyOf(const std::string& Absolute);    // upper-cases a to z
std::string ParentOf(const std::string& Absolute);  // empty for a root
std::string NameOf(const std::string& Absolute);    // the last component
size_t LastSeparator(const std::string& Path);      // the last '\\' or '/' that is a character of its own
bool EndsWithSeparator(const std::string& Path);    // the last character is '\' or '/'
bool SameAscii(const std::string& A, const std::string& B);  // equal ignoring the case of a..z
std::string Lower(std::string Text);                // lower-cases A..Z

// ---- Code pages (codepage.cpp) ----
bool IsLeadByte(UINT CodePage, uint8_t Byte);       // the first byte of a double-byte character

// ---- Calls and faults (machine.cpp) ----
UINT CurrentCodePage();                            // the current machine's ANSI code page (1252 while none exists)
void Count(const char* Operation);                 // counts a call
const Fault* Hit(const char* Operation);           // counts a call; the fault when this call fails
void Misuse(const std::string& What);              // records an API misuse
HANDLE NewHandle(HandleEntry Entry);               // enters a handle in the table
HandleEntry* FindHandle(HANDLE Value);             // null when unknown
void CloseEntry(HANDLE Value);                     // removes a handle, with its side effects

// ---- Files (files.cpp) ----
bool SharingAllows(const Machine& M, const Node* File, DWORD Access, DWORD Share);
bool IsRunningImage(const Machine& M, const std::string& Key);
std::shared_ptr<Node> NodeOf(const Machine& M, const std::string& Path);

// ---- Processes (process.cpp) ----
void EndEngine(Machine& M, SimProcess& Process);  // the engine ends: its handles close

}  // namespace sim
