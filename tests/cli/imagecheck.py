# Readers for the files the kdz tool writes (BMP, PNG, PPM) that check their structure
# on the way, for the shell tests of the tool. Standard library only.
import struct
import zlib


class Bad(Exception):
    pass


def need(cond, what):
    if not cond:
        raise Bad(what)


def read_bmp(path):
    """Returns dict(width, height, bits, rows (file order, bottom row first, unpadded),
    table (list of (b, g, r, reserved)) or None). Checks headers, sizes and padding."""
    data = open(path, "rb").read()
    need(data[:2] == b"BM", "BMP signature")
    bf_size, r1, r2, off_bits = struct.unpack_from("<IHHI", data, 2)
    need(bf_size == len(data), "bfSize %d vs file size %d" % (bf_size, len(data)))
    need(r1 == 0 and r2 == 0, "bfReserved")
    (bi_size, width, height, planes, bits, compression, size_image, xppm, yppm,
     clr_used, clr_important) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    need(bi_size == 40, "biSize")
    need(width > 0 and height > 0, "positive width and height")
    need(planes == 1 and compression == 0, "biPlanes 1, BI_RGB")
    need(bits in (8, 24), "biBitCount %d" % bits)
    need(xppm == 0 and yppm == 0 and clr_used == 0 and clr_important == 0, "zero fields")
    table = None
    if bits == 8:
        need(off_bits == 14 + 40 + 1024, "bfOffBits of an 8-bit BMP")
        table = [tuple(data[54 + 4 * k:58 + 4 * k]) for k in range(256)]
        need(all(e[3] == 0 for e in table), "colour table reserved bytes")
    else:
        need(off_bits == 54, "bfOffBits of a 24-bit BMP")
    row_bytes = width * bits // 8
    stride = (row_bytes + 3) & ~3
    need(size_image == stride * height, "biSizeImage %d, rows %d" % (size_image, stride * height))
    need(len(data) == off_bits + stride * height, "file size %d" % len(data))
    rows = []
    for r in range(height):
        row = data[off_bits + r * stride:off_bits + (r + 1) * stride]
        need(row[row_bytes:] == bytes(stride - row_bytes), "row %d padding is not zero" % r)
        rows.append(row[:row_bytes])
    return dict(width=width, height=height, bits=bits, rows=rows, table=table)


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(path):
    """Returns dict(width, height, color_type, palette (list of (r, g, b)) or None,
    rows (top first, filters undone)). Supports 8-bit, non-interlaced files."""
    data = open(path, "rb").read()
    need(data[:8] == b"\x89PNG\r\n\x1a\n", "PNG signature")
    pos, chunks = 8, []
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack_from(">I", data, pos + 8 + length)
        need(zlib.crc32(kind + body) == crc, "CRC of %s" % kind)
        chunks.append((kind, body))
        pos += 12 + length
    need(chunks[0][0] == b"IHDR" and chunks[-1][0] == b"IEND", "IHDR first, IEND last")
    width, height, depth, color_type, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    need(depth == 8 and interlace == 0, "8-bit, not interlaced")
    palette = None
    for kind, body in chunks:
        if kind == b"PLTE":
            palette = [tuple(body[k:k + 3]) for k in range(0, len(body), 3)]
    need((palette is not None) == (color_type == 3), "PLTE exactly for colour type 3")
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[color_type]
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    row_bytes = width * channels
    need(len(raw) == height * (row_bytes + 1), "IDAT size")
    rows, prev = [], bytearray(row_bytes)
    for r in range(height):
        f = raw[r * (row_bytes + 1)]
        line = bytearray(raw[r * (row_bytes + 1) + 1:(r + 1) * (row_bytes + 1)])
        for x in range(row_bytes):
            a = line[x - channels] if x >= channels else 0
            b = prev[x]
            c = prev[x - channels] if x >= channels else 0
            pred = [0, a, b, (a + b) // 2, _paeth(a, b, c)][f]
            line[x] = (line[x] + pred) & 0xFF
        rows.append(bytes(line))
        prev = line
    return dict(width=width, height=height, color_type=color_type, palette=palette, rows=rows)


def read_ppm(path):
    """Returns dict(width, height, rows (top first, R, G, B))."""
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    need(fields[0] == b"P6" and fields[3] == b"255", "P6 with maxval 255")
    width, height = int(fields[1]), int(fields[2])
    need(len(data) - pos == width * height * 3, "PPM pixel bytes")
    rows = [data[pos + r * width * 3:pos + (r + 1) * width * 3] for r in range(height)]
    return dict(width=width, height=height, rows=rows)


def bmp_rgb_top_first(bmp):
    """The BMP's pixels as R, G, B rows, top row first."""
    out = []
    for row in reversed(bmp["rows"]):
        line = bytearray()
        for x in range(bmp["width"]):
            if bmp["bits"] == 24:
                b, g, r = row[3 * x:3 * x + 3]
            else:
                b, g, r, _ = bmp["table"][row[x]]
            line += bytes((r, g, b))
        out.append(bytes(line))
    return out


def png_rgb_top_first(png):
    if png["color_type"] == 2:
        return png["rows"]
    need(png["color_type"] == 3, "RGB or indexed PNG")
    pal = png["palette"]
    return [b"".join(bytes(pal[i]) for i in row) for row in png["rows"]]


def write_png(path, width, height, color_type, depth, rows, palette=None, trns=None):
    """Writes a PNG of any colour type and depth from raw, already packed rows
    (top first), with filter 0; palette is a list of (r, g, b), trns raw bytes."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    out = b"\x89PNG\r\n\x1a\n"
    out += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, color_type, 0, 0, 0))
    if palette is not None:
        out += chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    if trns is not None:
        out += chunk(b"tRNS", trns)
    out += chunk(b"IDAT", zlib.compress(b"".join(b"\0" + bytes(r) for r in rows)))
    out += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(out)
