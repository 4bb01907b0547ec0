"""What a run under the watcher showed: message boxes, the test engine's reports, exit codes."""

import dataclasses
import re
from pathlib import Path

MB_OK = 0x0
MB_ICONERROR = 0x10

@dataclasses.dataclass
class Box:
    """One message box as the watcher found it."""
    caption: str
    text: str
    caption_bytes: bytes          # what the ANSI functions return, byte for byte
    text_bytes: bytes
    buttons: list                 # labels, e.g. ['OK']
    button_ids: list              # control ids, e.g. [1]
    icon: str                     # 'none', 'present', or 'error'/'warning'/... when known
    owner: bool                   # the box has an owner window
    pid: int
    image: str                    # the Windows path of the process that showed it
    flags: int = None             # the MessageBox flags, from Wine's trace (None: not traced)

    @property
    def is_error(self):
        """Shown with MB_ICONERROR."""
        if self.flags is not None:
            return self.flags & 0xF0 == MB_ICONERROR
        return self.icon == 'error'


@dataclasses.dataclass
class EngineRun:
    """One run of the test engine, from its report."""
    pid: int
    variant: str                  # '32' or '64': which payload it came from
    cmdline: str                  # the ANSI strings, decoded as code page 1252
    cwd: str
    module: str
    package: str                  # its first argument, unquoted
    package_exclusive: bool       # the package opened with no sharing: nobody held it
    self_readable: bool
    wow64: str                    # 'yes', 'no', 'unknown' (no IsWow64Process) or 'failed'
    version: str                  # e.g. '10.0.22631 platform=2 sp=0'
    raw: dict                     # every field as bytes
    ended: bool = False
    exit_code: int = None


@dataclasses.dataclass
class RunResult:
    """What one run under the watcher showed."""
    cmdline: str
    pid: int                      # the program's process id
    events: list                  # the watcher's report, one dict per event
    boxes: list                   # Box, in the order they appeared
    calls: list                   # relay.Call of every process of the run, in order
    exit_code: int                # the program's full 32-bit exit code (None: did not end)
    others_running: list          # processes the program started that outlived it
    exits: list                   # (image, exit code) of every process of the run that ended
    timed_out: bool
    engine_runs: list             # EngineRun, in the order they started
    temp: Path                    # the Windows TEMP folder, on the Linux side
    temp_new: list                # names that appeared in TEMP during the run and stayed
    stderr: str
    seconds: float

    @property
    def engine(self):
        """The one engine run, or None; fails when there were several."""
        if len(self.engine_runs) > 1:
            raise AssertionError('%d engine runs' % len(self.engine_runs))
        return self.engine_runs[0] if self.engine_runs else None

    def calls_of(self, function=None, pid=None):
        """The traced calls the program itself (or process `pid`) made, of one function or
        all, e.g. result.calls_of('CreateFileA')."""
        pid = self.pid if pid is None else pid
        return [c for c in self.calls
                if c.pid == pid and (function is None or c.function == function)]

    def __str__(self):
        lines = ['run: %s' % self.cmdline,
                 'exit code: %s%s' % (self.exit_code, ' (timed out)' if self.timed_out else '')]
        for box in self.boxes:
            lines.append('box: caption=%r text=%r flags=%s icon=%s buttons=%s' % (
                box.caption, box.text, None if box.flags is None else hex(box.flags), box.icon,
                box.buttons))
        for run in self.engine_runs:
            lines.append('engine %s: cmdline=%r cwd=%r ended=%s exit=%s' % (
                run.variant, run.cmdline, run.cwd, run.ended, run.exit_code))
        if self.others_running:
            lines.append('still running at exit: %s' % self.others_running)
        if self.temp_new:
            lines.append('left in TEMP: %s' % self.temp_new)
        return '\n'.join(lines)


def _unescape_engine(value):
    return re.sub(rb'%([0-9A-Fa-f]{2})', lambda m: bytes([int(m.group(1), 16)]), value)


def parse_engine_report(data):
    """The runs in a test engine report (see tests/engine/engine.c)."""
    runs, by_pid = [], {}
    for line in data.split(b'\n'):
        if not line:
            continue
        key, _, value = line.partition(b' ')
        key = key.decode('ascii', 'replace')
        if key == 'started':
            fields = dict(f.split(b'=', 1) for f in value.split(b' ') if b'=' in f)
            current = {'pid': int(fields[b'pid']), 'variant': fields[b'variant'].decode()}
            runs.append(current)
            by_pid[current['pid']] = current
        elif key == 'ended':
            fields = dict(f.split(b'=', 1) for f in value.split(b' ') if b'=' in f)
            run = by_pid.get(int(fields[b'pid']))
            if run is not None:
                run['ended'] = True
                run['exit_code'] = int(fields[b'exit'])
        elif runs:
            runs[-1][key] = _unescape_engine(value)
    result = []
    for r in runs:
        text = {k: v.decode('cp1252', 'replace') for k, v in r.items() if isinstance(v, bytes)}
        result.append(EngineRun(
            pid=r['pid'], variant=r['variant'], cmdline=text.get('cmdline', ''),
            cwd=text.get('cwd', ''), module=text.get('module', ''),
            package=text.get('package', ''),
            package_exclusive=text.get('package_exclusive') == 'yes',
            self_readable=text.get('self_readable') == 'yes', wow64=text.get('wow64', ''),
            version=text.get('version', ''),
            raw={k: v for k, v in r.items() if isinstance(v, bytes)},
            ended=r.get('ended', False), exit_code=r.get('exit_code')))
    return result
