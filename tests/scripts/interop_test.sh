#!/usr/bin/env bash
# Pages and the OpenSSL command line, which no one here wrote, read each other's output:
#   - a sealed text made by a page opens with `openssl cms -decrypt`, and the page's ciphertext
#     deciphers with `openssl enc -d`, for every algorithm a page can use;
#   - text that `openssl enc` wrote under the stored key deciphers in a page (another process);
#   - the PEM that getCert hands out is exactly the stored certificate;
#   - GeneralValidation agrees with `openssl verify` on every user of the demo store.
#   interop_test.sh STORE-DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../../scripts/env.sh"
export QUILLMARK_STORE=$1
pki=$QUILLMARK_STORE/demo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QM_TEST_WORK QM_TEST_PKI
QM_TEST_WORK=$(winepath -w "$work")
QM_TEST_PKI=$(winepath -w "$pki")
text=$(printf '서버로 보내는 문장 - interop' | iconv -f UTF-8 -t CP949 | xxd -p | tr -d '\n')
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
page() {
    bash "$here/run-cscript.sh" "$here/interop_page.js" "$@" | tr -d '\r' | tee "$work/page.log" |
        grep -v '^00$'
    grep -q '^PASS: ' "$work/page.log"
}
legacy="-provider legacy -provider default"

# The engine's table of ciphers, one row a line: name, OpenSSL's cipher, key and IV lengths. The
# rows whose key and IV fit in the session's random bytes are those a page can envelope with.
table=$here/../../platform/ciphers.h
material_bytes=$(sed -n 's/.*kSessionKeyMaterialBytes = \([0-9]*\);.*/\1/p' "$table")
mapfile -t ciphers < <(grep -oE '\{ *[0-9]+, *"[^"]+", *"[^"]+", *[0-9]+, *[0-9]+ *\}' "$table" |
    tr -d '{},"')
[ ${#ciphers[@]} -gt 0 ] && [ -n "$material_bytes" ] || fail "no cipher read from $table"
for row in "${ciphers[@]}"; do
    read -r _ algorithm cipher keyLength ivLength <<<"$row"
    cipher=${cipher,,}
    [ $((keyLength + ivLength)) -le "$material_bytes" ] || continue
    page seal "$algorithm" || fail "$algorithm: the page could not seal"
    material=$(base64 -d "$work/sealed.txt" |
        openssl cms -decrypt -inform DER -inkey "$pki/server.key" 2>/dev/null | xxd -p | tr -d '\n')
    # The sealed content is the key followed by the IV, nothing more.
    [ ${#material} -eq $(((keyLength + ivLength) * 2)) ] ||
        fail "$algorithm: openssl cms could not open the sealed text"
    key=${material:0:$((keyLength * 2))}
    iv=${material:$((keyLength * 2)):$((ivLength * 2))}
    plain=$(base64 -d "$work/cipher.txt" | openssl enc -d -"$cipher" $legacy -K "$key" -iv "$iv" 2>/dev/null |
        xxd -p | tr -d '\n')
    [ "$plain" = "$text" ] || fail "$algorithm: openssl enc -d did not give the page's text"

    # The other way: openssl enciphers, a page in another process deciphers with the stored key.
    printf '%s' "$text" | xxd -r -p | openssl enc -"$cipher" $legacy -K "$key" -iv "$iv" |
        base64 -w0 >"$work/openssl.txt"
    page decipher openssl.txt || fail "$algorithm: a page could not decipher openssl's text"
    echo "$algorithm: sealed text, ciphertext and openssl's ciphertext all read by the other side"
done

page users || fail "the page could not list, get and validate the users"
count=0
for pem in "$work"/user*.pem; do
    [ -s "$pem" ] || continue
    count=$((count + 1))
    result=$(tr -d '\r\n' <"${pem%.pem}.txt")
    fingerprint=$(openssl x509 -in "$pem" -outform DER | sha256sum | cut -d' ' -f1)
    stored="$QUILLMARK_STORE/medium0/$fingerprint/cert.der"
    if [ ! -f "$stored" ] || ! cmp -s <(openssl x509 -in "$pem" -outform DER) "$stored"; then
        fail "$(basename "$pem"): getCert's PEM is not the stored certificate"
    fi
    # Each of the page's three results (CA only; with the CRL; with the CRL and the ARL) against
    # openssl verify with the same inputs.
    read -r plainResult crlResult allResult <<<"$result"
    expect() { openssl verify "$@" -CAfile "$pki/ca-bundle.pem" "$pem" >/dev/null 2>&1 && echo 0 || echo -198148077; }
    [ "$plainResult" = "$(expect)" ] || fail "$(basename "$pem"): CA only: page $plainResult"
    [ "$crlResult" = "$(expect -crl_check -CRLfile "$pki/crl.pem")" ] ||
        fail "$(basename "$pem"): with the CRL: page $crlResult"
    cat "$pki/crl.pem" "$pki/arl.pem" >"$work/crl-arl.pem"
    [ "$allResult" = "$(expect -crl_check_all -CRLfile "$work/crl-arl.pem")" ] ||
        fail "$(basename "$pem"): with the CRL and the ARL: page $allResult"
done
[ "$count" -ge 6 ] || fail "only $count users checked"
echo "users: $count certificates equal to the store's and validated as openssl verify does"

verdict "interop_test.sh" "the pages, the certificates and the store agree with openssl"
