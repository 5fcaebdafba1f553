# `kdz decode`: BMP, PNG and PPM in 24 and 8 bits, checked field by field and pixel
# by pixel against each other and against the pixels the file was built from.
source "$(dirname "$0")/common.bash"

# Odd width (rows padded in both depths), width a multiple of 4 (no padding), one
# pixel, and a picture long enough for the coder's counts to be halved.
for size in 37x23 8x4 1x1 97x61; do
  make_kdz "p$size.kdz" --pattern --size "$size" --expect "p$size.rgb"
  for depth in 24 8; do
    for ext in bmp png ppm; do
      run decode "--${depth}bit" "p$size.kdz" "p$size-$depth.$ext"
      expect_status 0 "decode --${depth}bit p$size.kdz to $ext"
      [ -s stderr.txt ] && fail "decode p$size.kdz to $ext wrote to stderr: $(cat stderr.txt)"
    done
  done
  # The default is 24-bit.
  run decode "p$size.kdz" "p$size-default.BMP"
  expect_status 0 "decode p$size.kdz with the default depth"
  cmp -s "p$size-default.BMP" "p$size-24.bmp" || fail "p$size.kdz: the default is not --24bit"

  pycheck "$size" <<'PY' || fail "p$size: decoded files are wrong"
import sys
from imagecheck import *
size = sys.argv[1]
w, h = (int(n) for n in size.split("x"))
stem = "p" + size
expect = open(stem + ".rgb", "rb").read()
expect_rows = [expect[r * w * 3:(r + 1) * w * 3] for r in range(h)]

bmp = read_bmp(stem + "-24.bmp")
assert (bmp["width"], bmp["height"], bmp["bits"]) == (w, h, 24), "24-bit BMP header"
png = read_png(stem + "-24.png")
assert (png["width"], png["height"], png["color_type"]) == (w, h, 2), "24-bit PNG header"
ppm = read_ppm(stem + "-24.ppm")
assert (ppm["width"], ppm["height"]) == (w, h), "24-bit PPM header"
# The BMP holds plane row 0 first and pixel bytes 0, 1, 2 as blue, green, red; PNG
# and PPM hold the top row first as red, green, blue.
assert bmp_rgb_top_first(bmp) == png["rows"], "BMP and PNG pixels differ"
assert png["rows"] == ppm["rows"], "PNG and PPM pixels differ"
assert png["rows"] == expect_rows, "24-bit pixels differ from the coded picture"

bmp8 = read_bmp(stem + "-8.bmp")
assert (bmp8["width"], bmp8["height"], bmp8["bits"]) == (w, h, 8), "8-bit BMP header"
png8 = read_png(stem + "-8.png")
assert (png8["width"], png8["height"], png8["color_type"]) == (w, h, 3), "8-bit PNG header"
ppm8 = read_ppm(stem + "-8.ppm")
# Same indices (rows flipped) and the same colours for every index used.
assert [bytes(r) for r in reversed(bmp8["rows"])] == png8["rows"], "8-bit BMP and PNG indices differ"
for k in set(b"".join(png8["rows"])):
    b, g, r, _ = bmp8["table"][k]
    assert png8["palette"][k] == (r, g, b), "palette entry %d differs" % k
rgb8 = bmp_rgb_top_first(bmp8)
assert rgb8 == png_rgb_top_first(png8) == ppm8["rows"], "8-bit colours differ between formats"
# The 8-bit picture is the 24-bit one in at most 256 colours, dithered: close on
# average (about 8 for the largest pattern, against 35 with red and blue swapped
# and 64 upside down), and nowhere far off.
diffs = [abs(a - b) for ra, rb in zip(rgb8, expect_rows) for a, b in zip(ra, rb)]
assert sum(diffs) / len(diffs) < 12, "8-bit picture is far from the 24-bit one: %.2f" % (sum(diffs) / len(diffs))
assert max(diffs) < 96, "8-bit pixel off by %d" % max(diffs)
PY
done

# A flat picture: every pixel grey 100; in 8 bits one palette colour, which the
# quantiser's histogram cells (5, 6, 5 bits) keep within a cell of it.
make_kdz flat.kdz --flat 100 --size 6x5
run decode flat.kdz flat24.png && run decode --8bit flat.kdz flat8.bmp
expect_status 0 "decode flat.kdz"
pycheck <<'PY' || fail "flat.kdz decodes wrong"
from imagecheck import *
png = read_png("flat24.png")
assert png["rows"] == [bytes([100] * 18)] * 5, png["rows"]
bmp = read_bmp("flat8.bmp")
assert set(b"".join(bmp["rows"])) == {0}, "more than one index"
assert all(abs(c - 100) < 8 for c in bmp["table"][0][:3]), bmp["table"][0]
PY

# Replacing what is at the output's name, as a rename over it would: a regular file
# (the old one stays readable to whoever has it open, and under its other names), a
# symbolic link (the link is replaced, not what it points to), a folder (refused and
# left as it was). No temporary file is left behind.
printf old >replaced.png && ln replaced.png replaced-link.png && printf target >target.txt
ln -s target.txt linked.png && mkdir folder.png && printf kept >folder.png/inside
exec 3<replaced.png
run decode p37x23.kdz replaced.png
expect_status 0 "decode over an existing file"
cmp -s replaced.png p37x23-24.png || fail "the existing file was not replaced by the picture"
[ "$(cat <&3)" = old ] || fail "the replaced file changed under a reader that had it open"
exec 3<&-
[ "$(cat replaced-link.png)" = old ] || fail "the replaced file's other name changed"
run decode p37x23.kdz linked.png
expect_status 0 "decode over a symbolic link"
[ -L linked.png ] && fail "the symbolic link was written through rather than replaced"
cmp -s linked.png p37x23-24.png || fail "the symbolic link was not replaced by the picture"
[ "$(cat target.txt)" = target ] || fail "the symbolic link's target changed"
run decode p37x23.kdz folder.png
[ "$status" -ne 0 ] || fail "decode over a folder succeeded"
grep -q "Is a directory" stderr.txt || fail "decode over a folder: $(cat stderr.txt)"
[ "$(cat folder.png/inside)" = kept ] || fail "the folder at the output's name changed"
leftover=$(find . -name '*.tmp')
[ -z "$leftover" ] || fail "temporary files left: $leftover"

# A single decode stopped by a signal before its output exists (here while it waits
# for its input, a pipe nobody writes) ends with that signal and leaves no file.
for sig in INT TERM HUP; do
  rm -f waiting.fifo && mkfifo waiting.fifo
  "$KDZ" decode waiting.fifo stopped.png 2>/dev/null &
  pid=$!
  sleep 0.2
  kill -"$sig" $pid
  wait $pid
  status=$?
  expect_status $((128 + $(kill -l "$sig"))) "a single decode stopped by SIG$sig"
  ls stopped.png stopped.png.*.tmp >/dev/null 2>&1 && fail "SIG$sig left $(ls stopped.png*)"
done

finish
