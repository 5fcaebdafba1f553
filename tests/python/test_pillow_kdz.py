# The Pillow plug-in against the kdz tool: the same pixels and palettes for every
# sample, round trips within the PSNR the samples README states, broken files and
# limits as KdzError. Run by `make test-python`; KDZ_TOOL names the kdz binary.
import glob
import io
import math
import os
import re
import subprocess

import pytest
from PIL import Image, UnidentifiedImageError

import pillow_kdz

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KDZ_TOOL = os.environ.get("KDZ_TOOL", os.path.join(ROOT, "build", "tools", "kdz", "kdz"))
SAMPLES = sorted(glob.glob(os.path.join(ROOT, "samples", "*.kdz")))
SHARED = os.path.join(ROOT, "..", "shared", "images")
HOSTILE = sorted(glob.glob(os.path.join(ROOT, "fuzz", "corpus", "decode_fuzzer", "*")))


def tool_decode(path, tmp_path, eight_bit):
    """The kdz tool's decode, read back with Pillow: RGB from a PPM, or P from the 8-bit BMP."""
    out = str(tmp_path / ("tool.bmp" if eight_bit else "tool.ppm"))
    subprocess.run([KDZ_TOOL, "decode", "--8bit" if eight_bit else "--24bit", path, out], check=True)
    im = Image.open(out)
    im.load()
    return im


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_pixels_equal_the_tool(path, tmp_path):
    data = open(path, "rb").read()
    rgb = tool_decode(path, tmp_path, False)
    im = Image.open(path)
    assert (im.format, im.mode, im.size) == ("KDZ", "RGB", rgb.size)
    assert im.tobytes() == rgb.tobytes()
    assert pillow_kdz.decode(data).pixels == rgb.tobytes()

    bmp = tool_decode(path, tmp_path, True)
    assert bmp.mode == "P"
    pal = pillow_kdz.open(io.BytesIO(data), palette=True)
    assert pal.mode == "P"
    assert pal.tobytes() == bmp.tobytes()
    plain = pillow_kdz.decode(data, palette=True)
    assert plain.pixels == bmp.tobytes()
    used = max(plain.pixels) + 1
    assert plain.palette[:3 * used] == bytes(bmp.getpalette()[:3 * used])
    assert pal.getpalette()[:3 * used] == bmp.getpalette()[:3 * used]
    # A P picture converts through its own palette, so it is close to the RGB one.
    assert psnr(pal.convert("RGB").tobytes(), rgb.tobytes()) > 25


def psnr(a, b):
    assert len(a) == len(b)
    se = sum((x - y) * (x - y) for x, y in zip(a, b))
    return 99.0 if se == 0 else 10 * math.log10(255.0 ** 2 * len(a) / se)


def stated_samples():
    """(picture, size target, stated PSNR) from the samples README."""
    text = open(os.path.join(ROOT, "samples", "README.md")).read()
    psnrs = {m[0]: float(m[1]) for m in re.findall(r"\| (\w+)\.kdz \|.*\| ([\d.]+) dB \|", text)}
    sentence = re.search(r"BYTES being (.*?)\s\(", text, re.S).group(1).replace("\n", " ")
    targets = {}
    for size, names in re.findall(r"(\d+) for ([a-z]+(?: and [a-z]+)?)", sentence):
        for name in names.split(" and "):
            targets[name] = int(size)
    rows = [(name, targets[name], psnrs[name]) for name in sorted(psnrs)]
    assert len(rows) == len(SAMPLES)
    return rows


@pytest.mark.skipif(not os.path.isdir(SHARED), reason="not run: no ../shared/images")
@pytest.mark.parametrize("name,size,stated", stated_samples())
def test_round_trip_within_stated_psnr(name, size, stated, tmp_path):
    original = Image.open(os.path.join(SHARED, name + ".png")).convert("RGB")
    out = tmp_path / (name + ".kdz")
    original.save(out, size=size)
    assert 0 < out.stat().st_size <= size
    back = Image.open(out)
    assert back.size == original.size
    assert psnr(back.tobytes(), original.tobytes()) >= stated - 0.05


