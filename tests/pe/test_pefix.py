#!/usr/bin/env python3
"""Tests of pefix, the post-link step that moves the PE header of launcher.exe to offset 256.

    test_pefix.py PATH/TO/pefix

Builds small PE files with the cross compiler (i686-w64-mingw32-gcc) in a temporary folder:
one with few sections (the headers still fit: no growth) and one with 14 sections (the moved
headers cross a FileAlignment boundary: SizeOfHeaders grows by 512 and every section's raw data
moves by as much). For each it checks e_lfanew 256, bytes 128..255 zero, every section's
bytes unchanged at their new raw offset, all other header fields unchanged, the checksum, and
that a second run changes nothing. With --map and a program that defines _load_config_used:
the load-configuration directory points at the record with the record's Size, the record's bytes
and every other header field stay, and a second run changes nothing. Then it checks the
refusals: COFF symbols, a debug directory, a certificate table, not an MZ file, a truncated file,
e_lfanew beyond 256; and with --map: no _load_config_used in the map, two addresses for it, an
address in no section, a record Size that runs past its section, a directory that already points
elsewhere.
Prints "N passed, M failed" and exits nonzero on any failure.
"""
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_launcher  # noqa: E402  (the PE reader and checksum of the launcher test)

CC = 'i686-w64-mingw32-gcc'
results = []


def case(name, ok, detail=''):
    results.append(ok)
    print('%s %s%s' % ('PASS' if ok else 'FAIL', name, '' if ok else ': ' + detail))


# A load-configuration record as the launcher's (Size 72, DependentLoadFlags 0x800) with a
# recognisable last word, so that a test sees whether pefix kept its bytes.
LOAD_CONFIG_C = ('__attribute__((used)) const unsigned _load_config_used[18] = '
                 '{72, [13] = 0x08000000, [17] = 0x5a5a5a5a};')


def program(folder, name, sections, extra_flags=(), strip=True, load_config=False):
    """A freestanding program whose data lies in `sections` extra sections; with load_config,
    it defines _load_config_used and its link writes NAME.map."""
    lines = ['__declspec(dllimport) void __stdcall ExitProcess(unsigned);']
    if load_config:
        lines.append(LOAD_CONFIG_C)
        extra_flags = [*extra_flags, '-Wl,-Map,' + os.path.join(folder, name + '.map')]
    for i in range(sections):
        lines.append('__attribute__((section(".s%d"), used)) volatile int V%d = %d;' % (i, i, i + 1))
    lines.append('void __stdcall Start(void) { int s = 0;')
    lines += [' s += V%d;' % i for i in range(sections)]
    lines.append(' ExitProcess(s); }')
    source = os.path.join(folder, name + '.c')
    with open(source, 'w') as f:
        f.write('\n'.join(lines) + '\n')
    exe = os.path.join(folder, name + '.exe')
    flags = ['-Os', '-nostdlib', '-nostartfiles', '-Wl,-e,_Start@0', '-Wl,--no-insert-timestamp']
    flags += ['-s'] if strip else []
    subprocess.run([CC, *flags, *extra_flags, '-o', exe, source, '-lkernel32'], check=True)
    return exe


def run_pefix(pefix, source, target, args=()):
    return subprocess.run([pefix, *args, source, target], capture_output=True, text=True)


def header_fields(image):
    """Everything of the headers that pefix must leave alone, by name."""
    d, o = image.data, image.oh
    fields = {'file header': d[image.lfanew + 4:image.lfanew + 24]}
    optional = bytearray(d[o:o + image.optional_size])
    optional[60:64] = b'\0' * 4   # SizeOfHeaders
    optional[64:68] = b'\0' * 4   # CheckSum
    fields['optional header'] = bytes(optional)
    for name, va, vsize, rawptr, rawsize in image.sections:
        fields['section ' + name] = (va, vsize, rawsize)
    return fields


def check_moved(name, pefix, folder, exe, expect_growth):
    fixed = exe.replace('.exe', '-fixed.exe')
    r = run_pefix(pefix, exe, fixed)
    if r.returncode != 0:
        case(name + ': pefix accepts it', False, r.stderr.strip())
        return
    before = check_launcher.Image(open(exe, 'rb').read())
    after_data = open(fixed, 'rb').read()
    after = check_launcher.Image(after_data)
    case(name + ': e_lfanew 256', after.lfanew == 256, str(after.lfanew))
    case(name + ': bytes 128..255 zero', after_data[128:256] == bytes(128))
    growth = after.size_of_headers - before.size_of_headers
    case(name + ': SizeOfHeaders growth', growth == (512 if expect_growth else 0),
         '%d -> %d' % (before.size_of_headers, after.size_of_headers))
    case(name + ': file grows by the same', len(after_data) - len(before.data) == growth)
    case(name + ': other header fields unchanged', header_fields(before) == header_fields(after))
    same = True
    for (n, _, _, raw0, size0), (_, _, _, raw1, size1) in zip(before.sections, after.sections):
        if raw0 and (raw1 != raw0 + growth or
                     before.data[raw0:raw0 + size0] != after_data[raw1:raw1 + size1]):
            same = False
            detail = n
    case(name + ': section data intact at shifted offsets', same, '' if same else detail)
    case(name + ': DOS header and stub kept',
         after_data[:60] == before.data[:60] and after_data[64:128] == before.data[64:128])
    right = check_launcher.pe_checksum(after_data, after.checksum_field)
    case(name + ': checksum', after.checksum == right, '%x != %x' % (after.checksum, right))
    again = fixed + '.again'
    r = run_pefix(pefix, fixed, again)
    case(name + ': second run changes nothing',
         r.returncode == 0 and open(again, 'rb').read() == after_data, r.stderr.strip())


