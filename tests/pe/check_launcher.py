#!/usr/bin/env python3
"""Reads a built launcher.exe and checks what the design asks of the file itself.

    check_launcher.py path/to/launcher.exe

Checks: e_lfanew 256 and bytes 128..255 zero (room for the package locator); PE32,
i386, GUI subsystem with subsystem and OS version at most 4.0 (Windows 95 runs it); the PE
checksum; no TLS directory, no debug directory, no certificate, no COFF symbols, no delay
imports, no static-constructor sections; the load-configuration record (DependentLoadFlags
LOAD_LIBRARY_SEARCH_SYSTEM32, Size 72, every other field zero, no base relocation inside it) and
the NO_SEH image flag; every import DLL!function on the Windows 95 allow-list below, imported by
name; the manifest (RT_MANIFEST 1) with asInvoker, uiAccess false, the five
supportedOS identifiers, dpiAware true and the description "Ravelkit Installer"; an icon group
whose icons are present; a version record; and, when i686-w64-mingw32-objdump is there, no
instruction that a 386 lacks (Windows 95 runs on one) and none that reaches the thread block
through fs (how an exception handler is installed). Pure Python otherwise.
Exit code 0 and one line "OK ..." when all hold; 1 and one line with the first failure.
"""
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

# Functions that every Windows from 95 on exports, by DLL. The launcher may import these and
# only these; anything newer (IsWow64Process, CheckTokenMembership, SetDefaultDllDirectories,
# GetFileSizeEx, ...) is looked up at run time, and mpr.dll is loaded by full path.
ALLOWED = {
    'KERNEL32.DLL': {
        'CloseHandle', 'CompareStringA', 'CreateDirectoryA', 'CreateFileA', 'CreateProcessA',
        'DeleteFileA', 'ExitProcess', 'FindClose', 'FindFirstFileA', 'FindNextFileA',
        'FlushFileBuffers', 'FreeLibrary', 'GetACP', 'GetCPInfo', 'GetCommandLineA',
        'GetCurrentDirectoryA', 'GetCurrentProcess', 'GetCurrentProcessId', 'GetDriveTypeA',
        'GetEnvironmentVariableA', 'GetExitCodeProcess', 'GetFileAttributesA', 'GetFileSize',
        'GetFullPathNameA', 'GetLastError', 'GetLocalTime', 'GetModuleFileNameA',
        'GetModuleHandleA', 'GetProcAddress', 'GetProcessHeap', 'GetStartupInfoA',
        'GetSystemDirectoryA', 'GetSystemInfo', 'GetSystemTime', 'GetTempPathA', 'GetTickCount',
        'GetVersion', 'GetVersionExA', 'GetWindowsDirectoryA', 'GlobalAlloc', 'GlobalFree',
        'HeapAlloc', 'HeapCreate', 'HeapDestroy', 'HeapFree', 'HeapReAlloc', 'HeapSize',
        'IsDBCSLeadByte', 'IsDBCSLeadByteEx', 'LoadLibraryA', 'LocalAlloc', 'LocalFree',
        'MoveFileA', 'MultiByteToWideChar', 'QueryPerformanceCounter',
        'QueryPerformanceFrequency', 'ReadFile', 'RemoveDirectoryA', 'SetEndOfFile',
        'SetErrorMode', 'SetFilePointer', 'SetLastError', 'Sleep', 'VirtualAlloc', 'VirtualFree',
        'VirtualQuery', 'WaitForSingleObject', 'WideCharToMultiByte', 'WriteFile', 'lstrcmpA',
        'lstrcmpiA', 'lstrcpyA', 'lstrlenA',
    },
    'USER32.DLL': {
        'CharLowerA', 'CharLowerBuffA', 'CharNextA', 'CharPrevA', 'CharUpperA', 'CharUpperBuffA',
        'MessageBoxA', 'wsprintfA', 'wvsprintfA',
    },
    'ADVAPI32.DLL': {
        'RegCloseKey', 'RegEnumKeyExA', 'RegEnumValueA', 'RegOpenKeyExA', 'RegQueryValueExA',
    },
}

