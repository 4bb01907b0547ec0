/* The watcher: runs a program under Wine the way a user would meet it, and writes down every
 * message box the program (or anything it starts) shows, then answers it.
 *
 *   watcher.exe [options] <report file> [<program> [arguments...]]
 *
 * Options:
 *   --timeout MS       overall limit; when it passes, every process of the run is killed (60000)
 *   --cmdline-hex HEX  the program's command line, exactly, as hex of its UTF-8 bytes; without it
 *                      the command line is the rest of the watcher's own command line, verbatim
 *   --app PATH         the program file, when the command line should name something else
 *   --cwd DIR          the program's current directory (default: the watcher's)
 *   --after-exit MODE  "wait" (default): once the program has ended, keep watching what it left
 *                      running until that ends too; "kill": end it at once
 *
 * The program runs inside a job object, so every process it starts is watched as well. The report
 * is one JSON object per line, appended as things happen so a run cut short still says how far it
 * got; the last line is {"event":"end"}. Texts are UTF-8; the *_ansi_hex fields hold the bytes the
 * ANSI entry points return, for checks that must be byte-exact in the system code page.
 *
 * With no display Wine lets MessageBox return at once and loses its text; with Wine's null graphics
 * driver the box exists as a real window (nobody can see it), which is what this program looks
 * for. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#define MAX_TRACKED 64
#define POLL_MS 10

static HANDLE g_report = INVALID_HANDLE_VALUE;
static DWORD g_start_tick;

/* ---- report writing ---------------------------------------------------------------------- */

typedef struct {
  char* data;
  size_t len, cap;
} Buf;

static void BufAdd(Buf* b, const char* s, size_t n) {
  if (b->len + n + 1 > b->cap) {
    size_t cap = b->cap ? b->cap : 256;
    while (cap < b->len + n + 1) cap *= 2;
    b->data = (char*)realloc(b->data, cap);
    b->cap = cap;
  }
  memcpy(b->data + b->len, s, n);
  b->len += n;
  b->data[b->len] = 0;
}

static void BufStr(Buf* b, const char* s) {
  BufAdd(b, s, strlen(s));
}

static void BufFmt(Buf* b, const char* fmt, unsigned long long v) {
  char t[64];
  snprintf(t, sizeof t, fmt, v);
  BufStr(b, t);
}

/* A JSON string from UTF-8 bytes: quotes, backslashes and control characters escaped. */
static void BufJsonUtf8(Buf* b, const char* s, size_t n) {
  BufAdd(b, "\"", 1);
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)s[i];
    if (c == '"' || c == '\\') {
      char e[2] = {'\\', (char)c};
      BufAdd(b, e, 2);
    } else if (c < 0x20) {
      char e[8];
      snprintf(e, sizeof e, "\\u%04x", c);
      BufStr(b, e);
    } else {
      BufAdd(b, (const char*)&c, 1);
    }
  }
  BufAdd(b, "\"", 1);
}

static void BufJsonWide(Buf* b, const WCHAR* s, int n) {
  int len = n ? WideCharToMultiByte(CP_UTF8, 0, s, n, NULL, 0, NULL, NULL) : 0;
  char* u = (char*)malloc(len + 1);
  if (len) WideCharToMultiByte(CP_UTF8, 0, s, n, u, len, NULL, NULL);
  BufJsonUtf8(b, u, len);
  free(u);
}

static void BufHex(Buf* b, const char* s, size_t n) {
  static const char digits[] = "0123456789abcdef";
  BufAdd(b, "\"", 1);
  for (size_t i = 0; i < n; i++) {
    char h[2] = {digits[(unsigned char)s[i] >> 4], digits[s[i] & 15]};
    BufAdd(b, h, 2);
  }
  BufAdd(b, "\"", 1);
}

static void BufKey(Buf* b, const char* key) {
  BufStr(b, ",\"");
  BufStr(b, key);
  BufStr(b, "\":");
}

static void EventBegin(Buf* b, const char* name) {
  b->len = 0;
  BufStr(b, "{\"event\":\"");
  BufStr(b, name);
  BufStr(b, "\"");
  BufKey(b, "t_ms");
  BufFmt(b, "%llu", GetTickCount() - g_start_tick);
}

