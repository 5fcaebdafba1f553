#!/usr/bin/env bash
# Whole-process decode speed against the usual peers, side by side in one hyperfine
# run per comparison so that the noise of a shared machine hits both alike.
#
#   bench/peers.sh [BUILD_DIR] [IMAGES_DIR]
#
# Every picture of IMAGES_DIR is coded at about 0.5 and 1.5 bits per pixel: KDZ by
# our encoder (kdz encode --size), JPEG by cjpeg -optimize and WebP by cwebp, each
# at the quality whose file is nearest to the KDZ file's size. Then all the files of
# one format are decoded in one command, and the commands are compared:
#   kdz decode --8bit  to BMP  against  djpeg -colors 256 -dither fs -bmp
#   kdz decode --24bit to PPM  against  dwebp -ppm, and against djpeg -pnm
# The ratios (KDZ time / peer time, below 1 is faster) are printed at the end.
# RUNS (default 5) sets the runs per command. With INSTRUCTIONS=1 the instructions
# each command executes on all files are counted too (valgrind's callgrind, whole
# process): steadier than wall times on a shared machine, though blind to waiting
# on memory and to what a second core takes off the longest path.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${1:-$root/build}"
images="${2:-$root/../shared/images}"
runs="${RUNS:-5}"
kdz="$build/tools/kdz/kdz"
py=/usr/bin/python3
[ -x "$py" ] || py=python3

for tool in hyperfine cjpeg djpeg cwebp dwebp "$kdz"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "peers: not run: $tool is missing" >&2
    exit 1
  fi
