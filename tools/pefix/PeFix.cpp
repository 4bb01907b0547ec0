// pefix: the post-link step of launcher.exe.
//
//   pefix [--map MAP] INPUT OUTPUT
//
// GNU ld puts the PE header at file offset 128 and cannot be told otherwise, but a package
// builder writes its 24-byte locator at offset 128. pefix moves the PE
// signature, the file header, the optional header and the section table to offset 256, zeroes
// bytes 128 to 255, grows SizeOfHeaders by one FileAlignment (shifting every section's raw data
// by as much) when the headers no longer fit, and writes the PE checksum.
//
// With --map, it also points the load-configuration directory at the record _load_config_used,
// whose address it reads from the linker's map: binutils 2.40 keeps the record but leaves the
// directory empty. The directory's size is the record's own Size field (its first word).
//
// It understands exactly what the launcher's link produces and refuses everything else with
// one line on stderr and exit code 1: a file that is not a 32-bit x86 PE image, a COFF symbol
// table (link with -s), a certificate table, a debug directory or bound imports (they hold
// file offsets or header positions that a move would break), data hidden between the headers
// and the first section, or sections it cannot place; with --map, a map that names no
// _load_config_used, a record that does not lie in a section's file data, or a
// load-configuration directory that already points elsewhere.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "PeChecksum.h"

