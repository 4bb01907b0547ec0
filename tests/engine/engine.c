/* The test engine: a stand-in for a real setup engine that writes down what the launcher handed
 * it, so an end-to-end test can check the command line, the folder and the state of the package
 * file from inside the started process.
 *
 * Environment (inherited from the launcher, which inherits it from the test):
 *   RAVELKIT_ENGINE_REPORT     file to append the report to (nothing is written without it)
 *   RAVELKIT_ENGINE_SLEEP_MS   milliseconds to wait before ending (default 0)
 *   RAVELKIT_ENGINE_EXIT_CODE  exit code, unsigned decimal (default 0)
 *
 * It records its command line, current folder, own path, whether its own file opens for reading,
 * the package path (its first argument) and whether the package opens with no sharing, WOW64,
 * and the Windows version and service pack it is told (its manifest declares Windows 10 and 11).
 *
 * The report is appended, so several runs into one file stay apart. Each run writes one block of
 * lines "<key> <value>" at its start, in a single write, and one line "ended ..." when it ends.
 * Values are the bytes the ANSI functions return; "%" and bytes outside 0x20..0x7E are written as
 * %HH, so the file stays readable and still gives back every byte.
 *
 * Kernel32 only and no C run-time library: the program stays a few KB, is built byte-identical
 * from the same source (packages compress it), and runs on every Windows the launcher supports.
 * ENGINE_VARIANT names the build ("32" or "64"), so a test sees which payload a launcher chose. */
#include <windows.h>

#ifndef ENGINE_VARIANT
#define ENGINE_VARIANT "32"
#endif

typedef struct {
  char data[8192];
  DWORD len;
} Text;

static void Add(Text* t, const char* s, DWORD n) {
  for (DWORD i = 0; i < n && t->len < sizeof t->data; i++) t->data[t->len++] = s[i];
}

static void AddStr(Text* t, const char* s) {
  Add(t, s, lstrlenA(s));
}

static void AddNum(Text* t, DWORD v) {
  char digits[12];
  int n = 0;
  do digits[n++] = (char)('0' + v % 10), v /= 10;
  while (v);
  while (n) Add(t, &digits[--n], 1);
}

static void AddEscaped(Text* t, const char* s, DWORD n) {
  static const char hex[] = "0123456789ABCDEF";
  for (DWORD i = 0; i < n; i++) {
    unsigned char c = (unsigned char)s[i];
    if (c < 0x20 || c > 0x7E || c == '%') {
      char e[3] = {'%', hex[c >> 4], hex[c & 15]};
      Add(t, e, 3);
    } else {
      Add(t, (const char*)&c, 1);
    }
  }
}

static void AddLine(Text* t, const char* key, const char* value, DWORD n) {
  AddStr(t, key);
  Add(t, " ", 1);
  AddEscaped(t, value, n);
  Add(t, "\n", 1);
}

/* "yes", or "no <error code>". */
static void AddResult(Text* t, const char* key, BOOL ok, DWORD error) {
  AddStr(t, key);
  AddStr(t, ok ? " yes" : " no ");
  if (!ok) AddNum(t, error);
  Add(t, "\n", 1);
}

static DWORD EnvNumber(const char* name, DWORD fallback) {
  char s[32];
  DWORD n = GetEnvironmentVariableA(name, s, sizeof s), v = 0;
  if (n == 0 || n >= sizeof s) return fallback;
  for (DWORD i = 0; i < n && s[i] >= '0' && s[i] <= '9'; i++) v = v * 10 + (DWORD)(s[i] - '0');
  return v;
}

/* The first argument after the program name, quotes removed: the launcher passes the package
 * path there, always quoted. */
static DWORD FirstArgument(const char* cmd, char* out, DWORD size) {
  const char* p = cmd;
  DWORD n = 0;
  for (int token = 0; token < 2; token++) {
    int quoted = 0;
    n = 0;
    while (*p == ' ' || *p == '\t') p++;
    while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
      if (*p == '"')
        quoted = !quoted;
      else if (n + 1 < size)
        out[n++] = *p;
      p++;
    }
  }
  out[n] = 0;
  return n;
}

