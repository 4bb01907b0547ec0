/* Runs one command line in a job object and prints what it cost, on one line:
 *
 *   runner.exe COMMAND LINE...
 *   -> wall_ms=... child_ms=... peak_ws=... peak_private=... job_peak=... exit=...
 *
 * wall_ms       from just before CreateProcess until every process of the job has ended.
 * child_ms      from the same start until the program started its first child process (the job
 *               reports each new process through its completion port). The launcher starts the
 *               engine only once the temporary copy is written and closed, and the baseline
 *               starts its copy the same way, so this is "time until the copy is written" for
 *               both, each including the same process-creation cost. -1: no child was started.
 * peak_ws       the program's peak working set (GetProcessMemoryInfo; under Wine the kernel's
 *               high-water mark of resident memory, VmHWM, exact however short the peak was),
 *               read while the program is still alive, when its child starts and at every poll.
 * peak_private  the largest private (anonymous) resident memory seen by polling every
 *               millisecond (PagefileUsage); a sample, so a peak shorter than a poll may be
 *               missed. It leaves out the pages of DLL images that peak_ws counts.
 * job_peak      PeakProcessMemoryUsed of the job (0 where the system does not track it).
 * All sizes are in bytes. */
#include <stdio.h>
#include <string.h>
#include <windows.h>
// after windows.h
#include <psapi.h>

static double Ms(LARGE_INTEGER From, LARGE_INTEGER To, LARGE_INTEGER Freq) {
  return (double)(To.QuadPart - From.QuadPart) * 1000.0 / (double)Freq.QuadPart;
}

/* The command line after the runner's own name, as typed. */
static char* Rest(char* Cmd) {
  int Quoted = 0;
  while (*Cmd && (Quoted || (*Cmd != ' ' && *Cmd != '\t'))) {
    if (*Cmd == '"') Quoted = !Quoted;
    Cmd++;
  }
  while (*Cmd == ' ' || *Cmd == '\t') Cmd++;
  return Cmd;
}

static SIZE_T PeakWs, PeakPrivate;

static void Sample(HANDLE Process) {
  PROCESS_MEMORY_COUNTERS C;
  memset(&C, 0, sizeof C);
  C.cb = sizeof C;
  if (!GetProcessMemoryInfo(Process, &C, sizeof C)) return;
  if (C.PeakWorkingSetSize > PeakWs) PeakWs = C.PeakWorkingSetSize;
  if (C.PagefileUsage > PeakPrivate) PeakPrivate = C.PagefileUsage;
  if (C.PeakPagefileUsage > PeakPrivate) PeakPrivate = C.PeakPagefileUsage;
}

int main(void) {
  char* Cmd = Rest(GetCommandLineA());
  if (!*Cmd) {
    fprintf(stderr, "usage: runner.exe COMMAND LINE...\n");
    return 2;
  }
  HANDLE Job = CreateJobObjectA(NULL, NULL);
  HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 1);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT Assoc = {(PVOID)1, Port};
  if (!Job || !Port ||
      !SetInformationJobObject(Job, JobObjectAssociateCompletionPortInformation, &Assoc,
                               sizeof Assoc)) {
    fprintf(stderr, "runner: job object: error %lu\n", GetLastError());
    return 2;
  }

  STARTUPINFOA Si;
  PROCESS_INFORMATION Pi;
  memset(&Si, 0, sizeof Si);
  Si.cb = sizeof Si;
  LARGE_INTEGER Freq, Start, Child, End;
  QueryPerformanceFrequency(&Freq);
  QueryPerformanceCounter(&Start);
  if (!CreateProcessA(NULL, Cmd, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &Si, &Pi)) {
    fprintf(stderr, "runner: cannot start %s: error %lu\n", Cmd, GetLastError());
    return 2;
  }
  if (!AssignProcessToJobObject(Job, Pi.hProcess)) {
    fprintf(stderr, "runner: cannot assign to the job: error %lu\n", GetLastError());
    TerminateProcess(Pi.hProcess, 1);
    return 2;
  }
  ResumeThread(Pi.hThread);

  int HaveChild = 0, MainAlive = 1;
  for (;;) {
    DWORD Message = 0;
    ULONG_PTR Key = 0;
    LPOVERLAPPED Data = NULL;
    BOOL Got = GetQueuedCompletionStatus(Port, &Message, &Key, &Data, 1);
    if (MainAlive) Sample(Pi.hProcess);
    if (!Got) {
      if (MainAlive && WaitForSingleObject(Pi.hProcess, 0) == WAIT_OBJECT_0) MainAlive = 0;
      continue;
    }
    DWORD Pid = (DWORD)(ULONG_PTR)Data;
    if (Message == JOB_OBJECT_MSG_NEW_PROCESS && Pid != Pi.dwProcessId && !HaveChild) {
      QueryPerformanceCounter(&Child);
      HaveChild = 1;
    } else if (Message == JOB_OBJECT_MSG_EXIT_PROCESS ||
               Message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
      if (Pid == Pi.dwProcessId) MainAlive = 0;
    } else if (Message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
      break;
    }
  }
  WaitForSingleObject(Pi.hProcess, INFINITE);
  QueryPerformanceCounter(&End);

  DWORD Exit = 0;
  GetExitCodeProcess(Pi.hProcess, &Exit);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION Limits;
  memset(&Limits, 0, sizeof Limits);
  QueryInformationJobObject(Job, JobObjectExtendedLimitInformation, &Limits, sizeof Limits, NULL);
  printf("wall_ms=%.1f child_ms=%.1f peak_ws=%lu peak_private=%lu job_peak=%lu exit=%lu\n",
         Ms(Start, End, Freq), HaveChild ? Ms(Start, Child, Freq) : -1.0, (unsigned long)PeakWs,
         (unsigned long)PeakPrivate, (unsigned long)Limits.PeakProcessMemoryUsed,
         (unsigned long)Exit);
  return 0;
}