static void EventEnd(Buf* b) {
  DWORD written;
  BufStr(b, "}\n");
  if (g_report != INVALID_HANDLE_VALUE) {
    WriteFile(g_report, b->data, (DWORD)b->len, &written, NULL);
    FlushFileBuffers(g_report);
  }
}

/* ---- the processes of the job ------------------------------------------------------------- */

typedef struct {
  DWORD pid;
  HANDLE handle; /* NULL when the process could not be opened */
  WCHAR image[MAX_PATH];
  int exit_reported;
} Tracked;

static Tracked g_tracked[MAX_TRACKED];
static int g_tracked_count;

static int JobPids(HANDLE job, DWORD* pids, int max) {
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[MAX_TRACKED];
  } info;
  memset(&info, 0, sizeof info);
  if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &info, sizeof info, NULL))
    return -1;
  int n = (int)info.list.NumberOfProcessIdsInList;
  if (n > max) n = max;
  for (int i = 0; i < n; i++) pids[i] = (DWORD)info.list.ProcessIdList[i];
  return n;
}

static Tracked* FindTracked(DWORD pid) {
  for (int i = 0; i < g_tracked_count; i++)
    if (g_tracked[i].pid == pid) return &g_tracked[i];
  return NULL;
}

static Tracked* Track(DWORD pid, HANDLE handle) {
  Tracked* t = FindTracked(pid);
  if (t || g_tracked_count == MAX_TRACKED) return t;
  t = &g_tracked[g_tracked_count++];
  memset(t, 0, sizeof *t);
  t->pid = pid;
  t->handle =
      handle ? handle : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  DWORD size = MAX_PATH;
  if (!t->handle || !QueryFullProcessImageNameW(t->handle, 0, t->image, &size)) t->image[0] = 0;
  return t;
}

/* Opens a handle on every process of the job not seen yet, so its exit code stays readable. */
static void TrackJob(HANDLE job) {
  DWORD pids[MAX_TRACKED];
  int n = JobPids(job, pids, MAX_TRACKED);
  for (int i = 0; i < n; i++) Track(pids[i], NULL);
}

static int IsJobPid(HANDLE job, DWORD pid) {
  if (FindTracked(pid)) return 1;
  DWORD pids[MAX_TRACKED];
  int n = JobPids(job, pids, MAX_TRACKED);
  for (int i = 0; i < n; i++)
    if (pids[i] == pid) return 1;
  return 0;
}

static void BufProcesses(Buf* b, HANDLE job, DWORD except_pid) {
  DWORD pids[MAX_TRACKED];
  int n = JobPids(job, pids, MAX_TRACKED), first = 1;
  BufStr(b, "[");
  for (int i = 0; i < n; i++) {
    if (pids[i] == except_pid) continue;
    Tracked* t = Track(pids[i], NULL);
    if (t && t->handle && WaitForSingleObject(t->handle, 0) == WAIT_OBJECT_0) continue;
    BufStr(b, first ? "{\"pid\":" : ",{\"pid\":");
    first = 0;
    BufFmt(b, "%llu", pids[i]);
    BufKey(b, "image");
    BufJsonWide(b, t ? t->image : L"", t ? (int)wcslen(t->image) : 0);
    BufStr(b, "}");
  }
  BufStr(b, "]");
}

static void ReportExits(Buf* b, HANDLE job) {
  for (int i = 0; i < g_tracked_count; i++) {
    Tracked* t = &g_tracked[i];
    DWORD code;
    if (t->exit_reported || !t->handle || WaitForSingleObject(t->handle, 0) != WAIT_OBJECT_0)
      continue;
    t->exit_reported = 1;
    GetExitCodeProcess(t->handle, &code);
    EventBegin(b, "exit");
    BufKey(b, "pid");
    BufFmt(b, "%llu", t->pid);
    BufKey(b, "main");
    BufStr(b, i == 0 ? "true" : "false");
    BufKey(b, "image");
    BufJsonWide(b, t->image, (int)wcslen(t->image));
    BufKey(b, "code");
    BufFmt(b, "%llu", code);
    BufKey(b, "others_running");
    BufProcesses(b, job, t->pid);
    EventEnd(b);
  }
}

/* ---- message boxes ------------------------------------------------------------------------ */

