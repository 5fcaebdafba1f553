# Many files in one call: 200 files (some broken) decoded on two threads into a folder,
# identical to single-file decodes; overwrite rules; folder walks; batch encode; an
# interrupted batch leaves no partial output; the progress bar only on a terminal.
source "$(dirname "$0")/common.bash"
PY=/usr/bin/python3
samples=(astronaut camera chelsea coffee color)

# References: each sample decoded alone, in the two forms the batches write.
for s in "${samples[@]}"; do
  "$KDZ" decode --8bit "$SRC/samples/$s.kdz" "ref-$s.bmp" && "$KDZ" decode "$SRC/samples/$s.kdz" "ref-$s.png" ||
    fail "single decode of $s"
done

# 190 good files and 10 bad ones: cut short, not KDZ, empty, a bad header field,
# missing, and a folder named like a KDZ file.
mkdir in
for i in $(seq 1 38); do
  for s in "${samples[@]}"; do cp "$SRC/samples/$s.kdz" "in/$s-$i.kdz"; done
done
for n in 40 300 5000 20000; do head -c $n "$SRC/samples/camera.kdz" >"in/bad-cut$n.kdz"; done
printf 'GIF89a' >in/bad-gif.kdz
printf 'QEM2.3aZ' >in/bad-short.kdz
: >in/bad-empty.kdz
python3 -c "
import struct; d = bytearray(open('$SRC/samples/color.kdz', 'rb').read())
struct.pack_into('<h', d, 30, 12); open('in/bad-levels.kdz', 'wb').write(d)"
mkdir in/bad-folder.kdz
bad=(in/bad-cut40.kdz in/bad-cut300.kdz in/bad-cut5000.kdz in/bad-cut20000.kdz in/bad-gif.kdz
     in/bad-short.kdz in/bad-empty.kdz in/bad-levels.kdz in/bad-missing.kdz in/bad-folder.kdz)
