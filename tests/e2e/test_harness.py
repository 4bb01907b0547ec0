"""The harness itself: that a prefix is the Windows it was told to be, that the watcher passes
command lines and exit codes unchanged and stops what hangs, and that the registry files are
written the way wineserver reads them. The launcher's tests stand on these."""

import os
import tempfile
import unittest
from pathlib import Path

import harness
import relay
import winereg


class RegistryFiles(unittest.TestCase):
    """winereg against a file in wineserver's own format (no Wine needed)."""

    SAMPLE = '\n'.join([
        'WINE REGISTRY Version 2',
        ';; All keys relative to REGISTRY\\\\Machine',
        '',
        '#arch=win32',
        '',
        '[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1796955484',
        '#time=1dd8915dab3df32',
        '"CSDVersion"="Service Pack 1"',
        '"CurrentBuild"="7601"',
        '"DigitalProductId"=hex:00,00,00,\\',
        '  00,00',
        '"ProductName"="Windows 7"',
        '',
        '[Software\\\\Odd \\[Key\\]] 1796955484',
        '"Quote \\"Name\\""="C:\\\\x\\x00e9"',
        '',
    ])

    def setUp(self):
        fd, name = tempfile.mkstemp(suffix='.reg')
        os.close(fd)
        self.path = Path(name)
        self.path.write_text(self.SAMPLE)
        self.addCleanup(self.path.unlink)

    def edit(self, change):
        reg = winereg.RegFile(self.path)
        change(reg)
        reg.save()
        return winereg.RegFile(self.path)

    def test_edits(self):
        nt = r'Software\Microsoft\Windows NT\CurrentVersion'
        cases = [
            # (what, change, key, name, raw text expected after '=')
            ('replace, case-insensitive name', lambda r: r.set(nt, 'currentbuild', '22631'),
             nt, 'CurrentBuild', '"22631"'),
            ('add to an existing key', lambda r: r.set(nt, 'DisplayVersion', '23H2'),
             nt, 'DisplayVersion', '"23H2"'),
            ('replace a value with continuation lines',
             lambda r: r.set(nt, 'DigitalProductId', 7), nt, 'DigitalProductId', 'dword:00000007'),
            ('delete', lambda r: r.delete(nt, 'CSDVersion'), nt, 'CSDVersion', None),
            ('new key', lambda r: r.set(r'System\CurrentControlSet\Control\Windows',
                                        'CSDVersion', 0x300),
             r'System\CurrentControlSet\Control\Windows', 'CSDVersion', 'dword:00000300'),
            ('escapes in key, name and value', lambda r: r.set(r'Software\Odd [Key]',
                                                              'Quote "Name"', 'a"b\\cé'),
             r'Software\odd [key]', 'Quote "Name"', '"a\\"b\\\\c\\x00e9"'),
        ]
        for what, change, key, name, expected in cases:
            with self.subTest(what):
                self.path.write_text(self.SAMPLE)
                self.assertEqual(self.edit(change).get(key, name), expected)
        # Nothing else moved: the neighbours of the replaced multi-line value are intact.
        reg = self.edit(lambda r: r.set(nt, 'DigitalProductId', 7))
        self.assertEqual(reg.get(nt, 'ProductName'), '"Windows 7"')
        self.assertEqual(reg.get(nt, 'CurrentBuild'), '"7601"')

    def test_escape_round_trip(self):
        for text in ['plain', 'back\\slash', 'quo"te', 'tab\there', 'é', 'Папка', '1\x002',
                     '\U0001F600', '\\x41']:
            with self.subTest(text=text):
                self.assertEqual(winereg.unescape(winereg.escape(text, '"') + '"', '"'),
                                 (text, len(winereg.escape(text, '"')) + 1))


class RelayTrace(unittest.TestCase):
    """relay.parse against lines as Wine 8 writes them (no Wine needed)."""

    def test_calls_with_results(self):
        trace = '\n'.join([
            '00e4:00e8:Call KERNEL32.CreateFileA(00733868 "Z:\\\\a b\\\\\\xe9\\"q\\".exe",'
            '80000000,00000001,00000000,00000003,00000000,00000000) ret=00401f4b',
            '00dc:00e0:Call KERNEL32.WriteFile(00000058,00b211f8,00000082,0061f9fc,00000000)'
            ' ret=00401e25',
            '00e4:00e8:Ret  KERNEL32.CreateFileA() retval=00000058 ret=00401f4b',
            '00e4:00e8:Call user32.MessageBoxA(00000000,00402140 "An error...",0060fa23 "'
            + 'x' * 20 + '"...,00000010) ret=004010bf',
            '0044:Call window proc 688A2120 (hwnd=00010020,msg=WM_NCCREATE,wp=00000000,lp=0)',
            '00dc:00e0:Ret  KERNEL32.WriteFile() retval=00000001 ret=00401e25',
        ])
        calls = relay.parse(trace)
        self.assertEqual([(c.pid, c.function, c.retval) for c in calls],
                         [(0xe4, 'CreateFileA', 0x58), (0xdc, 'WriteFile', 1),
                          (0xe4, 'MessageBoxA', None)])
        self.assertEqual(calls[0].args, ['Z:\\a b\\\u00e9"q".exe', 0x80000000, 1, 0, 3, 0, 0])
        self.assertEqual(calls[2].args, [0, 'An error...', 'x' * 20 + '...', 0x10])


