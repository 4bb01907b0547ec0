"""Wine prefixes for the end-to-end tests: made once per build folder, copied per test module,
set to the Windows of each case, and the runs of programs in them under the watcher."""

import atexit
import fcntl
import json
import os
import re
import shutil
import subprocess
import time
from pathlib import Path, PureWindowsPath

import relay
import winereg
from locations import WINE_DIR, HarnessError, program, work_dir
from results import Box, RunResult, parse_engine_report

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


def ansi(text, codepage='cp1252'):
    """What an ANSI function returns for `text` on that code page: a character the code page
    lacks becomes "?" (as Wine's WideCharToMultiByte does)."""
    return text.encode(codepage, 'replace').decode(codepage)


def quote_arg(arg):
    """An argument as the launcher reads it: quoted when it holds a blank or tab or is empty
    (the launcher knows no escapes, so a double quote cannot be passed inside a quoted one)."""
    return '"%s"' % arg if (not arg or ' ' in arg or '\t' in arg) else arg


def _wine_version():
    return subprocess.run(['wine', '--version'], capture_output=True, text=True,
                          timeout=60).stdout.strip()


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
# Locks on the prefixes this process uses: {lock file: [open file, users]}.
_held = {}


def _hold(path):
    """Takes the lock of a prefix for this process (again, when it holds it already). Another
    process that uses the same prefix (the same test module run twice at once) waits here,
    rather than having its Wine processes killed and its settings changed under it."""
    if path in _held:
        _held[path][1] += 1
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    handle = open(path, 'w')
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print('waiting for %s: another process uses it' % path.name[1:-5], flush=True)
        fcntl.flock(handle, fcntl.LOCK_EX)
    _held[path] = [handle, 1]


def _release(path):
    entry = _held.get(path)
    if entry:
        entry[1] -= 1
        if entry[1] == 0:
            entry[0].close()
            del _held[path]


def _close_all():
    for prefix in list(_open_prefixes):
        prefix.close()


atexit.register(_close_all)


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
        self._lock = None

    @classmethod
    def open(cls, name, arch=32):
        """The prefix `name` of the given architecture (made from the base when missing or
        when the base changed), stopped, reset to the base's registry, TEMP emptied. It stays
        this process's until close()."""
        base = ensure_base(arch)
        path = WINE_DIR / 'work' / ('%s-%d' % (name, arch))
        lock = WINE_DIR / 'work' / ('.%s.lock' % path.name)
        _hold(lock)
        stamp, base_stamp = path / '.ravelkit' / 'base.json', base / '.ravelkit' / 'base.json'
        if not stamp.is_file() or stamp.read_text() != base_stamp.read_text():
            if path.exists():
                cls(path, arch, base).stop()
                shutil.rmtree(path)
            _clone_prefix(base, path)
        prefix = cls(path, arch, base)
        prefix._lock = lock
        prefix.runs_dir = work_dir('runs', path.name)
        prefix.stop()
        for link in (path / 'dosdevices').iterdir():  # drives an earlier run mapped
            if not (base / 'dosdevices' / link.name).is_symlink():
                link.unlink()
        prefix.configure()
        prefix.clear_temp()
        _open_prefixes.append(prefix)
        return prefix

    def close(self):
        """Stops the prefix and lets other processes have it."""
        self.stop()
        if self._lock:
            _release(self._lock)
            self._lock = None
        if self in _open_prefixes:
            _open_prefixes.remove(self)

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
