#!/usr/bin/env bash
# The plug-in part of `make demo`: the real npkdz.dll shows each picture in kdzhost under
# Wine and Xvfb, and the window's pixels go to OUT_DIR/NAME-plugin.png. The product as it
# ships, the 32-bit DLL with the 32-bit host under 32-bit Wine, where this machine runs
# 32-bit code; else the same source built for 64-bit Windows, under 64-bit Wine.
# usage: scripts/demo_plugin.sh BUILD_WIN32 BUILD_WIN64 OUT_DIR PICTURE.kdz...
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" != "--inside-display" ]; then
  [ $# -ge 4 ] || { echo "usage: $0 BUILD_WIN32 BUILD_WIN64 OUT_DIR PICTURE.kdz..." >&2; exit 2; }
  source "$root/scripts/wine_env.sh"
  if no32=$(wine32_unavailable); then
    echo "demo: the 64-bit build of the plug-in, under 64-bit Wine (the 32-bit one cannot run here: $no32)"
    build=$2 bits=64
  else
    echo "demo: the 32-bit plug-in and host, under 32-bit Wine"
    build=$1 bits=32
  fi
  shift 2
  # Room for pictures up to 2000 pixels on a side.
  exec xvfb-run -a -s "-screen 0 2048x2048x24" bash "$0" --inside-display "$build" "$bits" "$@"
fi
shift
build="$(cd "$1" && pwd)"
bits=$2
out="$(cd "$3" && pwd)"
shift 3

source "$root/scripts/wine_env.sh"
wine_setup "$build" "$build/wineboot-demo.log" "$bits" || exit 1
trap '"$wineserver" -k 2>/dev/null || true' EXIT
for f in "$host" "$dll"; do
  [ -f "$f" ] || { echo "demo: $f is missing; run 'make build' first" >&2; exit 1; }
done

status=0
for picture in "$@"; do
  name="$(basename "$picture" .kdz)"
  bmp="$out/$name-plugin.bmp"
  rm -f "$bmp"
  # kdzhost prints the caption and text of any message box the plug-in shows.
  if timeout 120 "$wine" "$host" --screenshot "Z:$bmp" "$dll" "Z:$(cd "$(dirname "$picture")" && pwd)/$(basename "$picture")" &&
     python3 "$root/scripts/bmp_to_png.py" "$bmp" "$out/$name-plugin.png"; then
    echo "-> out/demo/$name-plugin.png (the $bits-bit plug-in's window)"
  else
    echo "demo: the plug-in could not show $picture" >&2
    status=1
  fi
  rm -f "$bmp"
done
exit $status
