"""The end-to-end harness: the real launcher.exe under Wine, with real packages.

What a test does with it:

    class Foundation(harness.WineTestCase):            # one Wine prefix per test module
        def test_no_package(self):
            exe = harness.place(harness.program('launcher.exe'), self.work())
            result = self.prefix.run(exe, args=['/x'])
            self.assertFatal(result, harness.FATAL_READ, caption=self.prefix.own_path(exe))

Prefixes. `wineboot` takes 12 to 15 s, so each build folder makes one base prefix per
architecture (32-bit: IsWow64Process FALSE; 64-bit: TRUE), once; `python3 harness.py
make-prefixes` is the ctest fixture that does it. Each test module works on its own copy of a base
(`Prefix.open(name, arch)`), so modules can run in parallel. `Prefix.configure(...)` sets the
Windows version, service pack and registry values of the copy: the declared state is written into
the registry files while no wineserver runs, starting from the base's registry every time, so no
setting leaks from one case into the next.

Message boxes. Without a display Wine's MessageBox returns at once and its text is lost. The
base prefixes use Wine's null graphics driver, under which a box is a real window that never
closes by itself; every program runs under watcher.exe, which records each box (caption, text,
buttons, owner) and presses OK, and has a timeout. The flags a program passed (MB_ICONERROR ...)
are read from Wine's trace of the MessageBox call, since Wine cannot show one process's icon to
another.

Environment. Every Wine process gets WINEDEBUG without noise, no Mono or Gecko, the C.UTF-8
locale (ANSI code page 1252, so a Cyrillic path reaches the ANSI functions as "?") and no
display; the user's own Wine prefix is never touched.

Locations (environment variables, as ctest sets them; defaults for a run by hand):
    RAVELKIT_WIN_DIR    the Windows build folder: bin/ holds launcher.exe, watcher.exe,
                        engine.exe, engine64.exe
    RAVELKIT_DIST_DIR   dist/: ravelpack, and copies of the Windows programs
    RAVELKIT_WINE_DIR   where the prefixes live (build/host/wine)
    RAVELKIT_E2E_WORK   where tests place packages and runs leave reports (build/host/e2e)
    RAVELKIT_LAUNCHER   a launcher.exe to use in place of the built one (any program name:
                        RAVELKIT_WATCHER, RAVELKIT_ENGINE, RAVELKIT_ENGINE64, RAVELKIT_RAVELPACK)
"""

import atexit
import dataclasses
import fcntl
import json
import os
import re
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path, PureWindowsPath

import relay
import winereg

REPO = Path(__file__).resolve().parents[2]
DIST_DIR = Path(os.environ.get('RAVELKIT_DIST_DIR', REPO / 'dist'))
WIN_DIR = Path(os.environ.get('RAVELKIT_WIN_DIR', REPO / 'build' / 'win'))
WINE_DIR = Path(os.environ.get('RAVELKIT_WINE_DIR', REPO / 'build' / 'host' / 'wine'))
WORK_DIR = Path(os.environ.get('RAVELKIT_E2E_WORK', REPO / 'build' / 'host' / 'e2e'))

# The launcher's fixed texts, as the user reads them.
FATAL_READ = ('An error occurred while trying to read the setup package.  It has most likely been '
              'damaged.  Please obtain a new copy from the vendor.')
FATAL_TRUNCATED = ('The setup package has been truncated.  You most likely have an incomplete '
                   'download.  Try downloading it again.')
FATAL_TEMP_COPY = (
    'An error occurred while trying to create a temporary copy of the setup package.  Please make '
    'sure that you have sufficient access rights to this computer to install software and that '
    'the Windows TEMP folder can be written to.  You can make this installer use a different '
    'folder for its temporary files using the /temp command line parameter followed by the path '
    'to a folder you can write to and run applications from.')
FATAL_EXECUTE = (
    'The temporary copy of the setup package could not be executed.  Your system may have a '
    'software restriction policy in place that blocks executables in the temporary files folder.  '
    'You can make this installer use a different folder for its temporary files using the /temp '
    'command line parameter followed by the path to a folder you can write to and run '
    'applications from.')