namespace {

const uint32_t NewLfanew = 256;
const uint32_t LocatorArea = 128;  // bytes LocatorArea..NewLfanew-1 end up zero

struct TFailure {
  std::string Reason;
};

[[noreturn]] void Fail(const std::string& Reason) { throw TFailure{Reason}; }

uint16_t Get16(const std::vector<uint8_t>& F, size_t At) {
  if (At + 2 > F.size()) Fail("truncated header");
  return uint16_t(F[At] | F[At + 1] << 8);
}

uint32_t Get32(const std::vector<uint8_t>& F, size_t At) {
  if (At + 4 > F.size()) Fail("truncated header");
  return F[At] | F[At + 1] << 8 | F[At + 2] << 16 | uint32_t(F[At + 3]) << 24;
}

void Put32(std::vector<uint8_t>& F, size_t At, uint32_t Value) {
  for (int I = 0; I < 4; ++I) F[At + I] = uint8_t(Value >> (8 * I));
}

bool AllZero(const std::vector<uint8_t>& F, size_t From, size_t To) {
  for (size_t I = From; I < To; ++I)
    if (F[I] != 0) return false;
  return true;
}

// Offsets inside the PE header block, counted from the "PE\0\0" signature.
const size_t FileHeaderAt = 4;
const size_t OptionalAt = 24;
const size_t SectionEntrySize = 40;
const uint32_t LoadConfigDir = 10;

// The address of _load_config_used in a GNU ld map: the line "0x0040b1a0  _load_config_used"
// (the map drops the leading underscore of i386 symbols; both spellings are accepted).
uint32_t LoadConfigAddress(const std::string& Map) {
  uint32_t Found = 0;
  size_t At = 0;
  while (At < Map.size()) {
    size_t End = Map.find('\n', At);
    if (End == std::string::npos) End = Map.size();
    std::string Line = Map.substr(At, End - At);
    At = End + 1;
    char Address[20], Name[64], Extra;
    if (sscanf(Line.c_str(), " %19s %63s %c", Address, Name, &Extra) != 2) continue;
    if (strcmp(Name, "_load_config_used") != 0 && strcmp(Name, "__load_config_used") != 0) continue;
    char* Rest;
    unsigned long long Va = strtoull(Address, &Rest, 16);
    if (strncmp(Address, "0x", 2) != 0 || *Rest || Va == 0 || Va > UINT32_MAX) continue;
    if (Found && Found != Va) Fail("the map gives _load_config_used two addresses");
    Found = uint32_t(Va);
  }
  if (!Found) Fail("the map names no _load_config_used");
  return Found;
}

// Points data directory 10 at the record at Va, whose first word is its size. Reads the moved
// headers, so it runs after the move and before the checksum.
void PointLoadConfig(std::vector<uint8_t>& F, uint32_t Va) {
  size_t Oh = NewLfanew + OptionalAt;
  uint16_t SectionCount = Get16(F, NewLfanew + FileHeaderAt + 2);
  uint16_t OptionalSize = Get16(F, NewLfanew + FileHeaderAt + 16);
  uint32_t ImageBase = Get32(F, Oh + 28);
  if (Get32(F, Oh + 92) <= LoadConfigDir) Fail("no room for a load-configuration directory");
  if (Va < ImageBase) Fail("_load_config_used lies below the image base");
  uint32_t Rva = Va - ImageBase;
  size_t St = Oh + OptionalSize;
  for (uint16_t I = 0; I < SectionCount; ++I) {
    size_t S = St + SectionEntrySize * I;
    uint32_t SectionVa = Get32(F, S + 12);
    uint32_t InFile = std::min(Get32(F, S + 8), Get32(F, S + 16));  // virtual vs raw size
    if (Rva < SectionVa || Rva - SectionVa >= InFile) continue;
    uint32_t Room = InFile - (Rva - SectionVa);
    if (Room < 4) break;
    uint32_t Size = Get32(F, Get32(F, S + 20) + (Rva - SectionVa));
    if (Size < 8 || Size > Room)
      Fail("load-configuration record of " + std::to_string(Size) +
           " bytes does not fit its section");
    size_t Entry = Oh + 96 + 8 * LoadConfigDir;
    uint32_t OldRva = Get32(F, Entry), OldSize = Get32(F, Entry + 4);
    if ((OldRva || OldSize) && (OldRva != Rva || OldSize != Size))
      Fail("the load-configuration directory already points elsewhere");
    Put32(F, Entry, Rva);
    Put32(F, Entry + 4, Size);
    return;
  }
  Fail("_load_config_used lies in no section's file data");
}

void FixLayout(std::vector<uint8_t>& F, uint32_t LoadConfigVa) {
  if (F.size() < 64 || F[0] != 'M' || F[1] != 'Z') Fail("not an MZ executable");
  uint32_t Lfanew = Get32(F, 60);
  if (Lfanew < 64 || Lfanew % 4 != 0) Fail("e_lfanew " + std::to_string(Lfanew) + " not understood");
  if (Lfanew > NewLfanew) Fail("e_lfanew " + std::to_string(Lfanew) + " is beyond 256");
  if (Get32(F, Lfanew) != 0x00004550u) Fail("no PE signature at e_lfanew");

  size_t Fh = Lfanew + FileHeaderAt;
  if (Get16(F, Fh) != 0x014C) Fail("machine is not i386");
  uint16_t SectionCount = Get16(F, Fh + 2);
  if (Get32(F, Fh + 8) != 0 || Get32(F, Fh + 12) != 0)
    Fail("COFF symbol table present (link with -s)");
  uint16_t OptionalSize = Get16(F, Fh + 16);

  size_t Oh = Lfanew + OptionalAt;
  if (Get16(F, Oh) != 0x010B) Fail("not a PE32 optional header");
  if (OptionalSize < 96) Fail("optional header too short");
  uint32_t SectionAlignment = Get32(F, Oh + 32);
  uint32_t FileAlignment = Get32(F, Oh + 36);
  uint32_t SizeOfHeaders = Get32(F, Oh + 60);
  uint32_t DirCount = Get32(F, Oh + 92);
  if (FileAlignment < 512 || FileAlignment > 65536 || (FileAlignment & (FileAlignment - 1)))
    Fail("FileAlignment " + std::to_string(FileAlignment) + " not understood");
  if (SectionAlignment < FileAlignment) Fail("SectionAlignment below FileAlignment");
  if (SizeOfHeaders % FileAlignment != 0 || SizeOfHeaders > F.size())
    Fail("SizeOfHeaders not understood");
  if (96 + 8 * size_t(DirCount) > OptionalSize) Fail("data directories overrun the optional header");

  // Directories that name file offsets or live inside the headers.
  auto Dir = [&](uint32_t Index, uint32_t& Rva, uint32_t& Size) {
    Rva = Size = 0;
    if (Index < DirCount) {
      Rva = Get32(F, Oh + 96 + 8 * Index);
      Size = Get32(F, Oh + 96 + 8 * Index + 4);
    }
  };
  uint32_t Rva, Size;
  Dir(4, Rva, Size);
  if (Rva || Size) Fail("certificate table present (sign after pefix)");
  Dir(6, Rva, Size);
  if (Rva || Size) Fail("debug directory present (link with -s)");
  Dir(11, Rva, Size);
  if (Rva || Size) Fail("bound import directory present");
  for (uint32_t I = 0; I < DirCount; ++I) {
    Dir(I, Rva, Size);
    if (Size != 0 && Rva < SizeOfHeaders)
      Fail("data directory " + std::to_string(I) + " lies inside the headers");
  }

  size_t BlockSize = OptionalAt + OptionalSize + SectionEntrySize * SectionCount;
  size_t OldEnd = Lfanew + BlockSize;
  size_t NewEnd = NewLfanew + BlockSize;
  if (OldEnd > SizeOfHeaders) Fail("section table overruns SizeOfHeaders");
  if (!AllZero(F, OldEnd, SizeOfHeaders)) Fail("unknown data between section table and sections");
  if (!AllZero(F, LocatorArea, Lfanew)) Fail("DOS stub reaches beyond offset 128");

  // Sections: raw data after the headers and inside the file; no object-file leftovers.
  size_t St = Lfanew + OptionalAt + OptionalSize;
  uint32_t LowestVa = UINT32_MAX;
  for (uint16_t I = 0; I < SectionCount; ++I) {
    size_t S = St + SectionEntrySize * I;
    uint32_t Va = Get32(F, S + 12);
    uint32_t RawSize = Get32(F, S + 16);
    uint32_t RawAt = Get32(F, S + 20);
    if (Get32(F, S + 24) || Get32(F, S + 28) || Get16(F, S + 32) || Get16(F, S + 34))
      Fail("section with relocations or line numbers");
    if (RawAt != 0 && (RawAt < SizeOfHeaders || uint64_t(RawAt) + RawSize > F.size()))
      Fail("section raw data outside the image");
    if (Va < LowestVa) LowestVa = Va;
  }

  uint32_t Grow = 0;
  if (NewEnd > SizeOfHeaders)
    Grow = uint32_t((NewEnd - SizeOfHeaders + FileAlignment - 1) / FileAlignment * FileAlignment);
  uint32_t NewSizeOfHeaders = SizeOfHeaders + Grow;
  if (SectionCount && NewSizeOfHeaders > LowestVa)
    Fail("headers would overlap the first section's address");

  // Move the block; the vacated bytes and the tail of the old block become zero.
  std::vector<uint8_t> Block(F.begin() + Lfanew, F.begin() + OldEnd);
  std::fill(F.begin() + LocatorArea, F.begin() + OldEnd, 0);
  if (Grow) F.insert(F.begin() + SizeOfHeaders, Grow, 0);
  std::copy(Block.begin(), Block.end(), F.begin() + NewLfanew);
  Put32(F, 60, NewLfanew);

  size_t NewOh = NewLfanew + OptionalAt;
  Put32(F, NewOh + 60, NewSizeOfHeaders);
  size_t NewSt = NewOh + OptionalSize;
  for (uint16_t I = 0; I < SectionCount; ++I) {
    size_t S = NewSt + SectionEntrySize * I;
    uint32_t RawAt = Get32(F, S + 20);
    if (RawAt) Put32(F, S + 20, RawAt + Grow);
  }
  if (LoadConfigVa) PointLoadConfig(F, LoadConfigVa);
  if (!pechecksum::UpdateChecksum(F)) Fail("checksum field not found");
}

bool ReadFile(const char* Path, std::vector<uint8_t>& Data) {
  FILE* File = fopen(Path, "rb");
  if (!File) return false;
  uint8_t Buffer[65536];
  size_t Got;
  while ((Got = fread(Buffer, 1, sizeof Buffer, File)) > 0) Data.insert(Data.end(), Buffer, Buffer + Got);
  bool Ok = !ferror(File);
  fclose(File);
  return Ok;
}

bool WriteFile(const std::string& Path, const std::vector<uint8_t>& Data) {
  FILE* File = fopen(Path.c_str(), "wb");
  if (!File) return false;
  bool Ok = fwrite(Data.data(), 1, Data.size(), File) == Data.size();
  return fclose(File) == 0 && Ok;
}

}  // namespace