SUPPORTED_OS = {
    '{e2011457-1546-43c5-a5fe-008deee3d3f0}',  # Vista
    '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',  # 7
    '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',  # 8
    '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',  # 8.1
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',  # 10 (and 11)
}

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_SECURITY, DIR_RELOC, DIR_DEBUG, DIR_TLS = 0, 1, 2, 4, 5, 6, 9
DIR_LOAD_CONFIG, DIR_DELAY_IMPORT = 10, 13

IMAGE_DLLCHARACTERISTICS_NO_SEH = 0x400
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
# The 32-bit load-configuration record through SEHandlerCount, the length the launcher writes
# (platform/win32/LoadConfig.cpp): (name, struct format), in order.
LOAD_CONFIG_FIELDS = [
    ('Size', 'I'), ('TimeDateStamp', 'I'), ('MajorVersion', 'H'), ('MinorVersion', 'H'),
    ('GlobalFlagsClear', 'I'), ('GlobalFlagsSet', 'I'), ('CriticalSectionDefaultTimeout', 'I'),
    ('DeCommitFreeBlockThreshold', 'I'), ('DeCommitTotalFreeThreshold', 'I'),
    ('LockPrefixTable', 'I'), ('MaximumAllocationSize', 'I'), ('VirtualMemoryThreshold', 'I'),
    ('ProcessHeapFlags', 'I'), ('ProcessAffinityMask', 'I'), ('CSDVersion', 'H'),
    ('DependentLoadFlags', 'H'), ('EditList', 'I'), ('SecurityCookie', 'I'),
    ('SEHandlerTable', 'I'), ('SEHandlerCount', 'I'),
]
LOAD_CONFIG_FORMAT = '<' + ''.join(f for _, f in LOAD_CONFIG_FIELDS)
LOAD_CONFIG_SIZE = struct.calcsize(LOAD_CONFIG_FORMAT)  # 72


class Failure(Exception):
    pass


def require(condition, reason):
    if not condition:
        raise Failure(reason)