static WCHAR* WindowTextW(HWND hwnd, int* len) {
  int n = (int)SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
  WCHAR* s = (WCHAR*)calloc(n + 2, sizeof(WCHAR));
  *len = (int)SendMessageW(hwnd, WM_GETTEXT, n + 1, (LPARAM)s);
  return s;
}

static char* WindowTextA(HWND hwnd, int* len) {
  int n = (int)SendMessageA(hwnd, WM_GETTEXTLENGTH, 0, 0);
  char* s = (char*)calloc(n + 2, 1);
  *len = (int)SendMessageA(hwnd, WM_GETTEXT, n + 1, (LPARAM)s);
  return s;
}

static void BufWindowText(Buf* b, const char* key, HWND hwnd) {
  int n;
  WCHAR* w = hwnd ? WindowTextW(hwnd, &n) : NULL;
  BufKey(b, key);
  BufJsonWide(b, w, w ? n : 0);
  free(w);
  char* a = hwnd ? WindowTextA(hwnd, &n) : NULL;
  char hex_key[64];
  snprintf(hex_key, sizeof hex_key, "%s_ansi_hex", key);
  BufKey(b, hex_key);
  BufHex(b, a, a ? n : 0);
  free(a);
}

static int ClassIs(HWND hwnd, const WCHAR* name) {
  WCHAR cls[64];
  return GetClassNameW(hwnd, cls, 64) && lstrcmpiW(cls, name) == 0;
}

typedef struct {
  HWND text; /* the static control that holds the message */
  HWND icon; /* the static control that holds the icon */
  HWND buttons[8];
  int button_count;
} BoxParts;

static BOOL CALLBACK CollectPart(HWND child, LPARAM param) {
  BoxParts* parts = (BoxParts*)param;
  if (!IsWindowVisible(child)) return TRUE;
  if (ClassIs(child, L"Button")) {
    if (parts->button_count < 8) parts->buttons[parts->button_count++] = child;
  } else if (ClassIs(child, L"Static")) {
    LONG style = GetWindowLongW(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON)
      parts->icon = child;
    else if (GetDlgCtrlID(child) == 0xFFFF || !parts->text)
      parts->text = child;
  }
  return TRUE;
}

/* Which standard icon a box shows. On Windows the standard icons are shared, so the handle the
 * box holds equals the one this process loads. Wine keeps icons per process and cannot show one
 * process's icon to another: there a box with an icon reads "present", and the flags the program
 * passed are read from Wine's trace of the MessageBox call instead (see harness.py). */
static const char* IconName(HWND icon_control) {
  static const struct {
    LPCWSTR id;
    const char* name;
  } kStandard[] = {{IDI_HAND, "error"},
                   {IDI_EXCLAMATION, "warning"},
                   {IDI_ASTERISK, "information"},
                   {IDI_QUESTION, "question"}};
  if (!icon_control) return "none";
  HICON shown = (HICON)SendMessageW(icon_control, STM_GETICON, 0, 0);
  if (!shown) return "none";
  for (size_t i = 0; i < sizeof kStandard / sizeof kStandard[0]; i++)
    if (LoadIconW(NULL, kStandard[i].id) == shown) return kStandard[i].name;
  return "present";
}

/* Writes down one box and presses its OK button (or its first button, when it has no OK). */
static void AnswerBox(Buf* b, HWND box, DWORD pid) {
  BoxParts parts;
  memset(&parts, 0, sizeof parts);
  EnumChildWindows(box, CollectPart, (LPARAM)&parts);
  Tracked* t = FindTracked(pid);

  EventBegin(b, "box");
  BufKey(b, "pid");
  BufFmt(b, "%llu", pid);
  BufKey(b, "image");
  BufJsonWide(b, t ? t->image : L"", t ? (int)wcslen(t->image) : 0);
  BufWindowText(b, "caption", box);
  BufWindowText(b, "text", parts.text);
  BufKey(b, "icon");
  BufJsonUtf8(b, IconName(parts.icon), strlen(IconName(parts.icon)));
  BufKey(b, "owner");
  BufStr(b, GetWindow(box, GW_OWNER) ? "true" : "false");
  BufKey(b, "buttons");
  BufStr(b, "[");
  int press = 0;
  for (int i = 0; i < parts.button_count; i++) {
    int id = GetDlgCtrlID(parts.buttons[i]), n;
    WCHAR* label = WindowTextW(parts.buttons[i], &n);
    BufStr(b, i ? ",{\"id\":" : "{\"id\":");
    BufFmt(b, "%llu", (unsigned)id);
    BufKey(b, "text");
    BufJsonWide(b, label, n);
    BufStr(b, "}");
    free(label);
    if (id == IDOK || (i == 0 && !press)) press = id;
  }
  BufStr(b, "]");
  BufKey(b, "pressed");
  BufFmt(b, "%llu", (unsigned)press);
  EventEnd(b);

  HWND button = GetDlgItem(box, press);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), (LPARAM)button);
}

