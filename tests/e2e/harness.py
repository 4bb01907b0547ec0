"""The end-to-end harness: the real launcher.exe under Wine, with real packages.

What a test does with it:

    class Packages(harness.WineTestCase):             # one Wine prefix per test module
        def test_damaged(self):
            package = harness.build_package(self.work() / 'setup.exe', engine32=True)
            ...damage a byte...
            self.prefix.configure(windows='winxp')      # the Windows of this case
            result = self.prefix.run(package, args=['/x'])
            self.assertEndsWithBox(result, harness.FATAL_READ, self.prefix.own_path(package))
            result.engine_runs, result.temp_new, result.calls_of('CreateFileA') ...

Prefixes. `wineboot` takes 10 to 15 s, so each build folder makes one base prefix per
architecture (32-bit: IsWow64Process FALSE; 64-bit: TRUE), once; `python3 harness.py
make-prefixes` is the ctest fixture that does it. Each test module works on its own copy of a base
(`Prefix.open(name, arch)`, a fraction of a second: Wine's DLLs are linked, not copied), so
modules can run in parallel. `Prefix.configure(...)` declares the Windows version, service pack
and registry values of a case; whatever the previous case set and this one does not goes back to
the base's value, so nothing leaks from one case into the next. A running prefix takes the
change through one regedit import (0.2 s); a stopped one gets it written into its registry files.

Message boxes. Without a display Wine's MessageBox returns at once and its text is lost. The
prefixes use Wine's null graphics driver, under which a box is a real window that never closes by
itself; every program runs under watcher.exe, which records each box (caption, text, buttons,
owner) and presses OK, and has a timeout. The flags a program passed (MB_ICONERROR ...) come from
Wine's relay trace of the MessageBox call (relay.py), since Wine cannot show one process's icon to
another; the same trace records the launcher's file, process and shell calls (result.calls).

Environment. Every Wine process gets WINEDEBUG without noise, no Mono or Gecko, the C.UTF-8
locale (ANSI code page 1252, so a Cyrillic path reaches the ANSI functions as "?") and no
display; the user's own Wine prefix is never touched.

Running and debugging. `ctest --test-dir build/host -L e2e` runs every test_*.py here; one
module by hand: `cd tests/e2e && python3 -m unittest -v test_foundation` (it makes the base
prefixes when they are missing). Each run leaves build/host/e2e/runs/<prefix>/<n>/ behind:
watcher.jsonl (the watcher's report), engine.txt (the test engine's) and wine-stderr.txt (Wine's
trace); RunResult's text form (the message of a failed assertion) sums them up.

The pieces: locations.py (where programs and folders are), wineprefix.py (prefixes, settings,
runs), results.py (what a run showed), relay.py (Wine's call trace), winereg.py (registry files).
This module gathers what tests use and adds packages, the launcher's texts and the test class.
"""

import contextlib
import json
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

from locations import (DIST_DIR, REPO, WIN_DIR, WINE_DIR, WORK_DIR, HarnessError,  # noqa: F401
                       program, work_dir)
from results import MB_ICONERROR, MB_OK, Box, EngineRun, RunResult  # noqa: F401
from wineprefix import (NT_CURRENT_VERSION, WINDOWS_VERSIONS, Prefix, ansi,  # noqa: F401
                        ensure_base, quote_arg)

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


# ---- files and folders -------------------------------------------------------------------------

def place(source, folder, name=None):
    """Copies a file into a folder (made if needed, any name, Cyrillic included); returns the
    copy's path."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / (name or Path(source).name)
    shutil.copyfile(source, target)
    return target


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


def sign_package(package, out):
    """Signs a package with osslsigncode and a certificate made for the test run (kept in the
    work folder); returns the signed file's path. verify_signature() checks it."""
    certs = WORK_DIR / 'signing'
    key, cert = certs / 'key.pem', certs / 'cert.pem'
    if not cert.is_file():
        certs.mkdir(parents=True, exist_ok=True)
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                        '-subj', '/CN=Ravelkit test signer', '-keyout', key, '-out', cert],
                       check=True, capture_output=True, timeout=120)
    Path(out).unlink(missing_ok=True)
    proc = subprocess.run(['osslsigncode', 'sign', '-certs', cert, '-key', key,
                           '-n', 'Ravelkit test', '-in', package, '-out', out],
                          capture_output=True, text=True, timeout=120)
    if proc.returncode != 0:
        raise HarnessError('osslsigncode sign: %s' % (proc.stdout + proc.stderr).strip())
    return Path(out)


def verify_signature(path):
    """`osslsigncode verify` against the test certificate: the CompletedProcess."""
    return subprocess.run(['osslsigncode', 'verify', '-CAfile', WORK_DIR / 'signing' / 'cert.pem',
                           '-in', path], capture_output=True, text=True, timeout=120)


@contextlib.contextmanager
def small_disk(folder, size):
    """A tmpfs of `size` bytes mounted on `folder` for the duration (a full disk for the
    launcher's temporary copy: Wine then reports a short write). Skips the test where mounting
    is not allowed."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    proc = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=%d' % size, 'tmpfs', folder],
                          capture_output=True, text=True, timeout=60)
    if proc.returncode != 0:
        raise unittest.SkipTest('cannot mount a tmpfs here: %s' % proc.stderr.strip())
    try:
        yield folder
    finally:
        subprocess.run(['umount', '-l', folder], capture_output=True, timeout=60)


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
        cls.prefix.close()
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
