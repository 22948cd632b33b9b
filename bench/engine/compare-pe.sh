#!/usr/bin/env bash
# Corvane.dll as it ships (the Windows build, under Wine) against the machine's own OpenSSL doing
# the same work, in turns, so that all meet the same load: SEED, ARIA and AES on 1 MiB and
# sealing to an RSA-2048 certificate. Prints the fastest figure of each and their ratio; the goal
# is the engine within 20% of OpenSSL. Beside them, Corvane-small-wipes.dll, a twin whose pool
# wipes only the small blocks it takes back: the last column is what wiping every freed block
# costs (Corvane.dll over the twin). Wipe/1MiB is one such wipe of a megabyte, for scale.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
native=$QM_BUILD/native/bench/pe/pe_engine_bench
windows=$QM_BUILD/win64/bench/pe_engine_bench.exe
twin=$QM_BUILD/win64/bench/Corvane-small-wipes.dll
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -subj /CN=bench -days 1 \
    -outform DER -out "$work/cert.der" 2>/dev/null || exit 1
for turn in 1 2 3; do
    "$native" "$work/cert.der" 3 >>"$work/native.txt" || exit 1
    # Both DLLs in one process, round by round in turns: the same load for each.
    "$QM_ROOT/scripts/winerun" "$windows" "$(winepath -w "$work/cert.der")" 3 \
        "$(winepath -w "$QM_BIN/Corvane.dll")" "$(winepath -w "$twin")" | tr -d '\r' \
        >>"$work/windows.txt" || exit 1
done
printf '%-20s %16s %16s %7s %16s %9s\n' operation "Corvane.dll (us)" "OpenSSL (us)" ratio \
    "small wipes (us)" "wipe cost"
awk 'FILENAME ~ /native/ { if (!($1 in n) || $2 < n[$1]) n[$1] = $2; next }
     $1 ~ /#1$/ { sub(/#1$/, "", $1); if (!($1 in t) || $2 < t[$1]) t[$1] = $2; next }
     { if (!($1 in w) || $2 < w[$1]) w[$1] = $2 }
     END { for (op in w) {
               twin = op in t ? sprintf("%16.1f %+8.1f%%", t[op], (w[op] / t[op] - 1) * 100) : ""
               printf "%-20s %16.1f %16.1f %7.2f %s%s\n", op, w[op], n[op], w[op] / n[op], twin,
                      (twin != "" && w[op] / n[op] > 1.2 ? "  (more than 20% slower than OpenSSL)" : "") } }' \
    "$work/native.txt" "$work/windows.txt" | sort
echo "(the fastest of 9 rounds each, taken in turns; Corvane.dll and its twin through Wine, in one"
echo " process, OpenSSL natively; wipe cost: Corvane.dll, which wipes every block it frees, over"
echo " the twin, which wipes small ones only; Wipe/1MiB has no twin: both wipe alike)"
