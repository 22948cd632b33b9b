#!/usr/bin/env bash
# ./run script as the README tells a user to use it:
# - a script in UTF-8 (with or without a byte order mark), UTF-16 or code page 949 with a Korean
#   string literal runs, and sees the characters that its author wrote;
# - a script that does not parse, or stops with an error it does not catch, is told as
#   FILE:LINE: message, with the line, after what it printed, and exits 1; a script's own
#   WScript.Quit code is its exit status;
# - under a site lock, examples/page.js (the README's command) works, a call refused to an object
#   made with `new ActiveXObject` carries "Permission denied" and names the site lock, and left
#   uncaught it is told with the way out.
# Runs inside the site_settings fixture: it sets a lock of its own.
set -u
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$QM_ROOT/scripts/env.sh"
source "$QM_ROOT/scripts/site-settings.sh"
source "$QM_ROOT/scripts/tests.sh"
work=$(mktemp -d)
trap 'qm_site_settings_clear; rm -rf "$work"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

# Runs a script as ./run script does, its output (both streams) in $work/out, and checks its
# status and that the output holds each pattern.
expect() { # label expected-status file [grep pattern...]
    local label=$1 expected=$2 file=$3 status pattern
    shift 3
    status=$(qm_script "$file" >"$work/out" 2>&1 && echo 0 || echo $?)
    [ "$status" = "$expected" ] || fail "$label: exit $status, not $expected: $(cat "$work/out")"
    for pattern in "$@"; do
        grep -qF -- "$pattern" "$work/out" || fail "$label: no '$pattern' in: $(cat "$work/out")"
    done
}

echo "== a Korean literal in every encoding a script is written in"
# The script quits 0 only when it sees 한글 and, where the encoding can hold it, an emoji.
korean_js='var s = "한글 😀"; // 주석
WScript.Quit(s.charCodeAt(0) === 0xD55C && s.charCodeAt(1) === 0xAE00 && s.charCodeAt(3) === 0xD83D ? 0 : 7);'
printf '%s\n' "$korean_js" >"$work/utf8.js"
printf '\xEF\xBB\xBF%s\r\n' "$korean_js" >"$work/utf8-bom.js"
printf '%s\r\n' "$korean_js" | iconv -f UTF-8 -t UTF-16 >"$work/utf16.js"
printf '%s\n' 'var s = "한글"; WScript.Quit(s.charCodeAt(0) === 0xD55C && s.length === 2 ? 0 : 7);' |
    iconv -f UTF-8 -t CP949 >"$work/cp949.js"
printf '%s\n' 'If Len("한글") <> 2 Then WScript.Quit 7' 'WScript.Quit 0' >"$work/utf8.vbs"
for file in utf8.js utf8-bom.js utf16.js cp949.js utf8.vbs; do
    expect "$file" 0 "$work/$file"
done
[ -z "$(ls -A "$work" | grep 'utf8-copy')" ] || fail "a copy was left beside the script"

echo "== errors are told with the file, the line and the message, after the script's output"
printf '%s\n' '// 첫 줄: 한글 주석' 'WScript.Echo("before");' 'var x = ;' >"$work/syntax.js"
expect "a syntax error" 1 "$work/syntax.js" "syntax.js:3: Syntax error" "var x = ;"
printf '%s\n' 'WScript.Echo("before");' 'undefinedThing.call();' 'WScript.Echo("after");' >"$work/runtime.js"
expect "a runtime error" 1 "$work/runtime.js" "before" "runtime.js:2: " "undefinedThing.call();"
grep -q after "$work/out" && fail "the script went on after its error"
printf '%s\n' 'WScript.Echo("before");' 'throw new Error("너무 늦었다");' >"$work/thrown.js"
expect "a thrown error" 1 "$work/thrown.js" "thrown.js:2: 너무 늦었다"
printf '%s\n' 'WScript.Echo "before"' 'Dim x = ' >"$work/syntax.vbs"
expect "a VBScript syntax error" 1 "$work/syntax.vbs" "syntax.vbs:2: syntax error"
printf '%s\n' 'try { null.x(); } catch (e) { WScript.Echo("caught"); }' 'WScript.Quit(4);' >"$work/quits.js"
expect "a caught error and the script's own code" 4 "$work/quits.js" "caught"
grep -q 'quits.js:' "$work/out" && fail "a caught error was told as the script's: $(cat "$work/out")"

echo "== under a site lock: the README's example, and a refusal that says why"
wine reg add 'HKCU\SOFTWARE\TesselCorp\Oriel\Quillmark' /v SiteLock /t REG_DWORD /d 1 /f >/dev/null ||
    fail "could not set the lock"
output=$("$QM_ROOT/run" script "$QM_ROOT/examples/page.js" 2>&1) && status=0 || status=$?
[ "$status" = 0 ] && grep -q 'Base64Encode("abc") = YWJj' <<<"$output" ||
    fail "./run script examples/page.js under the lock: exit $status: $output"
cat >"$work/refused.js" <<'EOF'
var page = new ActiveXObject("Quillmark.SecureSession");
try {
    page.Base64Encode("abc");
    WScript.Echo("not refused");
} catch (e) {
    WScript.Echo("refused: " + (e.number >>> 0).toString(16) + " " + e.description);
}
page.Base64Encode("abc");
EOF
expect "a refused call" 1 "$work/refused.js" "refused: 80070005 Permission denied" "site lock" \
    "refused.js:8: Permission denied (0x80070005)" "WScript.CreateObject"

verdict "run script" "every encoding read, every error told, a refusal explained"
