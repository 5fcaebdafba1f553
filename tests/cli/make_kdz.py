#!/usr/bin/env python3
# Writes small KDZ 2.3 files with levels 0 for the tool's tests and the demo.
#
#   make_kdz.py OUT --flat BIAS [--size WxH]   every plane empty: a flat grey picture
#   make_kdz.py OUT --pattern   [--size WxH]   y, i, q ramps coded sample by sample
#
# With --expect FILE the pattern's 24-bit pixels are written there as well, top row
# first, 3 bytes per pixel in red, green, blue order (the bytes 2, 1, 0 that the
# colour conversion produces).
#
# With levels 0 the low band is the whole plane and the inverse transform leaves it
# as it is, so a file whose scales dequantise v to v carries its samples directly.
import argparse
import struct
import sys

END_OF_HEADER = 62  # the version 2.3 header with levels 0


class Model:
    """The adaptive frequency model that the decoder keeps, updated in step with it."""

    def __init__(self, value_count):
        s = value_count + 1
        self.s = s
        self.freq = [1] * (s + 1)
        self.freq[0] = 0
        self.cum = [s - i for i in range(s + 1)]
        self.index_to_entry = [0] * (s + 1)
        for k in range(value_count):
            self.index_to_entry[k + 1] = k

    def index_of(self, entry):
        return self.index_to_entry.index(entry, 1, self.s)

    def update(self, index):
        if self.cum[0] == 4096:
            total = 0
            for i in range(self.s, -1, -1):
                self.freq[i] = (self.freq[i] + 1) // 2
                self.cum[i] = total
                total += self.freq[i]
        i = index
        while self.freq[i] == self.freq[i - 1]:
            i -= 1
        if i < index:
            self.index_to_entry[i], self.index_to_entry[index] = (
                self.index_to_entry[index], self.index_to_entry[i])
        self.freq[i] += 1
        for k in range(i - 1, -1, -1):
            self.cum[k] += 1


class Encoder:
    """16-bit arithmetic encoder; bits are packed least significant first."""

    HALF, FIRST_QUARTER, THIRD_QUARTER = 0x8000, 0x4000, 0xC000

    def __init__(self):
        self.low, self.high, self.follow = 0, 0xFFFF, 0
        self.bits = []

    def _emit(self, bit):
        self.bits.append(bit)
        self.bits.extend([1 - bit] * self.follow)
        self.follow = 0

    def encode(self, index, cum):
        span = self.high - self.low + 1
        self.high = self.low + span * cum[index - 1] // cum[0] - 1
        self.low = self.low + span * cum[index] // cum[0]
        while True:
            if self.high < self.HALF:
                self._emit(0)
            elif self.low >= self.HALF:
                self._emit(1)
                self.low -= self.HALF
                self.high -= self.HALF
            elif self.low >= self.FIRST_QUARTER and self.high < self.THIRD_QUARTER:
                self.follow += 1
                self.low -= self.FIRST_QUARTER
                self.high -= self.FIRST_QUARTER
            else:
                break
            self.low = 2 * self.low
            self.high = 2 * self.high + 1

    def finish(self):
        self.follow += 1
        self._emit(0 if self.low < self.FIRST_QUARTER else 1)
        out = bytearray((len(self.bits) + 7) // 8 + 2)  # two spare bytes for the look-ahead
        for n, bit in enumerate(self.bits):
            out[n // 8] |= bit << (n % 8)
        return bytes(out)


def plane_data(samples):
    """Value table and coded samples of one plane (an empty plane when samples is None)."""
    if samples is None:
        return bytes([0, 0, 0])
    values = sorted(set(samples))
    assert len(values) <= 255 and all(-128 <= v <= 127 for v in values)
    model, enc = Model(len(values)), Encoder()
    for v in samples:
        index = model.index_of(values.index(v))
        enc.encode(index, model.cum)
        model.update(index)
    return bytes([len(values)] + [v + 128 for v in values]) + enc.finish()


def build(width, height, luma_bias, planes):
    y, i, q = (plane_data(p) for p in planes)
    offset_i = END_OF_HEADER + len(y)
    offset_q = offset_i + len(i)
    header = b"QEM2.3aZ" + struct.pack(
        "<hhhhhhhHHHhh" + "6h" + "HHH" + "hhh" + "3h",
        0, 0, 0,              # uncodedLevels y, i, q
        0,                    # headerLength: 'y' data follows the header
        width, height, 0,
        offset_i, offset_q, 0,
        0,                    # transformMode
        0,                    # levels
        1, -1, 1, -1, 1, -1,  # scalePos, scaleNeg of y, i, q: v stays v
        0, 0, 0,              # no second segments
        luma_bias, 0, 0,
        1, 1, 1)              # scaleDiv of y, i, q
    assert len(header) == END_OF_HEADER
    data = header + y + i + q
    assert len(data) < 65536
    return data


def pattern(width, height):
    """Plane samples in plane order (row 0 is the picture's bottom row)."""
    y, i, q = [], [], []
    for r in range(height):
        for c in range(width):
            y.append((c * 9 + r * 5) % 160 - 80)
            i.append((c * 4) % 100 - 50 if r % 2 == 0 else 40 - (r * 3) % 90)
            q.append((r * 7 + c) % 80 - 40)
    return y, i, q


def expected_rgb(width, height, luma_bias, planes):
    def clamp(v):
        return 0 if v < 0 else 255 if v > 255 else v

    y, i, q = planes
    out = bytearray()
    for r in range(height - 1, -1, -1):
        for c in range(width):
            k = r * width + c
            s = y[k] + luma_bias
            b0 = clamp(s + (979 * i[k] >> 10) + (636 * q[k] >> 10))
            b1 = clamp(s + (-279 * i[k] >> 10) + (-662 * q[k] >> 10))
            b2 = clamp(s + (-1133 * i[k] >> 10) + (1744 * q[k] >> 10))
            out += bytes([b2, b1, b0])
    return bytes(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("out")
    kind = ap.add_mutually_exclusive_group(required=True)
    kind.add_argument("--flat", type=int, metavar="BIAS")
    kind.add_argument("--pattern", action="store_true")
    ap.add_argument("--size", default="5x3", help="WxH")
    ap.add_argument("--expect", help="write the expected 24-bit pixels here")
    a = ap.parse_args()
    width, height = (int(n) for n in a.size.lower().split("x"))
    if a.flat is not None:
        bias, planes = a.flat, (None, None, None)
        samples = ([0] * (width * height),) * 3
    else:
        bias, planes = 128, pattern(width, height)
        samples = planes
    with open(a.out, "wb") as f:
        f.write(build(width, height, bias, planes))
    if a.expect:
        with open(a.expect, "wb") as f:
            f.write(expected_rgb(width, height, bias, samples))
    return 0


if __name__ == "__main__":
    sys.exit(main())
