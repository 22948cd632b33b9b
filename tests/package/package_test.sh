#!/usr/bin/env bash
# The package a site publishes, made from the builds and installed for real in the Wine prefix:
#   package_test.sh
# - the cabinet holds exactly the installer script and both builds, where the script names them;
# - the signatures of the cabinet and of both DLLs verify against the test CA and no other, and
#   one changed byte breaks the cabinet's; an unsigned package says so and carries none;
# - the INF, the page and both DLLs' version information name one version;
# - the system's installer (advpack) installs from the extracted INF, examples/page.js passes
#   against the installed copy with the engine and the store beside it, installing again leaves
#   HKCR as the first install left it, and uninstalling leaves HKCR as it was before, with the
#   package's files and the uninstall entry gone but the engine and the store kept.
# Needs the i686 build (./run test and ./run package make it). The build's Quillmark.dll is
# registered again at the end, whatever happened.
set -u
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$QM_ROOT/scripts/env.sh"
source "$QM_ROOT/scripts/package.sh"
work=$(mktemp -d)
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

CLASSES=(
    "SecureSession {1BC0F715-34E2-4C99-A6EF-CDBC7508374A}"
    "Veyra {99773079-BE72-4E09-A1E6-2AF633102C93}"
    "DSSession {150DC113-F10D-42A1-9B03-AA4D7A166950}"
)
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillmark'
installed=$WINEPREFIX/drive_c/Program\ Files/Quillmark
dll=$QM_BIN/Quillmark.dll
inf=$work/cab/Quillmark.inf

quiet() { # Windows program and arguments: no display, so that no dialog can wait for a person
    DISPLAY= qm_wine "$@"
}

advpack() { # section of the extracted INF
    quiet rundll32 advpack.dll,LaunchINFSection "$(winepath -w "$inf")",$1
}

snapshot() { # file
    quiet reg export HKCR "$(winepath -w "$1")" /y >/dev/null 2>&1 || fail "reg export failed"
}

same_registry() { # label before-file after-file
    cmp -s "$2" "$3" && return 0
    fail "$1: $(diff <(iconv -f utf-16 -t utf-8 "$2") <(iconv -f utf-16 -t utf-8 "$3") | head -6)"
}

