#!/usr/bin/env bash
# The benchmarks that run under Wine (called by ./run bench, inside a display, DLLs registered).
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$QM_ROOT/scripts/env.sh"
echo "==> dispatch (JScript, late-bound calls)"
"$QM_ROOT/scripts/winerun" cscript //nologo "$(winepath -w "$QM_ROOT/bench/dispatch/dispatch.js")" "$@"
