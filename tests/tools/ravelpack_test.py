"""The built ravelpack binary, end to end: packages read back by `inspect --json` and by
independent decoders (Python's lzma, its own PE checksum), refusals, determinism, --help.

usage: ravelpack_test.py PATH/TO/ravelpack
"""
import json
import lzma
import os
import pty
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testpe  # noqa: E402

RAVELPACK = None
HEADER_SIZE = 74
ALL_WINDOWS = ["95", "98", "me", "nt4", "2000", "xp", "vista", "7", "8", "8.1", "10", "11", "later"]


def pe_checksum(data):
    """Windows' image checksum, written here from its description, not from the tool."""
    field = struct.unpack_from("<I", data, 60)[0] + 24 + 64
    body = bytearray(data)
    body[field:field + 4] = bytes(4)
    if len(body) % 2:
        body.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", body):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF, struct.unpack_from("<I", data, field)[0]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def engine_bytes(size, seed):
    """Engine-like bytes: compressible code-like runs and some noise."""
    out = bytearray()
    state = seed
    while len(out) < size:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out += bytes([state >> 16 & 0xFF]) * (1 + state % 5) + b"MZ engine code "[: state % 15]
    return bytes(out[:size])


class Workspace(unittest.TestCase):
    def setUp(self):
        self.dir_handle = tempfile.TemporaryDirectory(prefix="ravelpack-test-")
        self.dir = self.dir_handle.name
        self.launcher = self.write("launcher.exe", testpe.make_pe32())
        self.engine32 = self.write("engine32.exe", engine_bytes(40000, 1))
        self.engine64 = self.write("engine64.exe", engine_bytes(50000, 2))
        self.out = os.path.join(self.dir, "out", "setup.exe")
        os.mkdir(os.path.dirname(self.out))

    def tearDown(self):
        self.dir_handle.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run_tool(self, *args):
        return subprocess.run([RAVELPACK, *args], capture_output=True, timeout=120)

    def build(self, *extra, out=None):
        args = ["build", "--launcher", self.launcher, "--out", out or self.out, *extra]
        result = self.run_tool(*args)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(result.stderr, b"", "nothing on stderr when it is not a terminal")
        return read(out or self.out)

    def inspect(self, path):
        result = self.run_tool("inspect", "--json", path)
        self.assertIn(result.returncode, (0, 1), result.stderr.decode())
        report = json.loads(result.stdout)
        self.assertEqual(result.returncode == 0, report["Passes"])
        return report


