#!/usr/bin/env bash
# Corvane.dll as it ships (the Windows build, under Wine) against the machine's own OpenSSL doing
# the same work, in turns, so that all meet the same load: SEED, ARIA and AES on 1 MiB and
# sealing to an RSA-2048 certificate. Prints the fastest figure of each, the processor time per
# call (what a loaded machine still measures fairly) and their ratios; the goal is the engine
# within 20% of OpenSSL. Beside them, Corvane-small-wipes.dll, a twin whose pool
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
printf '%-18s %12s %12s %6s %12s %12s %6s %12s %9s\n' operation "Corvane (us)" "OpenSSL (us)" \
    ratio "Corvane CPU" "OpenSSL CPU" ratio "small wipes" "wipe cost"
awk 'function keep(table, cpu, op, wall, used) {
         if (!(op in table) || wall < table[op]) table[op] = wall
         if (!(op in cpu) || used < cpu[op]) cpu[op] = used
     }
     FILENAME ~ /native/ { keep(n, nc, $1, $2, $3); next }
     $1 ~ /#1$/ { sub(/#1$/, "", $1); keep(t, tc, $1, $2, $3); next }
     { keep(w, wc, $1, $2, $3) }
     END { for (op in w) {
               twin = op in t ? sprintf("%12.1f %+8.1f%%", t[op], (w[op] / t[op] - 1) * 100) : ""
               slow = ""
               if (twin != "" && w[op] / n[op] > 1.2) slow = "wall"
               if (twin != "" && wc[op] / nc[op] > 1.2)
                   slow = slow (slow != "" ? " and " : "") "processor"
               printf "%-18s %12.1f %12.1f %6.2f %12.1f %12.1f %6.2f %s%s\n", op, w[op], n[op],
                      w[op] / n[op], wc[op], nc[op], wc[op] / nc[op], twin,
                      (slow != "" ? "  (" slow " more than 20% slower than OpenSSL)" : "") } }' \
    "$work/native.txt" "$work/windows.txt" | sort
echo "(wall: the fastest of 9 rounds each, taken in turns; CPU: the processor time per call over"
echo " the rounds, which other programs' load changes far less; Corvane.dll and its twin through"
echo " Wine, in one process, OpenSSL natively; wipe cost: Corvane.dll, which wipes every block it"
echo " frees, over the twin, which wipes small ones only; Wipe/1MiB has no twin: both wipe alike)"
