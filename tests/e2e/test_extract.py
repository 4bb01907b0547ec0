"""Decoding the engine and writing its temporary copy, under Wine with real packages.

The copies are checked byte for byte against the engine that went into the package. Most
packages here are detached, so the launcher leaves the copy behind for the test to read; the
engine's report says which file was started."""

import os
import random
import shutil
import unittest

import harness

# The engine of a few MB: the test engine with data behind its image (Windows still loads it),
# mixed of runs that LZMA matches and bytes it cannot compress, so decoding takes both paths and
# the output grows through many steps.
BIG_ENGINE_SIZE = 3 << 20
TMPFS_SIZE = 64 * 1024


def make_big_engine(path):
    rng = random.Random(7)
    data = bytearray(harness.program('engine.exe').read_bytes())
    while len(data) < BIG_ENGINE_SIZE:
        data += rng.randbytes(rng.randrange(1, 2048))
        data += bytes([rng.randrange(256)]) * rng.randrange(1, 4096)
    path.write_bytes(data[:BIG_ENGINE_SIZE])
    return path


class Extraction(harness.WineTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = harness.work_dir('extract-packages')
        cls.engine = harness.program('engine.exe').read_bytes()
        big_engine = make_big_engine(folder / 'big-engine.exe')
        cls.big_engine = big_engine.read_bytes()
        cls.detached = harness.build_package(folder / 'small' / 'setup.exe', engine32=True,
                                             detach=True)
        cls.attached = harness.build_package(folder / 'attached' / 'setup.exe', engine32=True)
        cls.big = harness.build_package(folder / 'big' / 'setup.exe', engine32=big_engine,
                                        detach=True)
        # Drive D: for the "/temp" folders, emptied before each test.
        cls.drive_d = harness.work_dir('extract-drive-d')
        cls.prefix.map_drive('D', cls.drive_d)

    def setUp(self):
        self.prefix.configure()
        self.prefix.clear_temp()
        shutil.rmtree(self.drive_d)
        self.drive_d.mkdir()

    def launch(self, package, folder, name='setup.exe', args=()):
        """Places `package` as folder/name and runs it; returns (placed package, result)."""
        placed = harness.place(package, folder, name)
        return placed, self.prefix.run(placed, args=args, timeout=60)

    def copy_calls(self, result, windows_path):
        """The launcher's CreateFileA calls for the copy and the sizes of its writes to it."""
        creates = [c for c in result.calls_of('CreateFileA')
                   if c.args[0].lower() == windows_path.lower()]
        handles = {c.retval for c in creates}
        writes = [c.args[2] for c in result.calls_of('WriteFile') if c.args[0] in handles]
        return creates, writes

    def assertCopy(self, result, linux_path, engine, left=True):
        """The engine ran from `linux_path`, written in one write of the engine's size by a
        create that replaces whatever is there (write access, read sharing); a detached run
        leaves the copy, byte for byte the engine."""
        self.assertFalse(result.timed_out, result)
        self.assertEqual(result.boxes, [], result)
        self.assertEqual(result.exit_code, 0, result)
        self.assertEqual(len(result.engine_runs), 1, result)
        windows_path = self.prefix.to_windows(linux_path)
        self.assertEqual(result.engine.module.lower(), windows_path.lower(), result)
        creates, writes = self.copy_calls(result, windows_path)
        generic_write, share_read, create_always = 0x40000000, 1, 2
        self.assertEqual([c.args[1:5] for c in creates[:1]],
                         [[generic_write, share_read, 0, create_always]], result)
        self.assertEqual(writes, [len(engine)], result)
        self.assertEqual(linux_path.is_file(), left, result)
        if left:
            self.assertTrue(linux_path.read_bytes() == engine,
                            '%s differs from the engine' % linux_path)

    def test_copy_in_temp_under_the_launchers_name(self):
        temp = self.prefix.temp_dir
        cases = [
            # (name, package, launcher name, engine, copy left behind)
            ('detached test engine', self.detached, 'setup.exe', self.engine, True),
            ('name with blanks and dots', self.detached, 'My Setup 2.0.exe', self.engine, True),
            ('engine of a few MB', self.big, 'setup.exe', self.big_engine, True),
            ('attached: deleted when the engine ends', self.attached, 'setup.exe', self.engine,
             False),
        ]
        for name, package, launcher_name, engine, left in cases:
            with self.subTest(name):
                self.prefix.clear_temp()
                _, result = self.launch(package, self.work(), launcher_name)
                self.assertCopy(result, temp / launcher_name, engine, left)
                self.assertEqual(result.temp_new, [launcher_name] if left else [], result)

    def test_temp_switch_names_the_folder(self):
        d = self.drive_d
        cases = [
            # (name, arguments, folders to make, folder of the copy: None for TEMP)
            ('/temp and a folder', ['/temp', r'D:\copies'], ['copies'], d / 'copies'),
            ('capitals, blank, trailing backslash', ['/TEMP', 'D:\\my copies\\'],
             ['my copies'], d / 'my copies'),
            ('the last switch wins', ['/temp', r'D:\first', '/x', '/Temp', r'D:\second'],
             ['first', 'second'], d / 'second'),
            ('-temp is no switch', ['-temp', r'D:\copies'], ['copies'], None),
            ('/temp: is no switch', ['/temp:', r'D:\copies'], ['copies'], None),
        ]
        for name, args, folders, expected in cases:
            with self.subTest(name):
                self.setUp()
                for folder in folders:
                    (d / folder).mkdir()
                _, result = self.launch(self.detached, self.work(), args=args)
                copy = (expected or self.prefix.temp_dir) / 'setup.exe'
                self.assertCopy(result, copy, self.engine)
                self.assertEqual(result.temp_new, [] if expected else ['setup.exe'], result)
                others = [f for f in folders if d / f != expected]
                self.assertEqual([os.listdir(d / f) for f in others], [[]] * len(others))

    def test_temp_last_puts_the_copy_beside_the_launcher(self):
        # The launcher's own file holds the plain name, so the counter starts at 2 and skips
        # every name that exists, a folder as well as a file.
        cases = [
            # (name, arguments, files there, folders there, name of the copy)
            ('alone', ['/temp'], [], [], 'setup2.exe'),
            ('2 and 3 taken, 3 a folder', ['/x', '/Temp'], ['setup2.exe'], ['setup3.exe'],
             'setup4.exe'),
            ('a folder switch before it', ['/temp', r'D:\copies', '/temp'], [], [],
             'setup2.exe'),
        ]
        for name, args, files, folders, copy_name in cases:
            with self.subTest(name):
                self.setUp()
                (self.drive_d / 'copies').mkdir()
                folder = self.work(name.replace(' ', '-').replace(',', ''))
                for f in files:
                    (folder / f).write_bytes(b'taken')
                for f in folders:
                    (folder / f).mkdir()
                _, result = self.launch(self.detached, folder, args=args)
                self.assertCopy(result, folder / copy_name, self.engine)
                self.assertEqual(result.temp_new, [], result)
                self.assertEqual([(folder / f).read_bytes() for f in files],
                                 [b'taken'] * len(files))
                self.assertEqual(os.listdir(self.drive_d / 'copies'), [])

    def assertNoCopy(self, result, package, folder):
        """The temporary-copy box; no engine, nothing left in `folder` or in TEMP."""
        self.assertEndsWithBox(result, harness.FATAL_TEMP_COPY, self.prefix.own_path(package))
        self.assertEqual(result.temp_new, [], result)
        self.assertEqual(os.listdir(folder) if folder.exists() else [], [])

    def test_missing_temp_folder(self):
        package, result = self.launch(self.detached, self.work(),
                                      args=['/temp', r'D:\missing\deeper'])
        self.assertNoCopy(result, package, self.drive_d)
        creates, writes = self.copy_calls(result, r'D:\missing\deeper\setup.exe')
        self.assertEqual([c.retval for c in creates], [0xFFFFFFFF], result)
        self.assertEqual(writes, [], result)

    def test_disk_full(self):
        # A tmpfs far smaller than the engine: Windows reports a short write, and the partial
        # copy is deleted before the box, so nobody can start half an engine.
        self.assertGreater(len(self.big_engine), TMPFS_SIZE)
        with harness.small_disk(self.work('full'), TMPFS_SIZE) as mount:
            copy = self.prefix.to_windows(mount / 'setup.exe')
            package, result = self.launch(self.big, self.work('launcher'),
                                          args=['/temp', self.prefix.to_windows(mount)])
            self.assertNoCopy(result, package, mount)
        creates, writes = self.copy_calls(result, copy)
        self.assertEqual(len(creates), 1, result)
        self.assertNotEqual(creates[0].retval, 0xFFFFFFFF, result)
        self.assertEqual(writes, [len(self.big_engine)], result)
        deleted = [c.args[0] for c in result.calls_of('DeleteFileA')]
        self.assertEqual(deleted, [copy], result)

    def test_undecodable_payload_shows_the_damaged_box(self):
        # The CRC matches what was written, so the payload is read; the decoder's refusal or a
        # decoded size other than UnpackedSize ends the run before any copy is made.
        size = len(self.engine)
        cases = [
            # (name, test option of ravelpack)
            ('LzmaProps 225', {'raw_props': 225}),
            ('UnpackedSize one byte too large', {'raw_unpacked_size32': size + 1}),
            ('DictSize 2^31', {'raw_dict_size': 1 << 31}),
        ]
        for name, option in cases:
            with self.subTest(name):
                package = harness.build_package(
                    self.work(name.replace(' ', '-')) / 'setup.exe', engine32=True, **option)
                payload = harness.inspect_package(package)['Payload32']
                result = self.prefix.run(package, timeout=30)
                self.assertEndsWithBox(result, harness.FATAL_READ, self.prefix.own_path(package))
                self.assertEqual([c.args[2] for c in result.calls_of('ReadFile')][-1],
                                 payload['PackedSize'], result)
                self.assertEqual(len(result.calls_of('CreateFileA')), 1, result)
                self.assertEqual(result.temp_new, [], result)


if __name__ == '__main__':
    unittest.main()
