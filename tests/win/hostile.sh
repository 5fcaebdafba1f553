#!/usr/bin/env bash
# Hostile files through the plug-in in kdzhost under Wine and Xvfb: truncated files,
# declared sizes far beyond the picture limit, garbage and bad offsets, taken from the
# fuzz corpus. Each must end in the failure message box with no image and no block
# left, and the same browser session must then still show a good picture; the largest
# picture the plug-in takes must decode, twice at once. Run with the 64-bit DLL and host
# under 64-bit Wine, then (given its build, and where this machine runs 32-bit code)
# with the 32-bit ones under 32-bit Wine, in one X session.
# usage: tests/win/hostile.sh BUILD_WIN64 [BUILD_WIN32]
set -uo pipefail

if [ "${1:-}" != "--inside-display" ] && [ "${1:-}" != "--session" ]; then
  [ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 BUILD_WIN64 [BUILD_WIN32]" >&2; exit 2; }
  source "$(dirname "$0")/../../scripts/wine_env.sh"
  products=("$(cd "$1" && pwd)" 64)
  if [ $# -eq 2 ]; then
    if no32=$(wine32_unavailable); then
      echo "== hostile files, 32-bit DLL and host under 32-bit Wine: not run ($no32)"
    else
      products+=("$(cd "$2" && pwd)" 32)
    fi
  fi
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --session "${products[@]}"
fi

if [ "$1" = "--session" ]; then
  shift
  status=0
  while [ $# -ge 2 ]; do
    bash "$0" --inside-display "$1" "$2" || status=1
    shift 2
  done
  exit $status
fi

build=$2
bits=$3
here=$(cd "$(dirname "$0")" && pwd)
corpus="$here/../../fuzz/corpus/decode_fuzzer"
work="$build/wine-hostile"
rm -rf "$work"
mkdir -p "$work"
source "$here/../../scripts/wine_env.sh"
wine_setup "$build" "$work/wineboot.log" "$bits" || exit 1

# The hostile files: NAME SOURCE. Sources are corpus files or made here.
hostile=(
  truncated crafted-reject-header-cut.kdz
  huge-32767 crafted-reject-huge.kdz
  over-plugin-limit crafted-limit-8192.kdz
  bad-plane-offset crafted-reject-planeI-outside.kdz
  bad-segment-offset crafted-reject-segment-at-end.kdz
  table-past-end crafted-reject-table-past-end.kdz
  levels-11 crafted-reject-levels11.kdz
  data-before-file crafted-reject-ystart-before.kdz
)
for ((i = 0; i < ${#hostile[@]}; i += 2)); do
  cp "$corpus/${hostile[i + 1]}" "$work/${hostile[i]}.kdz" || { echo "FAIL  missing corpus file ${hostile[i + 1]}"; exit 1; }
done
# Garbage: random bytes, and random bytes behind a good signature and a header that
# declares the largest picture.
python3 - "$work" <<'PY'
import random, struct, sys
rng = random.Random(7)
noise = bytes(rng.randrange(256) for _ in range(3000))
open(sys.argv[1] + "/garbage.kdz", "wb").write(noise)
head = b"QEM2.3aZ" + struct.pack("<4h", 0, 0, 0, 0) + struct.pack("<hh", 32767, 32767)
open(sys.argv[1] + "/garbage-signed.kdz", "wb").write(head + noise)
PY
python3 "$here/make_flat_kdz.py" 64 48 100 "$work/good.kdz"
names=(garbage garbage-signed)
for ((i = 0; i < ${#hostile[@]}; i += 2)); do names+=("${hostile[i]}"); done

W() { echo "Z:$work/$1"; }
decode_failed="File not found or format incorrect, Error in decoding image"
ratio() { awk -v w="$1" -v h="$2" -v s="$(stat -c %s "$3")" 'BEGIN { printf "%.6f", (w * h * 3 + 1078) / s }'; }

# One session: every hostile file in turn to one instance with a window, then the good
# picture to the same instance and to a new one; a hostile file again after the good
# one leaves the instance without an image.
{
  echo "new a 64 48"
  echo "setwindow a"
  for n in "${names[@]}"; do
    echo "stream a $(W "$n.kdz") 1000"
    echo "info a"
  done
  # The window still serves paints, Enlarge (nothing to do) and Image Info without an image.
  echo "send a WM_PAINT"
  echo "command a 1001"
  echo "command a 1000"
  echo "stream a $(W good.kdz)"
  echo "info a"
  echo "check-screen a"
  echo "new b 64 48"
  echo "setwindow b"
  echo "stream b $(W huge-32767.kdz)"
  echo "stream b $(W good.kdz)"
  echo "info b"
  echo "check-screen b"
  echo "stream a $(W over-plugin-limit.kdz)"
  echo "info a"
  echo "info b"
  echo "destroy a"
  echo "destroy b"
  echo "shutdown"
} >"$work/hostile.script"

stream_lines() {  # INSTANCE FILE [MESSAGE]
  local bytes writes
  bytes=$(stat -c %s "$work/$2")
  writes=$(( (bytes + ${4:-4096} - 1) / ${4:-4096} ))
  echo "stream $1: newstream -> 0 stype 3"
  echo "stream $1: wrote $bytes bytes in $writes writes, accepted $bytes"
  [ -z "${3:-}" ] || { echo "msgbox caption: Plug-in-test"; echo "msgbox text: $3"; }
  echo "stream $1: asfile done"
  echo "stream $1: destroystream -> 0"
}
{
  echo "new a -> 0"
  echo "setwindow a -> 0"
  for n in "${names[@]}"; do
    stream_lines a "$n.kdz" "$decode_failed" 1000
    echo "info a: no image"
  done
  echo "send a WM_PAINT: browser did not see it"
  echo "command a 1001: browser did not see it"
  echo "msgbox caption: Image Info"
  echo "msgbox text: Image not finished loading"
  echo "command a 1000: browser did not see it"
  stream_lines a good.kdz
  echo "info a: image 64x48 8-bit, ratio $(ratio 64 48 "$work/good.kdz"), decode time ok, bitmap block live"
  echo "screen a: matches bitmap"
  echo "new b -> 0"
  echo "setwindow b -> 0"
  stream_lines b huge-32767.kdz "$decode_failed"
  stream_lines b good.kdz
  echo "info b: image 64x48 8-bit, ratio $(ratio 64 48 "$work/good.kdz"), decode time ok, bitmap block live"
  echo "screen b: matches bitmap"
  stream_lines a over-plugin-limit.kdz "$decode_failed"
  echo "info a: no image"
  echo "info b: image 64x48 8-bit, ratio $(ratio 64 48 "$work/good.kdz"), decode time ok, bitmap block live"
  echo "destroy a -> 0 saved untouched"
  echo "destroy b -> 0 saved untouched"
  echo "shutdown -> 0"
} >"$work/hostile.expected"

status=0
passed=0
failed=0
started=$SECONDS
timeout 180 "$wine" "$host" --script "$(W hostile.script)" "$dll" >"$work/hostile.out" 2>"$work/hostile.err"
rc=$?
if [ $rc -eq 0 ] && diff -u "$work/hostile.expected" "$work/hostile.out" >"$work/hostile.diff"; then
  echo "ok    hostile files: ${#names[@]} refused with the message box, the session goes on ($((SECONDS - started)) s)"
  passed=$((passed + 1))
else
  echo "FAIL  hostile files (exit $rc)"
  cat "$work/hostile.diff" "$work/hostile.err" | head -60
  failed=$((failed + 1))
  status=1
fi

# The standalone viewer form with the largest declared picture: one message box, a
# blank window, exit 0.
timeout 180 "$wine" "$host" --screenshot "$(W huge.bmp)" "$dll" "$(W huge-32767.kdz)" \
  >"$work/huge.stdout" 2>"$work/huge.stderr"
rc=$?
if [ $rc -eq 0 ] && [ "$(cat "$work/huge.stdout")" = "$(printf 'Plug-in-test\n%s' "$decode_failed")" ]; then
  echo "ok    screenshot form with a 32767 x 32767 header"
  passed=$((passed + 1))
else
  echo "FAIL  screenshot form with a 32767 x 32767 header (exit $rc)"
  cat "$work/huge.stdout" "$work/huge.stderr" | head -20
  failed=$((failed + 1))
  status=1
fi

# The largest picture the plug-in takes, 4096 x 4096, in two instances at once: two such
# bitmaps and a decode's working memory must fit a 32-bit process too.
python3 "$here/make_flat_kdz.py" 4096 4096 100 "$work/largest.kdz"
printf '%s\n' "new p 200 200" "setwindow p" "stream p $(W largest.kdz)" "new q 200 200" "setwindow q" \
  "stream q $(W largest.kdz)" "info p" "info q" "check-drawn p 200 200" "destroy p" "destroy q" "shutdown" \
  >"$work/largest.script"
{
  echo "new p -> 0"
  echo "setwindow p -> 0"
  stream_lines p largest.kdz
  echo "new q -> 0"
  echo "setwindow q -> 0"
  stream_lines q largest.kdz
  echo "info p: image 4096x4096 8-bit, ratio $(ratio 4096 4096 "$work/largest.kdz"), decode time ok, bitmap block live"
  echo "info q: image 4096x4096 8-bit, ratio $(ratio 4096 4096 "$work/largest.kdz"), decode time ok, bitmap block live"
  echo "drawn p: matches 200x200 at 0,0"
  echo "destroy p -> 0 saved untouched"
  echo "destroy q -> 0 saved untouched"
  echo "shutdown -> 0"
} >"$work/largest.expected"
started=$SECONDS
timeout 180 "$wine" "$host" --script "$(W largest.script)" "$dll" >"$work/largest.out" 2>"$work/largest.err"
rc=$?
if [ $rc -eq 0 ] && diff -u "$work/largest.expected" "$work/largest.out" >"$work/largest.diff"; then
  echo "ok    two 4096 x 4096 pictures at once ($((SECONDS - started)) s)"
  passed=$((passed + 1))
else
  echo "FAIL  two 4096 x 4096 pictures at once (exit $rc)"
  cat "$work/largest.diff" "$work/largest.err" | head -30
  failed=$((failed + 1))
  status=1
fi

"$wineserver" -k 2>/dev/null || true
echo "== hostile files, $bits-bit DLL and host under $bits-bit Wine: $passed passed, $failed failed"
exit $status