value_of() { # key [value name]: the data of a registry value, or nothing
    local args=(/ve)
    [ $# -ge 2 ] && args=(/v "$2")
    quiet reg query "$1" "${args[@]}" 2>/dev/null | tr -d '\r' |
        awk -F'    ' 'NF >= 4 { data = $4; for (i = 5; i <= NF; i++) data = data FS $i; print data }'
}

restore() {
    if [ -d "$installed" ] && [ -f "$inf" ]; then
        advpack DefaultUninstall
    fi
    rm -rf "$installed" "$WINEPREFIX/drive_c/windows/inf/Quillmark.inf"
    quiet reg delete "$UNINSTALL" /f >/dev/null 2>&1
    quiet regsvr32 /s "$(winepath -w "$dll")" || echo "FAIL: could not register the build again"
    rm -rf "$work"
}
trap restore EXIT

echo "== packaging, unsigned and signed with a test certificate"
qm_package --out "$work/unsigned" >"$work/unsigned.log" 2>&1 ||
    fail "the unsigned package failed: $(cat "$work/unsigned.log")"
grep -q 'NOT SIGNED' "$work/unsigned.log" || fail "an unsigned package does not say so"
osslsigncode verify -in "$work/unsigned/Quillmark.cab" >/dev/null 2>&1 &&
    fail "the unsigned cabinet carries a signature"
qm_package --out "$work/dist" --test-cert >"$work/signed.log" 2>&1 ||
    fail "the signed package failed: $(cat "$work/signed.log")"
cat "$work/signed.log"
dist=$work/dist
ca=$dist/TEST-ONLY-codesign-ca.crt

echo "== signing with a password-protected PKCS#12 file"
export QM_TEST_P12_PASS='pass phrase, with spaces'
openssl pkcs12 -in "$dist/TEST-ONLY-codesign.p12" -passin pass: -nodes -out "$work/signer.pem" &&
    openssl pkcs12 -export -in "$work/signer.pem" -passout env:QM_TEST_P12_PASS -out "$work/protected.p12" ||
    fail "could not make a password-protected PKCS#12 file"
qm_package --out "$work/protected" --sign "$work/protected.p12" --pass env:QM_TEST_P12_PASS \
    >"$work/protected.log" 2>&1 || fail "signing with --pass failed: $(cat "$work/protected.log")"
osslsigncode verify -CAfile "$ca" -in "$work/protected/Quillmark.cab" >/dev/null 2>&1 ||
    fail "the cabinet signed with --pass does not verify"
grep -qF "$QM_TEST_P12_PASS" "$work/protected.log" && fail "the password was written out"
QM_TEST_P12_PASS=wrong qm_package --out "$work/protected" --sign "$work/protected.p12" \
    --pass env:QM_TEST_P12_PASS >/dev/null 2>&1 && fail "a wrong password signed the package"
[ -e "$work/protected/Quillmark.cab" ] && fail "a failed signing left a cabinet behind"

echo "== the cabinet's files"
listed=$(cabextract -l "$dist/Quillmark.cab" 2>/dev/null | awk -F' [|] ' 'NF == 3 && $3 != "Name" { print $3 }' | sort)
expected=$(printf '%s\n' Quillmark.dll Quillmark.inf amd64/Quillmark.dll)
[ "$listed" = "$expected" ] || fail "the cabinet lists '$(echo $listed)', not '$(echo $expected)'"
cabextract -q -d "$work/cab" "$dist/Quillmark.cab" 2>/dev/null || fail "cabextract could not extract"
cmp -s "$inf" "$dist/Quillmark.inf" || fail "dist/Quillmark.inf is not the cabinet's"
for entry in "Quillmark.dll i386" "amd64/Quillmark.dll x86_64"; do
    read -r file machine <<<"$entry"
    perl "$QM_ROOT/scripts/pe-version.pl" "$work/cab/$file" >"$work/$machine.version" ||
        fail "$file has no version information"
    grep -qx "Machine=$machine" "$work/$machine.version" || fail "$file is not the $machine build"
done

echo "== signatures"
qm_package_test_cert "$work" >/dev/null && mv "$work/TEST-ONLY-codesign-ca.crt" "$work/other-ca.crt"
for file in "$dist/Quillmark.cab" "$work/cab/Quillmark.dll" "$work/cab/amd64/Quillmark.dll"; do
    name=${file#"$work"/}
    osslsigncode verify -CAfile "$ca" -in "$file" >"$work/verify.log" 2>&1 &&
        grep -q 'Signature verification: ok' "$work/verify.log" ||
        fail "$name does not verify against the test CA: $(tail -3 "$work/verify.log")"
    osslsigncode verify -CAfile "$work/other-ca.crt" -in "$file" >/dev/null 2>&1 &&
        fail "$name verifies against a CA that did not sign it"
done
cp "$dist/Quillmark.cab" "$work/changed.cab"
size=$(stat -c %s "$work/changed.cab")
byte=$(od -An -tu1 -j $((size / 2)) -N1 "$work/changed.cab" | tr -d ' ')
printf "\\$(printf '%03o' $(((byte + 1) % 256)))" |
    dd of="$work/changed.cab" bs=1 seek=$((size / 2)) conv=notrunc status=none
osslsigncode verify -CAfile "$ca" -in "$work/changed.cab" >/dev/null 2>&1 &&
    fail "the cabinet still verifies after one byte of it changed"
osslsigncode verify -CAfile "$ca" -in "$dist/Quillmark.cab" 2>/dev/null | grep -E 'Signature verification|Number of verified'

echo "== one version: the INF, the page and both DLLs"
version=$(sed -n 's/^FileVersion=//p' "$inf" | tr -d '\r')
[[ $version =~ ^[0-9]+,[0-9]+,[0-9]+,[0-9]+$ ]] || fail "the INF's FileVersion is '$version'"
mapfile -t codebases < <(grep -o 'codebase="[^"]*"' "$dist/page.html")
[ ${#codebases[@]} -eq 3 ] || fail "the page has ${#codebases[@]} codebases, not one for each class"
for codebase in "${codebases[@]}"; do
    [ "$codebase" = "codebase=\"Quillmark.cab#version=$version\"" ] ||
        fail "the page's $codebase does not name the cabinet at version $version"
done
for machine in i386 x86_64; do
    while IFS='=' read -r name value; do
        case "$name" in
        FILEVERSION | PRODUCTVERSION) value=$(tr . , <<<"$value") ;;
        FileVersion | ProductVersion) value=${value// /} ;;
        *) continue ;;
        esac
        [ "$value" = "$version" ] || fail "the $machine DLL's $name is '$value', the INF's '$version'"
    done <"$work/$machine.version"
done
echo "version $version in the INF, the page's three codebases and both DLLs"

echo "== installing with advpack"
quiet regsvr32 /s /u "$(winepath -w "$dll")" || fail "could not unregister the build"
snapshot "$work/before.reg"
[ -z "$(value_of "$UNINSTALL" DisplayName)" ] || fail "an uninstall entry is there before installing"
advpack DefaultInstall
# The site's engine and store, installed beside the module as a user's machine may have them.
cp "$QM_BIN/Corvane.dll" "$QM_BIN/Ledra.dll" "$installed/" || fail "no installation folder"
cmp -s "$installed/Quillmark.dll" "$work/cab/amd64/Quillmark.dll" ||
    fail "the installed Quillmark.dll is not the cabinet's x86_64 build"
cmp -s "$WINEPREFIX/drive_c/windows/inf/Quillmark.inf" "$inf" || fail "the INF was not kept for uninstalling"
for entry in "${CLASSES[@]}"; do
    read -r name clsid <<<"$entry"
    server=$(value_of "HKCR\\CLSID\\$clsid\\InprocServer32")
    [ "$(realpath "$(winepath -u "$server" 2>/dev/null)" 2>/dev/null)" = "$(realpath "$installed/Quillmark.dll")" ] ||
        fail "$name is served by '$server', not by the installed copy"
    [ "$(value_of "HKCR\\CLSID\\$clsid\\ProgID")" = "Quillmark.$name.1" ] ||
        fail "$clsid is not Quillmark.$name.1"
    grep -q "classid=\"clsid:${clsid:1:36}\"" "$dist/page.html" || fail "the page has no <object> for $name"
done
grep -qx "clsid=${CLASSES[0]#* }"$'\r' "$inf" || fail "the INF's code download names another class"
[ "$(value_of "$UNINSTALL" DisplayVersion)" = "${version//,/.}" ] || fail "the uninstall entry has another version"
[ "$(value_of "$UNINSTALL" UninstallString)" = \
    'rundll32.exe advpack.dll,LaunchINFSection C:\windows\inf\Quillmark.inf,DefaultUninstall' ] ||
    fail "the uninstall entry's command is '$(value_of "$UNINSTALL" UninstallString)'"
quiet cscript //nologo "$(winepath -w "$QM_ROOT/examples/page.js")" >"$work/page.log" 2>&1
rc=$?
tr -d '\r' <"$work/page.log"
[ $rc -eq 0 ] && grep -q 'Base64Encode("abc") = YWJj' "$work/page.log" ||
    fail "examples/page.js failed against the installed copy ($rc)"
snapshot "$work/installed.reg"

echo "== installing again over the installed copy"
advpack DefaultInstall
snapshot "$work/reinstalled.reg"
same_registry "a second install changed HKCR" "$work/installed.reg" "$work/reinstalled.reg"
cmp -s "$installed/Quillmark.dll" "$work/cab/amd64/Quillmark.dll" || fail "a second install lost the module"

echo "== uninstalling with advpack"
advpack DefaultUninstall
snapshot "$work/after.reg"
same_registry "HKCR differs from before the install" "$work/before.reg" "$work/after.reg"
# The folder stays while it holds what the package did not put there, and only that.
[ "$(ls -A "$installed" 2>/dev/null | sort | tr '\n' ' ')" = "Corvane.dll Ledra.dll " ] ||
    fail "the installation folder holds '$(ls -A "$installed" 2>/dev/null | tr '\n' ' ')', not the engine and store alone"
rm -f "$installed/Corvane.dll" "$installed/Ledra.dll"
rmdir "$installed" 2>/dev/null
[ -e "$WINEPREFIX/drive_c/windows/inf/Quillmark.inf" ] && fail "the kept INF is still there"
[ -z "$(value_of "$UNINSTALL" DisplayName)" ] || fail "the uninstall entry is still there"

if [ "$failures" -ne 0 ]; then
    echo "FAIL: package: $failures failure(s)"
    exit 1
fi
echo "PASS: package: built, signed, verified, installed, used, reinstalled and uninstalled"