class BuildAndInspect(Workspace):
    def test_inspect_agrees_field_by_field_with_what_was_asked(self):
        cases = [
            ("defaults, 32-bit engine", ["--engine32", "E32"], {
                "Windows": ALL_WINDOWS, "Win10MinRelease": 1507, "Win10MaxRelease": 9999,
                "Win11MinRelease": 2110, "Win11MaxRelease": 9999, "ElevationMode": 0,
                "ExpiryYear": 0, "DetachSize": 0, "LzmaProps": 93}),
            ("everything set", [
                "--engine32", "E32", "--engine64", "E64", "--expires", "2031-12-01",
                "--windows", "xp,vista,7,10,11", "--win10-releases", "1809-2210",
                "--win11-releases", "2200-2400", "--elevation", "require-admin",
                "--expiry-message", "Expired.", "--bitness-message", "Wrong bitness.",
                "--windows-message", "Not on %USER%, sorry \u00e9\u20ac.",
                "--lc", "0", "--lp", "2", "--pb", "0", "--dict-size", "65536", "--preset", "9e"], {
                "Windows": ["xp", "vista", "7", "10", "11"], "Win10MinRelease": 1809,
                "Win10MaxRelease": 2210, "Win11MinRelease": 2200, "Win11MaxRelease": 2400,
                "ElevationMode": 1, "ExpiryYear": 2031, "ExpiryMonth": 12, "ExpiryDay": 1,
                "LzmaProps": 18, "DictSize": 65536,
                "texts": ["Expired.", "Wrong bitness.", "Not on %USER%, sorry \u00e9\u20ac."]}),
            ("64-bit refused, no-admin, detached", [
                "--engine32", "E32", "--refuse-64bit-windows", "--elevation", "no-admin",
                "--detach", "--windows", "later"], {
                "Windows": ["later"], "ElevationMode": 2, "Payload64.Offset": 0xFFFFFFFF}),
            ("only a 64-bit engine, raw elevation", ["--engine64", "E64", "--elevation", "200"],
             {"Payload32.Offset": 0, "ElevationMode": 200}),
        ]
        for name, args, expected in cases:
            with self.subTest(name):
                args = [{"E32": self.engine32, "E64": self.engine64}.get(a, a) for a in args]
                data = self.build(*args)
                report = self.inspect(self.out)
                self.assertTrue(report["Passes"], report["Failures"])
                for key, value in expected.items():
                    if key == "texts":
                        got = [report[m]["Text"] for m in
                               ("ExpiryMessage", "BitnessMessage", "WindowsMessage")]
                        self.assertEqual(got, value)
                    elif "." in key:
                        record, field = key.split(".")
                        self.assertEqual(report[record][field], value, key)
                    else:
                        self.assertEqual(report[key], value, key)
                self.assertEqual(report["HeaderOffset"], os.path.getsize(self.launcher))
                self.assertEqual(report["MinFileSize"], len(data))
                if "--detach" in args:
                    self.assertEqual(report["DetachSize"], len(data))
                self.assertTrue(report["PeChecksumRight"])

    def test_payloads_decode_with_an_independent_decoder(self):
        for marker in ([], ["--end-marker"]):
            with self.subTest(end_marker=bool(marker)):
                data = self.build("--engine32", self.engine32, "--engine64", self.engine64,
                                  *marker)
                header_offset, checked_length, checked_crc = struct.unpack_from("<III", data, 128)
                props, dict_size = struct.unpack_from("<BI", data, header_offset)
                lc, lp, pb = props % 9, props // 9 % 5, props // 45
                self.assertEqual(checked_crc, zlib.crc32(
                    data[header_offset:header_offset + checked_length]))
                for at, engine in ((22, self.engine32), (34, self.engine64)):
                    offset, packed, unpacked = struct.unpack_from("<III", data, header_offset + at)
                    stream = data[offset:offset + packed]
                    self.assertEqual(stream[0], 0)
                    decoder = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[{
                        "id": lzma.FILTER_LZMA1, "lc": lc, "lp": lp, "pb": pb,
                        "dict_size": dict_size}])
                    self.assertEqual(decoder.decompress(stream), read(engine))
                    # Only a stream with the marker tells a size-blind decoder it ended.
                    self.assertEqual(decoder.eof, bool(marker))
                    self.assertEqual(unpacked, os.path.getsize(engine))

    def test_pe_checksum_is_right_for_the_whole_file(self):
        data = self.build("--engine32", self.engine32)
        computed, stored = pe_checksum(data)
        self.assertEqual(stored, computed)
        self.assertNotEqual(stored, 0)

    def test_same_inputs_same_bytes(self):
        args = ["--engine32", self.engine32, "--engine64", self.engine64, "--preset", "3"]
        first = self.build(*args)
        second = self.build(*args, out=os.path.join(self.dir, "again.exe"))
        self.assertEqual(first, second)

    def test_engine_data_and_the_checked_region(self):
        data_file = self.write("data.bin", engine_bytes(100000, 3))
        data = self.build("--engine32", self.engine32, "--engine-data", data_file)
        report = self.inspect(self.out)
        self.assertTrue(data.endswith(read(data_file)))
        checked_end = report["HeaderOffset"] + report["CheckedLength"]
        self.assertEqual(len(data) - checked_end, 100000 - 65536)