def test_quality_and_plain_encode():
    original = Image.open(SAMPLES[0]).convert("RGB")
    low, high = io.BytesIO(), io.BytesIO()
    original.save(low, format="KDZ", quality=20)
    original.save(high, format="KDZ", quality=90)
    assert len(low.getvalue()) < len(high.getvalue())
    data, report = pillow_kdz.encode(original.tobytes(), *original.size, quality=90, report=True)
    assert data == high.getvalue()
    assert report["file_size"] == len(data)
    decoded = pillow_kdz.decode(data).pixels
    assert abs(psnr(decoded, original.tobytes()) - report["psnr"]) < 0.01


def broken_files():
    sample = open(SAMPLES[0], "rb").read()
    return [
        ("empty", b"", pillow_kdz.ErrorCode.EMPTY),
        ("header only", sample[:8], None),
        ("truncated", sample[:len(sample) // 3], None),
        ("unknown version", b"QEM9.9zZ" + sample[8:], None),
        ("too large", sample + bytes(80000), pillow_kdz.ErrorCode.FILE_TOO_LARGE),
    ]


@pytest.mark.parametrize("label,data,code", broken_files(), ids=lambda v: v if isinstance(v, str) else "")
def test_broken_files_raise(label, data, code):
    with pytest.raises(pillow_kdz.KdzError) as raised:
        pillow_kdz.decode(data)
    assert str(raised.value) and (code is None or raised.value.code == code)
    with pytest.raises((pillow_kdz.KdzError, UnidentifiedImageError)):
        Image.open(io.BytesIO(data)).load()


def test_damaged_body_still_decodes():
    # Past a sound header the coded bits are not checked: damage gives a damaged picture.
    sample = bytearray(open(SAMPLES[0], "rb").read())
    for k in range(64, len(sample), 97):
        sample[k] ^= 0x5A
    im = Image.open(io.BytesIO(bytes(sample)))
    assert len(im.tobytes()) == im.width * im.height * 3


def test_not_kdz_is_left_to_other_formats():
    with pytest.raises(UnidentifiedImageError):
        Image.open(io.BytesIO(b"not a picture at all"))
    with pytest.raises(pillow_kdz.KdzError) as raised:
        pillow_kdz.decode(b"not a picture at all")
    assert raised.value.code == pillow_kdz.ErrorCode.NOT_KDZ


@pytest.mark.parametrize("path", HOSTILE, ids=os.path.basename)
def test_hostile_files_decode_or_raise(path):
    data = open(path, "rb").read()
    for palette in (False, True):
        try:
            pic = pillow_kdz.decode(data, palette=palette, max_pixels=4096 * 4096)
            assert len(pic.pixels) == pic.width * pic.height * (1 if palette else 3)
        except pillow_kdz.KdzError as e:
            assert str(e)


def test_pixel_limit(monkeypatch):
    data = open(SAMPLES[0], "rb").read()
    w, h = Image.open(SAMPLES[0]).size
    assert pillow_kdz.decode(data, max_pixels=w * h).width == w
    with pytest.raises(pillow_kdz.KdzError) as raised:
        pillow_kdz.decode(data, max_pixels=w * h - 1)
    assert raised.value.code == pillow_kdz.ErrorCode.LIMIT
    monkeypatch.setattr(pillow_kdz, "max_pixels", w * h - 1)
    with pytest.raises(pillow_kdz.KdzError) as raised:
        Image.open(SAMPLES[0])
    assert raised.value.code == pillow_kdz.ErrorCode.LIMIT


def test_failed_save_leaves_no_file(tmp_path):
    out = tmp_path / "x.kdz"
    with pytest.raises(pillow_kdz.KdzError):
        Image.open(SAMPLES[0]).save(out, size=20)
    assert not out.exists()
    with pytest.raises(pillow_kdz.KdzError) as raised:
        pillow_kdz.encode(b"\0" * 10, 2, 2)
    assert raised.value.code == pillow_kdz.ErrorCode.INVALID_ARGUMENT
