#!/usr/bin/env bash
# The plug-in part of `make demo`: the real npkdz.dll shows each picture in kdzhost under
# 64-bit Wine and Xvfb, and the window's pixels go to OUT_DIR/NAME-plugin.png.
# usage: scripts/demo_plugin.sh BUILD_WIN64 OUT_DIR PICTURE.kdz...
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" != "--inside-display" ]; then
  [ $# -ge 3 ] || { echo "usage: $0 BUILD_WIN64 OUT_DIR PICTURE.kdz..." >&2; exit 2; }
  # Room for pictures up to 2000 pixels on a side.
  exec xvfb-run -a -s "-screen 0 2048x2048x24" bash "$0" --inside-display "$@"
fi
shift
win64="$(cd "$1" && pwd)"
out="$(cd "$2" && pwd)"
shift 2

source "$(dirname "$0")/wine_env.sh"
wine_setup "$win64" "$win64/wineboot-demo.log" || exit 1
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
    echo "-> out/demo/$name-plugin.png (the plug-in's window)"
  else
    echo "demo: the plug-in could not show $picture" >&2
    status=1
  fi
  rm -f "$bmp"
done
exit $status
