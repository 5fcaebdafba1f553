# Shared by the tool's shell tests: run as `bash TEST.sh KDZ_BINARY SOURCE_DIR`.
set -u

KDZ=${1:?usage: $0 KDZ_BINARY SOURCE_DIR}
SRC=${2:?usage: $0 KDZ_BINARY SOURCE_DIR}
HERE="$SRC/tests/cli"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# run CMD...: runs the tool, leaving its status in $status, its output in stdout.txt
# and stderr.txt.
run() {
  "$KDZ" "$@" >stdout.txt 2>stderr.txt
  status=$?
}

# expect_status N WHAT: the last run ended with status N.
expect_status() {
  if [ "$status" -ne "$1" ]; then
    fail "$2: exit status $status, expected $1 (stderr: $(head -c 300 stderr.txt))"
  fi
}

# expect_one_error FILE WHAT: the last run failed with status 1, printed nothing on
# stdout and exactly one line "kdz: FILE: reason" on stderr.
expect_one_error() {
  expect_status 1 "$2"
  local lines line
  lines=$(wc -l <stderr.txt)
  line=$(head -n 1 stderr.txt)
  if [ "$lines" -ne 1 ] || [[ "$line" != "kdz: $1: "?* ]]; then
    fail "$2: expected one line 'kdz: $1: reason', got: $(cat stderr.txt)"
  fi
  if [ -s stdout.txt ]; then fail "$2: printed on stdout: $(head -c 200 stdout.txt)"; fi
}

make_kdz() { python3 "$HERE/make_kdz.py" "$@" || fail "make_kdz.py $*"; }

pycheck() { PYTHONPATH="$HERE" python3 - "$@"; }

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}
