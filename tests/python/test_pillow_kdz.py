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
Code = pillow_kdz.ErrorCode


def psnr(a, b):
    se = sum((x - y) * (x - y) for x, y in zip(a, b))
    return 99.0 if se == 0 else 10 * math.log10(255.0 ** 2 * len(a) / se)


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_pixels_equal_the_tool(path, tmp_path):
    """RGB against the tool's PPM, P (indices and palette) against its 8-bit BMP."""
    subprocess.run([KDZ_TOOL, "decode", "--24bit", path, tmp_path / "t.ppm"], check=True)
    subprocess.run([KDZ_TOOL, "decode", "--8bit", path, tmp_path / "t.bmp"], check=True)
    rgb, bmp = Image.open(tmp_path / "t.ppm"), Image.open(tmp_path / "t.bmp")
    data = open(path, "rb").read()
    im = Image.open(path)
    assert (im.format, im.mode, im.size) == ("KDZ", "RGB", rgb.size)
    assert im.tobytes() == pillow_kdz.decode(data).pixels == rgb.tobytes()

    pal = pillow_kdz.open(io.BytesIO(data), palette=True)
    plain = pillow_kdz.decode(data, palette=True)
    assert (pal.mode, bmp.mode) == ("P", "P")
    assert pal.tobytes() == plain.pixels == bmp.tobytes()
    used = 3 * (max(plain.pixels) + 1)
    assert pal.getpalette()[:used] == list(plain.palette[:used]) == bmp.getpalette()[:used]
    assert psnr(pal.convert("RGB").tobytes(), rgb.tobytes()) > 25  # the palette is applied


def stated():
    """(picture, --size target, PSNR) as the samples README states them."""
    text = open(os.path.join(ROOT, "samples", "README.md")).read()
    db = dict(re.findall(r"\| (\w+)\.kdz \|.*\| ([\d.]+) dB \|", text))
    sizes = re.search(r"BYTES being (.*?)\s\(", text, re.S).group(1).replace("\n", " ")
    target = {n: int(b) for b, ns in re.findall(r"(\d+) for ([a-z]+(?: and [a-z]+)?)", sizes)
              for n in ns.split(" and ")}
    assert len(db) == len(SAMPLES)
    return [(n, target[n], float(db[n])) for n in sorted(db)]


@pytest.mark.skipif(not os.path.isdir(SHARED), reason="not run: no ../shared/images")
@pytest.mark.parametrize("name,size,db", stated())
def test_round_trip_within_stated_psnr(name, size, db, tmp_path):
    original = Image.open(os.path.join(SHARED, name + ".png")).convert("RGB")
    original.save(tmp_path / "x.kdz", size=size)
    assert 0 < (tmp_path / "x.kdz").stat().st_size <= size
    assert psnr(Image.open(tmp_path / "x.kdz").tobytes(), original.tobytes()) >= db - 0.05


def test_save_options_and_plain_encode():
    original = Image.open(SAMPLES[0]).convert("RGB")
    low, high = io.BytesIO(), io.BytesIO()
    original.save(low, format="KDZ", quality=20)
    original.save(high, format="KDZ", quality=90)
    assert len(low.getvalue()) < len(high.getvalue())
    data, report = pillow_kdz.encode(original.tobytes(), *original.size, quality=90, report=True)
    assert data == high.getvalue() and report["file_size"] == len(data)
    assert abs(psnr(pillow_kdz.decode(data).pixels, original.tobytes()) - report["psnr"]) < 0.01


def broken():
    sample = open(SAMPLES[0], "rb").read()
    return [(b"", Code.EMPTY), (sample[:8], Code.MALFORMED), (sample[:len(sample) // 3], Code.MALFORMED),
            (b"QEM9.9zZ" + sample[8:], None), (sample + bytes(80000), Code.FILE_TOO_LARGE)]


@pytest.mark.parametrize("data,code", broken(), ids=lambda v: getattr(v, "name", "any"))
def test_broken_files_raise(data, code):
    with pytest.raises(pillow_kdz.KdzError) as plain:
        pillow_kdz.decode(data)
    assert code in (None, plain.value.code) and str(plain.value)
    with pytest.raises((pillow_kdz.KdzError, UnidentifiedImageError)) as opened:
        Image.open(io.BytesIO(data)).load()
    assert data == b"" or str(opened.value) == str(plain.value)  # the library's message


def test_other_files_are_left_to_other_formats():
    with pytest.raises(UnidentifiedImageError):
        Image.open(io.BytesIO(b"not a picture at all"))
    with pytest.raises(pillow_kdz.KdzError) as raised:
        pillow_kdz.decode(b"not a picture at all")
    assert raised.value.code == Code.NOT_KDZ


def test_pixel_limit(monkeypatch):
    data = open(SAMPLES[0], "rb").read()
    w, h = Image.open(SAMPLES[0]).size
    assert pillow_kdz.decode(data, max_pixels=w * h).width == w
    with pytest.raises(pillow_kdz.KdzError, match="limit") as raised:
        pillow_kdz.decode(data, max_pixels=w * h - 1)
    assert raised.value.code == Code.LIMIT
    monkeypatch.setattr(pillow_kdz, "max_pixels", w * h - 1)
    with pytest.raises(pillow_kdz.KdzError) as raised:
        Image.open(SAMPLES[0])
    assert raised.value.code == Code.LIMIT


def test_failed_encode_leaves_no_file(tmp_path):
    with pytest.raises(pillow_kdz.KdzError) as raised:
        Image.open(SAMPLES[0]).save(tmp_path / "x.kdz", size=20)
    assert raised.value.code == Code.FILE_TOO_LARGE and not (tmp_path / "x.kdz").exists()
    with pytest.raises(pillow_kdz.KdzError) as raised:
        pillow_kdz.encode(b"\0" * 10, 2, 2)
    assert raised.value.code == Code.INVALID_ARGUMENT


@pytest.mark.skipif(not os.path.isdir("/proc/self/task") or (os.cpu_count() or 1) < 2,
                    reason="not run: needs Linux's thread names and 2 cores")
def test_decodes_on_the_library_threads():
    """The plug-in is built as the library is: a decode leaves its helpers, asleep."""
    Image.open(SAMPLES[0]).load()
    names = [open("/proc/self/task/%s/comm" % t).read().strip() for t in os.listdir("/proc/self/task")]
    assert "kdz-helper" in names