class InspectVerdicts(Workspace):
    def test_size_test_crc_and_payload_verdicts(self):
        data = self.build("--engine32", self.engine32)
        header_offset, checked_length = struct.unpack_from("<II", data, 128)
        payload = struct.unpack_from("<I", data, header_offset + 22)[0]
        flipped = bytearray(data)
        flipped[payload + 10] ^= 0x40
        unchecked = bytearray(data)
        unchecked[200] = 0  # within the zero area behind the locator
        unchecked[64] ^= 1  # DOS stub: outside the checked region
        cases = [
            ("as written", data, 0, None),
            ("signature-like tail", data + bytes(7) + b"\x30" * 500, 0, None),
            ("one byte short", data[:-1], 1, "truncated"),
            ("cut inside the payload", data[:payload + 5], 1, "truncated"),
            ("changed payload byte", bytes(flipped), 1, "damaged: the checked region's CRC"),
            ("changed bytes outside the region", bytes(unchecked), 0, None),
            ("no package at all", read(self.launcher), 1, "HeaderOffset is 0"),
        ]
        for name, content, status, reason in cases:
            with self.subTest(name):
                path = self.write("case.exe", content)
                result = self.run_tool("inspect", path)
                self.assertEqual(result.returncode, status, result.stdout.decode())
                if reason:
                    self.assertIn(reason, result.stdout.decode())
                else:
                    self.assertIn("verdict: passes", result.stdout.decode())

    def test_raw_options_make_packages_that_fail_where_asked_and_only_there(self):
        size = os.path.getsize(self.engine32)
        cases = [
            (["--raw-props", "225"], "LzmaProps 225 is above 224"),
            (["--raw-props", "224"], "lc + lp <= 4"),
            (["--raw-dict-size", str(2**31)], "DictSize 2147483648 is 2^31 or more"),
            (["--raw-unpacked-size32", str(size + 1)], f"decoding gives {size} of {size + 1}"),
            (["--raw-packed-size32", "0x7fffffff"], "the file ends inside the payload"),
        ]
        for args, reason in cases:
            with self.subTest(args):
                self.build("--engine32", self.engine32, *args)
                report = self.inspect(self.out)
                self.assertFalse(report["Passes"])
                self.assertEqual(len(report["Failures"]), 1, report["Failures"])
                self.assertIn(reason, report["Failures"][0])
                self.assertNotIn("CRC", report["Failures"][0])

    def test_raw_header_values_are_written_as_given(self):
        self.build("--engine32", self.engine32, "--raw-windows-set", "0x8000010000000401",
                   "--raw-expiry", "2030-13-0", "--raw-win10-releases", "2210-1507",
                   "--raw-win11-releases", "0-65535", "--raw-offset64", "0xFFFFFFFF")
        report = self.inspect(self.out)
        self.assertTrue(report["Passes"], report["Failures"])
        self.assertEqual(report["WindowsSet"], 0x8000010000000401)
        self.assertEqual((report["ExpiryYear"], report["ExpiryMonth"], report["ExpiryDay"]),
                         (2030, 13, 0))
        self.assertEqual((report["Win10MinRelease"], report["Win10MaxRelease"]), (2210, 1507))
        self.assertEqual((report["Win11MinRelease"], report["Win11MaxRelease"]), (0, 65535))
        self.assertEqual(report["Payload64"]["Offset"], 0xFFFFFFFF)

    def test_unreadable_file_is_a_tool_error(self):
        result = self.run_tool("inspect", os.path.join(self.dir, "missing.exe"))
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"cannot read package", result.stderr)


