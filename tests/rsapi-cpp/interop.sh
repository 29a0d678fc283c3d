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

# Each pair is NAME.basis and NAME.new, made with coreutils only. The data is
# random; a failing run keeps its corpus for a second look.
source "$(dirname "$0")/rsapi-corpus.sh"
pair() { # NAME BASIS_FILE NEW_FILE
    cp "$2" "$WORK/$1.basis"
    cp "$3" "$WORK/$1.new"
}
S=$WORK/src
mkdir "$S"
: >"$S/empty"
rand 1 >"$S/one"
rand 1000 >"$S/short"
rand $((8 * 2048)) >"$S/m2"
rand $((3 << 20)) >"$S/big"
{ head -c 500 "$S/short"; printf x; tail -c +501 "$S/short"; } >"$S/short_edit"
{ head -c 4096 "$S/m2"; printf '\0'; tail -c +4098 "$S/m2"; } >"$S/m2_one"
{ cat "$S/m2"; rand 700; } >"$S/m2_tail"
{ tail -c +8193 "$S/m2"; head -c 8192 "$S/m2"; } >"$S/m2_swapped"
edits "$S/big" 40 insert >"$S/inserts"
edits "$S/big" 40 delete >"$S/deletes"
edits "$S/big" 40 overwrite >"$S/overwrites"
edits "$S/big" 80 insert delete overwrite >"$S/mixed"
{ printf '!'; cat "$S/big"; } >"$S/shifted"
tail -c +778 "$S/big" >"$S/shifted_back"
head -c 50000 /dev/zero >"$S/zeros1"
head -c 70001 /dev/zero >"$S/zeros2"
rand 100000 >"$S/other1"
rand 90000 >"$S/other2"
pair empty "$S/empty" "$S/empty"
pair empty_to_byte "$S/empty" "$S/one"
pair byte_to_empty "$S/one" "$S/empty"
pair one_byte "$S/one" "$S/one"
pair short_block "$S/short" "$S/short_edit"
pair exact_multiple "$S/m2" "$S/m2"
pair multiple_one_changed "$S/m2" "$S/m2_one"
pair multiple_plus_tail "$S/m2" "$S/m2_tail"
pair blocks_reordered "$S/m2" "$S/m2_swapped"
for kind in inserts deletes overwrites mixed shifted shifted_back; do pair "$kind" "$S/big" "$S/$kind"; done
pair zeros "$S/zeros1" "$S/zeros2"
pair unrelated "$S/other1" "$S/other2"

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
if [ "$fail" -ne 0 ]; then
    echo "interop: corpus kept in $WORK"
    exit 1
fi
rm -rf "$WORK"
