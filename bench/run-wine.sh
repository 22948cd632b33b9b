#!/usr/bin/env bash
# The benchmarks that run under Wine (called by ./run bench, inside a display, DLLs registered).
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$QM_ROOT/scripts/env.sh"
echo "==> dispatch (JScript, late-bound calls)"
"$QM_ROOT/scripts/winerun" cscript //nologo "$(winepath -w "$QM_ROOT/bench/dispatch/dispatch.js")" "$@"

echo "==> enveloping through dispatch against the engine alone"
store="$QM_BUILD/store"
[ -f "$store/demo/manifest" ] || "$QM_BUILD/native/store/tool/ledra-tool" --store "$store" demo >/dev/null
openssl x509 -in "$store/demo/server.pem" -outform DER -out "$QM_BUILD/bench-server.der"
QUILLMARK_STORE=$store "$QM_ROOT/scripts/winerun" "$QM_BUILD/win64/bench/enveloping_bench.exe" \
    "cn=Quillmark Demo Server,ou=Servers,o=Quillmark Demo,c=KR" \
    "$(winepath -w "$QM_BUILD/bench-server.der")" | tr -d '\r' | grep -v '^00$'

echo "==> Corvane.dll (Windows build) against the machine's OpenSSL"
"$QM_ROOT/bench/engine/compare-pe.sh"

echo "==> a page in Chromium through the extension and the native host (first call, warm calls)"
node "$QM_ROOT/bench/browser/browser_bench.mjs"