class Prefix32(harness.WineTestCase):
    arch = 32

    def engine(self, env=None, **run):
        """Runs the test engine directly (no launcher) and returns (result, its one run)."""
        result = self.prefix.run(harness.program('engine.exe'), env=env, **run)
        self.assertFalse(result.timed_out, result)
        self.assertEqual(len(result.engine_runs), 1, result)
        return result, result.engine_runs[0]

    def test_windows_versions(self):
        # What the prefix makes Windows report to a program that declares Windows 10 and 11.
        cases = [
            # (configure, version line starts with)
            (dict(), '6.1.7601 platform=2 sp=1'),
            (dict(windows='win95'), '4.0.'),
            (dict(windows='win98'), '4.10.'),
            (dict(windows='win2k', service_pack=3), '5.0.2195 platform=2 sp=3'),
            (dict(windows='win2k', service_pack=4), '5.0.2195 platform=2 sp=4'),
            (dict(windows='winxp', service_pack=2), '5.1.2600 platform=2 sp=2'),
            (dict(windows='win81'), '6.3.'),
            (dict(windows='win10'), '10.0.'),
            (dict(windows='win11'), '10.0.22631 '),
            (dict(windows='win11', build=26100), '10.0.26100 '),
        ]
        for config, version in cases:
            with self.subTest(**config):
                self.prefix.configure(**config)
                _, run = self.engine()
                self.assertTrue(run.version.startswith(version), run.version)
        self.prefix.configure()

    def test_registry_values_reach_a_32_bit_program(self):
        self.prefix.configure(windows='win10', build=19045, display_version='22H2',
                              release_id=2009)
        args = [harness.NT_CURRENT_VERSION.replace('HKLM', 'HKEY_LOCAL_MACHINE'), '/reg:32']
        out = self.prefix.wine('reg', 'query', *args).stdout.decode('utf-8', 'replace')
        for name, value in [('CurrentBuild', '19045'), ('DisplayVersion', '22H2'),
                            ('ReleaseId', '2009'), ('CurrentBuildNumber', '19045')]:
            self.assertRegex(out, r'%s\s+REG_SZ\s+%s\r?\n' % (name, value))
        self.prefix.configure()

    def test_wow64_and_exit_code(self):
        # The exit code arrives whole (wine itself would pass only its low 8 bits).
        result, run = self.engine(env={'RAVELKIT_ENGINE_EXIT_CODE': '3221225477'})
        self.assertEqual(run.wow64, 'yes' if self.arch == 64 else 'no')
        self.assertEqual(result.exit_code, 0xC0000005)
        self.assertTrue(run.ended)
        self.assertEqual(run.exit_code, 0xC0000005)
        self.assertEqual(result.boxes, [])

    def test_exact_command_line_and_folder(self):
        # The watcher hands the program its command line byte for byte: quotes without escapes,
        # a tab, an empty pair of quotes, a trailing blank, a character of code page 1252.
        folder = self.work('cwd folder')
        cmdline = '"C:\\any name.exe"  "a b"\t\\"c\\" "" caf\u00e9 '
        result, run = self.engine(cmdline=cmdline, cwd=folder)
        self.assertEqual(run.raw['cmdline'], cmdline.encode('cp1252'))
        self.assertEqual(run.cwd, self.prefix.to_windows(folder))
        self.assertEqual(run.module, self.prefix.to_windows(harness.program('engine.exe')))
        self.assertEqual(run.package, 'a b')
        self.assertEqual(result.events[0]['cmdline'], cmdline)

    def test_timeout_kills_the_run(self):
        result = self.prefix.run(harness.program('engine.exe'), timeout=2,
                                 env={'RAVELKIT_ENGINE_SLEEP_MS': '60000'})
        self.assertTrue(result.timed_out)
        self.assertEqual(len(result.engine_runs), 1)
        self.assertFalse(result.engine_runs[0].ended)
        self.assertLess(result.seconds, 30)

    def test_paths(self):
        folder = self.work('Папка')
        win = self.prefix.to_windows(folder / 'x.exe')
        self.assertTrue(win.startswith('Z:\\') and win.endswith('\\Папка\\x.exe'), win)
        self.assertEqual(self.prefix.to_linux(win), folder / 'x.exe')
        self.assertEqual(self.prefix.own_path(folder / 'x.exe'), win.replace('Папка', '?????'))
        temp = self.prefix.temp_dir
        self.assertEqual(self.prefix.to_windows(temp).lower(), self.prefix.info['temp'].lower())
        self.assertTrue(self.prefix.to_windows(temp).startswith('C:\\'))
        result = self.prefix.run(harness.program('engine.exe'))
        self.assertEqual(self.prefix.to_linux(result.events[0]['temp']), temp)

    def test_mapped_drive(self):
        folder = self.work('drive')
        self.prefix.map_drive('d', folder)
        self.addCleanup(self.prefix.map_drive, 'd', None)
        self.assertEqual(self.prefix.to_windows(folder / 'sub' / 'x.exe'), 'D:\\sub\\x.exe')
        self.assertEqual(self.prefix.to_linux('d:\\sub'), folder / 'sub')
        (folder / 'sub').mkdir()
        _, run = self.engine(cwd=folder / 'sub')
        self.assertEqual(run.cwd, 'D:\\sub')


class Prefix64(Prefix32):
    arch = 64



if __name__ == '__main__':
    unittest.main()
