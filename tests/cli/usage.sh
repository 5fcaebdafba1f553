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
