#include "tools/ravelpack/FileIo.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/ravelpack/ToolError.h"

TBytes ReadWholeFile(const std::string& Path, const std::string& What, uint64_t MaxSize) {
  int Fd = open(Path.c_str(), O_RDONLY);
  if (Fd < 0) Refuse("cannot read " + What + " '" + Path + "': " + strerror(errno));
  struct stat Info;
  if (fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
    close(Fd);
    Refuse("cannot read " + What + " '" + Path + "': not a regular file");
  }
  if (uint64_t(Info.st_size) >= MaxSize) {
    close(Fd);
    Refuse(What + " '" + Path + "' is too large: " + std::to_string(Info.st_size) +
           " bytes, the limit is below " + std::to_string(MaxSize));
  }
  TBytes Data(size_t(Info.st_size));
  size_t Done = 0;
  while (Done < Data.size()) {
    ssize_t Got = read(Fd, Data.data() + Done, Data.size() - Done);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) {
      int Error = Got < 0 ? errno : EIO;
      close(Fd);
      Refuse("cannot read " + What + " '" + Path + "': " + strerror(Error));
    }
    Done += size_t(Got);
  }
  close(Fd);
  return Data;
}

namespace {

std::string FolderOf(const std::string& Path) {
  size_t Slash = Path.rfind('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : Path.substr(0, Slash);
}

bool WriteAll(int Fd, const TBytes& Data) {
  size_t Done = 0;
  while (Done < Data.size()) {
    ssize_t Put = write(Fd, Data.data() + Done, Data.size() - Done);
    if (Put < 0 && errno == EINTR) continue;
    if (Put <= 0) return false;
    Done += size_t(Put);
  }
  return true;
}

}  // namespace

void WriteFileAtomically(const std::string& Path, const TBytes& Data) {
  // The temporary file lives in the output folder so that the rename cannot cross file
  // systems; a rename is atomic, so readers see either no file or the complete one.
  std::string Temporary = FolderOf(Path) + "/.ravelpack-XXXXXX";
  int Fd = mkstemp(&Temporary[0]);
  if (Fd < 0) Refuse("cannot create a file in '" + FolderOf(Path) + "': " + strerror(errno));
  bool Written = WriteAll(Fd, Data);
  int Error = errno;
  fchmod(Fd, 0755);  // a package is an executable
  if (close(Fd) != 0 && Written) {
    Written = false;
    Error = errno;
  }
  if (!Written) {
    unlink(Temporary.c_str());
    Refuse("cannot write '" + Path + "': " + strerror(Error));
  }
  if (rename(Temporary.c_str(), Path.c_str()) != 0) {
    Error = errno;
    unlink(Temporary.c_str());
    Refuse("cannot write '" + Path + "': " + strerror(Error));
  }
}
