#!/usr/bin/env bash
# The benchmarks that run under Wine (called by ./run bench, inside a display, DLLs registered):
#   run-wine.sh [dispatch|enveloping_bench|compare-pe|browser [ARGS...]]
# all four, or the one named with its arguments (dispatch: the number of calls). The site lock's
# benchmark writes its settings in the prefix: the user's own are kept aside meanwhile and put back
# however the run ends.
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$QM_ROOT/scripts/env.sh"
source "$QM_ROOT/scripts/site-settings.sh"

if [ "${QM_SITE_SETTINGS_KEPT:-0}" != 1 ]; then
    qm_keeping_site_settings "$0" "$@"
    exit
fi

only=${1:-}
[ $# -gt 0 ] && shift
failed=0

if [ -z "$only" ] || [ "$only" = dispatch ]; then
    echo "==> dispatch (JScript, late-bound calls)"
    "$QM_ROOT/scripts/winerun" cscript //nologo "$(winepath -w "$QM_ROOT/bench/dispatch/dispatch.js")" "$@" ||
        failed=1
fi

if [ -z "$only" ] || [ "$only" = enveloping_bench ]; then
    echo "==> enveloping through dispatch against the engine alone"
    store="$QM_BUILD/store"
    [ -f "$store/demo/manifest" ] || "$QM_BUILD/native/store/tool/ledra-tool" --store "$store" demo >/dev/null
    openssl x509 -in "$store/demo/server.pem" -outform DER -out "$QM_BUILD/bench-server.der"
    QUILLMARK_STORE=$store "$QM_ROOT/scripts/winerun" "$QM_BUILD/win64/bench/enveloping_bench.exe" \
        "cn=Quillmark Demo Server,ou=Servers,o=Quillmark Demo,c=KR" \
        "$(winepath -w "$QM_BUILD/bench-server.der")" "$@" | tr -d '\r' | grep -v '^00$'
    [ "${PIPESTATUS[0]}" = 0 ] || failed=1
fi

if [ -z "$only" ] || [ "$only" = compare-pe ]; then
    echo "==> Corvane.dll (Windows build) against the machine's OpenSSL"
    "$QM_ROOT/bench/engine/compare-pe.sh" "$@" || failed=1
fi

if [ -z "$only" ] || [ "$only" = browser ]; then
    echo "==> a page in Chromium through the extension and the native host (first call, warm calls)"
    node "$QM_ROOT/bench/browser/browser_bench.mjs" "$@" || failed=1
fi
exit $failed
