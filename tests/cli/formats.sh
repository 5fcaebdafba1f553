# `kdz encode` of every input format, told apart by content: each input, under a name
# that says nothing of its format, must give the very KDZ file that the PPM of the
# pixels its own library decodes (djpeg, dwebp, Pillow) gives. Then damaged inputs of
# each format, and "-" for standard input and output.
source "$(dirname "$0")/common.bash"
PY=/usr/bin/python3  # Debian's, with Pillow
if ! $PY -c "import PIL" 2>/dev/null; then echo "not run: $PY has no Pillow (python3-pil)"; exit 77; fi
for tool in cjpeg djpeg cwebp dwebp; do
  command -v $tool >/dev/null || { echo "not run: $tool missing (libjpeg-turbo-progs, webp)"; exit 77; }
done

# A picture whose channels differ along both axes, an odd width, and a little noise.
# Lossless inputs hold exactly its pixels (ref.ppm); each writes itself to in-NAME.
$PY - <<'PY' || fail "making the inputs"
import random, struct
from PIL import Image
random.seed(3)
W, H = 61, 45
im = Image.new("RGB", (W, H))
im.putdata([(min(255, 4 * x + random.randrange(8)), min(255, 5 * y + random.randrange(8)),
             max(0, 230 - 2 * x - 3 * y)) for y in range(H) for x in range(W)])
im.save("ref.ppm")
im.save("ref.png")
im.save("in-png", "PNG")
im.save("in-bmp24", "BMP")
im.convert("P", palette=Image.ADAPTIVE, colors=200).save("in-bmp8", "BMP")
grey = im.convert("L")
grey.save("in-pgm", "PPM")
bits = im.convert("1")
bits.save("in-pbm", "PPM")
bits.save("in-bmp1", "BMP")
px = list(im.getdata())
flat = [c for p in px for c in p]
# Text PPM (P3) with comments, and a binary PPM of 16-bit samples (v * 257).
with open("in-p3", "w") as f:
    f.write("P3\n# a comment\n%d %d\n# another\n255\n" % (W, H))
    f.write("\n".join(" ".join(map(str, flat[i:i + 12])) for i in range(0, len(flat), 12)) + "\n")
open("in-p6-16", "wb").write(b"P6 %d %d 65535\n" % (W, H) + b"".join(struct.pack(">H", v * 257) for v in flat))
# Text P1 and P2 of the same bits and greys.
open("in-p1", "w").write("P1\n%d %d\n" % (W, H) + "".join("0" if v else "1" for v in bits.getdata()))
open("in-p2", "w").write("P2 %d %d 255\n" % (W, H) + " ".join(map(str, grey.getdata())) + "\n")
# A top-down 32-bit BMP with bit fields, written by hand (Pillow writes bottom-up).
rows = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in px)
info = struct.pack("<IiiHHIIiiII", 40, W, -H, 1, 32, 3, len(rows), 0, 0, 0, 0)
masks = struct.pack("<III", 0xFF0000, 0xFF00, 0xFF)
off = 14 + len(info) + len(masks)
open("in-bmp32", "wb").write(b"BM" + struct.pack("<IHHI", off + len(rows), 0, 0, off) + info + masks + rows)
# References for the lossless inputs that are not the colour picture itself.
for name in ("pgm", "p2"):
    grey.convert("RGB").save("ref-%s.ppm" % name)
for name in ("pbm", "p1", "bmp1"):
    bits.convert("RGB").save("ref-%s.ppm" % name)
Image.open("in-bmp8").convert("RGB").save("ref-bmp8.ppm")
# CMYK JPEG and translucent PNG.
im.convert("CMYK").save("in-cmyk", "JPEG", quality=95)
rgba = im.convert("RGBA")
rgba.putalpha(Image.linear_gradient("L").resize((W, H)))
rgba.save("rgba.png")
PY

# JPEG and WebP come from Debian's own tools; their references from the matching
# decoders.
cjpeg -quality 90 ref.ppm >in-jpeg && djpeg -ppm in-jpeg >ref-jpeg.ppm || fail "cjpeg"
cjpeg -grayscale -progressive ref.ppm >in-jpeg-grey && djpeg -ppm in-jpeg-grey >ref-jpeg-grey.ppm || fail "cjpeg -grayscale"
cwebp -quiet -q 80 ref.png -o in-webp && dwebp -quiet in-webp -ppm -o ref-webp.ppm || fail "cwebp"
cwebp -quiet -lossless ref.png -o in-webp-lossless || fail "cwebp -lossless"
cwebp -quiet -lossless rgba.png -o rgba.webp || fail "cwebp of rgba"
cp in-jpeg in-jpeg-named.png  # a JPEG named .png: the content decides

