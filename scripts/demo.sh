#!/usr/bin/env bash
# The main job, end to end: a demo store, page-like scripts that drive Quillmark.dll the way a web
# page does (through cscript), and the server's side reading what the page sent.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
source "$QM_ROOT/scripts/build.sh"
source "$QM_ROOT/scripts/tests.sh"

algorithm=${QM_DEMO_ALGORITHM:-SEED}
work="$QM_BUILD/demo"
pki="$QUILLMARK_STORE/demo"
tool="$QM_BUILD/native/store/tool/ledra-tool"
server="$QM_BUILD/native/tools/quillmark-server"
password=demo1234

# Titles in bold on a terminal; plain text where the output is kept.
if [ -t 1 ]; then
    title() { printf '\n\033[1m%s\033[0m\n' "$*"; }
else
    title() { printf '\n%s\n' "$*"; }
fi

# Runs one page and prints what it showed; a page that reports a surprise fails the demo.
page() {
    local name=$1 out="$work/$1.txt"
    rm -f "$out"
    QM_DEMO_OUT=$(winepath -w "$out") qm_script "$QM_ROOT/examples/demo/$name.js" >"$work/$name.log" 2>&1 &&
        status=0 || status=$?
    [ -f "$out" ] && iconv -f UTF-16 -t UTF-8 "$out" | sed 's/\r$//'
    if [ "$status" -ne 0 ]; then
        if [ -s "$work/$name.log" ]; then
            echo "the page $name.js failed (exit $status); its console:" >&2
            cat "$work/$name.log" >&2
        else
            echo "the page $name.js failed (exit $status), and wrote nothing on its console" >&2
        fi
        return 1
    fi
}

mkdir -p "$work"
if [ ! -f "$pki/manifest" ]; then
    title "Making the demo store in $QUILLMARK_STORE"
    "$tool" demo
fi
qm_register

export QM_DEMO_PKI QM_DEMO_WORK QM_DEMO_PASSWORD QM_DEMO_ALGORITHM
QM_DEMO_PKI=$(winepath -w "$pki")
QM_DEMO_WORK=$(winepath -w "$work")
QM_DEMO_PASSWORD=$password
QM_DEMO_ALGORITHM=$algorithm

title "1. The page lists the user's certificates and gets one (Veyra)"
page directory

title "2. The page validates users' certificates (DSSession)"
page validate

title "3. The page seals a session key to the server and enciphers a sentence (SecureSession)"
page envelope

title "4. The server opens the sealed text with its private key and deciphers the sentence"
echo "   $ quillmark-server --key server.key --cert server.pem --algorithm $algorithm \\"
echo "         --sealed sealed.txt --cipher cipher.txt"
printf '   the server read: '
"$server" --key "$pki/server.key" --cert "$pki/server.pem" --algorithm "$algorithm" \
    --sealed "$work/sealed.txt" --cipher "$work/cipher.txt"

if [ -t 0 ] && [ -t 1 ] && [ -n "${DISPLAY:-}" ]; then
    title "5. The page lets you choose the recipient: a dialog opens on your display"
    page choose
else
    title "5. (The certificate selection dialog needs a display and a person: skipped.)"
fi

title "6. The same page in Chromium, through the Quillmark extension and the native host"
node "$QM_ROOT/examples/browser/demo.mjs" "$QM_BUILD/screenshots/browser-demo.png"

title "Done."
