#!/usr/bin/env python3
"""Writes a flat KDZ picture for the Windows tests: version 2.3, no wavelet levels,
every value table empty (all coefficients 0), so that every pixel shows the luma bias.

usage: make_flat_kdz.py WIDTH HEIGHT LUMA_BIAS OUT.kdz
"""
import struct
import sys


def flat_kdz(width, height, luma_bias):
    header = b"QEM2.3aZ"
    header += struct.pack("<3h", 0, 0, 0)          # uncoded levels y, i, q
    header += struct.pack("<h", 0)                 # header length: planes follow the header
    header += struct.pack("<hh", width, height)
    header += struct.pack("<h", 0)                 # unused
    plane_i = 62 + 3
    plane_q = plane_i + 3
    header += struct.pack("<HHH", plane_i, plane_q, 0)
    header += struct.pack("<hh", 0, 0)             # transform mode, levels
    header += struct.pack("<6h", 1, 1, 1, 1, 1, 1)  # scale row of the low band
    header += struct.pack("<3H", 0, 0, 0)          # no second segments
    header += struct.pack("<3h", luma_bias, 0, 0)  # luma bias, chroma biases
    header += struct.pack("<3h", 1, 1, 1)          # divisor row of the low band
    assert len(header) == 62
    plane = bytes([0, 0, 0])                       # empty value table, two coded bytes
    return header + plane * 3


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    width, height, bias = (int(v) for v in sys.argv[1:4])
    with open(sys.argv[4], "wb") as out:
        out.write(flat_kdz(width, height, bias))


if __name__ == "__main__":
    main()
