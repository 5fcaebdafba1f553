# `kdz encode`: PNG pictures of every colour type and depth in, KDZ files out that
# decode to the same picture; alpha dropped with a warning; errors and usage.
source "$(dirname "$0")/common.bash"

# Pictures whose colours differ along both axes and between channels, so that a
# flipped, mirrored or channel-swapped read cannot pass.
pycheck <<'PY'
from imagecheck import write_png
W, H = 40, 30
def rgb(x, y):
    return (40 + 4 * x, 30 + 5 * y, 200 - 2 * x - 3 * y)
def grey(x, y):
    return 20 + 4 * x + 2 * y
rgb_rows = [b"".join(bytes(rgb(x, y)) for x in range(W)) for y in range(H)]
grey_rows = [bytes(grey(x, y) for x in range(W)) for y in range(H)]
expect = {}
def add(name, color_type, depth, rows, expected_rows, **kw):
    write_png(name + ".png", W, H, color_type, depth, rows, **kw)
    open(name + ".rgb", "wb").write(b"".join(expected_rows))

add("rgb8", 2, 8, rgb_rows, rgb_rows)
add("rgb16", 2, 16, [b"".join(bytes((v, v)) for v in row) for row in rgb_rows], rgb_rows)
add("grey8", 0, 8, grey_rows, [b"".join(bytes((v, v, v)) for v in row) for row in grey_rows])
add("grey16", 0, 16, [b"".join(bytes((v, v)) for v in row) for row in grey_rows],
    [b"".join(bytes((v, v, v)) for v in row) for row in grey_rows])
