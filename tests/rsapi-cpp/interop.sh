#!/bin/bash
# Interoperability of the rsapi tool with rdiff over a generated corpus of file
# pairs: signatures must be byte-identical, and deltas made by either program must
# be applied by the other to exactly the new file.
# Usage: interop.sh PATH_TO_RSAPI
set -u
RSAPI=${1:?usage: interop.sh PATH_TO_RSAPI}
RDIFF_SIG=(rdiff -H md4 -R rollsum -b 2048 -S 8 signature)

if ! command -v rdiff >/dev/null; then
    echo "interop: rdiff is not installed (apt-get install rdiff)" >&2
    exit 1
fi

WORK=$(mktemp -d /tmp/rsapi-interop-XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# Each pair is NAME.basis and NAME.new.
python3 - "$WORK" <<'PY'
import os, random, sys
d = sys.argv[1]
rnd = random.Random(20240611)
def data(n): return bytes(rnd.getrandbits(8) for _ in range(n)) if n < 4096 else rnd.randbytes(n)
def pair(name, basis, new):
    open(os.path.join(d, name + ".basis"), "wb").write(basis)
    open(os.path.join(d, name + ".new"), "wb").write(new)
def edits(b, count, kinds):
    b = bytearray(b)
    for _ in range(count):
        p = rnd.randrange(len(b) + 1); n = rnd.randint(1, 3000); k = rnd.choice(kinds)
        if k == "insert": b[p:p] = data(n)
        elif k == "delete": del b[p:p + n]
        else: b[p:p + n] = data(min(n, len(b) - p))
    return bytes(b)
one, short, m2, big = data(1), data(1000), data(8 * 2048), data(3 << 20)
pair("empty", b"", b"")
pair("empty_to_byte", b"", one)
pair("byte_to_empty", one, b"")
pair("one_byte", one, one)
pair("short_block", short, short[:500] + b"x" + short[500:])
pair("exact_multiple", m2, m2)
pair("multiple_one_changed", m2, m2[:4096] + b"\0" + m2[4097:])
pair("multiple_plus_tail", m2, m2 + data(700))
pair("inserts", big, edits(big, 40, ["insert"]))
pair("deletes", big, edits(big, 40, ["delete"]))
pair("overwrites", big, edits(big, 40, ["overwrite"]))
pair("mixed", big, edits(big, 80, ["insert", "delete", "overwrite"]))
pair("shifted", big, b"!" + big)
pair("shifted_back", big, big[777:])
pair("zeros", bytes(50000), bytes(70001))
pair("blocks_reordered", m2, m2[8192:] + m2[:8192])
pair("unrelated", data(100000), data(90000))
PY

pass=0
fail=0
check() { # NAME DESCRIPTION COMMAND...
    local name=$1 what=$2
    shift 2
    if "$@" >"$WORK/out" 2>&1; then
        pass=$((pass + 1))
    else
        fail=$((fail + 1))
        echo "FAIL $name: $what"
        sed 's/^/    /' "$WORK/out"
    fi
}

for basis in "$WORK"/*.basis; do
    n=${basis%.basis}
    name=$(basename "$n")
    "$RSAPI" signature "$n.basis" "$n.sig" && "${RDIFF_SIG[@]}" "$n.basis" "$n.rsig"
    check "$name" "signature identical to rdiff's" cmp "$n.sig" "$n.rsig"
    check "$name" "rdiff delta" rdiff delta "$n.rsig" "$n.new" "$n.rdelta"
    check "$name" "rsapi patch of rdiff's delta" "$RSAPI" patch "$n.basis" "$n.rdelta" "$n.out1"
    check "$name" "rsapi patch reproduces the new file" cmp "$n.out1" "$n.new"
    check "$name" "rsapi delta" "$RSAPI" delta "$n.sig" "$n.new" "$n.delta"
    check "$name" "rdiff patch of rsapi's delta" rdiff patch "$n.basis" "$n.delta" "$n.out2"
    check "$name" "rdiff patch reproduces the new file" cmp "$n.out2" "$n.new"
done

# Bad input: failures exit 1 with one line of our own.
m=$WORK/mixed
head -c -1 "$m.delta" >"$WORK/cut.delta"
bad_patch() { ! "$RSAPI" patch "$m.basis" "$WORK/cut.delta" "$WORK/cut.out" 2>"$WORK/err" && grep -q '^rsapi: patch failed (-2)' "$WORK/err"; }
check truncated "patch of a delta without END fails with -2" bad_patch
head -c 7 "$m.sig" >"$WORK/cut.sig"
bad_sig() { ! "$RSAPI" delta "$WORK/cut.sig" "$m.new" "$WORK/x.delta" 2>"$WORK/err" && grep -q '^rsapi: delta failed (-5)' "$WORK/err"; }
check truncated "delta against a cut signature fails with -5" bad_sig

echo "interop: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