GUARD_CAPTION = 'Brindlecote Ravelkit'


def guard_text(own_path):
    """The path-encoding guard's text for a launcher that sees itself as `own_path`."""
    return ('The path to the installer ' + own_path + ' contains characters that have been '
            "replaced with question marks because they could not be represented in your "
            "computer's default code page.  Please rename the installer and/or the folder it is "
            'in to remove the unsupported characters.  Then run the installer again.')


MB_OK = 0x0
MB_ICONERROR = 0x10

# Names of HKCU\Software\Wine "Version"; win11 is made from registry values (Wine 8 lacks it).
WINDOWS_VERSIONS = ('win95', 'win98', 'winme', 'nt40', 'win2k', 'winxp', 'win2003', 'vista',
                    'win7', 'win8', 'win81', 'win10', 'win11')
NT_CURRENT_VERSION = r'HKLM\Software\Microsoft\Windows NT\CurrentVersion'
# Version number and build of the NT versions, for a Windows that Wine takes from the registry.
_NT_REGISTRY_VERSIONS = {
    'nt40': ('4.0', 1381), 'win2k': ('5.0', 2195), 'winxp': ('5.1', 2600),
    'win2003': ('5.2', 3790), 'vista': ('6.0', 6002), 'win7': ('6.1', 7601),
    'win8': ('6.2', 9200), 'win81': ('6.3', 9600), 'win10': ('10.0', 19045),
    'win11': ('10.0', 22631)}

# What every configuration of a prefix holds, whatever the case sets.
HARNESS_SETTINGS = [
    # The null driver keeps every box open until the watcher answers it.
    (r'HKCU\Software\Wine\Drivers', 'Graphics', 'null'),
    # The calls a run traces (see relay.py), when Wine's debug output asks for +relay.
    (r'HKCU\Software\Wine\Debug', 'RelayInclude', ';'.join(relay.TRACED)),
    # A crash ends the process (exit code 0xC0000005 and the like) instead of waiting in a
    # debugger dialog nobody can see.
    (r'HKCU\Software\Wine\WineDbg', 'ShowCrashDialog', 0),
]

WINE_ENV = {'WINEDEBUG': '-all', 'WINEDLLOVERRIDES': 'mscoree,mshtml=', 'LC_ALL': 'C.UTF-8'}
WINEBOOT_TIMEOUT = 300


class HarnessError(Exception):
    pass


# ---- programs ----------------------------------------------------------------------------------

def program(name):
    """The path of a built program (launcher.exe, watcher.exe, engine.exe, engine64.exe,
    ravelpack): the Windows build's bin/ first (dist/ holds copies, which a rebuild of the
    Windows build alone leaves behind), then dist/ (where the host build writes ravelpack)."""
    override = os.environ.get('RAVELKIT_' + re.sub(r'\.exe$', '', name).upper())
    if override:
        return Path(override)
    for folder in (WIN_DIR / 'bin', DIST_DIR):
        if (folder / name).is_file():
            return folder / name
    raise HarnessError('%s not found in %s or %s; build first (scripts/build.sh)'
                       % (name, WIN_DIR / 'bin', DIST_DIR))


# ---- files and folders -------------------------------------------------------------------------

def work_dir(*parts):
    """A fresh, empty folder under the e2e work folder."""
    path = WORK_DIR.joinpath(*parts)
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    return path


