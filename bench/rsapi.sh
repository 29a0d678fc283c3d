#!/bin/bash
# Times rsapi against rdiff (same options) for signature, delta and patch over a
# large file and a copy with scattered edits, in one run, and reports the ratios
# (rdiff time / rsapi time: above 1 means rsapi is faster). Also compares MD4
# hashing with `openssl speed md4` at 16 KiB blocks, the two ways of doing the
# appending writes, and the peak memory of each program.
# Usage: bench/rsapi.sh BUILD_DIR [SIZE_MIB (default 512, below 1024)] [ROUNDS (default 3)]
set -eu
BUILD=$(realpath "${1:?usage: rsapi.sh BUILD_DIR [SIZE_MIB] [ROUNDS]}")
SIZE_MIB=${2:-512}
ROUNDS=${3:-3}
RSAPI=$BUILD/tools/rsapi
IO=$BUILD/bench/bench_rsapi_io
for f in "$RSAPI" "$IO"; do [ -x "$f" ] || { echo "missing $f: ninja -C $BUILD rsapi bench_rsapi_io" >&2; exit 1; }; done
command -v rdiff >/dev/null || { echo "rdiff is not installed (apt-get install rdiff)" >&2; exit 1; }
SIG=(-H md4 -R rollsum -b 2048 -S 8)
source "$(dirname "$(realpath "$0")")/../tests/rsapi-cpp/rsapi-corpus.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/rsapi-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

echo "creating ${SIZE_MIB} MiB basis and an edited copy in $WORK"
head -c $((SIZE_MIB << 20)) /dev/urandom >basis
# About one edit per MiB: inserts, deletes and overwrites of up to 3000 bytes.
edits basis "$SIZE_MIB" insert delete overwrite >new

# Best wall time of ROUNDS runs of a command, in seconds; output files are removed
# and dirty pages written back before each run so neither program pays for the
# other's writes.
best_time() {
    local out=$1 best=
    shift
    for _ in $(seq "$ROUNDS"); do
        rm -f "$out"
        sync
        local t0 t1
        t0=$(date +%s.%N)
        "$@" >/dev/null
        t1=$(date +%s.%N)
        best=$(echo "$t0 $t1 ${best:-1e9}" | awk '{ t = $2 - $1; print (t < $3) ? t : $3 }')
    done
    echo "$best"
}

peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }

report() { # NAME RDIFF_SECONDS RSAPI_SECONDS
    echo "$1 $2 $3" | awk '{ printf "%-10s rdiff %7.3f s   rsapi %7.3f s   ratio rdiff/rsapi %5.2f\n", $1, $2, $3, $2 / $3 }'
}

r_sig=$(best_time basis.rsig rdiff "${SIG[@]}" signature basis basis.rsig)
o_sig=$(best_time basis.sig "$RSAPI" signature basis basis.sig)
cmp basis.sig basis.rsig
r_delta=$(best_time r.delta rdiff delta basis.rsig new r.delta)
o_delta=$(best_time o.delta "$RSAPI" delta basis.sig new o.delta)
r_patch=$(best_time r.new rdiff patch basis o.delta r.new)
o_patch=$(best_time o.new "$RSAPI" patch basis r.delta o.new)
cmp r.new new
cmp o.new new

echo
echo "sizes: basis $(stat -c %s basis), new $(stat -c %s new), delta rdiff $(stat -c %s r.delta), rsapi $(stat -c %s o.delta)"
report signature "$r_sig" "$o_sig"
report delta "$r_delta" "$o_delta"
report patch "$r_patch" "$o_patch"

echo
echo "peak memory (KiB): signature rdiff $(peak_kib rdiff "${SIG[@]}" signature basis m.sig) rsapi $(peak_kib "$RSAPI" signature basis m.sig);" \
     "delta rdiff $(peak_kib rdiff delta basis.rsig new m.delta) rsapi $(peak_kib "$RSAPI" delta basis.sig new m.delta);" \
     "patch rdiff $(peak_kib rdiff patch basis o.delta m.new) rsapi $(peak_kib "$RSAPI" patch basis o.delta m.new)"

echo
# Alternating runs, best of each, so both see the same load on the machine.
ours=0 ref=0
for _ in $(seq "$ROUNDS"); do
    o=$("$IO" md4 | awk '{ print $2 }')
    r=$(openssl speed -provider legacy -provider default -bytes 16384 -seconds 2 md4 2>/dev/null | awk '/^md4/ { sub("k", "", $2); print $2 }')
    ours=$(echo "$o $ours" | awk '{ print ($1 > $2) ? $1 : $2 }')
    ref=$(echo "$r $ref" | awk '{ print ($1 > $2) ? $1 : $2 }')
done
echo "$ours $ref" | awk '{ printf "md4 16 KiB: rsapi %.0f kB/s, openssl speed %.0f kB/s, ratio rsapi/openssl %.3f\n", $1, $2, $1 / $2 }'
"$IO" writes basis "$WORK"
