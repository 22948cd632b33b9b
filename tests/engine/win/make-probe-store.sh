#!/usr/bin/env bash
# The keys and the store that freed_secrets_test looks for in freed memory, made with the OpenSSL
# command line and the store's tool: make-probe-store.sh DIR LEDRA-TOOL
#   user-key.der     the user's private key in the clear (PKCS#8 DER), which getCert unlocks
#   server-rsa.pem   recipients for GenerateEx: an RSA-2048 and a P-256 certificate
#   server-ec.pem
#   store/           a store whose medium 0 holds the user, the key encrypted under "probe-pass"
set -euo pipefail
dir=$1
tool=$2
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
ssl() { openssl "$@" 2>/dev/null; }
ssl req -x509 -newkey rsa:2048 -nodes -keyout user.key -out user.pem -days 30 \
    -subj "/CN=Probe User/O=Quillmark"
ssl pkcs8 -topk8 -nocrypt -in user.key -outform DER -out user-key.der
ssl req -x509 -newkey rsa:2048 -nodes -keyout server-rsa.key -out server-rsa.pem -days 30 \
    -subj "/CN=Probe RSA Server"
ssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server-ec.key \
    -out server-ec.pem -days 30 -subj "/CN=Probe EC Server"
"$tool" --store "$dir/store" init >/dev/null
"$tool" --store "$dir/store" import-user --cert user.pem --key user.key \
    --new-pass pass:probe-pass >/dev/null
rm -f user.key server-rsa.key server-ec.key
