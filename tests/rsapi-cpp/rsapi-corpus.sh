# Shell helpers that make test and benchmark files for the delta engine with
# coreutils only; sourced by interop.sh and bench/rsapi.sh.

# rand N: N random bytes
rand() { head -c "$1" /dev/urandom; }
# big_random N: a random number below N (N below 2^30)
big_random() { echo $(((RANDOM << 15 | RANDOM) % $1)); }
# copy_range FILE OFFSET LENGTH
copy_range() { dd if="$1" bs=64K iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none; }
# edits BASIS COUNT KINDS...: COUNT edits of up to 3000 bytes at random places
edits() {
    local basis=$1 count=$2 size pos=0 p n kind
    shift 2
    local kinds=("$@")
    size=$(stat -c %s "$basis")
    for p in $(for _ in $(seq "$count"); do big_random "$size"; done | sort -n); do
        [ "$p" -lt "$pos" ] && continue
        copy_range "$basis" "$pos" $((p - pos))
        n=$((RANDOM % 3000 + 1))
        kind=${kinds[RANDOM % ${#kinds[@]}]}
        case $kind in
        insert) rand "$n"; pos=$p ;;
        delete) pos=$((p + n)) ;;
        overwrite) rand "$n"; pos=$((p + n)) ;;
        esac
    done
    [ "$pos" -lt "$size" ] && copy_range "$basis" "$pos" $((size - pos))
    return 0
}
