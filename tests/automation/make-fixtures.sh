#!/usr/bin/env bash
# Certificates and keys for the automation tests, made with the OpenSSL command line:
#   ca.pem           a CA certificate
#   other-ca.pem     a second, unrelated CA
#   user.der         a user's certificate issued by ca.pem
#   user.key.p8      the user's key, encrypted PKCS#8 (DER) under the password "secret"
#   stranger.der     a certificate issued by other-ca.pem
#   stranger.key.p8  its key, encrypted PKCS#8 (DER) under "attacker": planted beside user.der, it
#                    is the key of a medium that pairs the victim's certificate with another's key
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
ssl() { openssl "$@" 2>/dev/null; }
ssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -subj "/CN=Test CA/O=Quillmark"
ssl req -x509 -newkey rsa:2048 -nodes -keyout other-ca.key -out other-ca.pem -days 3650 -subj "/CN=Other CA/O=Elsewhere"
ssl req -newkey rsa:2048 -nodes -keyout user.key -out user.csr -subj "/CN=Hong/OU=x/O=Quillmark"
ssl x509 -req -in user.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 365 -outform DER -out user.der
ssl pkcs8 -topk8 -in user.key -v2 aes-256-cbc -passout pass:secret -outform DER -out user.key.p8
ssl req -newkey rsa:2048 -nodes -keyout stranger.key -out stranger.csr -subj "/CN=Stranger"
ssl x509 -req -in stranger.csr -CA other-ca.pem -CAkey other-ca.key -CAcreateserial -days 365 -outform DER -out stranger.der
ssl pkcs8 -topk8 -in stranger.key -v2 aes-256-cbc -passout pass:attacker -outform DER -out stranger.key.p8
touch stamp
