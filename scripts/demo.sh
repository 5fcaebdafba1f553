#!/usr/bin/env bash
# `make demo`: shows the header of every samples/*.kdz and decodes each to
# out/demo/NAME.png (24-bit) and out/demo/NAME-8bit.png (the viewer's 256 colours),
# then lets the plug-in show each under Wine (the 32-bit product where this machine runs
# 32-bit code): out/demo/NAME-plugin.png.
# Usage: scripts/demo.sh BUILD_DIR [BUILD_WIN32 BUILD_WIN64]
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?usage: scripts/demo.sh BUILD_DIR}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
kdz="$build/tools/kdz/kdz"
if [ ! -x "$kdz" ]; then
  echo "demo: $kdz is missing; run 'make build' first" >&2
  exit 1
fi

out="$root/out/demo"
mkdir -p "$out"

shopt -s nullglob
inputs=("$root"/samples/*.kdz)
if [ ${#inputs[@]} -eq 0 ]; then
  # No sample files yet: build two small ones, a flat grey picture (every plane
  # empty, luma bias 100) and a picture of colour ramps coded sample by sample,
  # and encode the shared test pictures when they are at hand.
  echo "samples/ holds no .kdz files; making some in out/demo/"
  python3 "$root/tests/cli/make_kdz.py" "$out/grey.kdz" --flat 100 --size 64x48
  python3 "$root/tests/cli/make_kdz.py" "$out/ramps.kdz" --pattern --size 96x64
  inputs=("$out/grey.kdz" "$out/ramps.kdz")
  for png in "$root"/../shared/images/*.png; do
    name="$(basename "$png" .png)"
    "$kdz" encode "$png" "$out/$name.kdz"
    inputs+=("$out/$name.kdz")
  done
fi

for f in "${inputs[@]}"; do
  name="$(basename "$f" .kdz)"
  echo
  echo "== $name =="
  "$kdz" info "$f"
  "$kdz" decode --24bit "$f" "$out/$name.png"
  "$kdz" decode --8bit "$f" "$out/$name-8bit.png"
  echo "-> out/demo/$name.png, out/demo/$name-8bit.png"
done

echo
echo "== the plug-in in kdzhost under Wine =="
"$root/scripts/demo_plugin.sh" "${2:-$root/build-win32}" "${3:-$root/build-win64}" "$out" "${inputs[@]}"
