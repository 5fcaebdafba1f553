#!/usr/bin/env python3
"""Compares two uncompressed BMP files (8-bit with colour table, or 24-bit) pixel by
pixel: prints "identical WxH" or how many pixels differ, and exits 1 when they differ.

usage: compare_bmp.py A.bmp B.bmp
"""
import struct
import sys


def read_bmp(path):
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        raise ValueError(path + ": not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    header_size, width, height, _, bits, compression, _, _, _, used = struct.unpack_from(
        "<IiiHHIIiiI", data, 14)
    if compression != 0 or bits not in (8, 24):
        raise ValueError(path + ": only uncompressed 8- and 24-bit BMP files are read")
    table = []
    if bits == 8:
        start = 14 + header_size
        for i in range(used or 256):
            b, g, r = data[start + 4 * i: start + 4 * i + 3]
            table.append((r, g, b))
    stride = (width * bits // 8 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        # Positive heights store the bottom row first.
        stored = abs(height) - 1 - y if height > 0 else y
        row = data[offset + stored * stride: offset + stored * stride + width * bits // 8]
        if bits == 8:
            rows.append([table[i] for i in row])
        else:
            rows.append([(row[x + 2], row[x + 1], row[x]) for x in range(0, len(row), 3)])
    return width, abs(height), rows


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    wa, ha, a = read_bmp(sys.argv[1])
    wb, hb, b = read_bmp(sys.argv[2])
    if (wa, ha) != (wb, hb):
        print("sizes differ: %dx%d and %dx%d" % (wa, ha, wb, hb))
        sys.exit(1)
    differing = [(x, y) for y in range(ha) for x in range(wa) if a[y][x] != b[y][x]]
    if differing:
        x, y = differing[0]
        print("%d of %d pixels differ (first at %d,%d: %s and %s)" %
              (len(differing), wa * ha, x, y, a[y][x], b[y][x]))
        sys.exit(1)
    print("identical %dx%d" % (wa, ha))


if __name__ == "__main__":
    main()