def check_load_config(pefix, folder):
    exe = program(folder, 'lc', 1, load_config=True)
    fixed = os.path.join(folder, 'lc-fixed.exe')
    mapped = ['--map', os.path.join(folder, 'lc.map')]
    r = run_pefix(pefix, exe, fixed, mapped)
    if r.returncode != 0:
        case('load configuration: pefix accepts it', False, r.stderr.strip())
        return
    before = check_launcher.Image(open(exe, 'rb').read())
    after_data = open(fixed, 'rb').read()
    after = check_launcher.Image(after_data)
    case('load configuration: the link leaves the directory empty',
         before.dirs[check_launcher.DIR_LOAD_CONFIG] == (0, 0),
         str(before.dirs[check_launcher.DIR_LOAD_CONFIG]))
    rva, size = after.dirs[check_launcher.DIR_LOAD_CONFIG]
    case('load configuration: directory size is the record\'s Size', size == 72, str(size))
    record = after.bytes_at(rva, 72) if rva else b''
    case('load configuration: directory points at the record',
         record[:4] == struct.pack('<I', 72) and record[-4:] == struct.pack('<I', 0x5a5a5a5a),
         'RVA 0x%x: %s' % (rva, record.hex()))
    case('load configuration: record bytes as linked', rva and record == before.bytes_at(rva, 72))
    fields = header_fields(after)
    fields['optional header'] = (fields['optional header'][:96 + 80] +
                                 bytes(8) + fields['optional header'][96 + 88:])
    case('load configuration: other header fields unchanged', header_fields(before) == fields)
    right = check_launcher.pe_checksum(after_data, after.checksum_field)
    case('load configuration: checksum', after.checksum == right)
    again = fixed + '.again'
    r = run_pefix(pefix, fixed, again, mapped)
    case('load configuration: second run changes nothing',
         r.returncode == 0 and open(again, 'rb').read() == after_data, r.stderr.strip())

    # Refusals: a map or record that does not say where the record is, or a directory in the way.
    text = open(os.path.join(folder, 'lc.map')).read()
    line = next(l for l in text.splitlines() if l.split()[1:] == ['_load_config_used'])
    address = line.split()[0]

    def map_file(name, content):
        path = os.path.join(folder, name)
        with open(path, 'w') as f:
            f.write(content)
        return ['--map', path]

    data = before.data
    record_at = before.offset(rva)
    directory = before.oh + 96 + 8 * check_launcher.DIR_LOAD_CONFIG
    for name, path, args, expect in [
        ('a map without _load_config_used', exe,
         map_file('none.map', text.replace('_load_config_used', '_other_used')), 'names no'),
        ('a map with two addresses for it', exe,
         map_file('two.map', text + '                0x00401004                _load_config_used\n'),
         'two addresses'),
        ('a record address in no section', exe,
         map_file('far.map', text.replace(address, '0x00700000')), 'in no section'),
        ('a record Size past its section',
         patched(folder, 'bigrecord.exe', data, [(record_at, struct.pack('<I', 0x10000))]), mapped,
         'does not fit'),
        ('a load-configuration directory pointing elsewhere',
         patched(folder, 'taken.exe', data, [(directory, struct.pack('<II', rva + 4, 64))]), mapped,
         'already points elsewhere'),
    ]:
        check_refused(name, pefix, path, expect, args)


def check_refused(name, pefix, path, expect, args=()):
    r = run_pefix(pefix, path, path + '.out', args)
    lines = r.stderr.strip().splitlines()
    ok = r.returncode == 1 and len(lines) == 1 and expect in lines[0] and not os.path.exists(path + '.out')
    case('refuses ' + name, ok, 'exit %d, stderr %r' % (r.returncode, r.stderr))


def patched(folder, name, data, changes):
    b = bytearray(data)
    for offset, value in changes:
        b[offset:offset + len(value)] = value
    path = os.path.join(folder, name)
    with open(path, 'wb') as f:
        f.write(bytes(b))
    return path


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: test_pefix.py PATH/TO/pefix')
    pefix = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as folder:
        check_moved('few sections', pefix, folder, program(folder, 'few', 2), False)
        check_moved('14 sections', pefix, folder, program(folder, 'many', 9), True)
        check_load_config(pefix, folder)

        check_refused('COFF symbols', pefix, program(folder, 'symbols', 1, strip=False),
                      'COFF symbol table')
        check_refused('a debug directory', pefix,
                      program(folder, 'buildid', 1, ['-Wl,--build-id']), 'debug directory')
        plain = open(program(folder, 'plain', 1), 'rb').read()
        image = check_launcher.Image(plain)
        cert_dir = image.oh + 96 + 8 * 4
        check_refused('a certificate table', pefix,
                      patched(folder, 'cert.exe', plain, [(cert_dir, struct.pack('<II', 0x2000, 8))]),
                      'certificate table')
        check_refused('a file that is not MZ', pefix,
                      patched(folder, 'nomz.exe', plain, [(0, b'ZM')]), 'not an MZ')
        check_refused('a truncated file', pefix,
                      patched(folder, 'short.exe', plain[:image.lfanew + 40], []), '')
        check_refused('e_lfanew beyond 256', pefix,
                      patched(folder, 'far.exe', plain, [(60, struct.pack('<I', 512))]), 'beyond 256')
    failed = results.count(False)
    print('%d passed, %d failed' % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