def place(source, folder, name=None):
    """Copies a file into a folder (made if needed, any name, Cyrillic included); returns the
    copy's path."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / (name or Path(source).name)
    shutil.copyfile(source, target)
    return target


def ansi(text, codepage='cp1252'):
    """What an ANSI function returns for `text` on that code page: a character the code page
    lacks becomes "?" (as Wine's WideCharToMultiByte does)."""
    return text.encode(codepage, 'replace').decode(codepage)


def quote_arg(arg):
    """An argument as the launcher reads it: quoted when it holds a blank or tab or is empty
    (the launcher knows no escapes, so a double quote cannot be passed inside a quoted one)."""
    return '"%s"' % arg if (not arg or ' ' in arg or '\t' in arg) else arg


# ---- packages ----------------------------------------------------------------------------------

def ravelpack(*args, check=False):
    """Runs dist/ravelpack with the given arguments; returns the CompletedProcess."""
    proc = subprocess.run([str(program('ravelpack'))] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=600)
    if check and proc.returncode != 0:
        raise HarnessError('ravelpack %s failed (%d): %s'
                           % (' '.join(map(str, args)), proc.returncode, proc.stderr.strip()))
    return proc


def build_package(out, engine32=None, engine64=None, launcher=None, **options):
    """Builds a package with ravelpack and returns its path.

    engine32/engine64: a path, or True for the test engine (engine.exe / engine64.exe).
    options: the other options of `ravelpack build` with "_" for "-": True gives a bare switch
    (detach=True), None and False leave it out, anything else is passed as text
    (windows='xp,7', expires='2024-01-31', raw_props=225)."""
    args = ['build', '--launcher', launcher or program('launcher.exe'), '--out', out]
    for flag, engine, default in (('--engine32', engine32, 'engine.exe'),
                                  ('--engine64', engine64, 'engine64.exe')):
        if engine is True:
            engine = program(default)
        if engine:
            args += [flag, engine]
    for key, value in options.items():
        if value is None or value is False:
            continue
        args.append('--' + key.replace('_', '-'))
        if value is not True:
            args.append(value)
    Path(out).parent.mkdir(parents=True, exist_ok=True)
    ravelpack(*args, check=True)
    return Path(out)


def inspect_package(path):
    """`ravelpack inspect --json`: the fields and the verdict as a dict."""
    proc = ravelpack('inspect', '--json', path)
    if proc.returncode == 2:
        raise HarnessError('ravelpack inspect %s: %s' % (path, proc.stderr.strip()))
    return json.loads(proc.stdout)


# ---- results -----------------------------------------------------------------------------------

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


# ---- prefixes ----------------------------------------------------------------------------------

def _wine_version():
    return subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout.strip()


def _locked(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    handle = open(path, 'w')
    fcntl.flock(handle, fcntl.LOCK_EX)
    return handle


# Files of the prefix's Windows folder that Wine only ever reads: a copy of a prefix links them
# instead of copying them (about 580 MB in a 32-bit prefix, 1.3 GB in a 64-bit one).
_READ_ONLY_SUFFIXES = {'.dll', '.exe', '.drv', '.sys', '.ocx', '.tlb', '.acm', '.cpl', '.ax',
                       '.ds', '.vxd', '.com', '.nls', '.msstyles', '.ttf', '.fon', '.mui'}


def _clone_prefix(source, target):
    windows = source / 'drive_c' / 'windows'
    for folder, dirs, files in os.walk(source):
        folder = Path(folder)
        out = target / folder.relative_to(source)
        out.mkdir(exist_ok=True)
        for name in dirs:
            if (folder / name).is_symlink():
                os.symlink(os.readlink(folder / name), out / name)
        dirs[:] = [d for d in dirs if not (folder / d).is_symlink()]
        for name in files:
            src = folder / name
            if src.is_symlink():
                os.symlink(os.readlink(src), out / name)
            elif windows in src.parents and src.suffix.lower() in _READ_ONLY_SUFFIXES:
                os.link(src, out / name)
            else:
                shutil.copy2(src, out / name)


def _set_wine_env(env):
    env.update(WINE_ENV)
    for name in ('DISPLAY', 'WAYLAND_DISPLAY', 'LANG', 'LANGUAGE'):
        env.pop(name, None)
    return env


def ensure_base(arch):
    """The base prefix of an architecture (32 or 64), made once per build folder."""
    if arch not in (32, 64):
        raise ValueError('arch must be 32 or 64')
    base = WINE_DIR / ('base%d' % arch)
    stamp = base / '.ravelkit' / 'base.json'
    with _locked(WINE_DIR / ('.base%d.lock' % arch)):
        version = _wine_version()
        if stamp.is_file() and json.loads(stamp.read_text()).get('wine') == version:
            return base
        if base.exists():
            shutil.rmtree(base)
        env = _set_wine_env(dict(os.environ, WINEPREFIX=str(base),
                                 WINEARCH='win32' if arch == 32 else 'win64'))
        started = time.monotonic()
        subprocess.run(['wineboot', '-i'], env=env, check=True, capture_output=True,
                       timeout=WINEBOOT_TIMEOUT)
        subprocess.run(['wineserver', '-w'], env=env, check=True, timeout=WINEBOOT_TIMEOUT)
        boot_seconds = time.monotonic() - started
        # Where Wine puts TEMP (C:\users\<user>\Temp in Wine 8), asked once. Into a file, not
        # a pipe, which the wineserver would inherit and hold open for seconds.
        answer = base / '.ravelkit' / 'temp.txt'
        answer.parent.mkdir(parents=True, exist_ok=True)
        with open(answer, 'wb') as out:
            subprocess.run(['wine', 'cmd.exe', '/c', 'echo %TEMP%'], env=env, stdout=out,
                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120)
        subprocess.run(['wineserver', '-w'], env=env, timeout=WINEBOOT_TIMEOUT)
        temp = answer.read_bytes().decode('utf-8', 'replace').strip()
        if not re.fullmatch(r'[A-Za-z]:\\.*', temp):
            raise HarnessError('Wine gave no TEMP folder: %r' % temp)
        pristine = base / '.ravelkit' / 'pristine'
        pristine.mkdir(parents=True, exist_ok=True)
        for name in ('system.reg', 'user.reg', 'userdef.reg'):
            shutil.copy2(base / name, pristine / name)
        stamp.write_text(json.dumps({'wine': version, 'arch': arch, 'temp': temp,
                                     'made': time.time(), 'boot_seconds': boot_seconds}))
        return base


_open_prefixes = []


def _stop_all():
    for prefix in _open_prefixes:
        prefix.stop()


atexit.register(_stop_all)


class Prefix:
    """A test module's own copy of a base prefix, with the settings of the case at hand."""

    def __init__(self, path, arch, base):
        self.path = Path(path)
        self.arch = arch
        self.base = base
        self.info = json.loads((base / '.ravelkit' / 'base.json').read_text())
        self._config = None      # the settings in force, as _expand gives them
        self._live = False       # a wineserver may be running on the prefix
        self._pristine_files = None
        self._runs = 0
        self.runs_dir = work_dir('runs', self.path.name)

    @classmethod
    def open(cls, name, arch=32):
        """The prefix `name` of the given architecture (made from the base when missing or
        when the base changed), stopped, reset to the base's registry, TEMP emptied."""
        base = ensure_base(arch)
        path = WINE_DIR / 'work' / ('%s-%d' % (name, arch))
        with _locked(WINE_DIR / 'work' / ('.%s-%d.lock' % (name, arch))):
            stamp = path / '.ravelkit' / 'base.json'
            base_stamp = (base / '.ravelkit' / 'base.json').read_text()
            if not stamp.is_file() or stamp.read_text() != base_stamp:
                if path.exists():
                    cls(path, arch, base).stop()
                    shutil.rmtree(path)
                _clone_prefix(base, path)
        prefix = cls(path, arch, base)
        prefix.stop()
        for link in (path / 'dosdevices').iterdir():  # drives an earlier run mapped
            if not (base / 'dosdevices' / link.name).is_symlink():
                link.unlink()
        prefix.configure()
        prefix.clear_temp()
        _open_prefixes.append(prefix)
        return prefix

    # -- Wine processes --

    def env(self, extra=None):
        env = _set_wine_env(dict(os.environ, WINEPREFIX=str(self.path)))
        env.pop('WINEARCH', None)
        env.update(extra or {})
        return env

    def wine(self, *args, timeout=120, env=None):
        """Runs `wine` with the given arguments in this prefix; returns the CompletedProcess."""
        self._live = True
        return subprocess.run(['wine'] + [str(a) for a in args], env=self.env(env),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=timeout)

    def stop(self):
        """Ends every Wine process of the prefix and its wineserver (which saves the registry)."""
        env = self.env()
        subprocess.run(['wineserver', '-k'], env=env, capture_output=True, timeout=60)
        subprocess.run(['wineserver', '-w'], env=env, capture_output=True, timeout=60)
        self._live = False

    # -- settings --

    def configure(self, windows=None, build=None, display_version=None, release_id=None,
                  service_pack=None, registry=None):
        """Sets the Windows the prefix pretends to be; everything not given is as in the base
        (Wine's default, Windows 7 SP1).

        windows: one of WINDOWS_VERSIONS. build: CurrentBuild and CurrentBuildNumber (win11:
        default 22631). display_version, release_id: DisplayVersion and ReleaseId. service_pack:
        the major number, for an NT version (nt40 to win11). registry:
        {r'HKLM\\Key\\Path': {'Name': value}} with a str (REG_SZ), an int (REG_DWORD) or None
        (delete); keys under HKLM\\Software are written to the 32-bit view of a 64-bit prefix as
        well, which is the one the launcher reads."""
        if windows is not None and windows not in WINDOWS_VERSIONS:
            raise ValueError('unknown Windows %r (one of %s)' % (windows, WINDOWS_VERSIONS))
        values = list(HARNESS_SETTINGS)  # (key, name, value)
        wine_key = r'HKCU\Software\Wine'
        if windows == 'win11' or (service_pack is not None and windows in _NT_REGISTRY_VERSIONS):
            # Wine's table of Version names fixes each one's service pack, and has no win11:
            # without a Version value Wine takes the version from the registry, as Windows does.
            number, default_build = _NT_REGISTRY_VERSIONS[windows]
            build = default_build if build is None else build
            major, minor = number.split('.')
            sp = service_pack or 0
            values += [(wine_key, 'Version', None),
                       (NT_CURRENT_VERSION, 'CurrentVersion', number),
                       (NT_CURRENT_VERSION, 'CSDVersion', 'Service Pack %d' % sp if sp else ''),
                       (r'HKLM\System\CurrentControlSet\Control\Windows', 'CSDVersion', sp << 8),
                       (r'HKLM\System\CurrentControlSet\Control\ProductOptions', 'ProductType',
                        'ServerNT' if windows == 'win2003' else 'WinNT')]
            if int(major) >= 10:
                values += [(NT_CURRENT_VERSION, 'CurrentMajorVersionNumber', int(major)),
                           (NT_CURRENT_VERSION, 'CurrentMinorVersionNumber', int(minor))]
            else:
                values += [(NT_CURRENT_VERSION, 'CurrentMajorVersionNumber', None),
                           (NT_CURRENT_VERSION, 'CurrentMinorVersionNumber', None)]
        elif service_pack is not None:
            raise ValueError('a service pack needs an NT version of Windows, not %r' % windows)
        elif windows is not None:
            values.append((wine_key, 'Version', windows))
        if build is not None:
            values += [(NT_CURRENT_VERSION, 'CurrentBuild', str(build)),
                       (NT_CURRENT_VERSION, 'CurrentBuildNumber', str(build))]
        if display_version is not None:
            values.append((NT_CURRENT_VERSION, 'DisplayVersion', display_version))
        if release_id is not None:
            values.append((NT_CURRENT_VERSION, 'ReleaseId', str(release_id)))
        for key, named in (registry or {}).items():
            values += [(key, name, value) for name, value in named.items()]
        values = self._expand(values)
        if values == self._config:
            return
        if self._live and self._config is not None and self._apply_live(values):
            self._config = values
            return
        self.stop()
        self._write_registry(values)
        self._config = values

    def _expand(self, values):
        """(root, key, name, value) with the root as HKLM or HKCU, and every HKLM\\Software key
        of a 64-bit prefix also in its 32-bit view (Wow6432Node)."""
        out = []
        for key, name, value in values:
            root, _, sub = key.partition('\\')
            root = {'HKEY_LOCAL_MACHINE': 'HKLM', 'HKEY_CURRENT_USER': 'HKCU'}.get(root, root)
            if root not in ('HKLM', 'HKCU'):
                raise ValueError('registry key must start with HKLM or HKCU: %r' % key)
            out.append((root, sub, name, value))
            if root == 'HKLM' and self.arch == 64 and sub.lower().startswith('software\\'):
                out.append((root, 'Software\\Wow6432Node\\' + sub[len('software\\'):], name,
                            value))
        return out

    def _pristine(self):
        if self._pristine_files is None:
            folder = self.base / '.ravelkit' / 'pristine'
            self._pristine_files = {'HKLM': winereg.RegFile(folder / 'system.reg'),
                                    'HKCU': winereg.RegFile(folder / 'user.reg')}
        return self._pristine_files

    def _write_registry(self, values):
        """The base's registry plus `values`, written while no wineserver runs."""
        pristine = self.base / '.ravelkit' / 'pristine'
        for name in ('system.reg', 'user.reg', 'userdef.reg'):
            shutil.copy2(pristine / name, self.path / name)
        files = {'HKLM': winereg.RegFile(self.path / 'system.reg'),
                 'HKCU': winereg.RegFile(self.path / 'user.reg')}
        for root, key, name, value in values:
            if value is None:
                files[root].delete(key, name)
            else:
                files[root].set(key, name, value)
        for f in files.values():
            f.save()

    def _apply_live(self, values):
        """Moves a running prefix from the current settings to `values` with one regedit import:
        0.2 s, where stopping and starting Wine takes 2 s. Every value the old settings touched
        and the new ones do not goes back to the base's. False when a value of the base is of a
        type this cannot write back (the caller then restarts)."""
        target = {}
        for root, key, name, _ in self._config:
            raw = self._pristine()[root].get(key, name)
            parsed = winereg.parse_value(raw) if raw is not None else None
            if raw is not None and parsed is None:
                return False
            target[(root, key.lower(), name.lower())] = (root, key, name, parsed)
        for root, key, name, value in values:
            target[(root, key.lower(), name.lower())] = (root, key, name, value)
        lines = ['Windows Registry Editor Version 5.00', '']
        for root, key, name, value in target.values():
            lines.append('[%s\\%s]' % ({'HKLM': 'HKEY_LOCAL_MACHINE',
                                         'HKCU': 'HKEY_CURRENT_USER'}[root], key))
            lines.append(winereg.regedit_value(name, value))
            lines.append('')
        import_file = self.runs_dir / 'settings.reg'
        import_file.write_bytes(('\r\n'.join(lines) + '\r\n').encode('utf-16'))
        self.wine('regedit', '/S', self.to_windows(import_file))
        return True

    # -- paths --

    def _drives(self):
        drives = {}
        for entry in (self.path / 'dosdevices').iterdir():
            if re.fullmatch(r'[a-z]:', entry.name) and entry.is_symlink():
                drives[entry.name[0].upper()] = Path(os.path.normpath(
                    self.path / 'dosdevices' / os.readlink(entry)))
        return drives

    def map_drive(self, letter, folder):
        """Makes a Linux folder a drive of the prefix (letter D to Y); None removes the drive.
        A test module's drives go when the prefix is opened again."""
        link = self.path / 'dosdevices' / (letter.lower() + ':')
        if link.is_symlink():
            link.unlink()
        if folder is not None:
            os.symlink(os.path.abspath(folder), link)

    def to_windows(self, path):
        """The Windows path under which Wine shows a Linux path: C:\\... inside the prefix's
        drive_c, Z:\\... elsewhere. A string that already is a Windows path comes back as is."""
        if isinstance(path, str) and re.match(r'^[A-Za-z]:\\', path):
            return path
        path = Path(os.path.abspath(path))
        best = None
        for letter, target in self._drives().items():
            if path == target or target in path.parents:
                if best is None or len(target.parts) > len(best[1].parts):
                    best = (letter, target)
        if best is None:
            raise HarnessError('%s lies on no drive of the prefix' % path)
        rest = path.relative_to(best[1]).parts
        return best[0] + ':\\' + '\\'.join(rest)

    def to_linux(self, windows_path):
        """The Linux path of a Windows path of this prefix (drive letters only)."""
        p = PureWindowsPath(windows_path)
        drive = self._drives().get(p.drive[:1].upper())
        if not p.drive or drive is None:
            raise HarnessError('no drive for %r' % windows_path)
        return drive.joinpath(*p.parts[1:])

    def own_path(self, path, codepage='cp1252'):
        """The launcher's own path as it sees it (GetModuleFileNameA): the Windows path, with
        every character the ANSI code page lacks as "?"."""
        return ansi(self.to_windows(path), codepage)

    @property
    def temp_dir(self):
        """The Windows TEMP folder of the prefix, on the Linux side."""
        return self.to_linux(self.info['temp'])

    def clear_temp(self):
        temp = self.temp_dir
        if temp.exists():
            shutil.rmtree(temp)
        temp.mkdir(parents=True)

    # -- runs --

    def run(self, program_path, args=(), cmdline=None, cwd=None, env=None, timeout=60,
            after_exit='wait', trace=True):
        """Runs a program under the watcher and returns a RunResult.

        program_path: Linux path (or Windows path) of the program. args: the arguments, quoted
        as the launcher reads them; or cmdline: the whole command line, exactly (the program
        named in it or not: the file started is always program_path). cwd: the current folder
        (default: the watcher's). env: extra environment (the engine's RAVELKIT_ENGINE_SLEEP_MS
        and RAVELKIT_ENGINE_EXIT_CODE; RAVELKIT_ENGINE_REPORT is set to a file of this run).
        timeout: seconds after which every process of the run is killed. after_exit: 'wait'
        for what the program left running (a detached engine), or 'kill' it. trace: record
        the calls of relay.TRACED (result.calls, and the flags of each box); off for timing."""
        self._runs += 1
        run_dir = self.runs_dir / ('%03d' % self._runs)
        run_dir.mkdir(parents=True)
        report, engine_report = run_dir / 'watcher.jsonl', run_dir / 'engine.txt'
        win_program = self.to_windows(program_path)
        if cmdline is None:
            cmdline = ' '.join(['"%s"' % win_program] + [quote_arg(a) for a in args])
        extra = {'RAVELKIT_ENGINE_REPORT': self.to_windows(engine_report)}
        extra.update(env or {})
        if trace:
            extra['WINEDEBUG'] = '-all,+pid,+relay'
        command = [str(program('watcher.exe')), '--timeout', str(int(timeout * 1000)),
                   '--cmdline-hex', cmdline.encode('utf-8').hex(), '--app', win_program,
                   '--after-exit', after_exit]
        if cwd is not None:
            command += ['--cwd', self.to_windows(cwd)]
        command.append(self.to_windows(report))

        temp = self.temp_dir
        temp_before = set(os.listdir(temp)) if temp.is_dir() else set()
        started = time.monotonic()
        killed = False
        self._live = True
        # Wine's output goes to a file, not a pipe: the wineserver and the services a run may
        # start inherit it and live on for seconds after the run, and a pipe would wait for them.
        stderr_path = run_dir / 'wine-stderr.txt'
        with open(stderr_path, 'wb') as out:
            try:
                subprocess.run(['wine'] + command, env=self.env(extra), stdout=out, stderr=out,
                               stdin=subprocess.DEVNULL, timeout=timeout + 60)
            except subprocess.TimeoutExpired:
                self.stop()
                killed = True
        seconds = time.monotonic() - started
        stderr = stderr_path.read_bytes().decode('utf-8', 'replace')

        events = []
        if report.is_file():
            for line in report.read_text(encoding='utf-8', errors='replace').splitlines():
                try:
                    events.append(json.loads(line))
                except ValueError:
                    pass  # the last line of a run cut short
        if not events:
            raise HarnessError('the watcher wrote no report (wine: %s)' % stderr[-2000:])
        if events[0].get('error') is not None:
            raise HarnessError('the watcher could not start %r: error %s'
                               % (cmdline, events[0]['error']))
        boxes = [Box(caption=e['caption'], text=e['text'],
                     caption_bytes=bytes.fromhex(e['caption_ansi_hex']),
                     text_bytes=bytes.fromhex(e['text_ansi_hex']),
                     buttons=[b['text'] for b in e['buttons']],
                     button_ids=[b['id'] for b in e['buttons']], icon=e['icon'],
                     owner=e['owner'], pid=e['pid'], image=e['image'])
                 for e in events if e['event'] == 'box']
        calls = relay.parse(stderr) if trace else []
        for pid in {box.pid for box in boxes}:
            shown = [b for b in boxes if b.pid == pid]
            traced = [c for c in calls if c.pid == pid and c.function.startswith('MessageBox')]
            if len(shown) == len(traced):
                for box, call in zip(shown, traced):
                    box.flags = call.args[4 if 'Ex' in call.function else 3]
        main_exit = next((e for e in events if e['event'] == 'exit' and e['main']), None)
        timed_out = killed or any(e['event'] == 'timeout' for e in events)
        temp_after = set(os.listdir(temp)) if temp.is_dir() else set()
        return RunResult(
            cmdline=cmdline, pid=events[0]['pid'], events=events, boxes=boxes, calls=calls,
            exit_code=None if main_exit is None else main_exit['code'],
            others_running=[] if main_exit is None else main_exit['others_running'],
            exits=[(e['image'], e['code']) for e in events if e['event'] == 'exit'],
            timed_out=timed_out,
            engine_runs=parse_engine_report(engine_report.read_bytes())
            if engine_report.is_file() else [],
            temp=temp, temp_new=sorted(temp_after - temp_before), stderr=stderr,
            seconds=seconds)


# ---- unittest support --------------------------------------------------------------------------

class WineTestCase(unittest.TestCase):
    """A test class with its own prefix (`self.prefix`), made once for the class.

    arch: 32 or 64. prefix_name: defaults to the module's name, so that test modules never
    share a prefix and can run in parallel."""
    arch = 32
    prefix_name = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        name = cls.prefix_name or cls.__module__.rpartition('.')[2]
        cls.prefix = Prefix.open(name, cls.arch)

    @classmethod
    def tearDownClass(cls):
        cls.prefix.stop()
        super().tearDownClass()

    def work(self, *parts):
        """A fresh folder for this test (named after it) or a sub-folder of it."""
        return work_dir(self.id().rpartition('.')[2].replace('test_', '', 1) + '-%d' % self.arch,
                        *parts)

    def assertBox(self, result, box, text, caption):
        """A box with exactly this text and caption, MB_ICONERROR and one OK button, no owner."""
        self.assertEqual(box.text, text, result)
        self.assertEqual(box.caption, caption, result)
        self.assertEqual(box.buttons, ['OK'], result)
        self.assertEqual(box.button_ids, [1], result)
        self.assertFalse(box.owner, result)
        self.assertIsNotNone(box.flags, 'MessageBox call not traced\n%s' % result)
        self.assertEqual(box.flags, MB_OK | MB_ICONERROR, result)

    def assertEndsWithBox(self, result, text, caption):
        """The run showed exactly this one error box, started no engine and ended with 0."""
        self.assertFalse(result.timed_out, result)
        self.assertEqual(len(result.boxes), 1, result)
        self.assertBox(result, result.boxes[0], text, caption)
        self.assertEqual(result.engine_runs, [], result)
        self.assertEqual(result.exit_code, 0, result)
        self.assertEqual(result.others_running, [], result)


# ---- command line: the ctest fixture -----------------------------------------------------------

def main(argv):
    if argv[1:] == ['make-prefixes']:
        # Both architectures at once: wineboot waits on its own services most of the time.
        import threading
        errors, threads = [], []
        for arch in (32, 64):
            def make(arch=arch):
                try:
                    started = time.monotonic()
                    ensure_base(arch)
                    print('base prefix %d-bit ready in %.1f s: %s'
                          % (arch, time.monotonic() - started, WINE_DIR / ('base%d' % arch)))
                except Exception as e:  # reported below, the other thread still finishes
                    errors.append('%d-bit: %s' % (arch, e))
            threads.append(threading.Thread(target=make))
            threads[-1].start()
        for t in threads:
            t.join()
        for e in errors:
            print('error:', e, file=sys.stderr)
        return 1 if errors else 0
    print('usage: harness.py make-prefixes', file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
