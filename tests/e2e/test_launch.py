"""Starting the engine under Wine: its command line and folder, the package file and the copy
while it runs, the wait and the clean-up, a detached package, an engine that cannot start, and
DLLs planted beside the package.

Which start Wine takes: Wine runs every program as an administrator. Before Vista the launcher
starts the engine directly (CreateProcessA); from Vista on it asks whether it is an administrator,
Wine says yes, and it starts directly as well. The shell start (ShellExecuteExA, "open" or
"runas", " /noadmin") is never reached under Wine; the unit tests cover it. Each case below
checks from Wine's trace that the start was the direct one, with the launcher's folder.
"""

import ntpath
import random
import shutil
import subprocess
import unittest

import harness

GENERIC_READ, GENERIC_WRITE = 0x80000000, 0x40000000
FILE_SHARE_READ = 0x1
OPEN_EXISTING = 3
STILL_ACTIVE = 259


def traced_text(text, expected):
    """Whether a string from Wine's trace is `expected` (Wine cuts long strings, ending them
    in "...")."""
    return text == expected or (text.endswith('...') and expected.startswith(text[:-3]))


class _Launch:
    """The launch on one prefix; Launch32 and Launch64 run it on 32-bit and 64-bit Windows."""

    def engine_options(self, engine=True):
        """The package's engine for this Windows: 32-bit on 32-bit Windows, 64-bit on 64-bit."""
        return {'engine%d' % self.arch: engine}

    def start_calls(self, result, copy):
        """The launcher's calls around the start, checked for the order that keeps the copy safe
        and the package free: the package closed, the copy held read-only from its writing until
        the engine has started, then released. Returns the remaining calls after the release."""
        calls = result.calls_of()
        names = [c.function for c in calls]
        self.assertEqual(names.count('CreateProcessA'), 1, result)
        self.assertEqual(result.calls_of('ShellExecuteExA'), [], result)
        start = names.index('CreateProcessA')
        guards = [i for i, c in enumerate(calls[:start])
                  if c.function == 'CreateFileA' and c.args[0] == copy
                  and c.args[1:5] == [GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING]]
        self.assertEqual(len(guards), 1, '\n'.join(map(str, calls)))
        guard = calls[guards[0]].retval
        written = [c for c in calls[:guards[0]]
                   if c.function == 'CreateFileA' and c.args[0] == copy
                   and c.args[1] == GENERIC_WRITE]
        self.assertEqual(len(written), 1, '\n'.join(map(str, calls)))
        package = calls[0]
        self.assertEqual((package.function, package.args[0]),
                         ('CreateFileA', self.prefix.own_path(self.package)), result)
        closed = [i for i, c in enumerate(calls)
                  if c.function == 'CloseHandle' and c.args[0] == package.retval]
        self.assertEqual(len(closed), 1, result)
        self.assertLess(closed[0], start, 'the package is still open at the start')
        released = [i for i, c in enumerate(calls[start:], start)
                    if c.function == 'CloseHandle' and c.args[0] == guard]
        self.assertEqual(len(released), 1, '\n'.join(map(str, calls)))
        # Nothing between writing the copy and the start may release the guard.
        self.assertFalse([c for c in calls[guards[0]:start]
                          if c.function == 'CloseHandle' and c.args[0] == guard])
        return calls[start], calls[released[0] + 1:]

    def test_command_line_and_folder(self):
        # (label, Windows, the package on a drive of its own, the arguments as typed after the
        #  package, what the engine gets after the package path)
        cases = [
            ('no arguments', dict(windows='winxp'), False, '', ''),
            # Blanks keep their quotes, a tab alone does not need them, a lone pair of quotes
            # is no argument, a backslash before a quote is an ordinary character.
            ('blanks, a tab, a lone pair of quotes', dict(windows='win10'), False,
             ' /x "a b"  "t\tu" "" c:\\dir\\ "d e\\"', ' /x "a b" t\tu c:\\dir\\ "d e\\"'),
            # Wine knows no network drives: a drive letter has no universal name there, and the
            # path stays as the launcher sees it. The launcher's switches reach the engine too.
            ('from drive D:, switches', dict(windows='win7'), True, ' /S /32', ' /S /32'),
        ]
        elsewhere = self.work('elsewhere')
        for label, settings, on_drive, typed, passed in cases:
            with self.subTest(label):
                folder = self.work(label.replace(',', '').replace(':', ''), 'Setup Folder')
                if on_drive:
                    self.prefix.map_drive('d', folder.parent)
                    self.addCleanup(self.prefix.map_drive, 'd', None)
                self.package = harness.build_package(folder / 'setup.exe',
                                                     **self.engine_options())
                own = self.prefix.own_path(self.package)
                self.assertEqual(own.startswith('D:\\'), on_drive)
                self.prefix.configure(**settings)
                # Started from another folder: the engine's folder is the package's, not the
                # launcher's current one.
                result = self.prefix.run(self.package, cmdline='"%s"%s' % (own, typed),
                                         cwd=elsewhere)
                self.assertFalse(result.timed_out, result)
                self.assertEqual(result.boxes, [], result)
                self.assertEqual(result.exit_code, 0, result)
                run = result.engine
                self.assertIsNotNone(run, result)
                self.assertEqual(run.variant, str(self.arch))
                copy = run.module
                self.assertEqual(ntpath.dirname(copy).lower(),
                                 self.prefix.info['temp'].rstrip('\\').lower())
                command = '"%s" "%s"%s' % (copy, own, passed)
                self.assertEqual(run.raw['cmdline'], command.encode('cp1252'))
                self.assertEqual(run.cwd, ntpath.dirname(own))
                # While the engine runs the package is free and the engine can read its file.
                self.assertTrue(run.package_exclusive, run.raw)
                self.assertTrue(run.self_readable, run.raw)
                start, after = self.start_calls(result, copy)
                self.assertEqual(start.args[0], 0)  # no application name
                self.assertTrue(traced_text(start.args[1], command), start)
                self.assertEqual(start.args[7], ntpath.dirname(own) + '\\')
                self.assertEqual([(c.function, c.args[0], c.retval) for c in after],
                                 [('DeleteFileA', copy, 1)])
                self.assertTrue(run.ended)
                self.assertEqual(result.temp_new, [], result)
        self.prefix.configure()

    def test_waits_for_the_engine_then_deletes_the_copy(self):
        # (exit code of the engine, how long it runs in ms): the launcher's exit code is 0
        # whatever the engine returns, also the code that a poll would take for "still running".
        cases = [(3, 1500), (STILL_ACTIVE, 500)]
        self.package = harness.build_package(self.work() / 'setup.exe', **self.engine_options())
        self.prefix.configure()
        for code, sleep_ms in cases:
            with self.subTest(exit_code=code):
                result = self.prefix.run(self.package, env={
                    'RAVELKIT_ENGINE_EXIT_CODE': str(code),
                    'RAVELKIT_ENGINE_SLEEP_MS': str(sleep_ms)})
                self.assertFalse(result.timed_out, result)
                self.assertEqual(result.boxes, [], result)
                self.assertEqual(result.exit_code, 0, result)
                run = result.engine
                self.assertTrue(run.ended, result)
                self.assertEqual(run.exit_code, code)
                # The launcher ended after the engine: it outlived the engine's sleep and left
                # nothing running.
                start, end = result.events[0], [e for e in result.events
                                                 if e['event'] == 'exit' and e['main']][0]
                self.assertGreaterEqual(end['t_ms'] - start['t_ms'], sleep_ms, result.events)
                self.assertEqual(result.others_running, [], result)
                _, after = self.start_calls(result, run.module)
                self.assertEqual([(c.function, c.args[0], c.retval) for c in after],
                                 [('DeleteFileA', run.module, 1)])
                self.assertEqual(result.temp_new, [], result)

    def test_detached_package_leaves_the_engine_and_its_copy(self):
        self.package = harness.build_package(self.work() / 'setup.exe', detach=True,
                                             **self.engine_options())
        self.prefix.configure()
        result = self.prefix.run(self.package, env={'RAVELKIT_ENGINE_SLEEP_MS': '3000'})
        self.assertFalse(result.timed_out, result)
        self.assertEqual(result.boxes, [], result)
        run = result.engine
        self.assertTrue(run.ended, result)
        self.assertTrue(run.package_exclusive and run.self_readable, run.raw)
        # The launcher ended first, with 0, while the engine was still running.
        exits = [e for e in result.events if e['event'] == 'exit']
        self.assertEqual([(e['main'], e['code']) for e in exits], [(True, 0), (False, 0)],
                         result.events)
        self.assertEqual([p['image'] for p in exits[0]['others_running']], [run.module])
        self.assertEqual(exits[1]['image'], run.module)
        # Nothing deleted: the copy is the engine's to keep.
        _, after = self.start_calls(result, run.module)
        self.assertEqual(after, [])
        self.assertEqual(result.temp_new, [ntpath.basename(run.module)], result)

    def test_engine_that_cannot_start_shows_the_execute_box(self):
        engine = harness.program('engine.exe').read_bytes()
        # Wine starts a file that begins with "MZ" and holds junk behind it as a DOS program,
        # so such a file is no case here; each of these is refused by CreateProcessA.
        cases = [
            ('random bytes', random.Random(7).randbytes(4096)),
            ('a PE file cut after its headers', engine[:1024]),
            ('one zero byte', b'\0'),
        ]
        folder = self.work()
        self.prefix.configure()
        for label, data in cases:
            with self.subTest(label):
                damaged = folder / (label.replace(' ', '-') + '.bin')
                damaged.write_bytes(data)
                self.package = harness.build_package(
                    folder / (label.replace(' ', '-') + '.exe'), **self.engine_options(damaged))
                result = self.prefix.run(self.package, args=['/x'])
                self.assertEndsWithBox(result, harness.FATAL_EXECUTE,
                                       self.prefix.own_path(self.package))
                starts = result.calls_of('CreateProcessA')
                self.assertEqual([c.retval for c in starts], [0], result)
                # The failed copy stays where it was written, whole.
                self.assertEqual(result.calls_of('DeleteFileA'), [], result)
                self.assertEqual(len(result.temp_new), 1, result)
                self.assertEqual((result.temp / result.temp_new[0]).read_bytes(), data)
                self.prefix.clear_temp()