good=(in/[a-z]*-[0-9]*.kdz)
[ ${#good[@]} -eq 190 ] || fail "expected 190 good files, made ${#good[@]}"

# check_outputs DIR EXT: DIR holds exactly the good files' outputs, each identical to
# its sample's single decode, and no temporary file.
check_outputs() {
  local f name n=0
  for f in "$1"/*; do
    name=$(basename "$f" ."$2")
    n=$((n + 1))
    [ -f "in/$name.kdz" ] && [[ $name != bad-* ]] || { fail "$1: unexpected file $f"; continue; }
    cmp -s "$f" "ref-${name%-*}.$2" || fail "$f differs from the single decode of ${name%-*}"
  done
  [ "$n" -eq "${3:-190}" ] || fail "$1 holds $n files, expected ${3:-190}"
}

run decode -j 2 --8bit --format bmp -o out "${good[@]:0:95}" "${bad[@]}" "${good[@]:95}"
expect_status 1 "batch with broken files"
check_outputs out bmp
for b in "${bad[@]}"; do
  [ "$(grep -c "^kdz: $b: ." stderr.txt)" -eq 1 ] || fail "$b is not named on one line of its own"
done
[ "$(tail -n 1 stderr.txt)" = "kdz: 190 of 200 files decoded, 10 failed" ] || fail "no summary: $(tail -n 1 stderr.txt)"
[ "$(wc -l <stderr.txt)" -eq 11 ] || fail "more on stderr than failures and summary: $(cat stderr.txt)"
grep -q "files/s" stderr.txt && fail "a progress bar with stderr not a terminal"
[ -s stdout.txt ] && fail "batch wrote to stdout without -v"

# Existing outputs: kept and reported without -f, replaced with it.
some=("${good[@]:0:5}")
echo keep >out/astronaut-1.bmp
run decode -j 2 --8bit --format bmp -o out "${some[@]}"
expect_status 1 "batch onto existing outputs"
[ "$(cat out/astronaut-1.bmp)" = keep ] || fail "an existing output was replaced without -f"
[ "$(grep -c "already exists (use -f to overwrite)" stderr.txt)" -eq 5 ] || fail "existing outputs not reported: $(cat stderr.txt)"
run decode -f -q --8bit --format=bmp -j1 -o out "${some[@]}"
expect_status 0 "batch with -f"
[ -s stderr.txt ] && fail "-q printed on success: $(cat stderr.txt)"
check_outputs out bmp

# -r walks folders for *.kdz (hidden files skipped), keeping the path below the
# folder; -v prints a line per file; two inputs with one output name are refused.
mkdir -p tree/sub tree/.hidden
cp "$SRC/samples/color.kdz" tree/color-1.kdz
cp "$SRC/samples/chelsea.kdz" tree/sub/chelsea-2.KDZ
cp "$SRC/samples/camera.kdz" tree/.hidden/camera-3.kdz
cp "$SRC/samples/camera.kdz" tree/.camera-4.kdz
echo text >tree/notes.txt
run decode -r -v -o walked tree
expect_status 0 "decode -r"
[ "$(cd walked && find . -type f | sort | tr '\n' ' ')" = "./color-1.png ./sub/chelsea-2.png " ] ||
  fail "decode -r made: $(cd walked && find . -type f)"
cmp -s walked/sub/chelsea-2.png ref-chelsea.png || fail "decode -r: sub/chelsea-2.png differs"
grep -qx "walked/sub/chelsea-2.png: 451 x 300" stdout.txt || fail "-v: no line for the file: $(cat stdout.txt)"
run decode -o walked2 tree
expect_status 1 "a folder without -r"
grep -qx "kdz: tree: is a folder (-r walks it)" stderr.txt || fail "a folder without -r: $(cat stderr.txt)"
mkdir a b && cp "$SRC/samples/color.kdz" a/x.kdz && cp "$SRC/samples/camera.kdz" b/x.kdz
run decode -o dup a/x.kdz b/x.kdz
expect_status 1 "two inputs, one output name"
grep -q "^kdz: b/x.kdz: its output dup/x.png is also the output of a/x.kdz" stderr.txt || fail "duplicate output: $(cat stderr.txt)"
cmp -s dup/x.png ref-color.png || fail "duplicate output: the first input's output is wrong"

# Batch encode: the same files as single encodes, whatever the input format.
$PY -c "from PIL import Image; Image.open('ref-chelsea.png').crop((0, 0, 120, 90)).save('pic.jpg', quality=90)"
cp ref-color.png pic2.png && cp ref-coffee.png pic3.bmp  # a PNG named .bmp
for p in pic.jpg pic2.png pic3.bmp; do "$KDZ" encode --size 6000 "$p" "single-${p%.*}.kdz" >/dev/null; done
run encode --size 6000 -o enc pic.jpg pic2.png pic3.bmp
expect_status 0 "batch encode"
for p in pic pic2 pic3; do cmp -s "enc/$p.kdz" "single-$p.kdz" || fail "batch encode of $p differs from the single encode"; done

# Interrupted batches (SIGINT while decoding, SIGTERM while encoding) stop with the
# signal; what they leave is complete, and no temporary file.
interrupt() {  # SIGNAL DIR FILES ARGS...: FILES outputs when not interrupted
  local sig=$1 dir=$2 total=$3
  shift 3
  "$KDZ" "$@" 2>/dev/null &
  local pid=$! k
  for k in $(seq 1 600); do
    [ -n "$(ls "$dir" 2>/dev/null | grep -v '\.tmp$')" ] && break
    sleep 0.05
  done
  kill -"$sig" $pid
  wait $pid
  status=$?
  expect_status $((128 + $(kill -l "$sig"))) "batch stopped by SIG$sig"
  ls "$dir"/*.tmp >/dev/null 2>&1 && fail "SIG$sig left temporary files: $(ls "$dir"/*.tmp)"
  local n
  n=$(ls "$dir" | wc -l)
  [ "$n" -lt "$total" ] || echo "note: the SIG$sig batch finished before the signal came"
}
interrupt INT stopped 190 decode -j 2 -o stopped "${good[@]}"
check_outputs stopped png "$(ls stopped | wc -l)"
for i in $(seq 1 12); do cp pic.jpg "many-$i.jpg"; done
interrupt TERM stopped-enc 12 encode -j 2 --size 6000 -o stopped-enc many-*.jpg
for f in stopped-enc/*; do cmp -s "$f" single-pic.kdz || fail "SIGTERM left $f incomplete or wrong"; done

# A terminal gets the progress bar (count, rate, time left); -q silences it.
pty_run() {
  $PY - "$KDZ" "$@" <<'PY'
import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
out = b""
while True:
    try:
        chunk = os.read(fd, 65536)
    except OSError:
        break
    if not chunk:
        break
    out += chunk
os.waitpid(pid, 0)
sys.stdout.buffer.write(out)
PY
}
pty_run decode -j 2 -o bar "${good[@]:0:12}" >bar.txt
grep -q $'\r\\[#*\\.*\\]  [0-9]*/12  [0-9.]* files/s  [0-9]*:[0-9][0-9] left' bar.txt || fail "no progress bar on a terminal: $(head -c 300 bar.txt)"
grep -q "kdz: 12 files decoded in" bar.txt || fail "no summary on a terminal"
pty_run decode -q -f -j 2 -o bar "${good[@]:0:12}" >quiet.txt
[ -s quiet.txt ] && fail "-q on a terminal printed: $(head -c 200 quiet.txt)"
# Nor does a picture go to a terminal.
for cmd in "decode in/color-1.kdz -" "encode pic.jpg -"; do
  # shellcheck disable=SC2086
  pty_run $cmd >tty.txt
  grep -q "^kdz: stdout: is a terminal" tty.txt || fail "kdz $cmd on a terminal: $(head -c 200 tty.txt)"
done

finish
