#!/usr/bin/env bash
# A key under the Korean password "비밀번호1234" opens in a page however it reached the store:
#   - a plain key encrypted by `ledra-tool --new-pass` (native, and the Windows ledra-tool.exe);
#   - a key opened by ledra-tool.exe with a --key-pass from the environment (UTF-16 there);
#   - keys that `openssl pkcs8` encrypted under the password's UTF-8 bytes (SEED and AES, PBES2)
#     and under its CP949 bytes, as software on Korean Windows writes them, kept as they are
#     after `--key-pass` (given in UTF-8) has opened them;
#   - the key of a PKCS#12 file, encrypted under --new-pass.
# The page (korean_password_page.js) calls getCert with the password and with a wrong one for
# every user. The tool refuses a wrong --key-pass whichever spelling the key is under.
#   korean_password_test.sh STORE-DIR NATIVE-LEDRA-TOOL
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../../scripts/env.sh"
export QUILLMARK_STORE=$1
tool=$2
wintool=$QM_BIN/ledra-tool.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
ssl() { openssl "$@" -provider legacy -provider default 2>/dev/null; }
password='비밀번호1234'
printf '%s\n' "$password" | iconv -f UTF-8 -t CP949 >"$work/cp949.txt"
printf '%s\n' "$password" >"$work/utf8.txt"

rm -rf "$QUILLMARK_STORE"
"$tool" --store "$QUILLMARK_STORE" init >/dev/null || fail "cannot make the store"
users=0
# A user's certificate and plain key: NAME.pem, NAME.key.
user() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
        -subj "/CN=Korean Password $1/O=Quillmark Test" -keyout "$work/$1.key" \
        -out "$work/$1.pem" 2>/dev/null || fail "$1: openssl could not make the user"
    users=$((users + 1))
}
store() { # what, tool arguments...
    local what=$1
    shift
    "$@" >"$work/tool.log" 2>&1 || fail "$what: the tool refused it: $(tail -2 "$work/tool.log")"
}
# A user's certificate and the key in FILE, imported by the native tool or by ledra-tool.exe (the
# Windows tool, as installed beside Quillmark.dll); BY names each in a failure.
native() { # name file tool-arguments...
    "$tool" import-user --cert "$work/$1.pem" --key "$work/$2" "${@:3}"
}
windows() { # name file tool-arguments...
    qm_wine "$wintool" --store "$winstore" import-user --cert "$(winepath -w "$work/$1.pem")" \
        --key "$(winepath -w "$work/$2")" "${@:3}"
}
declare -A BY=([native]="" [windows]="ledra-tool.exe ")
winstore=$(winepath -w "$QUILLMARK_STORE")

# A user, the tool that stores its key and, for a key that `openssl pkcs8 -v2` encrypted, the file
# of the password's bytes and the cipher. "wrong": a wrong --key-pass is refused first (the
# Windows tool checks CP949 bytes with the converse of the page's conversion); "env": the password
# comes from the environment, which Windows holds in UTF-16: the tool reads it as UTF-8.
KEYS=(
    "new-pass native"
    "utf8-aes native utf8.txt aes-256-cbc"
    "utf8-seed native utf8.txt seed-cbc"
    "cp949-aes native cp949.txt aes-256-cbc wrong"
    "windows-new-pass windows"
    "windows-cp949 windows cp949.txt seed-cbc wrong"
    "windows-env windows utf8.txt aes-256-cbc env"
)
for row in "${KEYS[@]}"; do
    read -r name by pass cipher how <<<"$row"
    user "$name"
    if [ -z "$pass" ]; then
        store "${BY[$by]}--new-pass" "$by" "$name" "$name.key" --new-pass "pass:$password"
        continue
    fi
    ssl pkcs8 -topk8 -in "$work/$name.key" -passout "file:$work/$pass" -v2 "$cipher" \
        -out "$work/$name.p8" || fail "$name: openssl pkcs8 could not encrypt the key"
    if [ "$how" = wrong ]; then
        "$by" "$name" "$name.p8" --key-pass "pass:비밀번호1235" >/dev/null 2>&1 &&
            fail "${BY[$by]:-the tool }took a wrong --key-pass"
    fi
    if [ "$how" = env ]; then
        export QM_TEST_KEY_PASS=$password
        store "${BY[$by]}--key-pass env:" "$by" "$name" "$name.p8" --key-pass env:QM_TEST_KEY_PASS
        unset QM_TEST_KEY_PASS
    else
        store "${BY[$by]}--key-pass, $name" "$by" "$name" "$name.p8" --key-pass "pass:$password"
    fi
done

user p12
ssl pkcs12 -export -inkey "$work/p12.key" -in "$work/p12.pem" -passout "pass:$password" \
    -out "$work/p12.p12" || fail "openssl pkcs12 could not make the file"
store "import-p12" "$tool" import-p12 --p12 "$work/p12.p12" --p12-pass "pass:$password" \
    --new-pass "pass:$password"

output=$(bash "$here/run-cscript.sh" "$here/korean_password_page.js" "$users" | tr -d '\r')
printf '%s\n' "$output"
grep -q '^PASS: ' <<<"$output" || fail "the page could not open every key"

verdict "korean_password_test.sh" "$users keys opened by a page"
