#!/usr/bin/env bash
# `make install` into a DESTDIR: the expected files are there, and programs built
# against the installed library, through its pkg-config file and through
# find_package, decode a sample exactly as the kdz tool does.
# usage: run.sh BUILD_DIR SOURCE_DIR KDZ_TOOL
set -u
BUILD=${1:?} SRC=${2:?} KDZ=${3:?}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

PREFIX=/opt/kdz
DEST="$WORK/dest"
DESTDIR="$DEST" cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" 2>&1 ||
  { cat "$WORK/install.log"; fail "cmake --install"; }
ROOT="$DEST$PREFIX"

loader_dir=$(grep -o 'KDZ_PIXBUF_LOADER_DIR:STRING=.*' "$BUILD/CMakeCache.txt" | cut -d= -f2)
expected=(bin/kdz include/kdz/kdz.h include/kdz/encoder.h share/mime/packages/kdz.xml
          share/thumbnailers/kdz.thumbnailer)
[ -n "$loader_dir" ] && expected+=("$loader_dir/libpixbufloader-kdz.so")
[ -f "$SRC/man/kdz.1" ] && expected+=(share/man/man1/kdz.1)
for f in "${expected[@]}"; do
  [ -e "$ROOT/$f" ] || fail "not installed: $f"
done
for pattern in 'lib*/libkdz.a' 'lib*/pkgconfig/kdz.pc' 'lib*/cmake/kdz/kdzConfig.cmake'; do
  compgen -G "$ROOT/$pattern" >/dev/null || fail "not installed: $pattern"
done
stray=$(find "$DEST" ! -type d ! -path "$ROOT/*" | head -3)
[ -z "$stray" ] || fail "installed outside the prefix: $stray"

sample="$SRC/samples/chelsea.kdz"
# Where the decoder can use several cores, programs built against the archive must
# decode on them as the tool does (Linux names the helpers; elsewhere not checked).
expect_helpers=0
if [ "$(uname -s)" = Linux ] && [ "$(nproc --all)" -ge 2 ] && grep -q 'KDZ_THREADS:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  expect_helpers=1
else
  echo "not run: the helper-thread check (needs Linux, 2 cores and KDZ_THREADS)"
fi
export KDZ_EXPECT_HELPERS=$expect_helpers
"$KDZ" decode --24bit "$sample" "$WORK/tool.ppm" || fail "kdz decode"

pcdir=$(dirname "$(compgen -G "$ROOT/lib*/pkgconfig/kdz.pc" | head -1)")
if flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs kdz); then
  # shellcheck disable=SC2086
  g++ -std=c++17 "$SRC/tests/install/consumer/decode.cc" -o "$WORK/decode-pc" $flags || fail "build with pkg-config"
  "$WORK/decode-pc" "$sample" "$WORK/pc.ppm" && cmp -s "$WORK/pc.ppm" "$WORK/tool.ppm" ||
    fail "pkg-config program's decode differs from kdz decode"
else
  fail "pkg-config kdz"
fi

if cmake -S "$SRC/tests/install/consumer" -B "$WORK/consumer" -DCMAKE_PREFIX_PATH="$ROOT" >"$WORK/cmake.log" 2>&1 &&
   cmake --build "$WORK/consumer" >>"$WORK/cmake.log" 2>&1; then
  "$WORK/consumer/decode" "$sample" "$WORK/cm.ppm" && cmp -s "$WORK/cm.ppm" "$WORK/tool.ppm" ||
    fail "find_package program's decode differs from kdz decode"
else
  cat "$WORK/cmake.log"; fail "build with find_package"
fi

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all checks passed"
