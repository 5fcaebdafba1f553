"""KDZ image files for Pillow.

Importing this package registers the KDZ format with Pillow:

    import pillow_kdz
    from PIL import Image
    im = Image.open("picture.kdz")            # RGB, decoded on first use
    im = pillow_kdz.open("picture.kdz", palette=True)   # mode "P": the 256-colour picture
    im.save("copy.kdz", size=32768)           # or quality=1..100, levels=0..10

`Image.open(...).draft("P", im.size)` before the pixels are used selects the 8-bit
picture too (that is what `open(..., palette=True)` does). Without Pillow images,
`decode(data)` and `encode(pixels, width, height)` work on bytes.

Failures raise KdzError (an OSError) with the library's message and `code`.
Pictures of more than `max_pixels` pixels are refused before anything is allocated.
"""

import collections
import enum
import io
import warnings

from PIL import Image, ImageFile, ImagePalette

from . import _kdz

__all__ = ["KdzError", "ErrorCode", "Picture", "decode", "encode", "open", "max_pixels",
           "MAX_FILE_SIZE", "KdzImageFile"]

ErrorCode = enum.IntEnum("ErrorCode", _kdz.ERROR_CODES)

# Every KDZ file is below this many bytes.
MAX_FILE_SIZE = 80000

# The pixel limit of Image.open and of decode() calls that give none; the library's
# default is 8192 x 8192.
max_pixels = _kdz.DEFAULT_MAX_PIXELS


class KdzError(OSError):
    """A KDZ file could not be read or written; `code` says why, str() is the message."""

    def __init__(self, message, code):
        super().__init__(message)
        self.message = message
        self.code = ErrorCode(code)


def _call(function, *args):
    try:
        return function(*args)
    except _kdz.Failure as failure:
        code, message = failure.args
        raise KdzError(message, code) from None


# A decoded picture: rows top first; pixels are RGB triples (mode "RGB") or palette
# indices (mode "P"), palette the RGB triples of the colours in use (None for "RGB").
Picture = collections.namedtuple("Picture", "width height mode pixels palette")


def decode(data, *, palette=False, max_pixels=None):
    """Decodes the bytes of a KDZ file into a Picture (the 8-bit one with palette=True)."""
    limit = globals()["max_pixels"] if max_pixels is None else max_pixels
    width, height, pixels, colours = _call(_kdz.decode, data, bool(palette), int(limit))
    return Picture(width, height, "P" if palette else "RGB", pixels, colours)


def encode(pixels, width, height, *, size=None, quality=None, levels=None, report=False):
    """Encodes width x height RGB pixels (bytes-like, rows top first) into a KDZ file.

    size: the largest file wanted in bytes (the best quality that fits is chosen);
    quality: 1..100 (default 75; ignored with a size); levels: wavelet levels 0..10
    (default: chosen from the picture size). Returns the file's bytes, or with
    report=True (bytes, dict) where the dict holds what the encoder chose and the
    PSNR of the decoded picture.
    """
    data, chosen = _call(_kdz.encode, pixels, int(width), int(height), int(size or 0),
                         75 if quality is None else int(quality), -1 if levels is None else int(levels))
    return (data, chosen) if report else data


def _accept(prefix):
    return prefix[:3] == b"QEM"


def _set_mode(im, mode):
    # Pillow 10.1 made `mode` a read-only property over `_mode`.
    if isinstance(getattr(type(im), "mode", None), property):
        im._mode = mode
    else:
        im.mode = mode


class KdzImageFile(ImageFile.ImageFile):
    format = "KDZ"
    format_description = "QEM, Inc. Graphic"

    def _open(self):
        data = self.fp.read(MAX_FILE_SIZE)
        if len(data) >= MAX_FILE_SIZE:
            # Refused without reading the rest; the size as the library would give it.
            try:
                size = self.fp.seek(0, io.SEEK_END)
            except (AttributeError, OSError, ValueError):
                size = len(data)
            raise KdzError("file of %d bytes; KDZ files are below %d bytes" % (size, MAX_FILE_SIZE),
                           ErrorCode.FILE_TOO_LARGE)
        header = _call(_kdz.read_header, data)
        limit = int(max_pixels)
        if not header["decodable"] or header["width"] * header["height"] > limit:
            # The decoder tells why (and with which code) before it allocates anything.
            _call(_kdz.decode, data, False, limit)
        self._size = (header["width"], header["height"])
        _set_mode(self, "RGB")
        self.info["levels"] = header["levels"]
        self._kdz_data = data
        self._kdz_limit = limit
        # Decoded whole by load(); the tile says only that pixels are yet to come.
        self.tile = [("kdz", (0, 0) + self.size, 0, None)]

    def draft(self, mode, size):
        """Selects the 8-bit picture ("P") or the 24-bit one ("RGB") before loading."""
        if self._kdz_data is None or mode not in ("P", "RGB"):
            return None
        _set_mode(self, mode)
        return mode, (0, 0) + self.size

    def load(self):
        if self._kdz_data is not None:
            eight_bit = self.mode == "P"
            _, _, pixels, colours = _call(_kdz.decode, self._kdz_data, eight_bit, self._kdz_limit)
            self._kdz_data = None
            self.tile = []
            self.im = Image.core.new(self.mode, self.size)
            self.frombytes(pixels)
            if eight_bit:
                self.palette = ImagePalette.raw("RGB", colours)
            if self._exclusive_fp and self._close_exclusive_fp_after_loading:
                self.fp.close()
            self.fp = None
        return Image.Image.load(self)


def open(fp, palette=False):
    """Image.open for KDZ files only; palette=True gives the 8-bit picture (mode "P")."""
    im = Image.open(fp, formats=["KDZ"])
    if palette:
        im.draft("P", im.size)
    return im


def _save(im, fp, filename):
    options = im.encoderinfo
    if "A" in im.mode or "transparency" in im.info:
        if im.convert("RGBA").getchannel("A").getextrema()[0] < 255:
            warnings.warn("KDZ holds no alpha; the picture is saved without it")
    rgb = im if im.mode == "RGB" else im.convert("RGB")
    fp.write(encode(rgb.tobytes(), rgb.width, rgb.height, size=options.get("size"),
                    quality=options.get("quality"), levels=options.get("levels")))


Image.register_open(KdzImageFile.format, KdzImageFile, _accept)
Image.register_save(KdzImageFile.format, _save)
Image.register_extension(KdzImageFile.format, ".kdz")
Image.register_mime(KdzImageFile.format, "image/qem-kdz")
