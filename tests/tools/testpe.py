"""A minimal PE32 image shaped like the launcher: PE header at 256, bytes 128 to 255 zero,
one code section, nothing behind it. Enough for the package tool, never run."""
import struct


def make_pe32(section_size=512, pe_offset=256, magic=0x10B, extra=b""):
    dos = bytearray(pe_offset)
    dos[0:2] = b"MZ"
    dos[64:64 + 39] = b"This program cannot be run in DOS mode."
    struct.pack_into("<I", dos, 60, pe_offset)
    optional_size = 224 if magic == 0x10B else 240
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x14C, 1, 0, 0, 0, optional_size, 0x0102)
    optional = bytearray(optional_size)
    struct.pack_into("<HBBIIII", optional, 0, magic, 2, 0, section_size, 0, 0, 0x1000)
    struct.pack_into("<II", optional, 32, 0x1000, 0x200)  # section and file alignment
    struct.pack_into("<HH", optional, 40, 4, 0)  # OS version
    struct.pack_into("<HH", optional, 48, 4, 0)  # subsystem version
    struct.pack_into("<II", optional, 56, 0x2000, 0x400)  # image size, header size
    struct.pack_into("<HH", optional, 68, 2, 0)  # GUI subsystem
    struct.pack_into("<I", optional, optional_size - 132, 16)  # NumberOfRvaAndSizes
    headers = bytes(dos) + coff + bytes(optional)
    raw_pointer = 0x400
    section = struct.pack("<8sIIIIIIHHI", b".text", section_size, 0x1000, section_size,
                          raw_pointer, 0, 0, 0, 0, 0x60000020)
    image = bytearray(headers + section)
    image += bytes(raw_pointer - len(image))
    image += bytes((i * 7 + 3) & 0xFF for i in range(section_size))
    return bytes(image) + extra
