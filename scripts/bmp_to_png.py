#!/usr/bin/env python3
"""Converts an uncompressed 24-bit BMP (such as kdzhost's screenshots) to an RGB PNG.
Standard library only.

usage: bmp_to_png.py IN.bmp OUT.png
"""
import struct
import sys
import zlib


def read_bmp24(path):
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        raise ValueError(path + ": not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if bits != 24 or compression != 0 or width <= 0 or height == 0:
        raise ValueError(path + ": only uncompressed 24-bit BMP files are read")
    stride = (width * 3 + 3) & ~3
    if offset + stride * abs(height) > len(data):
        raise ValueError(path + ": pixel data cut short")
    rows = []
    for y in range(abs(height)):
        # A positive height stores the bottom row first.
        stored = abs(height) - 1 - y if height > 0 else y
        bgr = data[offset + stored * stride: offset + stored * stride + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(bytes(rgb))
    return width, abs(height), rows


def png_chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body +
            struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))


def write_png(path, width, height, rows):
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(png_chunk(b"IHDR", header))
        out.write(png_chunk(b"IDAT", zlib.compress(raw, 9)))
        out.write(png_chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    write_png(sys.argv[2], *read_bmp24(sys.argv[1]))


if __name__ == "__main__":
    main()
