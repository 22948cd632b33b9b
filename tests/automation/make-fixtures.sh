#!/usr/bin/env bash
# Certificates and keys for the automation tests, made with the OpenSSL command line:
#   ca.pem           a CA certificate
#   other-ca.pem     a second, unrelated CA
#   user.der         a user's certificate issued by ca.pem
#   user.key.p8      the user's key, encrypted PKCS#8 (DER) under the password "secret"
#   stranger.der     a certificate issued by other-ca.pem
#   stranger.key.p8  its key, encrypted PKCS#8 (DER) under "attacker": planted beside user.der, it
#                    is the key of a medium that pairs the victim's certificate with another's key
#   user.pem         user.der as PEM
#   user.key.der     the user's key, unencrypted PKCS#8 (DER): what user.key.p8 opens to
#   crl.pem          ca.pem's CRL, which lists user.der as revoked
#   *.der.sha1       the SHA-1 digest of user.der and of stranger.der, in Base64
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
ssl x509 -inform DER -in user.der -out user.pem
ssl pkcs8 -topk8 -nocrypt -in user.key -outform DER -out user.key.der
for der in user.der stranger.der; do
    openssl dgst -sha1 -binary "$der" | openssl base64 -A >"$der.sha1"
done
# The CA's own `openssl ca` database, which holds only the revocation.
rm -rf crl-db
mkdir crl-db
: >crl-db/index.txt
echo 01 >crl-db/crlnumber
cat >crl-db/ca.cnf <<'EOF'
[ ca ]
default_ca = authority
[ authority ]
database = crl-db/index.txt
crlnumber = crl-db/crlnumber
certificate = ca.pem
private_key = ca.key
default_md = sha256
default_crl_days = 3650
EOF
ssl ca -batch -config crl-db/ca.cnf -revoke user.pem
ssl ca -batch -config crl-db/ca.cnf -gencrl -out crl.pem
touch stamp
