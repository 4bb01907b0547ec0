"""The bare launcher under Wine: what it shows before any package is involved."""

import unittest

import harness


class BareLauncher(harness.WineTestCase):
    """launcher.exe as the build leaves it carries no package: it cannot read one."""

    def test_read_error_box_with_own_path_as_caption(self):
        # The caption is the path the launcher got from Windows, never the command line's first
        # token: the command line names another program, in another case and another folder.
        folder = self.work('Some Folder')
        exe = harness.place(harness.program('launcher.exe'), folder, 'Setup Demo.exe')
        cases = [
            ('plain', None),
            ('other first token', 'C:\\elsewhere\\SETUP.EXE /silent "a b"'),
        ]
        for name, cmdline in cases:
            with self.subTest(name):
                result = self.prefix.run(exe, cmdline=cmdline, timeout=30)
                self.assertEndsWithBox(result, harness.FATAL_READ, self.prefix.own_path(exe))
                self.assertEqual(result.boxes[0].caption_bytes,
                                 self.prefix.own_path(exe).encode('cp1252'))
                # It did read its own file, the one Windows named, not the command line's.
                opened = [c.args[0] for c in result.calls_of('CreateFileA')]
                self.assertEqual(opened, [self.prefix.own_path(exe)], result)

    def test_path_the_code_page_cannot_hold_shows_the_guard(self):
        # Cyrillic has no place in code page 1252: the path reaches the launcher with "?" and
        # the guard refuses it with its fixed caption and the path as the launcher sees it.
        folder = self.work('Установка')
        exe = harness.place(harness.program('launcher.exe'), folder, 'setup.exe')
        own = self.prefix.own_path(exe)
        self.assertIn('\\?????????\\setup.exe', own)
        result = self.prefix.run(exe, args=['/x'], timeout=30)
        self.assertEndsWithBox(result, harness.guard_text(own), harness.GUARD_CAPTION)
        self.assertEqual(result.boxes[0].text_bytes, harness.guard_text(own).encode('cp1252'))
        # Nothing else runs: the launcher never opens a file, its own least of all.
        self.assertEqual(result.calls_of('CreateFileA'), [], result)


if __name__ == '__main__':
    unittest.main()
