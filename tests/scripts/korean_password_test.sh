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
encrypt() { # name, password file, openssl pkcs8 options...
    local name=$1 pass=$2
    shift 2
    ssl pkcs8 -topk8 -in "$work/$name.key" -passout "file:$work/$pass" "$@" \
        -out "$work/$name.p8" || fail "$name: openssl pkcs8 could not encrypt the key"
}

user new-pass
store "--new-pass" "$tool" import-user --cert "$work/new-pass.pem" --key "$work/new-pass.key" \
    --new-pass "pass:$password"

for entry in aes:aes-256-cbc seed:seed-cbc; do
    name=utf8-${entry%%:*}
    user "$name"
    encrypt "$name" utf8.txt -v2 "${entry#*:}"
    store "--key-pass, $name" "$tool" import-user --cert "$work/$name.pem" --key "$work/$name.p8" \
        --key-pass "pass:$password"
done

user cp949-aes
encrypt cp949-aes cp949.txt -v2 aes-256-cbc
"$tool" import-user --cert "$work/cp949-aes.pem" --key "$work/cp949-aes.p8" \
    --key-pass "pass:비밀번호1235" >/dev/null 2>&1 && fail "the tool took a wrong --key-pass"
store "--key-pass, cp949-aes" "$tool" import-user --cert "$work/cp949-aes.pem" \
    --key "$work/cp949-aes.p8" --key-pass "pass:$password"

user p12
ssl pkcs12 -export -inkey "$work/p12.key" -in "$work/p12.pem" -passout "pass:$password" \
    -out "$work/p12.p12" || fail "openssl pkcs12 could not make the file"
store "import-p12" "$tool" import-p12 --p12 "$work/p12.p12" --p12-pass "pass:$password" \
    --new-pass "pass:$password"

# The Windows tool, as installed beside Quillmark.dll: a plain key, and a key under the CP949
# bytes that it checks with the converse of the page's conversion.
winstore=$(winepath -w "$QUILLMARK_STORE")
user windows-new-pass
store "ledra-tool.exe --new-pass" qm_wine "$wintool" --store "$winstore" import-user \
    --cert "$(winepath -w "$work/windows-new-pass.pem")" \
    --key "$(winepath -w "$work/windows-new-pass.key")" --new-pass "pass:$password"
user windows-cp949
encrypt windows-cp949 cp949.txt -v2 seed-cbc
qm_wine "$wintool" --store "$winstore" import-user \
    --cert "$(winepath -w "$work/windows-cp949.pem")" \
    --key "$(winepath -w "$work/windows-cp949.p8")" --key-pass "pass:비밀번호1235" \
    >/dev/null 2>&1 && fail "ledra-tool.exe took a wrong --key-pass"
store "ledra-tool.exe --key-pass, windows-cp949" qm_wine "$wintool" --store "$winstore" \
    import-user --cert "$(winepath -w "$work/windows-cp949.pem")" \
    --key "$(winepath -w "$work/windows-cp949.p8")" --key-pass "pass:$password"
# The password from the environment, which Windows holds in UTF-16: the tool reads it as UTF-8.
user windows-env
encrypt windows-env utf8.txt -v2 aes-256-cbc
export QM_TEST_KEY_PASS=$password
store "ledra-tool.exe --key-pass env:" qm_wine "$wintool" --store "$winstore" import-user \
    --cert "$(winepath -w "$work/windows-env.pem")" \
    --key "$(winepath -w "$work/windows-env.p8")" --key-pass env:QM_TEST_KEY_PASS
unset QM_TEST_KEY_PASS

output=$(bash "$here/run-cscript.sh" "$here/korean_password_page.js" "$users" | tr -d '\r')
printf '%s\n' "$output"
grep -q '^PASS: ' <<<"$output" || fail "the page could not open every key"

verdict "korean_password_test.sh" "$users keys opened by a page"