int main(int argc, char** argv) {
  const char* MapPath = nullptr;
  if (argc == 5 && strcmp(argv[1], "--map") == 0) {
    MapPath = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc != 3) {
    fprintf(stderr, "usage: pefix [--map MAP] INPUT OUTPUT\n");
    return 2;
  }
  const char* Input = argv[1];
  const char* Output = argv[2];
  std::vector<uint8_t> File, Map;
  if (!ReadFile(Input, File)) {
    fprintf(stderr, "pefix: %s: cannot read: %s\n", Input, strerror(errno));
    return 1;
  }
  if (MapPath && !ReadFile(MapPath, Map)) {
    fprintf(stderr, "pefix: %s: cannot read: %s\n", MapPath, strerror(errno));
    return 1;
  }
  const char* Failing = MapPath;
  try {
    uint32_t LoadConfigVa = MapPath ? LoadConfigAddress(std::string(Map.begin(), Map.end())) : 0;
    Failing = Input;
    FixLayout(File, LoadConfigVa);
  } catch (const TFailure& Failure) {
    fprintf(stderr, "pefix: %s: %s\n", Failing, Failure.Reason.c_str());
    return 1;
  }
  std::string Temporary = std::string(Output) + ".tmp";
  if (!WriteFile(Temporary, File) || rename(Temporary.c_str(), Output) != 0) {
    fprintf(stderr, "pefix: %s: cannot write\n", Output);
    remove(Temporary.c_str());
    return 1;
  }
  return 0;
}
