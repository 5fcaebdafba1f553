# `kdz info`: the header as text and as JSON, for decodable and undecodable files.
source "$(dirname "$0")/common.bash"

make_kdz flat.kdz --flat 100 --size 6x4
make_kdz pattern.kdz --pattern --size 9x7

run info flat.kdz
expect_status 0 "info flat.kdz"
for line in "size: *71 bytes" "version: *2.3" "picture: *6 x 4" "levels: *0" \
            "uncoded levels: *y 0, i 0, q 0" "plane offsets: *y 62, i 65, q 68" \
            "value tables: *y 0, i 0, q 0" "luma bias: *100" "decodable: *yes"; do
  grep -qx "$line" stdout.txt || fail "info flat.kdz: no line '$line' in: $(cat stdout.txt)"
done
[ -s stderr.txt ] && fail "info flat.kdz wrote to stderr"

# JSON, with the option before or after the file, agrees with the file's bytes.
for order in "--json pattern.kdz" "pattern.kdz --json"; do
  # shellcheck disable=SC2086
  run info $order
  expect_status 0 "info $order"
  python3 -m json.tool stdout.txt >/dev/null || fail "info $order: not valid JSON"
done
pycheck pattern.kdz stdout.txt <<'PY' || fail "info --json disagrees with pattern.kdz"
import json, os, struct, sys
data = open(sys.argv[1], "rb").read()
j = json.load(open(sys.argv[2]))
off_i, off_q = struct.unpack_from("<HH", data, 22)
expect = {
    "file": sys.argv[1], "size": len(data), "signature": "QEM2.3aZ", "version": "2.3",
    "width": 9, "height": 7, "levels": 0, "headerLength": 0, "transformMode": 0,
    "uncodedLevels": {"y": 0, "i": 0, "q": 0},
    "planeOffsets": {"y": 62, "i": off_i, "q": off_q},
    "segmentOffsets": {"y": 0, "i": 0, "q": 0},
    "valueTableSizes": {"y": data[62], "i": data[off_i], "q": data[off_q]},
    "lumaBias": struct.unpack_from("<h", data, 50)[0], "decodable": True, "problem": None,
}
bad = {k: (j.get(k), v) for k, v in expect.items() if j.get(k) != v}
if bad or set(j) != set(expect):
    sys.exit("mismatch: %r, keys %r" % (bad, sorted(set(j) ^ set(expect))))
PY

# Undecodable files are described, with the reason, and info still succeeds.
python3 - <<'PY'
import struct
data = bytearray(open("flat.kdz", "rb").read())
bad_levels = bytearray(data); struct.pack_into("<h", bad_levels, 30, 12)
old = bytearray(data); old[5] = ord("2")                 # version 2.2: not decoded
odd = bytearray(data); odd[4] = 0x01; odd[6] = ord("\n")  # bytes 4 and 6 are not checked
past = bytearray(data); struct.pack_into("<H", past, 24, 5000)  # 'q' data beyond the end
for name, b in [("levels12.kdz", bad_levels), ("v22.kdz", old), ("odd.kdz", odd), ("past.kdz", past)]:
    open(name, "wb").write(b)
PY
for f in levels12.kdz v22.kdz past.kdz; do
  run info "$f"
  expect_status 0 "info $f"
  grep -q "^decodable: *no: ." stdout.txt || fail "info $f: no reason given: $(cat stdout.txt)"
  run info --json "$f"
  expect_status 0 "info --json $f"
  pycheck stdout.txt <<'PY' || fail "info --json $f: decodable or problem wrong"
import json, sys
j = json.load(open(sys.argv[1]))
assert j["decodable"] is False and isinstance(j["problem"], str) and j["problem"], j
PY
done
grep -qx "levels: *12" <("$KDZ" info levels12.kdz) || fail "info levels12.kdz does not show levels 12"
grep -qx "version: *2.2" <("$KDZ" info v22.kdz) || fail "info v22.kdz does not show version 2.2"

# Signature bytes that are not printable are shown escaped, and the JSON stays valid.
run info odd.kdz
expect_status 0 "info odd.kdz"
grep -qxF 'signature:        QEM2\x013\x0AZ' stdout.txt || fail "odd signature not escaped: $(grep signature stdout.txt)"
grep -q "^decodable: *yes" stdout.txt || fail "bytes 4 and 6 of the signature made the file undecodable"
run info --json odd.kdz
python3 -m json.tool stdout.txt >/dev/null || fail "info --json odd.kdz: not valid JSON"

finish
