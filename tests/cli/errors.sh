# Files the tool cannot read, decode or write: status 1, one line "kdz: FILE: reason",
# and nothing left half-written.
source "$(dirname "$0")/common.bash"

make_kdz ok.kdz --flat 100 --size 5x3
printf 'GIF89a this is not a KDZ file' >garbage.kdz
: >empty.kdz
head -c 40 ok.kdz >truncated.kdz
python3 -c "import sys; sys.stdout.buffer.write(open('ok.kdz','rb').read() + bytes(80000))" >huge.kdz

for cmd in info decode; do
  args=()
  [ "$cmd" = decode ] && args=(out.png)
  run "$cmd" missing.kdz "${args[@]}"
  expect_one_error missing.kdz "$cmd of a missing file"
  grep -qi "no such file" stderr.txt || fail "$cmd of a missing file: reason does not say so: $(cat stderr.txt)"

  run "$cmd" garbage.kdz "${args[@]}"
  expect_one_error garbage.kdz "$cmd of a file that is not KDZ"

  run "$cmd" empty.kdz "${args[@]}"
  expect_one_error empty.kdz "$cmd of an empty file"

  run "$cmd" . "${args[@]}"
  expect_one_error . "$cmd of a directory"
done
[ -e out.png ] && fail "a failed decode left out.png"

# A KDZ file that cannot be decoded: info describes it and says why; decode fails.
for f in truncated.kdz huge.kdz; do
  run info "$f"
  expect_status 0 "info $f"
  grep -q "^decodable: *no: ." stdout.txt || fail "info $f does not say why it cannot be decoded: $(cat stdout.txt)"
  run decode "$f" out.bmp
  expect_one_error "$f" "decode $f"
done
grep -q "80000" stderr.txt || fail "decode of a huge file does not name the size limit: $(cat stderr.txt)"

# The pixel limit: 5 x 3 = 15 pixels.
run decode --max-pixels 15 ok.kdz limit.bmp
expect_status 0 "decode at the pixel limit"
run decode --max-pixels 14 ok.kdz over.bmp
expect_one_error ok.kdz "decode over the pixel limit"
[ -e over.bmp ] && fail "decode over the pixel limit left a file"

# Output that cannot be written: a missing folder, and a folder in the way of the
# rename. Neither may leave OUT.tmp behind; an existing output stays as it was.
run decode ok.kdz no/such/dir/out.png
expect_one_error no/such/dir/out.png "decode into a missing folder"
mkdir in-the-way.png
run decode ok.kdz in-the-way.png
expect_one_error in-the-way.png "decode onto a folder"
[ -e in-the-way.png.tmp ] && fail "a failed write left in-the-way.png.tmp"
for ext in bmp png ppm; do
  echo keep >"keep.$ext"
  run decode garbage.kdz "keep.$ext"
  expect_one_error garbage.kdz "decode of garbage over keep.$ext"
  [ "$(cat "keep.$ext")" = keep ] || fail "a failed decode changed keep.$ext"
  mkdir "blocked.$ext"
  run decode ok.kdz "blocked.$ext"
  expect_one_error "blocked.$ext" "writing $ext onto a folder"
  [ -e "blocked.$ext.tmp" ] && fail "writing $ext onto a folder left blocked.$ext.tmp"
done

# A successful decode replaces an existing file and leaves no temporary behind.
echo old >replace.png
run decode ok.kdz replace.png
expect_status 0 "decode over an existing file"
[ "$(head -c 4 replace.png | tail -c 3)" = PNG ] || fail "existing output was not replaced"
ls ./*.tmp >/dev/null 2>&1 && fail "temporary files left: $(ls ./*.tmp)"

finish