class Launch32(_Launch, harness.WineTestCase):
    arch = 32

    # A DLL that, once loaded, writes "<its own path>.ran" with the path of the process.
    PLANTED_SOURCE = r'''
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  char path[MAX_PATH + 8], process[MAX_PATH];
  DWORD n, m, written;
  HANDLE h;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  n = GetModuleFileNameA(self, path, MAX_PATH);
  m = GetModuleFileNameA(NULL, process, MAX_PATH);
  lstrcpyA(path + n, ".ran");
  h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, NULL);
  if (h != INVALID_HANDLE_VALUE) {
    WriteFile(h, process, m, &written, NULL);
    WriteFile(h, "\n", 1, &written, NULL);
    CloseHandle(h);
  }
  return TRUE;
}
'''
    # Names the launcher's process loads under Wine (its own imports and what Wine's system DLLs
    # pull in, mpr.dll for the universal path), and names the shell loads on Windows.
    PLANTED_NAMES = ('version.dll', 'mpr.dll', 'uxtheme.dll', 'dwmapi.dll', 'userenv.dll',
                     'propsys.dll', 'cryptbase.dll', 'shlwapi.dll', 'shcore.dll', 'imm32.dll',
                     'msvcrt.dll', 'sechost.dll', 'comctl32.dll')
    # Wine has no list of known system DLLs, and for some of its own DLLs (those it builds as
    # "prefer native") it takes a copy from the program's folder: shcore.dll is one, imported by
    # Wine's shlwapi, which shell32 imports. The launcher therefore imports no shell32: it loads
    # it by its full system path only for a shell start, after restricting the search, and under
    # Wine 8 no planted DLL runs in its process. (Wine 8 does not heed the DependentLoadFlags of
    # the load-configuration record; on Windows shcore.dll is a known system DLL anyway.)
    WINE_LOADS_ANYWAY = set()

    def test_planted_dlls_beside_the_package(self):
        compiler = shutil.which('i686-w64-mingw32-gcc')
        if not compiler:
            self.skipTest('i686-w64-mingw32-gcc is needed to build the planted DLL')
        build = self.work('build')
        (build / 'planted.c').write_text(self.PLANTED_SOURCE)
        subprocess.run([compiler, '-O2', '-shared', '-nostdlib', '-Wl,-e,_DllMain@12',
                        '-o', str(build / 'planted.dll'), str(build / 'planted.c'),
                        '-lkernel32'], check=True, capture_output=True, timeout=120)
        folder = self.work('Downloads')
        for name in self.PLANTED_NAMES:
            harness.place(build / 'planted.dll', folder, name)
        self.package = harness.build_package(folder / 'setup.exe', engine32=True)
        for settings in (dict(windows='winxp'), dict(windows='win10')):
            with self.subTest(**settings):
                for marker in folder.glob('*.ran'):
                    marker.unlink()
                self.prefix.configure(**settings)
                result = self.prefix.run(self.package, args=['/x'])
                # The package still installs: no planted DLL broke the launcher's start.
                self.assertEqual(result.boxes, [], result)
                self.assertEqual(result.exit_code, 0, result)
                self.assertTrue(result.engine and result.engine.ended, result)
                ran = {m.name[:-len('.ran')]: m.read_text(errors='replace').splitlines()
                       for m in folder.glob('*.ran')}
                in_launcher = {name for name, processes in ran.items()
                               if self.prefix.own_path(self.package) in processes}
                self.assertLessEqual(in_launcher, self.WINE_LOADS_ANYWAY, ran)
                self.assertFalse([n for n, p in ran.items() if result.engine.module in p], ran)
        self.prefix.configure()


class Launch64(_Launch, harness.WineTestCase):
    arch = 64


if __name__ == '__main__':
    unittest.main()