static BOOL CanOpen(const char* path, DWORD access, DWORD share, DWORD* error) {
  HANDLE h = CreateFileA(path, access, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  *error = GetLastError();
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  CloseHandle(h);
  return TRUE;
}

static void Append(const Text* t) {
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("RAVELKIT_ENGINE_REPORT", path, sizeof path), written;
  if (n == 0 || n >= sizeof path) return;
  HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  SetFilePointer(h, 0, NULL, FILE_END);
  WriteFile(h, t->data, t->len, &written, NULL);
  CloseHandle(h);
}

static void Report(void) {
  static Text t;
  char buf[MAX_PATH + 1];
  DWORD n, error = 0;

  AddStr(&t, "started pid=");
  AddNum(&t, GetCurrentProcessId());
  AddStr(&t, " variant=" ENGINE_VARIANT "\n");

  const char* cmd = GetCommandLineA();
  AddLine(&t, "cmdline", cmd, lstrlenA(cmd));
  n = GetCurrentDirectoryA(sizeof buf, buf);
  AddLine(&t, "cwd", buf, n < sizeof buf ? n : 0);
  n = GetModuleFileNameA(NULL, buf, sizeof buf);
  AddLine(&t, "module", buf, n < sizeof buf ? n : 0);
  BOOL ok = CanOpen(buf, GENERIC_READ, FILE_SHARE_READ, &error);
  AddResult(&t, "self_readable", ok, error);

  n = FirstArgument(cmd, buf, sizeof buf);
  AddLine(&t, "package", buf, n);
  /* Opened with no sharing, the file refuses while anyone else holds a handle on it. Reading,
   * not writing: Wine refuses every write to the file of a running program (its image), so only
   * a read tells whether the launcher still holds its own file open. */
  ok = n && CanOpen(buf, GENERIC_READ, 0, &error);
  AddResult(&t, "package_exclusive", ok, n ? error : 0);

  typedef BOOL(WINAPI * IsWow64Fn)(HANDLE, PBOOL);
  IsWow64Fn is_wow64 =
      (IsWow64Fn)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process");
  BOOL wow64 = FALSE;
  AddStr(&t, "wow64 ");
  AddStr(&t, !is_wow64                                ? "unknown\n"
             : !is_wow64(GetCurrentProcess(), &wow64) ? "failed\n"
             : wow64                                  ? "yes\n"
                                                      : "no\n");

  /* The extended record first (it carries the service pack); Windows 95 knows only the basic. */
  OSVERSIONINFOEXA v;
  for (DWORD i = 0; i < sizeof v; i++) ((char*)&v)[i] = 0;
  v.dwOSVersionInfoSize = sizeof v;
  BOOL extended = GetVersionExA((OSVERSIONINFOA*)&v);
  if (!extended) {
    v.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    ok = GetVersionExA((OSVERSIONINFOA*)&v);
  }
  if (extended || ok) {
    AddStr(&t, "version ");
    AddNum(&t, v.dwMajorVersion);
    AddStr(&t, ".");
    AddNum(&t, v.dwMinorVersion);
    AddStr(&t, ".");
    AddNum(&t, v.dwBuildNumber & 0xFFFF);
    AddStr(&t, " platform=");
    AddNum(&t, v.dwPlatformId);
    if (extended) {
      AddStr(&t, " sp=");
      AddNum(&t, v.wServicePackMajor);
    }
    AddStr(&t, "\n");
  }
  Append(&t);
}

void __stdcall EngineMain(void) {
  Report();
  Sleep(EnvNumber("RAVELKIT_ENGINE_SLEEP_MS", 0));

  static Text t;
  DWORD code = EnvNumber("RAVELKIT_ENGINE_EXIT_CODE", 0);
  AddStr(&t, "ended pid=");
  AddNum(&t, GetCurrentProcessId());
  AddStr(&t, " exit=");
  AddNum(&t, code);
  AddStr(&t, "\n");
  Append(&t);
  ExitProcess(code);
}