/* ---- the scan for windows ------------------------------------------------------------------ */

#define MAX_SEEN 256
static HWND g_seen[MAX_SEEN];
static int g_seen_count;

typedef struct {
  HANDLE job;
  Buf* buf;
} ScanState;

static int Seen(HWND hwnd) {
  for (int i = 0; i < g_seen_count; i++)
    if (g_seen[i] == hwnd) return 1;
  if (g_seen_count < MAX_SEEN) g_seen[g_seen_count++] = hwnd;
  return 0;
}

static BOOL CALLBACK ScanWindow(HWND hwnd, LPARAM param) {
  ScanState* s = (ScanState*)param;
  DWORD pid = 0;
  if (!IsWindowVisible(hwnd)) return TRUE;
  GetWindowThreadProcessId(hwnd, &pid);
  if (!IsJobPid(s->job, pid) || Seen(hwnd)) return TRUE;
  Track(pid, NULL);
  if (ClassIs(hwnd, L"#32770")) {
    AnswerBox(s->buf, hwnd, pid);
  } else {
    /* Some other window: write it down, leave it alone. */
    WCHAR cls[256];
    int n = GetClassNameW(hwnd, cls, 256);
    EventBegin(s->buf, "window");
    BufKey(s->buf, "pid");
    BufFmt(s->buf, "%llu", pid);
    BufKey(s->buf, "class");
    BufJsonWide(s->buf, cls, n);
    BufWindowText(s->buf, "caption", hwnd);
    EventEnd(s->buf);
  }
  return TRUE;
}

/* ---- command line ------------------------------------------------------------------------- */

/* Reads one token of the watcher's own command line by the usual C run-time rules; returns the
 * position after it, and the unquoted token in *out (NULL when the line has ended). */
static const WCHAR* NextToken(const WCHAR* p, WCHAR** out) {
  while (*p == L' ' || *p == L'\t') p++;
  if (!*p) {
    *out = NULL;
    return p;
  }
  WCHAR* t = (WCHAR*)calloc(wcslen(p) + 1, sizeof(WCHAR));
  int n = 0, quoted = 0;
  while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
    if (*p == L'\\') {
      int slashes = 0;
      while (*p == L'\\') slashes++, p++;
      if (*p == L'"') {
        for (int i = 0; i < slashes / 2; i++) t[n++] = L'\\';
        if (slashes & 1) t[n++] = *p++;
      } else {
        for (int i = 0; i < slashes; i++) t[n++] = L'\\';
      }
    } else if (*p == L'"') {
      quoted = !quoted;
      p++;
    } else {
      t[n++] = *p++;
    }
  }
  *out = t;
  return p;
}

static WCHAR* FromHexUtf8(const WCHAR* hex) {
  size_t n = wcslen(hex) / 2;
  char* bytes = (char*)calloc(n + 1, 1);
  for (size_t i = 0; i < n; i++) {
    WCHAR pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
    bytes[i] = (char)wcstoul(pair, NULL, 16);
  }
  int len = MultiByteToWideChar(CP_UTF8, 0, bytes, (int)n, NULL, 0);
  WCHAR* w = (WCHAR*)calloc(len + 1, sizeof(WCHAR));
  MultiByteToWideChar(CP_UTF8, 0, bytes, (int)n, w, len);
  free(bytes);
  return w;
}