def pe_checksum(data, field):
    """Windows' CheckSumMappedFile: one's-complement sum of 16-bit words, field as 0, + length."""
    buf = bytearray(data)
    buf[field:field + 4] = b'\0\0\0\0'
    if len(buf) % 2:
        buf.append(0)
    total = sum(struct.unpack('<%dH' % (len(buf) // 2), bytes(buf)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


class Image:
    def __init__(self, data):
        self.data = data
        require(len(data) >= 64 and data[:2] == b'MZ', 'not an MZ executable')
        self.lfanew = struct.unpack_from('<I', data, 60)[0]
        require(self.lfanew + 24 <= len(data), 'e_lfanew %d beyond the file' % self.lfanew)
        require(data[self.lfanew:self.lfanew + 4] == b'PE\0\0', 'no PE signature at e_lfanew')
        fh = self.lfanew + 4
        (self.machine, self.section_count, self.timestamp, self.symbols, self.symbol_count,
         self.optional_size, self.characteristics) = struct.unpack_from('<HHIIIHH', data, fh)
        self.oh = fh + 20
        require(self.oh + self.optional_size <= len(data), 'optional header beyond the file')
        self.magic = struct.unpack_from('<H', data, self.oh)[0]
        require(self.magic == 0x10B, 'optional header magic 0x%x, not PE32 (0x10b)' % self.magic)
        o = self.oh
        self.entry = struct.unpack_from('<I', data, o + 16)[0]
        self.os_version = struct.unpack_from('<HH', data, o + 40)
        self.subsystem_version = struct.unpack_from('<HH', data, o + 48)
        self.size_of_headers = struct.unpack_from('<I', data, o + 60)[0]
        self.checksum_field = o + 64
        self.checksum = struct.unpack_from('<I', data, o + 64)[0]
        self.subsystem = struct.unpack_from('<H', data, o + 68)[0]
        self.dll_characteristics = struct.unpack_from('<H', data, o + 70)[0]
        count = struct.unpack_from('<I', data, o + 92)[0]
        self.dirs = [struct.unpack_from('<II', data, o + 96 + 8 * i) for i in range(min(count, 16))]
        self.dirs += [(0, 0)] * (16 - len(self.dirs))
        self.sections = []
        st = o + self.optional_size
        for i in range(self.section_count):
            name, vsize, va, rawsize, rawptr = struct.unpack_from('<8sIIII', data, st + 40 * i)
            self.sections.append((name.rstrip(b'\0').decode('latin-1'), va, vsize, rawptr, rawsize))

    def offset(self, rva):
        for name, va, vsize, rawptr, rawsize in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                require(rva - va < rawsize, 'RVA 0x%x lies in the zero-filled part of %s' % (rva, name))
                return rawptr + rva - va
        raise Failure('RVA 0x%x lies in no section' % rva)

    def u16(self, rva):
        return struct.unpack_from('<H', self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from('<I', self.data, self.offset(rva))[0]

    def cstring(self, rva):
        at = self.offset(rva)
        end = self.data.index(b'\0', at)
        return self.data[at:end].decode('latin-1')

    def bytes_at(self, rva, size):
        at = self.offset(rva)
        require(at + size <= len(self.data), 'data at RVA 0x%x runs past the file' % rva)
        return self.data[at:at + size]


def check_layout(image):
    data = image.data
    require(image.lfanew == 256, 'e_lfanew is %d, not 256' % image.lfanew)
    require(data[128:256] == bytes(128), 'bytes 128..255 are not all zero')
    require(image.machine == 0x14C, 'machine 0x%x, not i386' % image.machine)
    require(image.subsystem == 2, 'subsystem %d, not Windows GUI (2)' % image.subsystem)
    require(image.subsystem_version <= (4, 0),
            'subsystem version %d.%d: Windows 95 needs 4.0 at most' % image.subsystem_version)
    require(image.os_version <= (4, 0), 'OS version %d.%d above 4.0' % image.os_version)
    require(image.symbols == 0 and image.symbol_count == 0, 'COFF symbol table present')
    right = pe_checksum(data, image.checksum_field)
    require(image.checksum == right,
            'PE checksum 0x%08x, should be 0x%08x' % (image.checksum, right))
    require(image.dirs[DIR_TLS] == (0, 0), 'TLS directory present')
    require(image.dirs[DIR_DEBUG] == (0, 0), 'debug directory present')
    require(image.dirs[DIR_SECURITY] == (0, 0), 'certificate table present')
    require(image.dirs[DIR_DELAY_IMPORT] == (0, 0), 'delay-import directory present')
    for name, *_ in image.sections:
        require(name not in ('.tls', '.CRT', '.ctors', '.init_array', '.eh_frame', '.debug_info',
                             '.sxdata'),
                'section %s present' % name)
    text = [s for s in image.sections if s[0] == '.text']
    require(text and text[0][1] <= image.entry < text[0][1] + text[0][2],
            'entry point 0x%x outside .text' % image.entry)


def base_relocations(image):
    """The RVAs that the base relocations patch."""
    rva, size = image.dirs[DIR_RELOC]
    table = image.bytes_at(rva, size) if rva and size else b''
    at, patched = 0, []
    while at + 8 <= len(table):
        page, block = struct.unpack_from('<II', table, at)
        require(8 <= block <= len(table) - at and block % 2 == 0,
                'base relocation block of %d bytes at +%d' % (block, at))
        for (entry,) in struct.iter_unpack('<H', table[at + 8:at + block]):
            if entry >> 12:  # type 0 only pads a block
                patched.append(page + (entry & 0xFFF))
        at += block
    return patched


def check_load_config(image):
    """Newer Windows resolves the static imports' own DLLs in the system folder only."""
    rva, size = image.dirs[DIR_LOAD_CONFIG]
    require(rva and size, 'no load-configuration directory')
    require(size == LOAD_CONFIG_SIZE,
            'load-configuration directory of %d bytes, not %d' % (size, LOAD_CONFIG_SIZE))
    values = struct.unpack(LOAD_CONFIG_FORMAT, image.bytes_at(rva, LOAD_CONFIG_SIZE))
    record = dict(zip((name for name, _ in LOAD_CONFIG_FIELDS), values))
    require(record['Size'] == LOAD_CONFIG_SIZE,
            'load-configuration record says Size %d, not %d' % (record['Size'], LOAD_CONFIG_SIZE))
    require(record['DependentLoadFlags'] == LOAD_LIBRARY_SEARCH_SYSTEM32,
            'DependentLoadFlags 0x%x, not LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800)'
            % record['DependentLoadFlags'])
    others = ['%s=0x%x' % (name, value) for name, value in record.items()
              if value and name not in ('Size', 'DependentLoadFlags')]
    require(not others, 'load-configuration fields that should be zero: %s' % ', '.join(others))
    for target in base_relocations(image):  # each patches 4 bytes from target on
        require(not rva - 4 < target < rva + LOAD_CONFIG_SIZE,
                'base relocation at 0x%x inside the load-configuration record' % target)
    # A null handler table declares nothing; the image flag is what refuses handlers.
    require(image.dll_characteristics & IMAGE_DLLCHARACTERISTICS_NO_SEH,
            'NO_SEH is not set in DllCharacteristics (0x%x)' % image.dll_characteristics)
    return record


def check_imports(image):
    rva, size = image.dirs[DIR_IMPORT]
    require(rva and size, 'no import table')
    imports = []
    at = rva
    while True:
        lookup, _, _, name_rva, thunk = struct.unpack('<IIIII', image.bytes_at(at, 20))
        if name_rva == 0 and thunk == 0:
            break
        dll = image.cstring(name_rva)
        allowed = ALLOWED.get(dll.upper())
        require(allowed is not None, 'import of %s, not an allowed DLL' % dll)
        entry = lookup or thunk
        while True:
            value = image.u32(entry)
            if value == 0:
                break
            require(not value & 0x80000000, 'import by ordinal %d from %s' % (value & 0xFFFF, dll))
            function = image.cstring(value + 2)
            require(function in allowed, 'import %s!%s is not on the Windows 95 allow-list'
                    % (dll, function))
            imports.append('%s!%s' % (dll.upper(), function))
            entry += 4
        at += 20
    return imports


def resource_entries(image, base, directory):
    named, ids = struct.unpack('<HH', image.bytes_at(base + directory + 12, 4))
    for i in range(named + ids):
        name, target = struct.unpack('<II', image.bytes_at(base + directory + 16 + 8 * i, 8))
        key = None if name & 0x80000000 else name
        yield key, target & 0x7FFFFFFF, bool(target & 0x80000000)


def load_resources(image):
    """{type: {id: data of the first language}} of the resources named by number."""
    base, size = image.dirs[DIR_RESOURCE]
    require(base and size, 'no resource directory')
    table = {}
    for rtype, type_dir, is_dir in resource_entries(image, base, 0):
        if rtype is None or not is_dir:
            continue
        for rid, name_dir, is_dir2 in resource_entries(image, base, type_dir):
            if rid is None or not is_dir2:
                continue
            for _, leaf, is_dir3 in resource_entries(image, base, name_dir):
                require(not is_dir3, 'resource tree deeper than three levels')
                data_rva, data_size = struct.unpack('<II', image.bytes_at(base + leaf, 8))
                table.setdefault(rtype, {})[rid] = image.bytes_at(data_rva, data_size)
                break
    return table


def check_manifest(text):
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        raise Failure('manifest is not well-formed XML: %s' % error)

    def local(tag):
        return tag.rsplit('}', 1)[-1]

    levels, supported, dpi, descriptions = [], set(), [], []
    for element in root.iter():
        tag = local(element.tag)
        if tag == 'requestedExecutionLevel':
            levels.append((element.get('level'), element.get('uiAccess')))
        elif tag == 'supportedOS':
            supported.add((element.get('Id') or '').lower())
        elif tag == 'dpiAware':
            dpi.append((element.text or '').strip().lower())
        elif tag == 'description':
            descriptions.append((element.text or '').strip())
    require(levels == [('asInvoker', 'false')],
            'requestedExecutionLevel is %r, not asInvoker with uiAccess false' % levels)
    require(supported == SUPPORTED_OS, 'supportedOS identifiers %s, missing %s, extra %s' % (
        len(supported), sorted(SUPPORTED_OS - supported), sorted(supported - SUPPORTED_OS)))
    require(dpi == ['true'], 'dpiAware is %r, not true' % dpi)
    require(descriptions == ['Ravelkit Installer'],
            'description is %r, not "Ravelkit Installer"' % descriptions)


def check_resources(image):
    table = load_resources(image)
    manifests = table.get(RT_MANIFEST, {})
    require(1 in manifests, 'no manifest resource (RT_MANIFEST, id 1)')
    require(list(manifests) == [1], 'manifest ids %r: exactly id 1 expected' % sorted(manifests))
    check_manifest(manifests[1])

    groups = table.get(RT_GROUP_ICON, {})
    require(groups, 'no icon group')
    icons = table.get(RT_ICON, {})
    for gid, group in groups.items():
        reserved, kind, count = struct.unpack_from('<HHH', group, 0)
        require(kind == 1 and count > 0, 'icon group %d malformed' % gid)
        for i in range(count):
            icon_id = struct.unpack_from('<H', group, 6 + 14 * i + 12)[0]
            require(icon_id in icons, 'icon group %d names missing icon %d' % (gid, icon_id))

    versions = table.get(RT_VERSION, {})
    require(1 in versions, 'no version record (RT_VERSION, id 1)')
    record = versions[1]
    require(record[6:6 + 32] == 'VS_VERSION_INFO'.encode('utf-16-le') + b'\0\0',
            'version record does not start with VS_VERSION_INFO')
    require(struct.pack('<I', 0xFEEF04BD) in record[:96], 'version record has no fixed file info')
    allowed_types = {RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST}
    require(set(table) <= allowed_types,
            'resource types %r beyond manifest, icons and version' % sorted(set(table) - allowed_types))


# Instructions of processors after the 386 that GCC emits when allowed to; Windows 95 runs on
# a 386, so none of them may appear in the launcher's code.
LATER_INSTRUCTIONS = re.compile(
    r'\t(cmov[a-z]+|bswap|cmpxchg8?b?|xadd|rdtsc|fcomip?|fucomip?|sysenter|ud2|'
    r'movnti|pause|[a-z]+(ps|pd|ss|sd)\b)')
# x86 code installs an exception handler by linking a frame at fs:0. The image says NO_SEH, so
# Windows would refuse such a handler: no instruction of the launcher may reach the thread block.
THREAD_BLOCK = re.compile(r'%fs:')


def check_instruction_set(path):
    """Disassembles with the cross objdump, when there is one; returns False when skipped."""
    objdump = shutil.which('i686-w64-mingw32-objdump')
    if not objdump:
        return False
    listing = subprocess.run([objdump, '-d', '--no-show-raw-insn', path], capture_output=True,
                             text=True, check=True).stdout
    for line in listing.splitlines():
        match = LATER_INSTRUCTIONS.search(line)
        if match:
            raise Failure('instruction beyond the 386: %s' % line.strip())
        if THREAD_BLOCK.search(line):
            raise Failure('instruction reaching the thread block (an exception handler?): %s'
                          % line.strip())
    return True


def main():
    if len(sys.argv) != 2:
        print('usage: check_launcher.py launcher.exe', file=sys.stderr)
        return 2
    path = sys.argv[1]
    try:
        with open(path, 'rb') as f:
            data = f.read()
        image = Image(data)
        check_layout(image)
        load_config = check_load_config(image)
        imports = check_imports(image)
        check_resources(image)
        disassembled = check_instruction_set(path)
    except (Failure, OSError, struct.error, ValueError, UnicodeDecodeError,
            subprocess.CalledProcessError) as error:
        print('check_launcher: FAIL: %s: %s' % (path, error))
        return 1
    print('check_launcher: OK: %s, %d bytes, %d imports (%s), load configuration of %d bytes '
          'with DependentLoadFlags 0x%x%s'
          % (path, len(data), len(imports), ', '.join(sorted(set(i.split('!')[0] for i in imports))),
             load_config['Size'], load_config['DependentLoadFlags'],
             '' if disassembled else ' (no objdump: instruction set not checked)'))
    return 0


if __name__ == '__main__':
    sys.exit(main())