# 1-bit grey: 24 columns black, the rest white.
bits = [bytes(0xFF if b >= 3 else 0 for b in range(W // 8)) for y in range(H)]
add("grey1", 0, 1, bits, [bytes((0 if x < 24 else 255) for x in range(W) for _ in range(3))] * H)
# Grey with alpha: opaque, so no warning.
add("greyalpha", 4, 8, [b"".join(bytes((v, 255)) for v in row) for row in grey_rows],
    [b"".join(bytes((v, v, v)) for v in row) for row in grey_rows])
# RGBA: the alpha channel is dropped, the colours stay.
add("rgba", 6, 8, [b"".join(bytes(rgb(x, y) + (255 if x < 10 else 3 * y,)) for x in range(W)) for y in range(H)],
    rgb_rows)
add("rgbaopaque", 6, 8, [b"".join(bytes(rgb(x, y) + (255,)) for x in range(W)) for y in range(H)], rgb_rows)
# 8-bit palette of 16 x 10 blocks, and a 4-bit one with a transparency entry.
pal = [(16 * i, 255 - 16 * i, (64 * i) % 256) for i in range(16)]
idx = [[(x // 10) + 4 * (y // 10) for x in range(W)] for y in range(H)]
add("pal8", 3, 8, [bytes(r) for r in idx], [b"".join(bytes(pal[i]) for i in r) for r in idx], palette=pal)
add("pal4trns", 3, 4, [bytes(r[x] << 4 | r[x + 1] for x in range(0, W, 2)) for r in idx],
    [b"".join(bytes(pal[i]) for i in r) for r in idx], palette=pal, trns=bytes([255, 0]))
PY

# Without wavelet levels at the best quality the file keeps the picture within a
# unit or so (a flipped, mirrored or channel-swapped read is about 40 off).
for name in rgb8 rgb16 grey8 grey16 grey1 greyalpha rgba rgbaopaque pal8 pal4trns; do
  run encode --quality 100 --levels 0 "$name.png" "$name.kdz"
  expect_status 0 "encode $name.png"
  case $name in
    rgba|pal4trns)
      [ "$(wc -l <stderr.txt)" -eq 1 ] && grep -q "^kdz: $name.png: warning: .*dropped" stderr.txt ||
        fail "encode $name.png: no single warning about the dropped alpha: $(cat stderr.txt)" ;;
    *) [ -s stderr.txt ] && fail "encode $name.png wrote to stderr: $(cat stderr.txt)" ;;
  esac
  grep -q "^$name.kdz: 40 x 30, [0-9]* bytes" stdout.txt || fail "encode $name.png: no summary: $(cat stdout.txt)"
  run decode "$name.kdz" "$name.ppm"
  expect_status 0 "decode $name.kdz"
  pycheck "$name" <<'PY' || fail "$name: the encoded picture is not the PNG's"
import sys
from imagecheck import read_ppm
name = sys.argv[1]
got = b"".join(read_ppm(name + ".ppm")["rows"])
want = open(name + ".rgb", "rb").read()
err = sum(abs(a - b) for a, b in zip(got, want)) / len(want)
assert len(got) == len(want) and err < 2, "mean error %.2f" % err
PY
done

# Options reach the encoder: a size target is met, levels are taken, a higher
# quality gives a larger file.
pycheck <<'PY'
from imagecheck import write_png
import random
random.seed(7)
W, H = 96, 64
rows = [bytes(min(255, max(0, (x * 3 + y * 2) % 256 + random.randint(-30, 30))) for x in range(W) for _ in range(3)) for y in range(H)]
write_png("noisy.png", W, H, 2, 8, rows)
PY
run encode --size 3000 noisy.png small.kdz
expect_status 0 "encode --size 3000"
[ "$(stat -c %s small.kdz)" -le 3000 ] || fail "encode --size 3000 made $(stat -c %s small.kdz) bytes"
run encode --levels 2 --quality 90 noisy.png l2.kdz
expect_status 0 "encode --levels 2"
grep -qx "levels: *2" <("$KDZ" info l2.kdz) || fail "encode --levels 2 did not make 2 levels"
run encode --levels=2 --quality=20 noisy.png l2q20.kdz
expect_status 0 "encode --quality=20"
[ "$(stat -c %s l2q20.kdz)" -lt "$(stat -c %s l2.kdz)" ] || fail "quality 20 is not smaller than quality 90"

# A photograph with an odd width, through to both bitmaps.
photo="$SRC/../shared/images/chelsea.png"
if [ -f "$photo" ]; then
  run encode --size 30000 "$photo" chelsea.kdz
  expect_status 0 "encode chelsea.png"
  [ "$(stat -c %s chelsea.kdz)" -le 30000 ] || fail "chelsea.kdz is larger than 30000 bytes"
  run decode --8bit chelsea.kdz chelsea.bmp
  expect_status 0 "decode chelsea.kdz"
  pycheck <<'PY' || fail "chelsea.bmp is wrong"
from imagecheck import read_bmp
b = read_bmp("chelsea.bmp")
assert (b["width"], b["height"], b["bits"]) == (451, 300, 8)
PY
fi

# Errors: one line naming the file, nothing written.
printf 'not a png' >fake.png
run encode fake.png out.kdz
expect_one_error fake.png "encode of a file that is not PNG"
head -c 100 rgb8.png >cut.png
run encode cut.png out.kdz
expect_one_error cut.png "encode of a truncated PNG"
run encode missing.png out.kdz
expect_one_error missing.png "encode of a missing file"
[ -e out.kdz ] && fail "a failed encode left out.kdz"
run encode rgb8.png no/such/dir/out.kdz
expect_one_error no/such/dir/out.kdz "encode into a missing folder"
mkdir blocked.kdz
run encode rgb8.png blocked.kdz
expect_one_error blocked.kdz "encode onto a folder"
[ -e blocked.kdz.tmp ] && fail "a failed encode left blocked.kdz.tmp"
# Too large for any KDZ file: the encoder says why, naming the input.
python3 -c "
import sys; sys.path.insert(0, '$HERE'); from imagecheck import write_png
import random; random.seed(1)
write_png('wide.png', 40000, 1, 0, 8, [bytes(random.randrange(256) for _ in range(40000))])"
run encode wide.png wide.kdz
expect_one_error wide.png "encode of a picture wider than KDZ allows"

for bad in "--quality 0" "--quality 101" "--quality x" "--levels 11" "--levels -1" "--size 0" \
           "--size 5000 --quality 50" "--fast"; do
  # shellcheck disable=SC2086
  run encode $bad rgb8.png out.kdz
  expect_status 2 "encode $bad"
  grep -q "^usage: kdz" stderr.txt || fail "encode $bad: no usage text"
done
run encode rgb8.png
expect_status 2 "encode without OUT"

finish