static int Usage(void) {
  MessageBoxW(NULL,
              L"watcher.exe [--timeout MS] [--cmdline-hex HEX] [--app PATH] [--cwd DIR] "
              L"[--after-exit wait|kill] <report file> [<program> [arguments...]]",
              L"watcher", MB_OK);
  return 2;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE prev, LPWSTR unused, int show) {
  (void)instance, (void)prev, (void)unused, (void)show;
  DWORD timeout_ms = 60000;
  WCHAR *cmdline = NULL, *app = NULL, *cwd = NULL, *report = NULL, *tok;
  int kill_after_exit = 0;
  Buf b = {0};

  g_start_tick = GetTickCount();
  const WCHAR* p = NextToken(GetCommandLineW(), &tok); /* the watcher's own name */
  for (;;) {
    p = NextToken(p, &tok);
    if (!tok) return Usage();
    if (wcscmp(tok, L"--timeout") == 0 || wcscmp(tok, L"--cmdline-hex") == 0 ||
        wcscmp(tok, L"--app") == 0 || wcscmp(tok, L"--cwd") == 0 ||
        wcscmp(tok, L"--after-exit") == 0) {
      WCHAR* value;
      p = NextToken(p, &value);
      if (!value) return Usage();
      if (tok[2] == L't') timeout_ms = wcstoul(value, NULL, 10);
      if (tok[2] == L'c' && tok[3] == L'm') cmdline = FromHexUtf8(value);
      if (tok[2] == L'a' && tok[3] == L'p') app = value;
      if (tok[2] == L'c' && tok[3] == L'w') cwd = value;
      if (tok[2] == L'a' && tok[3] == L'f') kill_after_exit = wcscmp(value, L"kill") == 0;
      continue;
    }
    report = tok;
    break;
  }
  if (!cmdline) {
    while (*p == L' ' || *p == L'\t') p++;
    cmdline = _wcsdup(p);
  }
  if (!*cmdline && !app) return Usage();

  g_report = CreateFileW(report, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (g_report == INVALID_HANDLE_VALUE) return 3;

  HANDLE job = CreateJobObjectW(NULL, NULL);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  memset(&limits, 0, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

  WCHAR temp[MAX_PATH + 1];
  DWORD temp_len = GetTempPathW(MAX_PATH + 1, temp);
  EventBegin(&b, "start");
  BufKey(&b, "cmdline");
  BufJsonWide(&b, cmdline, (int)wcslen(cmdline));
  BufKey(&b, "app");
  BufJsonWide(&b, app, app ? (int)wcslen(app) : 0);
  BufKey(&b, "temp");
  BufJsonWide(&b, temp, (int)temp_len);
  BufKey(&b, "acp");
  BufFmt(&b, "%llu", GetACP());

  STARTUPINFOW si;
  PROCESS_INFORMATION pi;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  if (!CreateProcessW(app, cmdline, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, cwd, &si, &pi)) {
    BufKey(&b, "error");
    BufFmt(&b, "%llu", GetLastError());
    EventEnd(&b);
    EventBegin(&b, "end");
    EventEnd(&b);
    return 4;
  }
  AssignProcessToJobObject(job, pi.hProcess);
  BufKey(&b, "pid");
  BufFmt(&b, "%llu", pi.dwProcessId);
  EventEnd(&b);
  Track(pi.dwProcessId, pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);

  ScanState scan = {job, &b};
  int main_ended = 0;
  for (;;) {
    TrackJob(job);
    EnumWindows(ScanWindow, (LPARAM)&scan);
    ReportExits(&b, job);
    if (!main_ended && g_tracked[0].exit_reported) {
      main_ended = 1;
      if (kill_after_exit) {
        EventBegin(&b, "killed_after_exit");
        BufKey(&b, "running");
        BufProcesses(&b, job, pi.dwProcessId);
        EventEnd(&b);
        TerminateJobObject(job, 0xDEAD);
        break;
      }
    }
    DWORD pids[MAX_TRACKED];
    if (main_ended && JobPids(job, pids, MAX_TRACKED) <= 0) break;
    if (GetTickCount() - g_start_tick >= timeout_ms) {
      EventBegin(&b, "timeout");
      BufKey(&b, "running");
      BufProcesses(&b, job, 0);
      EventEnd(&b);
      TerminateJobObject(job, 0xDEAD);
      Sleep(100);
      ReportExits(&b, job);
      break;
    }
    Sleep(POLL_MS);
  }
  EventBegin(&b, "end");
  EventEnd(&b);
  CloseHandle(g_report);
  return 0;
}