done
shopt -s nullglob
pictures=("$images"/*.png)
if [ ${#pictures[@]} -eq 0 ]; then
  echo "peers: not run: no PNG pictures in $images" >&2
  exit 1
fi

work="$build/peers"
rm -rf "$work"
mkdir -p "$work/in" "$work/out"

# The nearest JPEG to `target` bytes over the qualities 1..100: the qualities are
# searched by bisection (size grows with quality), then both neighbours compared.
jpeg_near() {  # ppm target out
  local ppm=$1 target=$2 out=$3 lo=1 hi=100 mid size best= bestdiff=
  while [ $lo -lt $hi ]; do
    mid=$(( (lo + hi) / 2 ))
    size=$(cjpeg -optimize -quality $mid "$ppm" | wc -c)
    if [ "$size" -lt "$target" ]; then lo=$((mid + 1)); else hi=$mid; fi
  done
  for q in $((lo - 1)) $lo; do
    [ $q -ge 1 ] || continue
    size=$(cjpeg -optimize -quality $q "$ppm" | wc -c)
    local diff=$(( size > target ? size - target : target - size ))
    if [ -z "$bestdiff" ] || [ $diff -lt $bestdiff ]; then best=$q; bestdiff=$diff; fi
  done
  cjpeg -optimize -quality "$best" -outfile "$out" "$ppm"
}

# The same for WebP; cwebp's qualities are fractional, so 0..100 in steps of 0.5.
webp_near() {  # png target out
  local png=$1 target=$2 out=$3 lo=0 hi=200 mid size best= bestdiff=
  while [ $lo -lt $hi ]; do
    mid=$(( (lo + hi) / 2 ))
    size=$(cwebp -quiet -q "$(( mid / 2 )).$(( (mid % 2) * 5 ))" "$png" -o - | wc -c)
    if [ "$size" -lt "$target" ]; then lo=$((mid + 1)); else hi=$mid; fi
  done
  for q in $((lo - 1)) $lo; do
    [ $q -ge 0 ] || continue
    size=$(cwebp -quiet -q "$(( q / 2 )).$(( (q % 2) * 5 ))" "$png" -o - | wc -c)
    local diff=$(( size > target ? size - target : target - size ))
    if [ -z "$bestdiff" ] || [ $diff -lt $bestdiff ]; then best=$q; bestdiff=$diff; fi
  done
  cwebp -quiet -q "$(( best / 2 )).$(( (best % 2) * 5 ))" "$png" -o "$out"
}

echo "peers: coding ${#pictures[@]} pictures at 0.5 and 1.5 bits per pixel" >&2
printf '%-24s %8s %8s %8s\n' "file" "kdz" "jpeg" "webp" >"$work/sizes.txt"
for png in "${pictures[@]}"; do
  name="$(basename "$png" .png)"
  # cjpeg of this Debian release reads no PNG: an RGB PPM of the same picture.
  "$py" -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).convert("RGB").save(sys.argv[2])' \
    "$png" "$work/in/$name.ppm"
  pixels=$("$py" -c 'import sys; from PIL import Image; w, h = Image.open(sys.argv[1]).size; print(w * h)' "$png")
  for bpp in 0.5 1.5; do
    base="$work/in/$name-$bpp"
    target=$("$py" -c "print(int($pixels * $bpp / 8))")
    "$kdz" encode --size "$target" "$png" "$base.kdz" >/dev/null
    size=$(wc -c <"$base.kdz")
    jpeg_near "$work/in/$name.ppm" "$size" "$base.jpg"
    webp_near "$png" "$size" "$base.webp"
    printf '%-24s %8d %8d %8d\n' "$name-$bpp" "$size" "$(wc -c <"$base.jpg")" "$(wc -c <"$base.webp")" \
      >>"$work/sizes.txt"
  done
done
cat "$work/sizes.txt"

# One command per format: every file decoded once, one process per file.
loop() {  # format command-with-IN-and-OUT
  local ext=$1 cmd=$2 line=""
  for f in "$work"/in/*."$ext"; do
    local n out
    n="$(basename "$f" ."$ext")"
    out="$work/out/$n"
    line+="${cmd//IN/$f}; "
    line="${line//OUT/$out}"
  done
  printf '%s' "$line"
}
k8=$(loop kdz "'$kdz' decode --8bit IN OUT-k8.bmp")
j8=$(loop jpg "djpeg -colors 256 -dither fs -bmp -outfile OUT-j8.bmp IN")
k24=$(loop kdz "'$kdz' decode --24bit IN OUT-k24.ppm")
w24=$(loop webp "dwebp -quiet IN -ppm -o OUT-w24.ppm")
j24=$(loop jpg "djpeg -pnm -outfile OUT-j24.ppm IN")

hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/8bit.json" \
  -n "kdz --8bit" "$k8" -n "djpeg -colors 256 -dither fs -bmp" "$j8" >&2
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/24bit.json" \
  -n "kdz --24bit" "$k24" -n "dwebp -ppm" "$w24" -n "djpeg -pnm" "$j24" >&2

"$py" - "$work/8bit.json" "$work/24bit.json" <<'EOF'
import json, sys
def means(path):
    return {r["command"]: (r["mean"], r["stddev"] or 0.0) for r in json.load(open(path))["results"]}
m8, m24 = means(sys.argv[1]), means(sys.argv[2])
def show(ours, peer, table, goal):
    (a, _), (b, _) = table[ours], table[peer]
    print(f"{ours:12s} / {peer:36s} {a * 1000:8.1f} ms / {b * 1000:8.1f} ms = {a / b:5.2f} x  (goal {goal})")
print("whole process, all files, mean of the runs:")
show("kdz --8bit", "djpeg -colors 256 -dither fs -bmp", m8, "<= 0.5")
show("kdz --24bit", "dwebp -ppm", m24, "<= 0.8")
show("kdz --24bit", "djpeg -pnm", m24, "-")
EOF

[ "${INSTRUCTIONS:-0}" = 1 ] || exit 0
if ! command -v valgrind >/dev/null 2>&1; then
  echo "peers: instructions not counted: valgrind is missing" >&2
  exit 0
fi
# Instructions of one command line, the whole process.
refs() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*refs: *\([0-9,]*\).*/\1/p' | tr -d ,
}
total() {  # ext command-with-IN-and-OUT
  local ext=$1 cmd=$2 sum=0
  for f in "$work"/in/*."$ext"; do
    local line="${cmd//IN/$f}"
    line="${line//OUT/$work/out/ir}"
    # shellcheck disable=SC2086  # the command line splits into its words
    sum=$((sum + $(refs $line)))
  done
  echo "$sum"
}
ik8=$(total kdz "$kdz decode --8bit IN OUT-k8.bmp")
ij8=$(total jpg "djpeg -colors 256 -dither fs -bmp -outfile OUT-j8.bmp IN")
ik24=$(total kdz "$kdz decode --24bit IN OUT-k24.ppm")
iw24=$(total webp "dwebp -quiet IN -ppm -o OUT-w24.ppm")
ij24=$(total jpg "djpeg -pnm -outfile OUT-j24.ppm IN")
"$py" - "$ik8" "$ij8" "$ik24" "$iw24" "$ij24" <<'EOF'
import sys
k8, j8, k24, w24, j24 = (int(x) / 1e6 for x in sys.argv[1:])
print("instructions, whole process, all files (callgrind):")
for ours, peer, a, b in (("kdz --8bit", "djpeg -colors 256 -dither fs -bmp", k8, j8),
                         ("kdz --24bit", "dwebp -ppm", k24, w24), ("kdz --24bit", "djpeg -pnm", k24, j24)):
    print(f"{ours:12s} / {peer:36s} {a:8.1f} M  / {b:8.1f} M  = {a / b:5.2f} x")
EOF