class Refusals(Workspace):
    def test_each_refusal_is_one_line_status_2_and_leaves_no_file(self):
        not_pe = self.write("notpe.exe", b"MZ" + bytes(1000))
        pe32plus = self.write("pe64.exe", testpe.make_pe32(magic=0x20B))
        dirty = bytearray(testpe.make_pe32())
        dirty[140] = 1
        dirty = self.write("dirty.exe", bytes(dirty))
        overlay = self.write("overlay.exe", testpe.make_pe32(extra=b"overlay"))
        huge = os.path.join(self.dir, "huge.bin")
        with open(huge, "wb") as f:
            f.truncate(2**31)  # sparse: costs no disk
        e32 = ["--engine32", self.engine32]
        cases = [
            (["--launcher", not_pe, *e32], "not a PE32 file"),
            (["--launcher", pe32plus, *e32], "not a 32-bit (PE32) image"),
            (["--launcher", dirty, *e32], "bytes 128 to 255 are not zero"),
            (["--launcher", overlay, *e32], "bytes behind its last section"),
            (["--launcher", os.path.join(self.dir, "nope.exe"), *e32], "cannot read launcher"),
            ([], "no engine"),
            (["--engine32", os.path.join(self.dir, "nope.exe")], "cannot read engine32"),
            (["--engine64", huge], "engine64"),
            ([*e32, "--expires", "2030-02-30"], "--expires"),
            ([*e32, "--expires", "tomorrow"], "--expires"),
            ([*e32, "--windows", "xp,vista,12"], "unknown Windows version '12'"),
            ([*e32, "--win10-releases", "1507"], "--win10-releases"),
            ([*e32, "--win11-releases", "2400-2110"], "--win11-releases"),
            ([*e32, "--elevation", "admin"], "--elevation"),
            ([*e32, "--lc", "4", "--lp", "1"], "lc + lp <= 4"),
            ([*e32, "--preset", "10"], "--preset"),
            ([*e32, "--engine64", self.engine64, "--refuse-64bit-windows"],
             "--refuse-64bit-windows"),
            ([*e32, "--windows-message", b"\xff\xfe"], "not valid UTF-8"),
            ([*e32, "--frobnicate"], "unknown option"),
        ]
        for args, reason in cases:
            with self.subTest(reason=reason):
                command = ["build", "--launcher", self.launcher, "--out", self.out, *args]
                result = subprocess.run([RAVELPACK, *command], capture_output=True, timeout=120)
                self.assertEqual(result.returncode, 2)
                lines = result.stderr.decode(errors="replace").splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(reason, lines[0])
                self.assertEqual(os.listdir(os.path.dirname(self.out)), [])

    def test_a_refused_build_leaves_an_existing_output_alone(self):
        with open(self.out, "wb") as f:
            f.write(b"previous package")
        result = self.run_tool("build", "--launcher", self.launcher, "--out", self.out,
                               "--engine32", self.engine32, "--expires", "2030-1-1")
        self.assertEqual(result.returncode, 2)
        self.assertEqual(os.listdir(os.path.dirname(self.out)), ["setup.exe"])
        self.assertEqual(read(self.out), b"previous package")

    def test_unwritable_output_folder(self):
        result = self.run_tool("build", "--launcher", self.launcher, "--engine32", self.engine32,
                               "--out", os.path.join(self.dir, "no", "such", "folder.exe"))
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"cannot create a file in", result.stderr)


class Interface(Workspace):
    def test_help_documents_every_option(self):
        result = self.run_tool("--help")
        self.assertEqual(result.returncode, 0)
        text = result.stdout.decode()
        for option in ["--launcher", "--out", "--engine32", "--engine64", "--refuse-64bit-windows",
                       "--engine-data", "--expires", "--windows", "--win10-releases",
                       "--win11-releases", "--elevation", "--detach", "--expiry-message",
                       "--bitness-message", "--windows-message", "--preset", "--lc", "--lp",
                       "--pb", "--dict-size", "--end-marker", "--raw-props", "--raw-dict-size",
                       "--raw-unpacked-size32", "--raw-unpacked-size64", "--raw-packed-size32",
                       "--raw-packed-size64", "--raw-offset64", "--raw-windows-set",
                       "--raw-expiry", "--raw-win10-releases", "--raw-win11-releases", "--json"]:
            self.assertIn(option + " ", text)
        # inspect refuses what it does not know, like build.
        self.assertEqual(self.run_tool("inspect", "--bogus", "x").returncode, 2)

    def test_progress_only_on_a_terminal(self):
        big = self.write("big.exe", engine_bytes(6 << 20, 4))
        parent, child = pty.openpty()
        try:
            result = subprocess.run(
                [RAVELPACK, "build", "--launcher", self.launcher, "--out", self.out,
                 "--engine32", big, "--preset", "0"],
                stdout=subprocess.PIPE, stderr=child, timeout=120)
            os.close(child)
            child = None
            shown = b""
            while True:
                try:
                    chunk = os.read(parent, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
        finally:
            if child is not None:
                os.close(child)
            os.close(parent)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"100%", shown)
        self.assertEqual(result.stdout, b"")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    RAVELPACK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
