#!/usr/bin/env python3
"""Draws the program's icon and writes src/res/app.ico: 16, 32 and 48 pixel images and a 256 pixel PNG.

The picture: the window's dark header colour with a gold ring and a downward arrow. Standard library only.
"""
import os
import struct
import sys
import zlib

DARK = (28, 34, 53)
GOLD = (212, 175, 55)
LIGHT = (238, 203, 98)


def pixel(x, y, n):
    """RGBA of the pixel at (x, y) in an n x n image (anti-aliased by 4x4 supersampling)."""
    acc = [0, 0, 0, 0]
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / n * 2 - 1
            v = (y + (sy + 0.5) / 4) / n * 2 - 1
            r = (u * u + v * v) ** 0.5
            if r > 0.98:
                c = (0, 0, 0, 0)
            elif r > 0.80:
                c = GOLD + (255,)
            else:
                arrow = (abs(u) < 0.16 and -0.55 < v < 0.15) or (v >= 0.05 and v < 0.6 and abs(u) < 0.6 - v + 0.05 - 0.0)
                c = (LIGHT + (255,)) if arrow else (DARK + (255,))
            for i in range(4):
                acc[i] += c[i]
    return tuple(a // 16 for a in acc)


def image(n):
    return [[pixel(x, y, n) for x in range(n)] for y in range(n)]


def bmp_entry(n):
    rows = image(n)
    header = struct.pack("<IiiHHIIiiII", 40, n, n * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rows) for p in row)
    mask_row = ((n + 31) // 32) * 4
    and_mask = b"\0" * (mask_row * n)
    return header + xor + and_mask


def png_entry(n):
    rows = image(n)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "src", "res", "app.ico")
    images = [(16, bmp_entry(16)), (32, bmp_entry(32)), (48, bmp_entry(48)), (256, png_entry(256))]
    offset = 6 + 16 * len(images)
    directory = b""
    data = b""
    for n, blob in images:
        directory += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(blob), offset + len(data))
        data += blob
    with open(out, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)) + directory + data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
