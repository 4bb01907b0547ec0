#!/usr/bin/env python3
"""Draws the launcher's icon, a ball of yarn, and writes it as a Windows .ico file.

    make_icon.py OUT.ico [PREVIEW.png]

Two images, 32x32 and 16x16, each 16 colours (4 bits per pixel) with a transparency mask:
the one format that every Windows from 95 on shows. The output depends on nothing but this
script, so the build stays reproducible.
"""
import math
import struct
import sys
import zlib

# The 16-colour VGA palette, as (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
TRANSPARENT, OUTLINE, BALL, STRAND, SHINE = None, 4, 6, 14, 15


def draw(size):
    """Returns rows (top first) of palette indexes, None where the icon is transparent."""
    s = size / 32.0
    cx, cy, r = 14.5 * s, 14.5 * s, 12.5 * s
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            d = math.hypot(px - cx, py - cy)
            colour = TRANSPARENT
            if d <= r:
                colour = BALL
                # Wound strands: two families of curved bands across the ball.
                u = (px - cx) / r
                v = (py - cy) / r
                band1 = (u * 1.0 + v * 0.6 + 0.25 * u * u) * 4.0
                band2 = (u * -0.7 + v * 1.0 - 0.2 * v * v) * 4.0
                if abs(band1 - round(band1)) < 0.16 / s ** 0.5 * 0.9 and u + v < 0.6:
                    colour = STRAND
                elif abs(band2 - round(band2)) < 0.16 / s ** 0.5 * 0.9 and u + v >= -0.2:
                    colour = STRAND
                if math.hypot(px - (cx - 5 * s), py - (cy - 5 * s)) < 2.2 * s:
                    colour = SHINE
                if d > r - 1.3 * max(s, 0.8):
                    colour = OUTLINE
            else:
                # The loose end of the yarn, trailing to the lower right corner.
                t = (px - cx) / s
                if 8.0 <= t <= 31.0:
                    ty = cy + (9.5 + 3.0 * math.sin((t - 8.0) / 23.0 * math.pi * 1.5)) * s
                    if abs(py - ty) <= 1.1 * max(s, 0.75):
                        colour = OUTLINE
            row.append(colour)
        rows.append(row)
    return rows


def bitmap(rows):
    """The icon image: BITMAPINFOHEADER, palette, 4-bit colour rows, 1-bit mask rows."""
    size = len(rows)
    colour_stride = ((size * 4 + 31) // 32) * 4
    mask_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray(colour_stride)
        bits = bytearray(mask_stride)
        for x, c in enumerate(row):
            index = 0 if c is None else c
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(mask),
                         0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def ico(images):
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b''
    for size, image in images:
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
        data += image
    return out + data


def png(rows, scale=8):
    """A preview picture (not used by the build)."""
    size = len(rows)
    raw = bytearray()
    for row in rows:
        line = bytearray([0])
        for c in row:
            rgb = (255, 240, 200) if c is None else PALETTE[c]
            line += bytes(rgb) * scale
        raw += bytes(line) * scale

    def chunk(kind, payload):
        return (struct.pack('>I', len(payload)) + kind + payload +
                struct.pack('>I', zlib.crc32(kind + payload)))

    return (b'\x89PNG\r\n\x1a\n' +
            chunk(b'IHDR', struct.pack('>IIBBBBB', size * scale, size * scale, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit('usage: make_icon.py OUT.ico [PREVIEW.png]')
    big, small = draw(32), draw(16)
    with open(sys.argv[1], 'wb') as f:
        f.write(ico([(32, bitmap(big)), (16, bitmap(small))]))
    if len(sys.argv) == 3:
        with open(sys.argv[2], 'wb') as f:
            f.write(png(big))
        with open(sys.argv[2].replace('.png', '-16.png'), 'wb') as f:
            f.write(png(small, 16))


if __name__ == '__main__':
    main()