for input in in-*; do
  [ "$input" = in-cmyk ] && continue
  name=${input#in-}
  name=${name%-named.png}
  ref=ref-$name.ppm
  [ -f "$ref" ] || ref=ref.ppm
  run encode --quality 90 "$ref" expect.kdz
  expect_status 0 "encode $ref"
  run encode --quality 90 "$input" got.kdz
  expect_status 0 "encode $input"
  [ -s stderr.txt ] && fail "encode $input wrote to stderr: $(cat stderr.txt)"
  cmp -s got.kdz expect.kdz || fail "encode $input: not the file that $ref gives"
done

# CMYK: Pillow's own colour conversion is rough, so near it, not equal.
run encode --quality 100 --levels 0 in-cmyk cmyk.kdz && run decode cmyk.kdz cmyk.ppm
expect_status 0 "encode of a CMYK JPEG"
$PY - <<'PY' || fail "CMYK JPEG colours are wrong"
from PIL import Image, ImageChops, ImageStat
d = ImageStat.Stat(ImageChops.difference(Image.open("cmyk.ppm"), Image.open("in-cmyk").convert("RGB")))
assert max(d.mean) < 3, d.mean
PY

# Translucent pixels: the colours stay, with one warning.
for f in rgba.png rgba.webp; do
  run encode --quality 90 "$f" alpha.kdz
  expect_status 0 "encode $f"
  grep -qx "kdz: $f: warning: transparency dropped (KDZ holds no alpha)" stderr.txt || fail "$f: no warning: $(cat stderr.txt)"
done

# Damaged inputs: cut short or broken inside, each one line naming it, nothing written.
for input in in-png in-jpeg in-webp in-p6-16 in-bmp24 in-p3; do
  head -c $(($(stat -c %s "$input") / 2)) "$input" >"cut-${input#in-}"
done
printf 'P6 100000 100000 255\n' >huge.ppm
{ printf 'BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x10\0\0\0\x10\0\0\0\x01\0\x08\0\x01\0\0\0'; head -c 1100 /dev/zero; } >rle.bmp
printf 'P5 2 2 255\n\1\2\3\4' >ok.pgm
printf 'P5 2 2 3\n\1\2\3\4' >overmax.pgm
printf 'hello' >text.txt
for bad in cut-* huge.ppm rle.bmp overmax.pgm text.txt "$SRC/samples/color.kdz"; do
  run encode "$bad" bad.kdz
  expect_one_error "$bad" "encode of $bad"
  [ -e bad.kdz ] && fail "encode of $bad left bad.kdz"
done
grep -q "limit" <("$KDZ" encode huge.ppm bad.kdz 2>&1) || fail "a huge PPM is not refused by the pixel limit"
run encode ok.pgm small.kdz
expect_status 0 "encode of a 2 x 2 PGM"

# "-": standard input and output give the same bytes as named files.
run encode --quality 90 in-jpeg file.kdz
"$KDZ" encode --quality 90 - stdin.kdz <in-jpeg >/dev/null || fail "encode from stdin"
cmp -s file.kdz stdin.kdz || fail "encode from stdin differs"
"$KDZ" encode --quality 90 in-jpeg - >stdout.kdz 2>report.txt || fail "encode to stdout"
cmp -s file.kdz stdout.kdz || fail "encode to stdout differs"
grep -q "^stdout: 61 x 45, " report.txt || fail "encode to stdout: no report on stderr: $(cat report.txt)"
for fmt in png bmp ppm; do
  run decode --8bit file.kdz "named.$fmt"
  "$KDZ" decode --8bit --format $fmt - - <file.kdz >"piped.$fmt" || fail "decode - - as $fmt"
  cmp -s "named.$fmt" "piped.$fmt" || fail "decode through stdin and stdout as $fmt differs"
done
"$KDZ" decode file.kdz - >default.out && run decode file.kdz named24.png
cmp -s default.out named24.png || fail "decode to stdout is not PNG by default"
"$KDZ" encode - - <in-webp 2>/dev/null | "$KDZ" decode - piped.ppm || fail "encode - - | decode -"
printf junk | "$KDZ" decode - junk.png 2>stderr.txt
grep -q "^kdz: stdin: not a KDZ file" stderr.txt || fail "a bad stdin is not named stdin: $(cat stderr.txt)"
run decode --format bmp file.kdz clash.png
expect_status 2 "decode --format bmp to a .png name"

finish
