#!/usr/bin/env bash
# Windows tests: static checks of both DLLs, then the plug-in driven by kdzhost under
# Wine and Xvfb, on a true-colour display and on two 8-bit ones (with and without a
# palette): the 64-bit DLL with the 64-bit host under 64-bit Wine, and the product as
# it ships, the 32-bit DLL with the 32-bit host under 32-bit Wine in a prefix of its own
# (where this machine runs 32-bit code; elsewhere those runs are reported as not run).
# Both run the same scripts against the same expected output, one after the other in
# each X session. With a native build, real pictures (samples/*.kdz and the shared test
# images encoded by its kdz tool) are also shown by the plug-in and compared with the
# native 8-bit decode, and the two products' windows with each other.
# usage: tests/win/run.sh BUILD_WIN32 BUILD_WIN64 [BUILD_NATIVE]
set -uo pipefail

if [ "${1:-}" != "--inside-display" ] && [ "${1:-}" != "--session" ]; then
  [ $# -eq 2 ] || [ $# -eq 3 ] || { echo "usage: $0 BUILD_WIN32 BUILD_WIN64 [BUILD_NATIVE]" >&2; exit 2; }
  win32=$(cd "$1" && pwd)
  win64=$(cd "$2" && pwd)
  native=""
  [ $# -eq 3 ] && native=$(cd "$3" && pwd)
  here=$(cd "$(dirname "$0")" && pwd)
  source "$here/../../scripts/wine_env.sh"
  status=0
  echo "== static checks of the 32-bit plug-in"
  python3 "$here/check_dll.py" i686-w64-mingw32-objdump "$win32/plugin/npkdz.dll" i386 || status=1
  echo "== static checks of the 64-bit plug-in"
  python3 "$here/check_dll.py" x86_64-w64-mingw32-objdump "$win64/plugin/npkdz.dll" x86-64 || status=1
  products=("$win64" 64)
  no32=""
  if no32=$(wine32_unavailable); then
    echo "not run  the 32-bit DLL and host under 32-bit Wine: $no32"
  else
    products+=("$win32" 32)
  fi
  # One X server for the true-colour tests, then two 8-bit displays: one whose colours
  # go through a palette (pseudo-colour) and one with fixed colours (true colour). Each
  # serves both products.
  displays=(truecolour "-screen 0 1024x768x24" palette "-screen 0 1024x768x8"
            fixed8 "-screen 0 1024x768x8 -cc 4")
  for ((d = 0; d < ${#displays[@]}; d += 2)); do
    xvfb-run -a -s "${displays[d + 1]}" bash "$0" --session "$native" "${displays[d]}" "${products[@]}" || status=1
  done

  # The 32-bit product against the 64-bit one: the same colours, the same output of
  # every script, and the same window pixel for pixel for every real picture (each was
  # also compared with the native decode by its own run).
  cross_passed=0
  cross_failed=0
  if [ -z "$no32" ]; then
    echo "== 32-bit against 64-bit"
    a="$win64/wine-tests/truecolour"
    b="$win32/wine-tests/truecolour"
    if [ -s "$a/colours.out" ] && cmp -s "$a/colours.out" "$b/colours.out"; then
      echo "ok    colours of the flat pictures: the same in both"
      cross_passed=$((cross_passed + 1))
    else
      echo "FAIL  colours of the flat pictures differ between 32-bit and 64-bit"
      cross_failed=$((cross_failed + 1))
    fi
    # Every script's output, on every display (the stack check's own line aside).
    for ((d = 0; d < ${#displays[@]}; d += 2)); do
      differing=() scripts=0
      for out in "$win64/wine-tests/${displays[d]}"/*.out; do
        name=$(basename "$out")
        [ "$name" = call_check.out ] && continue
        scripts=$((scripts + 1))
        cmp -s <(grep -v '^stack check: ' "$out") <(grep -v '^stack check: ' "$win32/wine-tests/${displays[d]}/$name" 2>/dev/null) ||
          differing+=("$name")
      done
      if [ $scripts -gt 0 ] && [ ${#differing[@]} -eq 0 ]; then
        echo "ok    ${displays[d]}: the 32-bit host printed what the 64-bit one did, in all $scripts runs"
        cross_passed=$((cross_passed + 1))
      else
        echo "FAIL  ${displays[d]}: the 32-bit and 64-bit hosts differ for ${differing[*]:-every script (none ran)}"
        cross_failed=$((cross_failed + 1))
      fi
    done
    for shot in "$a"/real-*-wine.bmp; do
      [ -f "$shot" ] || continue
      name=$(basename "$shot" -wine.bmp)
      if result=$(python3 "$here/compare_bmp.py" "$shot" "$b/$name-wine.bmp" 2>&1); then
        echo "ok    ${name#real-}: 32-bit and 64-bit windows $result"
        cross_passed=$((cross_passed + 1))
      else
        echo "FAIL  ${name#real-}: 32-bit and 64-bit windows: $result"
        cross_failed=$((cross_failed + 1))
      fi
    done
    [ $cross_failed -eq 0 ] || status=1
  fi

  # The count lines: passed, failed and not run, per product.
  for bits in 64 32; do
    build=$win64
    [ $bits = 32 ] && build=$win32
    what="$bits-bit DLL and host under $bits-bit Wine"
    if [ $bits = 32 ] && [ -n "$no32" ]; then
      echo "== Windows tests, $what: not run ($no32)"
      continue
    fi
    passed=0 failed=0 notrun=0 missing=""
    for ((d = 0; d < ${#displays[@]}; d += 2)); do
      counts="$build/wine-tests/${displays[d]}/counts"
      if [ -f "$counts" ]; then
        read -r p f n <"$counts"
        passed=$((passed + p)) failed=$((failed + f)) notrun=$((notrun + n))
      else
        failed=$((failed + 1)) missing+=" ${displays[d]}"
      fi
    done
    echo "== Windows tests, $what: $passed passed, $failed failed, $notrun not run${missing:+ (no result from:$missing)}"
  done
  if [ -z "$no32" ]; then
    echo "== Windows tests, 32-bit against 64-bit: $cross_passed passed, $cross_failed failed"
  fi
  exit $status
fi

if [ "$1" = "--session" ]; then
  # One X display for every product: --session NATIVE DISPLAY BUILD BITS [BUILD BITS].
  native=$2 display=$3
  shift 3
  status=0
  while [ $# -ge 2 ]; do
    bash "$0" --inside-display "$1" "$2" "$native" "$display" || status=1
    shift 2
  done
  exit $status
fi

build=$2
bits=$3
native=${4:-}
display=${5:-truecolour}
here=$(cd "$(dirname "$0")" && pwd)
work="$build/wine-tests/$display"
rm -rf "$work"
mkdir -p "$work"
source "$here/../../scripts/wine_env.sh"
wine_setup "$build" "$work/wineboot.log" "$bits" || exit 1

passed=0
failed=0

# Windows path of a Unix path, through Wine's Z: drive.
winpath() { echo "Z:$1"; }

# run_script NAME: runs $work/NAME.script in the host and compares standard output with
# $work/NAME.expected.
run_script() {
  local started=$SECONDS
  local name=$1
  timeout 180 "$wine" "$host" --script "$(winpath "$work/$name.script")" "$dll" \
    >"$work/$name.out" 2>"$work/$name.err"
  local rc=$?
  if [ $rc -eq 0 ] && diff -u "$work/$name.expected" "$work/$name.out" >"$work/$name.diff"; then
    echo "ok    $name ($((SECONDS - started)) s)"
    passed=$((passed + 1))
  else
    echo "FAIL  $name (exit $rc)"
    cat "$work/$name.diff" "$work/$name.err" 2>/dev/null | head -60
    failed=$((failed + 1))
  fi
}

notrun=0
pass() { echo "ok    $1"; passed=$((passed + 1)); }
fail() { echo "FAIL  $1"; failed=$((failed + 1)); }
not_run() { echo "not run  $1"; notrun=$((notrun + 1)); }

flat() { python3 "$here/make_flat_kdz.py" "$@"; }

# stream_lines NAME BYTES WRITES [MESSAGE]: what the host reports for one stream.
stream_lines() {
  echo "stream $1: newstream -> 0 stype 3"
  echo "stream $1: wrote $2 bytes in $3 writes, accepted $2"
  [ -z "${4:-}" ] || { echo "msgbox caption: Plug-in-test"; echo "msgbox text: $4"; }
  echo "stream $1: asfile done"
  echo "stream $1: destroystream -> 0"
}

# Ratio of the bitmap block (width x height x 3 + 1078) to the file size.
ratio() { awk -v w="$1" -v h="$2" -v s="$(stat -c %s "$3")" 'BEGIN { printf "%.6f", (w * h * 3 + 1078) / s }'; }

flat 64 48 100 "$work/grey64.kdz"
flat 40 30 180 "$work/light40.kdz"
flat 33 17 60 "$work/dark33.kdz"
flat 64 48 60 "$work/dark64.kdz"
flat 0 48 100 "$work/zerowidth.kdz"
flat -5 48 100 "$work/negwidth.kdz"
: >"$work/empty.kdz"
printf 'this is not a picture at all, just text that fills a few bytes\n' >"$work/text.kdz"
# The right signature with a header cut short.
head -c 30 "$work/grey64.kdz" >"$work/short.kdz"
# A valid header in a file of 80000 bytes: too large for the decoder.
cp "$work/grey64.kdz" "$work/large.kdz"
truncate -s 80000 "$work/large.kdz"

W() { winpath "$work/$1"; }

finish() {
  echo "== $display display, $bits-bit: $passed passed, $failed failed, $notrun not run"
  echo "$passed $failed $notrun" >"$work/counts"
  "$wineserver" -k 2>/dev/null || true
  [ $failed -eq 0 ]
}

# Real pictures: samples/*.kdz, and the shared test images encoded by the native kdz
# tool when it is at hand and samples/ lacks them.
kdz="$native/tools/kdz/kdz"
pictures=()
for f in "$here/../../samples/"*.kdz; do [ -f "$f" ] && pictures+=("$f"); done
if [ -n "$native" ] && [ -x "$kdz" ]; then
  for n in chelsea color coffee; do
    [ -f "$here/../../samples/$n.kdz" ] && continue
    if "$kdz" encode "$here/../../../shared/images/$n.png" "$work/$n.kdz" >/dev/null 2>&1; then
      pictures+=("$work/$n.kdz")
    fi
  done
fi
# picture_size FILE: "WIDTH HEIGHT" from kdz info.
picture_size() {
  [ -x "$kdz" ] && "$kdz" info "$1" 2>/dev/null | sed -n 's/^picture: *\([0-9]*\) x \([0-9]*\)$/\1 \2/p'
}
# A real picture that fits the test display, for the tests that need only one.
first_real=""
for picture in "${pictures[@]}"; do
  size=$(picture_size "$picture")
  if [ -n "$size" ] && [ "${size% *}" -le 1000 ] && [ "${size#* }" -le 700 ]; then
    first_real=$picture
    first_real_size=$size
    break
  fi
done

if [ "$display" = palette ]; then
  # An 8-bit pseudo-colour display: the plug-in makes one palette per picture from its
  # colour table and realises it in the foreground. Under Wine the window's pixels are
  # the device's nearest colours (GetNearestColor), whatever was realised, so the
  # window is compared with those; that the palette was realised shows in the system
  # palette, which then holds the picture's colours as far as there is room.
  echo "== plug-in on an 8-bit palette display, $bits-bit"
  cat >"$work/palette.script" <<SCRIPT
display
new a 64 48
setwindow a
stream a $(W grey64.kdz)
palette a
system-palette a
check-screen a nearest
resize a 64 48
palette a
send a WM_PALETTECHANGED 0 0
new b 40 30
setwindow b
stream b $(W light40.kdz)
palette b
system-palette b
check-screen b nearest
stream a $(W dark64.kdz)
palette a
system-palette a
check-screen a nearest
destroy a
destroy b
shutdown
SCRIPT
  {
    echo "display: 8 bits, palette"
    echo "new a -> 0"
    echo "setwindow a -> 0"
    stream_lines a 71 1
    echo "palette a: object 1, 256 entries from the colour table"
    echo "system palette a: 256 entries, holding 1 of the 1 colours the picture uses"
    echo "screen a: matches the nearest device colours"
    echo "resize a -> 0"
    echo "palette a: object 1, 256 entries from the colour table"
    echo "send a WM_PALETTECHANGED: browser did not see it"
    echo "new b -> 0"
    echo "setwindow b -> 0"
    stream_lines b 71 1
    echo "palette b: object 2, 256 entries from the colour table"
    echo "system palette b: 256 entries, holding 1 of the 1 colours the picture uses"
    echo "screen b: matches the nearest device colours"
    stream_lines a 71 1
    echo "palette a: object 3, 256 entries from the colour table"
    echo "system palette a: 256 entries, holding 1 of the 1 colours the picture uses"
    echo "screen a: matches the nearest device colours"
    echo "destroy a -> 0 saved untouched"
    echo "destroy b -> 0 saved untouched"
    echo "shutdown -> 0"
  } >"$work/palette.expected"
  run_script palette

  if [ -n "$first_real" ]; then
    # A picture of many colours: the system palette takes as many of them as it has
    # room for, which the host measures with a palette of its own first.
    read -r width height <<<"$first_real_size"
    cp "$first_real" "$work/real.kdz"
    cat >"$work/palette-real.script" <<SCRIPT
system-palette-room
new p $width $height
setwindow p
stream p $(W real.kdz) 4096
palette p
system-palette p
check-screen p nearest
destroy p
shutdown
SCRIPT
    timeout 180 "$wine" "$host" --script "$(W palette-real.script)" "$dll" >"$work/palette-real.out" 2>&1
    room=$(sed -n 's/^system palette room: \([0-9]*\)$/\1/p' "$work/palette-real.out")
    read -r held used < <(sed -n 's/^system palette p: 256 entries, holding \([0-9]*\) of the \([0-9]*\) colours.*/\1 \2/p' \
      "$work/palette-real.out")
    wanted=$(( used < ${room:-0} ? used : ${room:-0} ))
    if [ -n "$room" ] && [ "$room" -gt 0 ] && [ -n "${held:-}" ] && [ "$held" -ge "$wanted" ] &&
       grep -qx "palette p: object 1, 256 entries from the colour table" "$work/palette-real.out" &&
       grep -qx "screen p: matches the nearest device colours" "$work/palette-real.out"; then
      pass "palette of $(basename "$first_real" .kdz): realised, the system palette holds $held of its $used colours (room $room)"
    else
      fail "palette of $(basename "$first_real" .kdz)"
      cat "$work/palette-real.out"
    fi
  fi
  finish
  exit
fi

if [ "$display" = fixed8 ]; then
  # An 8-bit display with fixed colours and no palette (RASTERCAPS without RC_PALETTE):
  # no palette is made, and the window shows the device's nearest colours.
  echo "== plug-in on an 8-bit display without a palette, $bits-bit"
  cat >"$work/fixed8.script" <<SCRIPT
display
new a 64 48
setwindow a
stream a $(W grey64.kdz)
palette a
check-screen a nearest
destroy a
shutdown
SCRIPT
  {
    echo "display: 8 bits, no palette"
    echo "new a -> 0"
    echo "setwindow a -> 0"
    stream_lines a 71 1
    echo "palette a: none"
    echo "screen a: matches the nearest device colours"
    echo "destroy a -> 0 saved untouched"
    echo "shutdown -> 0"
  } >"$work/fixed8.expected"
  run_script fixed8
  finish
  exit
fi

echo "== window-class layer under $bits-bit Wine"
if timeout 120 "$wine" "$build/tests/win/winlib_test.exe" >"$work/winlib.out" 2>&1; then
  pass "winlib_test ($(grep -c '^ok' "$work/winlib.out") checks)"
else
  fail "winlib_test"
  grep -v '^ok' "$work/winlib.out"
fi

echo "== plug-in under $bits-bit Wine, $display display"

# --- The callback results that need no picture.
cat >"$work/callbacks.script" <<SCRIPT
registration
exports
entrypoints
new-null
newstream-null
new a 64 48
newstream a
newstream a text/plain
writeready a
write a 0
write a 4096
writeready a
destroystream a
print a
setwindow a nodesc
setwindow-noinstance
setwindow-norecord
destroy a
new b 64 48
destroy b
shutdown
SCRIPT
cat >"$work/callbacks.expected" <<EXPECTED
MIMEType image/qem-kdz
FileExtents kdz
FileOpenName QEM, Inc. Graphic (*.kdz)
exports: NP_GetEntryPoints yes NP_PluginInit yes NP_PluginShutdown yes NP_Initialize yes NP_Shutdown yes
entrypoints -> 0
entrypoints: size kept, version kept
entrypoints: filled newp destroy setwindow newstream destroystream asfile writeready write print
entrypoints: untouched event urlnotify javaClass getvalue setvalue
entrypoints -> 3 for no table
new-null -> 2
newstream-null -> 2 stype untouched pdata untouched
new a -> 0
newstream a -> 0 stype 3 pdata record
newstream a text/plain -> 0 stype 3 pdata record
writeready a -> 268435455
write a 0 -> 0
write a 4096 -> 4096
writeready a -> 268435455
destroystream a -> 0
print a done
setwindow a nodesc -> 1
setwindow-noinstance -> 2
setwindow-norecord -> 1
destroy a -> 0 saved untouched
new b 64 48
destroy b -> 0 saved untouched
shutdown -> 0
EXPECTED
sed -i 's/^new b 64 48$/new b -> 0/' "$work/callbacks.expected"
run_script callbacks

# --- The orders in which real browsers drove plug-ins, and what such a browser sees:
# the embed's attributes in NPP_New; NPP_SetWindow with a new size and with a new
# window (the old one hidden, or destroyed first); streams that end with a network
# error or the user's break before any file (no decode, no box, the picture kept);
# NPP_StreamAsFile without a file name or with a missing file (the failure box); none
# of these leaves a heap block behind, twenty times over; NPP_Destroy without window or
# stream; instances destroyed in either order; NP_Shutdown and the library loaded again
# in the same process, NP_Initialize before and after NP_GetEntryPoints. The 32-bit
# host checks the stack pointer around every call.
cat >"$work/orders.script" <<SCRIPT
new a 64 48 src=grey64.kdz name=picture
setwindow a
stream a $(W grey64.kdz)
check-screen a
resize a 100 80
check-drawn a 100 80
resize a 64 48
check-screen a
setwindow a new
wndproc a
wndproc a former
check-screen a
setwindow a new-closing
wndproc a
check-screen a
abort a network-error 100
abort a user-break 0
info a
check-screen a
new b 64 48
setwindow b
abort b network-error 50
info b
asfile b null
info b
asfile b missing
info b
heap-mark
$(for i in $(seq 20); do echo "abort b network-error 100"; echo "abort b user-break 100"; echo "asfile b null"; echo "asfile b missing"; done)
heap-check 20
new c 40 30
destroy c
new d 40 30
setwindow d
destroy d
destroy b
destroy a
shutdown
library
load initialize-first
library
new e 64 48
setwindow e
stream e $(W grey64.kdz)
check-screen e
destroy e
shutdown
load entrypoints-first
new f 40 30
setwindow f
stream f $(W light40.kdz)
new g 64 48
setwindow g
stream g $(W dark64.kdz)
check-screen f
check-screen g
destroy g
check-screen f
destroy f
stack-check
shutdown
SCRIPT
{
  failed_box() { echo "msgbox caption: Plug-in-test"; echo "msgbox text: File not found or format incorrect, Error in decoding image"; }
  abort_line() { echo "abort $1 $2: newstream -> 0 stype 3, accepted $3 of $3 bytes, destroystream -> 0"; }
  echo "new a -> 0"
  echo "setwindow a -> 0"
  stream_lines a 71 1
  echo "screen a: matches bitmap"
  echo "resize a -> 0"
  echo "drawn a: matches 100x80 at 0,0"
  echo "resize a -> 0"
  echo "screen a: matches bitmap"
  echo "setwindow a new -> 0"
  echo "wndproc a: taken over, window alive"
  echo "wndproc a former: browser's own, window alive"
  echo "screen a: matches bitmap"
  echo "setwindow a new-closing -> 0"
  echo "wndproc a: taken over, window alive"
  echo "screen a: matches bitmap"
  abort_line a network-error 100
  abort_line a user-break 0
  echo "info a: image 64x48 8-bit, ratio $(ratio 64 48 "$work/grey64.kdz"), decode time ok, bitmap block live"
  echo "screen a: matches bitmap"
  echo "new b -> 0"
  echo "setwindow b -> 0"
  abort_line b network-error 50
  echo "info b: no image"
  failed_box
  echo "asfile b null: newstream -> 0, asfile done, destroystream -> 0"
  echo "info b: no image"
  failed_box
  echo "asfile b missing: newstream -> 0, asfile done, destroystream -> 0"
  echo "info b: no image"
  for i in $(seq 20); do
    abort_line b network-error 100
    abort_line b user-break 100
    failed_box
    echo "asfile b null: newstream -> 0, asfile done, destroystream -> 0"
    failed_box
    echo "asfile b missing: newstream -> 0, asfile done, destroystream -> 0"
  done
  echo "heap: less than a block per repetition (20)"
  echo "new c -> 0"
  echo "destroy c -> 0 saved untouched"
  echo "new d -> 0"
  echo "setwindow d -> 0"
  echo "destroy d -> 0 saved untouched"
  echo "destroy b -> 0 saved untouched"
  echo "destroy a -> 0 saved untouched"
  echo "shutdown -> 0"
  echo "library: unloaded, threads as before the load"
  echo "load initialize-first: NP_Initialize -> 0, NP_GetEntryPoints -> 0"
  echo "library: loaded"
  echo "new e -> 0"
  echo "setwindow e -> 0"
  stream_lines e 71 1
  echo "screen e: matches bitmap"
  echo "destroy e -> 0 saved untouched"
  echo "shutdown -> 0"
  echo "load entrypoints-first: NP_GetEntryPoints -> 0, NP_Initialize -> 0"
  echo "new f -> 0"
  echo "setwindow f -> 0"
  stream_lines f 71 1
  echo "new g -> 0"
  echo "setwindow g -> 0"
  stream_lines g 71 1
  echo "screen f: matches bitmap"
  echo "screen g: matches bitmap"
  echo "destroy g -> 0 saved untouched"
  echo "screen f: matches bitmap"
  echo "destroy f -> 0 saved untouched"
  if [ "$bits" = 32 ]; then
    echo "stack check: N calls into the plug-in, each as its convention requires"
  else
    echo "stack check: not needed on 64-bit Windows"
  fi
  echo "shutdown -> 0"
} >"$work/orders.expected"
# The number of checked calls depends on the script; that there were some is what counts.
timeout 180 "$wine" "$host" --script "$(W orders.script)" "$dll" >"$work/orders.out" 2>"$work/orders.err"
rc=$?
checked=$(sed -n 's/^stack check: \([1-9][0-9]*\) calls .*/\1/p' "$work/orders.out")
sed -E -i 's/^stack check: [1-9][0-9]* calls /stack check: N calls /' "$work/orders.out"
if [ $rc -eq 0 ] && diff -u "$work/orders.expected" "$work/orders.out" >"$work/orders.diff"; then
  pass "orders${checked:+ ($checked calls into the plug-in, each with its stack pointer checked)}"
else
  fail "orders (exit $rc)"
  cat "$work/orders.diff" "$work/orders.err" 2>/dev/null | head -60
fi

# --- The check of the 32-bit calls themselves, with functions of the wrong convention.
if timeout 60 "$wine" "$build/tests/win/call_check_test.exe" >"$work/call_check.out" 2>&1; then
  pass "call_check_test ($(grep -c '^ok' "$work/call_check.out") checks)"
else
  fail "call_check_test"
  grep -v '^ok' "$work/call_check.out"
fi

# --- The window taken over and given back; messages outside the map.
cat >"$work/takeover.script" <<SCRIPT
new a 64 48
wndproc a
send a WM_PALETTECHANGED
setwindow a
wndproc a
click a right 10 10
click a left 10 10
send a WM_KEYDOWN 65 0x1e0001
send a WM_CHAR 97 0x1e0001
send a WM_TIMER 7 0
send a WM_MOUSEMOVE 0 0x00050005
send a WM_USER 1 2
send a WM_PALETTECHANGED 0 0
send a WM_PAINT
command a 1001
command a 1000
setwindow a
wndproc a
setwindow a null
wndproc a
send a WM_PALETTECHANGED 0 0
setwindow a
wndproc a
destroy a
wndproc a
send a WM_PALETTECHANGED 0 0
send a WM_KEYDOWN 66 0
new b 64 48
setwindow b bogus
setwindow b
wndproc b
destroy b
new c 64 48
setwindow c
close c
destroy c
new d 64 48
setwindow d
on-msgbox destroy d
command d 1000
wndproc d
send d WM_PALETTECHANGED 0 0
shutdown
SCRIPT
cat >"$work/takeover.expected" <<EXPECTED
new a -> 0
wndproc a: browser's own, window alive
send a WM_PALETTECHANGED: browser saw it
setwindow a -> 0
wndproc a: taken over, window alive
click a right 10 10: browser saw the button, no menu
click a left 10 10: browser saw the button
send a WM_KEYDOWN: browser saw it
send a WM_CHAR: browser saw it
send a WM_TIMER: browser saw it
send a WM_MOUSEMOVE: browser saw it
send a WM_USER: browser saw it
send a WM_PALETTECHANGED: browser did not see it
send a WM_PAINT: browser did not see it
command a 1001: browser did not see it
msgbox caption: Image Info
msgbox text: Image not finished loading
command a 1000: browser did not see it
setwindow a -> 0
wndproc a: taken over, window alive
setwindow a null -> 0
wndproc a: browser's own, window alive
send a WM_PALETTECHANGED: browser saw it
setwindow a -> 0
wndproc a: taken over, window alive
destroy a -> 0 saved untouched
wndproc a: browser's own, window alive
send a WM_PALETTECHANGED: browser saw it
send a WM_KEYDOWN: browser saw it
new b -> 0
msgbox caption: Plug-in-test
msgbox text: SubclassWindow Failed
setwindow b bogus -> 1
setwindow b -> 0
wndproc b: browser's own, window alive
destroy b -> 0 saved untouched
new c -> 0
setwindow c -> 0
close c done
destroy c -> 0 saved untouched
new d -> 0
setwindow d -> 0
msgbox caption: Image Info
msgbox text: Image not finished loading
destroy d -> 0 saved untouched
command d 1000: browser did not see it
wndproc d: browser's own, window alive
send d WM_PALETTECHANGED: browser saw it
shutdown -> 0
EXPECTED
run_script takeover

# --- A decoded picture after NPP_StreamAsFile, in any chunking and for any MIME type.
cat >"$work/decode.script" <<SCRIPT
new a 64 48
setwindow a
info a
stream a $(W grey64.kdz) 1
info a
check-screen a
stream a $(W grey64.kdz) 4096 application/octet-stream
info a
check-screen a
new b 33 17
stream b $(W dark33.kdz) 7
info b
setwindow b
check-screen b
click a right 5 5
menu 2
click a right 5 5
check-screen a
menu 1
click a right 5 5
check-screen a
resize a 64 48
check-screen a
setwindow a null
info a
destroy a
info b
destroy b
shutdown
SCRIPT
cat >"$work/decode.expected" <<EXPECTED
new a -> 0
setwindow a -> 0
info a: no image
stream a: newstream -> 0 stype 3
stream a: wrote 71 bytes in 71 writes, accepted 71
stream a: asfile done
stream a: destroystream -> 0
info a: image 64x48 8-bit, ratio $(ratio 64 48 "$work/grey64.kdz"), decode time ok, bitmap block live
screen a: matches bitmap
stream a: newstream -> 0 stype 3
stream a: wrote 71 bytes in 1 writes, accepted 71
stream a: asfile done
stream a: destroystream -> 0
info a: image 64x48 8-bit, ratio $(ratio 64 48 "$work/grey64.kdz"), decode time ok, bitmap block live
screen a: matches bitmap
new b -> 0
stream b: newstream -> 0 stype 3
stream b: wrote 71 bytes in 11 writes, accepted 71
stream b: asfile done
stream b: destroystream -> 0
info b: image 33x17 8-bit, ratio $(ratio 33 17 "$work/dark33.kdz"), decode time ok, bitmap block live
setwindow b -> 0
screen b: matches bitmap
menu: "Image Info " "Enlarge 50%" "Reduce  50%"
menu: cancelled
click a right 5 5: browser saw the button, menu opened
menu: "Image Info " "Enlarge 50%" "Reduce  50%"
menu: chose "Reduce  50%"
click a right 5 5: browser saw the button, menu opened
screen a: 2304 pixels differ (first at 32,0: 255 255 255 instead of 100 102 100)
menu: "Image Info " "Enlarge 50%" "Reduce  50%"
menu: chose "Enlarge 50%"
click a right 5 5: browser saw the button, menu opened
screen a: matches bitmap
resize a -> 0
screen a: matches bitmap
setwindow a null -> 0
info a: no image
destroy a -> 0 saved untouched
info b: image 33x17 8-bit, ratio $(ratio 33 17 "$work/dark33.kdz"), decode time ok, bitmap block live
destroy b -> 0 saved untouched
shutdown -> 0
EXPECTED
run_script decode

# The picture's colours as the script form reports them, to compare with the BMP.
cat >"$work/colours.script" <<SCRIPT
new a 64 48
setwindow a
stream a $(W grey64.kdz)
pixel a 0 0
new b 40 30
setwindow b
stream b $(W light40.kdz)
pixel b 0 0
new c 64 48
setwindow c
stream c $(W dark64.kdz)
pixel c 0 0
SCRIPT
timeout 180 "$wine" "$host" --script "$(W colours.script)" "$dll" >"$work/colours.out" 2>&1
grey=$(sed -n 's/^pixel a 0 0: //p' "$work/colours.out")
light=$(sed -n 's/^pixel b 0 0: //p' "$work/colours.out")
dark=$(sed -n 's/^pixel c 0 0: //p' "$work/colours.out")
if [ -n "$grey" ] && [ -n "$dark" ] && [ -n "$light" ] && [ "$grey" != "$light" ] &&
   [ "$grey" != "$dark" ] && [ "$dark" != "$light" ] && [ "$grey" != "255 255 255" ]; then
  pass "colours differ by luma bias ($dark; $grey; $light)"
else
  fail "colours by luma bias: '$dark', '$grey', '$light'"
fi
# --- Two instances with different pictures at once; each owns its blocks.
cat >"$work/instances.script" <<SCRIPT
new a 64 48
setwindow a
new b 40 30
setwindow b
stream a $(W grey64.kdz)
stream b $(W light40.kdz)
info a
info b
check-screen a
check-screen b
pixel a 0 0
pixel b 0 0
stream a $(W dark64.kdz)
info a
info b
check-screen a
check-screen b
pixel a 0 0
destroy a
info b
check-screen b
pixel b 0 0
new c 64 48
setwindow c
stream c $(W grey64.kdz)
setwindow b null
info b
info c
check-screen c
destroy b
destroy c
shutdown
SCRIPT
cat >"$work/instances.expected" <<EXPECTED
new a -> 0
setwindow a -> 0
new b -> 0
setwindow b -> 0
stream a: newstream -> 0 stype 3
stream a: wrote 71 bytes in 1 writes, accepted 71
stream a: asfile done
stream a: destroystream -> 0
stream b: newstream -> 0 stype 3
stream b: wrote 71 bytes in 1 writes, accepted 71
stream b: asfile done
stream b: destroystream -> 0
info a: image 64x48 8-bit, ratio $(ratio 64 48 "$work/grey64.kdz"), decode time ok, bitmap block live
info b: image 40x30 8-bit, ratio $(ratio 40 30 "$work/light40.kdz"), decode time ok, bitmap block live
screen a: matches bitmap
screen b: matches bitmap
pixel a 0 0: $grey
pixel b 0 0: $light
stream a: newstream -> 0 stype 3
stream a: wrote 71 bytes in 1 writes, accepted 71
stream a: asfile done
stream a: destroystream -> 0
info a: image 64x48 8-bit, ratio $(ratio 64 48 "$work/dark64.kdz"), decode time ok, bitmap block live
info b: image 40x30 8-bit, ratio $(ratio 40 30 "$work/light40.kdz"), decode time ok, bitmap block live
screen a: matches bitmap
screen b: matches bitmap
pixel a 0 0: $dark
destroy a -> 0 saved untouched
info b: image 40x30 8-bit, ratio $(ratio 40 30 "$work/light40.kdz"), decode time ok, bitmap block live
screen b: matches bitmap
pixel b 0 0: $light
new c -> 0
setwindow c -> 0
stream c: newstream -> 0 stype 3
stream c: wrote 71 bytes in 1 writes, accepted 71
stream c: asfile done
stream c: destroystream -> 0
setwindow b null -> 0
info b: no image
info c: image 64x48 8-bit, ratio $(ratio 64 48 "$work/grey64.kdz"), decode time ok, bitmap block live
screen c: matches bitmap
destroy b -> 0 saved untouched
destroy c -> 0 saved untouched
shutdown -> 0
EXPECTED
run_script instances

# --- Broken and empty files: a message box each, no image, and the host goes on.
decode_failed="File not found or format incorrect, Error in decoding image"
cat >"$work/broken.script" <<SCRIPT
new a 64 48
setwindow a
stream a $(W text.kdz)
info a
stream a $(W empty.kdz)
info a
stream a $(W short.kdz)
info a
stream a $(W large.kdz) 65536
info a
stream a $(W zerowidth.kdz)
stream a $(W negwidth.kdz)
info a
stream a $(W grey64.kdz)
info a
check-screen a
stream a $(W text.kdz)
info a
new b 64 48
stream b $(W empty.kdz)
info b
setwindow b
on-msgbox destroy b
stream b $(W text.kdz)
destroy a
shutdown
SCRIPT
{
  echo "new a -> 0"
  echo "setwindow a -> 0"
  stream_lines a "$(stat -c %s "$work/text.kdz")" 1 "$decode_failed"
  echo "info a: no image"
  stream_lines a 0 0 "Can't allocate file buffers size of 0!"
  echo "info a: no image"
  stream_lines a 30 1 "$decode_failed"
  echo "info a: no image"
  stream_lines a 80000 2 "$decode_failed"
  echo "info a: no image"
  stream_lines a 71 1 "$decode_failed"
  stream_lines a 71 1 "$decode_failed"
  echo "info a: no image"
  stream_lines a 71 1
  echo "info a: image 64x48 8-bit, ratio $(ratio 64 48 "$work/grey64.kdz"), decode time ok, bitmap block live"
  echo "screen a: matches bitmap"
  stream_lines a "$(stat -c %s "$work/text.kdz")" 1 "$decode_failed"
  echo "info a: no image"
  echo "new b -> 0"
  stream_lines b 0 0 "Can't allocate file buffers size of 0!"
  echo "info b: no image"
  echo "setwindow b -> 0"
  stream_lines b "$(stat -c %s "$work/text.kdz")" 1 "$decode_failed" |
    sed "s/^\(msgbox text: .*\)$/\1\ndestroy b -> 0 saved untouched/"
  echo "destroy a -> 0 saved untouched"
  echo "shutdown -> 0"
} >"$work/broken.expected"
run_script broken

# --- The stable outside form: kdzhost --screenshot OUT.bmp npkdz.dll picture.kdz.
# bmp_summary FILE: "WIDTHxHEIGHT BITS-bit, N colours, first R G B".
bmp_summary() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:2] == b"BM"
offset = struct.unpack_from("<I", data, 10)[0]
width, height, planes, bits = struct.unpack_from("<iiHH", data, 18)
stride = (width * 3 + 3) & ~3
colours = set()
for y in range(abs(height)):
    row = data[offset + y * stride: offset + y * stride + width * 3]
    colours.update(row[i:i + 3] for i in range(0, len(row), 3))
b, g, r = data[offset:offset + 3]
print("%dx%d %d-bit, %d colours, first %d %d %d" % (width, height, bits, len(colours), r, g, b))
PY
}
screenshot_case() {
  local name=$1 picture=$2 want_summary=$3 want_stdout=$4
  rm -f "$work/$name.bmp"
  timeout 180 "$wine" "$host" --screenshot "$(W "$name.bmp")" "$dll" "$(W "$picture")" \
    >"$work/$name.stdout" 2>"$work/$name.stderr"
  local rc=$?
  local summary
  summary=$( [ -f "$work/$name.bmp" ] && bmp_summary "$work/$name.bmp")
  if [ $rc -eq 0 ] && [ "$summary" = "$want_summary" ] && [ "$(cat "$work/$name.stdout")" = "$want_stdout" ]; then
    pass "$name"
  else
    fail "$name (exit $rc): got '$summary', wanted '$want_summary'; stdout:"
    cat "$work/$name.stdout" "$work/$name.stderr"
  fi
}
screenshot_case screenshot-grey grey64.kdz "64x48 24-bit, 1 colours, first $grey" ""
screenshot_case screenshot-light light40.kdz "40x30 24-bit, 1 colours, first $light" ""
screenshot_case screenshot-broken text.kdz "200x150 24-bit, 1 colours, first 255 255 255" \
  "$(printf 'Plug-in-test\n%s' "$decode_failed")"
screenshot_case screenshot-empty empty.kdz "200x150 24-bit, 1 colours, first 255 255 255" \
  "$(printf "Plug-in-test\nCan't allocate file buffers size of 0!")"

# --- Zoom in every window, pan, the popup menu and the information box.
# The time in the information box varies; it is checked for its form (%5.2f) and then
# replaced by TIME before the comparison.
info_text() {  # RATIO W H SCALED_W SCALED_H AUTO USER
  printf 'msgbox text: Decompression Time\\tTIME s\\n\\rCompression Ratio\\t\\t%s:1\\n\\rOriginal Size\\t\\t%s x %s\\n\\rScaled Size\\t\\t%s x %s\\n\\rScaling factor\\t\\t%s\\n\\rUser scaling factor:\\t\\t%s\n' "$@"
}
box_ratio() { awk -v r="$(ratio "$@")" 'BEGIN { printf "%2.0f", r }'; }
mask_time() {
  sed -E -i 's/^(msgbox text: Decompression Time\\t)( [0-9]|[0-9]{2})\.[0-9]{2} s/\1TIME s/' "$1"
}
cat >"$work/zoom.script" <<SCRIPT
new a 200 150
setwindow a
stream a $(W light40.kdz)
new b 64 48
setwindow b
stream b $(W grey64.kdz)
palette a
check-drawn a 200 150
check-drawn b 64 48
repaint a
command a 1000
click b left 20 10
check-drawn b 64 48 -20 -10
menu 2
click a right 5 5
check-drawn a 100 75
command a 1000
check-drawn b 64 48 -20 -10
repaint b
check-drawn b 32 24
menu 1
click b right 3 3
check-drawn b 64 48
repaint a
check-drawn a 200 150
command b 1001
command b 1001
command b 1001
check-drawn b 512 384
command b 1000
repaint a
check-drawn a 1600 1200
command a 1002
command a 1002
command a 1002
check-drawn a 200 150
menu cancel
click a right 150 100
check-drawn a 200 150
menu 0
click a right 150 100
destroy a
destroy b
shutdown
SCRIPT
{
  echo "new a -> 0"
  echo "setwindow a -> 0"
  stream_lines a 71 1
  echo "new b -> 0"
  echo "setwindow b -> 0"
  stream_lines b 71 1
  echo "palette a: none"
  echo "drawn a: matches 200x150 at 0,0"
  echo "drawn b: matches 64x48 at 0,0"
  echo "repaint a done"
  echo "msgbox caption: Image Info"
  info_text "$(box_ratio 40 30 "$work/light40.kdz")" 40 30 200 150 1.00 1.00
  echo "command a 1000: browser did not see it"
  echo "click b left 20 10: browser saw the button"
  echo "drawn b: matches 64x48 at -20,-10"
  echo 'menu: "Image Info " "Enlarge 50%" "Reduce  50%"'
  echo 'menu: chose "Reduce  50%"'
  echo "click a right 5 5: browser saw the button, menu opened"
  echo "drawn a: matches 100x75 at 0,0"
  echo "msgbox caption: Image Info"
  info_text "$(box_ratio 40 30 "$work/light40.kdz")" 40 30 100 75 1.00 0.50
  echo "command a 1000: browser did not see it"
  echo "drawn b: matches 64x48 at -20,-10"
  echo "repaint b done"
  echo "drawn b: matches 32x24 at 0,0"
  echo 'menu: "Image Info " "Enlarge 50%" "Reduce  50%"'
  echo 'menu: chose "Enlarge 50%"'
  echo "click b right 3 3: browser saw the button, menu opened"
  echo "drawn b: matches 64x48 at 0,0"
  echo "repaint a done"
  echo "drawn a: matches 200x150 at 0,0"
  echo "command b 1001: browser did not see it"
  echo "command b 1001: browser did not see it"
  echo "command b 1001: browser did not see it"
  echo "drawn b: matches 512x384 at 0,0"
  echo "msgbox caption: Image Info"
  info_text "$(box_ratio 64 48 "$work/grey64.kdz")" 64 48 512 384 1.00 8.00
  echo "command b 1000: browser did not see it"
  echo "repaint a done"
  echo "drawn a: matches 1600x1200 at 0,0"
  echo "command a 1002: browser did not see it"
  echo "command a 1002: browser did not see it"
  echo "command a 1002: browser did not see it"
  echo "drawn a: matches 200x150 at 0,0"
  echo 'menu: "Image Info " "Enlarge 50%" "Reduce  50%"'
  echo "menu: cancelled"
  echo "click a right 150 100: browser saw the button, menu opened"
  echo "drawn a: matches 200x150 at 0,0"
  echo 'menu: "Image Info " "Enlarge 50%" "Reduce  50%"'
  echo 'menu: chose "Image Info "'
  echo "click a right 150 100: browser saw the button, menu opened"
  echo "msgbox caption: Image Info"
  info_text "$(box_ratio 40 30 "$work/light40.kdz")" 40 30 200 150 1.00 1.00
  echo "destroy a -> 0 saved untouched"
  echo "destroy b -> 0 saved untouched"
  echo "shutdown -> 0"
} >"$work/zoom.expected"
run_script_masked() {
  local started=$SECONDS name=$1
  timeout 180 "$wine" "$host" --script "$(winpath "$work/$name.script")" "$dll" \
    >"$work/$name.out" 2>"$work/$name.err"
  local rc=$?
  mask_time "$work/$name.out"
  if [ $rc -eq 0 ] && diff -u "$work/$name.expected" "$work/$name.out" >"$work/$name.diff"; then
    echo "ok    $name ($((SECONDS - started)) s)"
    passed=$((passed + 1))
  else
    echo "FAIL  $name (exit $rc)"
    cat "$work/$name.diff" "$work/$name.err" 2>/dev/null | head -60
    failed=$((failed + 1))
  fi
}
run_script_masked zoom

# --- Pictures larger than their window shrink by one automatic scale; one that fits is
# stretched to the window by the last automatic scale, whichever paint set it.
flat 400 300 120 "$work/flat400x300.kdz"
flat 400 400 120 "$work/flat400x400.kdz"
flat 400 100 120 "$work/flat400x100.kdz"
flat 100 100 120 "$work/flat100x100.kdz"
cat >"$work/shrink.script" <<SCRIPT
new a 300 200
setwindow a
stream a $(W flat100x100.kdz)
check-drawn a 300 200
resize a 200 200
stream a $(W flat400x300.kdz)
check-drawn a 200 150
command a 1000
stream a $(W flat400x400.kdz)
check-drawn a 200 200
resize a 200 400
stream a $(W flat400x100.kdz)
check-drawn a 200 50
resize a 300 200
stream a $(W flat100x100.kdz)
check-drawn a 225 150
destroy a
shutdown
SCRIPT
{
  echo "new a -> 0"
  echo "setwindow a -> 0"
  stream_lines a 71 1
  echo "drawn a: matches 300x200 at 0,0"
  echo "resize a -> 0"
  stream_lines a 71 1
  echo "drawn a: matches 200x150 at 0,0"
  echo "msgbox caption: Image Info"
  info_text "$(box_ratio 400 300 "$work/flat400x300.kdz")" 400 300 200 150 0.50 1.00
  echo "command a 1000: browser did not see it"
  stream_lines a 71 1
  echo "drawn a: matches 200x200 at 0,0"
  echo "resize a -> 0"
  stream_lines a 71 1
  echo "drawn a: matches 200x50 at 0,0"
  echo "resize a -> 0"
  stream_lines a 71 1
  # The 400 x 100 picture, repainted in the 300 x 200 window, set the scale to 0.75.
  echo "drawn a: matches 225x150 at 0,0"
  echo "destroy a -> 0 saved untouched"
  echo "shutdown -> 0"
} >"$work/shrink.expected"
run_script_masked shrink

# --- Real pictures: the plug-in's window against the native 8-bit decode; the ratio;
# then the picture shrunk into a smaller window and panned.
# shrunk W H w h x y: the drawn extent of a W x H picture in a w x h window that it
# exceeds (the automatic scale of the direction that exceeds more, the height's on a
# tie; products left to right in doubles, truncated), and the drawing origin after a
# click at (x, y): "DRAWN_W DRAWN_H ORIGIN_X ORIGIN_Y".
shrunk() {
  python3 -c '
import sys
W, H, w, h, x, y = map(int, sys.argv[1:])
s = w / W if (h - H) > (w - W) else h / H
print(int(W * 1.0 * s), int(H * 1.0 * s), -int(x * 1.0 * s), -int(y * 1.0 * s))' "$@"
}
[ -x "$kdz" ] || not_run "real pictures from the shared images: no native kdz tool (pass the native build folder)"
for picture in "${pictures[@]}"; do
  name=$(basename "$picture" .kdz)
  size=$(picture_size "$picture")
  [ -n "$size" ] || { fail "real $name: kdz info gives no picture size"; continue; }
  read -r width height <<<"$size"
  if [ "$width" -gt 1000 ] || [ "$height" -gt 700 ]; then
    not_run "real $name: ${width}x$height does not fit the test display"
    continue
  fi
  small_w=$((width * 2 / 3))
  small_h=$((height / 2))
  click_x=$((small_w / 4))
  click_y=$((small_h / 5))
  read -r drawn_w drawn_h origin_x origin_y < <(shrunk "$width" "$height" "$small_w" "$small_h" "$click_x" "$click_y")
  cp "$picture" "$work/real-$name.kdz"
  cat >"$work/real-$name.script" <<SCRIPT
new p $width $height
setwindow p
stream p $(W "real-$name.kdz") 1000
info p
check-screen p
resize p $small_w $small_h
check-drawn p $drawn_w $drawn_h
click p left $click_x $click_y
check-drawn p $drawn_w $drawn_h $origin_x $origin_y
destroy p
shutdown
SCRIPT
  bytes=$(stat -c %s "$picture")
  {
    echo "new p -> 0"
    echo "setwindow p -> 0"
    echo "stream p: newstream -> 0 stype 3"
    echo "stream p: wrote $bytes bytes in $(( (bytes + 999) / 1000 )) writes, accepted $bytes"
    echo "stream p: asfile done"
    echo "stream p: destroystream -> 0"
    echo "info p: image ${width}x$height 8-bit, ratio $(ratio "$width" "$height" "$picture"), decode time ok, bitmap block live"
    echo "screen p: matches bitmap"
    echo "resize p -> 0"
    echo "drawn p: matches ${drawn_w}x$drawn_h at 0,0"
    echo "click p left $click_x $click_y: browser saw the button"
    echo "drawn p: matches ${drawn_w}x$drawn_h at $origin_x,$origin_y"
    echo "destroy p -> 0 saved untouched"
    echo "shutdown -> 0"
  } >"$work/real-$name.expected"
  run_script "real-$name"
  if [ -x "$kdz" ] && "$kdz" decode --8bit "$picture" "$work/real-$name-native.bmp" >/dev/null 2>&1; then
    timeout 180 "$wine" "$host" --screenshot "$(W "real-$name-wine.bmp")" "$dll" "$(W "real-$name.kdz")" \
      >"$work/real-$name.stdout" 2>&1
    if result=$(python3 "$here/compare_bmp.py" "$work/real-$name-native.bmp" "$work/real-$name-wine.bmp"); then
      pass "real $name: window and native 8-bit decode $result"
    else
      fail "real $name: window and native 8-bit decode: $result"
      cat "$work/real-$name.stdout"
    fi
  fi
done

finish
