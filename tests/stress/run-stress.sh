#!/usr/bin/env bash
# The stress test: PROCESSES client processes in one Wine prefix, ITERATIONS mixed calls each,
# all at once. It fails on a crash, on a round trip under one key that does not give its text
# back, on a torn set of stored settings, or on an instance count that does not return to where
# it started. It prints the throughput.
#   run-stress.sh CLIENT.exe STORE-DIR SERVER-KEY [PROCESSES] [ITERATIONS]
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
client=$1 store=$2 serverKey=$3 processes=${4:-8} iterations=${5:-200}
export QUILLMARK_STORE=$store
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

count() {
    local value
    value=$(wine reg query 'HKCU\SOFTWARE\TesselCorp\Oriel\Veyra' /v Count 2>/dev/null |
        tr -d '\r' | awk '$1 == "Count" { print $3 }')
    [ -n "$value" ] && printf '%d' "$value"
}

before=$(count)
start=$(date +%s.%N)
pids=()
for ((i = 0; i < processes; i++)); do
    qm_wine "$client" "$i" "$iterations" "$(winepath -w "$work/snap$i.txt")" >"$work/out$i.txt" 2>&1 &
    pids+=($!)
done
failed=0
for ((i = 0; i < processes; i++)); do
    if ! wait "${pids[$i]}"; then
        failed=1
    fi
    if ! grep -q '0 violations' "$work/out$i.txt"; then
        failed=1
    fi
    tr -d '\r' <"$work/out$i.txt"
done
end=$(date +%s.%N)
after=$(count)

# Every recorded set: "c" opened with the recipient's key is exactly "b".
sets=0
torn=0
for f in "$work"/snap*.txt; do
    while read -r b c; do
        [ -n "$c" ] || continue
        sets=$((sets + 1))
        opened=$(printf '%s' "$c" | base64 -d 2>/dev/null |
            openssl cms -decrypt -inform DER -inkey "$serverKey" 2>/dev/null | base64 -w0)
        if [ "$opened" != "$b" ]; then
            torn=$((torn + 1))
        fi
    done <"$f"
done

calls=$((processes * iterations))
rate=$(awk -v n="$calls" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", n / (e - s) }')
echo "stress: $processes processes x $iterations iterations in $(awk -v s="$start" -v e="$end" \
    'BEGIN { printf "%.1f", e - s }') s: $rate calls/s (process start-up included)"
echo "stress: $sets recorded settings sets, $torn torn; Count $before -> $after"
[ "$torn" -eq 0 ] || failed=1
[ "$sets" -gt 0 ] || failed=1
[ -n "$before" ] && [ "$before" = "$after" ] || {
    echo "stress: the instance count did not return to its start" >&2
    failed=1
}
exit $failed
