# The tool's command line: --help, and every usage error exits 2 with the usage text.
source "$(dirname "$0")/common.bash"

run --help
expect_status 0 "--help"
grep -q "kdz info FILE" stdout.txt || fail "--help does not show the info usage"
grep -q "kdz decode" stdout.txt || fail "--help does not show the decode usage"
grep -q "kdz encode" stdout.txt || fail "--help does not show the encode usage"
[ -s stderr.txt ] && fail "--help wrote to stderr"

run decode --help
expect_status 0 "decode --help"

make_kdz ok.kdz --flat 100

# Each of these is a usage error: status 2, the usage text on stderr, nothing on
# stdout, and no output file.
usage_error() {
  run "$@"
  expect_status 2 "kdz $*"
  grep -q "^usage: kdz" stderr.txt || fail "kdz $*: no usage text on stderr"
  [ -s stdout.txt ] && fail "kdz $*: wrote to stdout"
  ls out.* >/dev/null 2>&1 && fail "kdz $*: left an output file"
  rm -f out.*
}
usage_error
usage_error frobnicate ok.kdz
usage_error info
usage_error info ok.kdz ok.kdz
usage_error info --xml ok.kdz
usage_error decode ok.kdz
usage_error decode ok.kdz out.png extra.png
usage_error decode ok.kdz out.jpg
usage_error decode ok.kdz out
usage_error decode --16bit ok.kdz out.png
usage_error decode --8bit --24bit ok.kdz out.png
usage_error decode --max-pixels 0 ok.kdz out.png
usage_error decode --max-pixels -5 ok.kdz out.png
usage_error decode --max-pixels 12x ok.kdz out.png
usage_error decode --max-pixels=99999999999999999999999 ok.kdz out.png
usage_error decode ok.kdz out.png --max-pixels
usage_error decode --threads 0 ok.kdz out.png
usage_error decode --threads 65 ok.kdz out.png
usage_error decode --threads two ok.kdz out.png

usage_error decode -o
usage_error decode -o outdir
usage_error decode -j 0 -o outdir ok.kdz
usage_error encode -j x -o outdir ok.kdz
usage_error decode -r ok.kdz out.png
usage_error decode -j 2 ok.kdz out.png
usage_error decode --format gif ok.kdz out.png
usage_error decode --format bmp ok.kdz out.png
usage_error decode -x -o outdir ok.kdz
[ -e outdir ] && fail "a usage error made the output folder"

# --version and -h on every command, in any place before "--"; -h shows the
# command's own options.
for cmd in "" info decode encode; do
  # shellcheck disable=SC2086
  run $cmd --version
  expect_status 0 "kdz $cmd --version"
  grep -qx "kdz [0-9]*\.[0-9]*\.[0-9]*" stdout.txt || fail "kdz $cmd --version: $(cat stdout.txt)"
  # shellcheck disable=SC2086
  run $cmd ok.kdz -h
  expect_status 0 "kdz $cmd -h"
  [ -s stderr.txt ] && fail "kdz $cmd -h wrote to stderr"
done
run decode -h
grep -q -- "--8bit" stdout.txt && grep -q -- "--jobs" stdout.txt || fail "decode -h lacks its options"
grep -q -- "--quality" stdout.txt && fail "decode -h shows encode's options"
run info -h
grep -q -- "--jobs" stdout.txt && fail "info -h shows the batch options"

# Short options bundle and take values joined or apart.
run decode -qfj1 -o=bundled ok.kdz
expect_status 0 "bundled short options"
run decode -qf -j 1 --output bundled ok.kdz
expect_status 0 "short options apart"
[ -s bundled/ok.png ] || fail "bundled options: no bundled/ok.png"

# Options may stand before or after the operands; "--" ends them.
run decode ok.kdz out.png --8bit --max-pixels=15
expect_status 0 "options after the operands"
run decode --max-pixels 15 -- ok.kdz out.ppm
expect_status 0 "-- before the operands"
[ -s out.png ] && [ -s out.ppm ] || fail "option placement: outputs missing"
# Any thread count gives the same picture.
run decode --8bit --threads 1 ok.kdz one.bmp && run decode --8bit --threads=3 ok.kdz three.bmp
expect_status 0 "--threads"
cmp -s one.bmp three.bmp || fail "--threads 1 and 3 give different pictures"

finish
