"""Real packages from ravelpack under Wine: the size test, the checksum, signed packages and the
texts a package carries for its own refusals."""

import random
import shutil
import struct
import unittest

import harness

# Engine data of this size reaches past the checked region (its first 64 KiB lie inside), so a
# package has bytes that only the engine reads, as a real one does.
ENGINE_DATA_SIZE = 100 * 1024
SIGNING_TOOLS = ('openssl', 'osslsigncode')


def write_changed(source, target, offset):
    """A copy of `source` with the byte at `offset` inverted."""
    data = bytearray(source.read_bytes())
    data[offset] ^= 0xFF
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(data)
    return target


def write_cut(source, target, length):
    """A copy of the first `length` bytes of `source`."""
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(source.read_bytes()[:length])
    return target


def security_directory(path):
    """(file offset, size) of a PE32 file's certificate table."""
    data = path.read_bytes()
    pe = struct.unpack_from('<I', data, 60)[0]
    optional = pe + 24
    if struct.unpack_from('<H', data, optional)[0] != 0x10B:
        raise AssertionError('%s is not PE32' % path)
    return struct.unpack_from('<II', data, optional + 96 + 4 * 8)


class PackageIntegrity(harness.WineTestCase):
    """The launcher's own file, checked before anything of it is trusted: a short file is an
    incomplete download, a changed byte in the checked region a damaged package."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        folder = harness.work_dir('package-integrity')
        data = folder / 'engine-data.bin'
        data.write_bytes(random.Random(2).randbytes(ENGINE_DATA_SIZE))
        cls.package = harness.build_package(folder / 'setup.exe', engine32=True,
                                            engine_data=data)
        cls.info = harness.inspect_package(cls.package)
        assert cls.info['Passes'], cls.info
        cls.checked_end = cls.info['HeaderOffset'] + cls.info['CheckedLength']
        assert cls.checked_end < cls.info['MinFileSize'], cls.info
        cls.signed = None
        if all(shutil.which(tool) for tool in SIGNING_TOOLS):
            (folder / 'signed').mkdir()
            cls.signed = harness.sign_package(cls.package, folder / 'signed' / 'setup.exe')

    def setUp(self):
        self.prefix.configure()
        self.prefix.clear_temp()

    def need_signed(self):
        if self.signed is None:
            self.skipTest('signing needs %s (scripts/install-deps.sh installs them)'
                          % ' and '.join(SIGNING_TOOLS))
        return self.signed

    def assertEngineRan(self, result, package):
        """The package passed every phase: the engine ran once with the package as its first
        argument, and its copy went when it ended."""
        self.assertFalse(result.timed_out, result)
        self.assertEqual(result.boxes, [], result)
        self.assertEqual(len(result.engine_runs), 1, result)
        self.assertEqual(result.engine.package, self.prefix.own_path(package), result)
        self.assertTrue(result.engine.ended, result)
        self.assertEqual(result.exit_code, 0, result)
        self.assertEqual(result.temp_new, [], result)

    def reads(self, result):
        """The sizes of the launcher's reads, in order."""
        return [c.args[2] for c in result.calls_of('ReadFile')]

    def test_sound_package_passes_and_the_engine_runs(self):
        # Integrity, the gates, decoding, the copy and the start all pass: the test engine runs.
        package = harness.place(self.package, self.work())
        result = self.prefix.run(package, timeout=30)
        self.assertEngineRan(result, package)
        # The checked region came in with one read of exactly CheckedLength bytes at HeaderOffset,
        # behind the 24-byte locator.
        seeks = [c.args[1] for c in result.calls_of('SetFilePointer')]
        self.assertEqual(seeks[:2], [128, self.info['HeaderOffset']], result)
        self.assertEqual(self.reads(result)[:2], [24, self.info['CheckedLength']], result)

    def test_cut_points(self):
        # The size test runs before any byte of the package is read: a download cut short is
        # truncated wherever it stops, never damaged, even inside the checked region. The file
        # is a signed package, longer than MinFileSize, cut back.
        signed = self.need_signed()
        minimum, header = self.info['MinFileSize'], self.info['HeaderOffset']
        cases = [
            # (name, length, box: None when the engine runs)
            ('exactly MinFileSize', minimum, None),
            ('one byte short of MinFileSize', minimum - 1, harness.FATAL_TRUNCATED),
            ('inside the checked region', header + self.info['CheckedLength'] // 2,
             harness.FATAL_TRUNCATED),
            ('inside the header', header + 40, harness.FATAL_TRUNCATED),
            ('no package byte left', header, harness.FATAL_TRUNCATED),
        ]
        for name, length, box in cases:
            with self.subTest(name):
                package = write_cut(signed, self.work(name.replace(' ', '-')) / 'setup.exe',
                                    length)
                result = self.prefix.run(package, timeout=30)
                if box is None:
                    self.assertEngineRan(result, package)
                else:
                    self.assertEndsWithBox(result, box, self.prefix.own_path(package))
                    self.assertEqual(self.reads(result), [24], result)

    def test_changed_byte(self):
        # The CRC covers the header, the payload and the message texts; the engine data behind
        # the region and the executable in front of it are not the launcher's to check. A
        # changed byte in the region stops the run before the payload is read.
        info = self.info
        stub_text = self.package.read_bytes()[64:128].find(b'DOS')
        self.assertGreater(stub_text, 0, 'no DOS stub message to change')
        cases = [
            # (name, offset, box: None when the engine runs)
            ('header: Reserved, which nothing else reads', info['HeaderOffset'] + 46,
             harness.FATAL_READ),
            ('payload', info['Payload32']['Offset'] + info['Payload32']['PackedSize'] // 2,
             harness.FATAL_READ),
            ('expiry message text', info['ExpiryMessage']['Offset'], harness.FATAL_READ),
            ('locator: CheckedCrc', 128 + 8, harness.FATAL_READ),
            ('engine data behind the checked region', self.checked_end + 100, None),
            ('DOS stub message', 64 + stub_text, None),
        ]
        for name, offset, box in cases:
            with self.subTest(name):
                package = write_changed(self.package, self.work(str(offset)) / 'setup.exe',
                                        offset)
                result = self.prefix.run(package, timeout=30)
                if box is None:
                    self.assertEngineRan(result, package)
                    continue
                self.assertEndsWithBox(result, box, self.prefix.own_path(package))
                seeks = [c.args[1] for c in result.calls_of('SetFilePointer')]
                self.assertNotIn(info['Payload32']['Offset'], seeks, result)
                self.assertEqual(len(result.calls_of('CreateFileA')), 1, result)

    def test_signed_package_passes_and_its_signature_verifies(self):
        signed = self.need_signed()
        # The signature lies behind the package data, at the first multiple of 8.
        offset, size = security_directory(signed)
        minimum = self.info['MinFileSize']
        self.assertEqual(offset, (minimum + 7) // 8 * 8)
        self.assertGreater(size, 0)
        self.assertEqual(signed.stat().st_size, offset + size)
        verify = harness.verify_signature(signed)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        self.assertIn('Signature verification: ok', verify.stdout)
        result = self.prefix.run(signed, timeout=30)
        self.assertEngineRan(result, signed)


class PackageMessages(harness.WineTestCase):
    """A refusal shows the package's own text, in the ANSI code page, with the launcher's path
    as caption; only the Windows refusal names the running Windows."""

    def setUp(self):
        self.prefix.clear_temp()

    def run_refused(self, running, **options):
        """Builds a package with `options` and runs it on the Windows `running`."""
        package = harness.build_package(self.work() / 'setup.exe', engine32=True, **options)
        self.prefix.configure(windows=running)
        return package, self.prefix.run(package, timeout=30)

    def test_expired_package_shows_its_expiry_text(self):
        # Code page 1252 holds the dash, the guillemets, "é" and "€" (0x80), not the Cyrillic
        # letter, which becomes "?". Without a Windows name the placeholder stays as written.
        text = 'Abgelaufen – «café» kostet 5 € ¼ Ж; %USER% bleibt.'
        package, result = self.run_refused(None, expires='2001-02-03', expiry_message=text)
        self.assertEndsWithBox(result, harness.ansi(text), self.prefix.own_path(package))
        self.assertEqual(result.boxes[0].text_bytes, text.encode('cp1252', 'replace'))
        self.assertEqual(result.temp_new, [], result)

    def test_windows_refusal_names_the_running_windows(self):
        # A package for Windows XP alone on Windows 10: both spellings of the placeholder take
        # the name, every time; another mix of capitals is no placeholder.
        text = 'Not on %USER%, only XP (%user%, %User%, %USER%).'
        shown = 'Not on Windows 10, only XP (Windows 10, %User%, Windows 10).'
        package, result = self.run_refused('win10', windows='xp', windows_message=text)
        self.assertEndsWithBox(result, shown, self.prefix.own_path(package))


if __name__ == '__main__':
    unittest.main()
