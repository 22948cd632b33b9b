#!/usr/bin/env bash
# The package a site publishes, made from the builds and installed for real in a fresh Wine prefix,
# as on a user's machine that has never seen Quillmark:
#   package_test.sh
# - the cabinet holds exactly the installer script and both builds of the module, the engine, the
#   store and its tool, where the script names them; --without-engine holds the module alone;
# - every program file is a genuine Windows binary of its architecture that imports system DLLs
#   only, and the engine exports by ordinal alone;
# - the signatures of the cabinet and of every program file verify against the test CA and no
#   other, and one changed byte breaks the cabinet's; an unsigned package says so and carries
#   none; a failed signing leaves the previous package as it was;
# - the INF, the page and every program file name one version;
# - in a fresh prefix, with nothing on WINEDLLPATH and nothing in system32: the system's installer
#   (advpack) installs from the extracted INF, the installed ledra-tool.exe fills the store, the
#   demo's pages do the whole exchange against the installed copy and quillmark-server reads what
#   they sent; installing again leaves HKCR as the first install left it; uninstalling leaves HKCR
#   as it was before and removes every installed file;
# - the native messaging host is installed with its manifests, registered for the machine in the keys
#   of Chrome, Edge and Firefox, serves the installed module when started as a browser starts it,
#   and is unregistered by the uninstall; dist/browser holds the extension, its ID and its zip;
# - the module-only package installs the module alone and leaves a site's own files on uninstall;
# - in the project's own prefix, the README's install and uninstall through ./run, and then
#   ./run script examples/page.js, which registers the build again and runs;
# - the per-user installers, as msi_test.sh says.
# Needs the i686 build (./run test and ./run package make it).
set -u
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$QM_ROOT/scripts/env.sh"
source "$QM_ROOT/scripts/package.sh"
source "$QM_ROOT/scripts/build.sh"
work=$(mktemp -d)
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

CLASSES=(
    "SecureSession {1BC0F715-34E2-4C99-A6EF-CDBC7508374A}"
    "Veyra {99773079-BE72-4E09-A1E6-2AF633102C93}"
    "DSSession {150DC113-F10D-42A1-9B03-AA4D7A166950}"
)
SHIPPED=(Quillmark.dll Corvane.dll Ledra.dll ledra-tool.exe quillmark-host.exe)
# The native messaging host's manifests, one copy for both architectures, and where each browser
# finds them.
MANIFESTS=(org.quillmark.host.json org.quillmark.host.firefox.json)
HOST_KEYS=("HKLM\Software\Google\Chrome\NativeMessagingHosts\org.quillmark.host org.quillmark.host.json"
    "HKLM\Software\Microsoft\Edge\NativeMessagingHosts\org.quillmark.host org.quillmark.host.json"
    "HKLM\Software\Mozilla\NativeMessagingHosts\org.quillmark.host org.quillmark.host.firefox.json")
# What Windows itself provides: every import of a shipped file must be one of these.
SYSTEM_DLLS='^(kernel32|user32|gdi32|advapi32|msvcrt|ws2_32|crypt32|bcrypt|ole32|oleaut32|shell32|shlwapi|comctl32|urlmon|normaliz|uuid)\.dll$'
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillmark'
prefix=$work/prefix
installed=$prefix/drive_c/Program\ Files/Quillmark
inf=$work/cab/Quillmark.inf

# A Windows program in the fresh prefix, as on a user's machine: no display (no dialog can wait
# for a person), no WINEDLLPATH (nothing but the PE files), the store where Windows puts it.
fresh() {
    env -u WINEDLLPATH -u QUILLMARK_STORE WINEPREFIX="$prefix" DISPLAY= wine "$@"
}

# A path of the fresh prefix as a Unix path (short names resolved), for comparing.
fresh_unix() {
    realpath -m "$(WINEPREFIX=$prefix winepath -u "$1" 2>/dev/null)"
}

# Runs an INF section as the system's installer does; what its commands print is kept in the log.
# Wine's own installer code now and then crashes on its way through a section: a crash whose
# backtrace is in Wine's code alone is told and the section run once more (every section may run
# twice), while a crash with a frame in Quillmark's modules fails the test.
advpack() { # INF, section
    local log=$work/advpack.log from report frames
    from=$(stat -c %s "$log" 2>/dev/null || echo 0)
    fresh rundll32 advpack.dll,LaunchINFSection "$(winepath -w "$1")",$2 >>"$log" 2>&1
    report=$(tail -c +$((from + 1)) "$log" | tr -d '\r' | grep -a -A40 'Unhandled')
    [ -n "$report" ] || return 0
    frames=$(grep -aE '^(=>)? *[0-9]+ 0x[0-9a-f]+ in ' <<<"$report" | sed 's/.* in \([^ ]*\).*/\1/')
    if grep -qiE '^(quillmark|corvane|ledra|ledra-tool)$' <<<"$frames"; then
        fail "$2 crashed in Quillmark's code: $(head -12 <<<"$report")"
        return
    fi
    echo "  Wine crashed in its own code during $2 ($(head -1 <<<"$report"); frames in: $(sort -u <<<"$frames" | tr '\n' ' ')): run again"
    fresh rundll32 advpack.dll,LaunchINFSection "$(winepath -w "$1")",$2 >>"$log" 2>&1
}

snapshot() { # file
    fresh reg export HKCR "$(winepath -w "$1")" /y >/dev/null 2>&1 || fail "reg export failed"
}

same_registry() { # label before-file after-file
    cmp -s "$2" "$3" && return 0
    fail "$1: $(diff <(iconv -f utf-16 -t utf-8 "$2") <(iconv -f utf-16 -t utf-8 "$3") | head -6)"
}

value_of() { # key [value name]: the data of a registry value, or nothing
    local args=(/ve)
    [ $# -ge 2 ] && args=(/v "$2")
    fresh reg query "$1" "${args[@]}" 2>/dev/null | tr -d '\r' |
        awk -F'    ' 'NF >= 4 { data = $4; for (i = 5; i <= NF; i++) data = data FS $i; print data }'
}

cabinet_files() { # cabinet: its files, one per line, sorted
    cabextract -l "$1" 2>/dev/null | awk -F' [|] ' 'NF == 3 && $3 != "Name" { print $3 }' | sort
}

# The installed tool fills the store, the demo's pages do the whole exchange against the installed
# copy, and quillmark-server reads what they sent.
exchange() { # the installed ledra-tool.exe (a Windows path), a folder for the pages' work
    local tool=$1 pages=$2 store pki page read_back sentence
    fresh "$tool" demo >"$pages.demo.log" 2>&1 || fail "ledra-tool.exe demo failed: $(tail -5 "$pages.demo.log")"
    # The store is where Windows keeps the user's own data: %LOCALAPPDATA%\Quillmark\Store.
    store="$(fresh cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')\\Quillmark\\Store"
    pki=$(fresh_unix "$store\\demo")
    [ -f "$pki/manifest" ] || fail "the demo is not in the store ($store)"
    mkdir -p "$pages"
    for page in directory validate envelope; do
        QM_DEMO_OUT=$(winepath -w "$pages/$page.txt") QM_DEMO_PKI="$store\\demo" \
            QM_DEMO_WORK=$(winepath -w "$pages") QM_DEMO_PASSWORD=demo1234 QM_DEMO_ALGORITHM=SEED \
            fresh cscript //nologo "$(winepath -w "$QM_ROOT/examples/demo/$page.js")" >"$pages/$page.log" 2>&1 ||
            fail "the page $page.js failed against the installed copy: $(iconv -f UTF-16 -t UTF-8 "$pages/$page.txt" 2>/dev/null | grep '!!\|failed' | head -3)"
    done
    iconv -f UTF-16 -t UTF-8 "$pages/directory.txt" 2>/dev/null | grep -q 'refused: Wrong Password' ||
        fail "getCert with a wrong password was not refused as such"
    read_back=$("$QM_BUILD/native/tools/quillmark-server" --key "$pki/server.key" --cert "$pki/server.pem" \
        --algorithm SEED --sealed "$pages/sealed.txt" --cipher "$pages/cipher.txt" 2>&1)
    sentence=$(iconv -f UTF-16 -t UTF-8 "$pages/envelope.txt" 2>/dev/null | tr -d '\r' |
        sed -n '/EncipherEx of the user/{n;s/^   //p}')
    [ -n "$sentence" ] && [ "$read_back" = "$sentence" ] ||
        fail "quillmark-server read '$read_back', the page sent '$sentence'"
    echo "the server read: $read_back"
}

restore() {
    WINEPREFIX=$prefix wineserver -k 2>/dev/null
    rm -rf "$work"
    qm_register >/dev/null || echo "FAIL: could not register the build again"
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
test_key=$QM_BUILD/test-codesign/TEST-ONLY-codesign.p12
# A site publishes the folder: the test signing key has no password and is never in it.
[ "$(ls -A "$dist" | LC_ALL=C sort | tr '\n' ' ')" = "Quillmark-x64.msi Quillmark-x86.msi Quillmark.cab Quillmark.inf TEST-ONLY-codesign-ca.crt browser page.html " ] ||
    fail "the package's folder holds '$(ls -A "$dist" | tr '\n' ' ')'"
[ "$(stat -c %a "$test_key" 2>/dev/null) $(stat -c %a "$(dirname "$test_key")")" = "600 700" ] ||
    fail "the test signing key is not at $test_key, for its owner alone"

echo "== signing with a password-protected PKCS#12 file"
export QM_TEST_P12_PASS='pass phrase, with spaces'
openssl pkcs12 -in "$test_key" -passin pass: -nodes -out "$work/signer.pem" &&
    openssl pkcs12 -export -in "$work/signer.pem" -passout env:QM_TEST_P12_PASS -out "$work/protected.p12" ||
    fail "could not make a password-protected PKCS#12 file"
qm_package --out "$work/protected" --sign "$work/protected.p12" --pass env:QM_TEST_P12_PASS \
    >"$work/protected.log" 2>&1 || fail "signing with --pass failed: $(cat "$work/protected.log")"
osslsigncode verify -CAfile "$ca" -in "$work/protected/Quillmark.cab" >/dev/null 2>&1 ||
    fail "the cabinet signed with --pass does not verify"
grep -qF "$QM_TEST_P12_PASS" "$work/protected.log" && fail "the password was written out"
cp "$work/protected/Quillmark.cab" "$work/good.cab"
QM_TEST_P12_PASS=wrong qm_package --out "$work/protected" --sign "$work/protected.p12" \
    --pass env:QM_TEST_P12_PASS >/dev/null 2>&1 && fail "a wrong password signed the package"
cmp -s "$work/good.cab" "$work/protected/Quillmark.cab" ||
    fail "a failed signing did not leave the previous package as it was"
[ -z "$(ls -A "$work/protected" | grep '^\.')" ] || fail "a failed signing left its work behind"

echo "== the cabinet's files"
listed=$(cabinet_files "$dist/Quillmark.cab")
expected=$(printf '%s\n' Quillmark.inf "${MANIFESTS[@]}" "${SHIPPED[@]}" "${SHIPPED[@]/#/amd64/}" | sort)
[ "$listed" = "$expected" ] || fail "the cabinet lists '$(echo $listed)', not '$(echo $expected)'"
cabextract -q -d "$work/cab" "$dist/Quillmark.cab" 2>/dev/null || fail "cabextract could not extract"
cmp -s "$inf" "$dist/Quillmark.inf" || fail "dist/Quillmark.inf is not the cabinet's"
qm_package --out "$work/module-only" --without-engine >/dev/null 2>&1 ||
    fail "the module-only package failed"
[ "$(cabinet_files "$work/module-only/Quillmark.cab" | tr '\n' ' ')" = \
    "Quillmark.dll Quillmark.inf amd64/Quillmark.dll " ] ||
    fail "the module-only cabinet lists '$(cabinet_files "$work/module-only/Quillmark.cab" | tr '\n' ' ')'"
grep -v '^;' "$work/module-only/Quillmark.inf" | grep -q 'Corvane\|Ledra\|ledra-tool' &&
    fail "the module-only installer script names the engine or the store"

echo "== the browser's part: the extension, its ID, the host's manifests"
extension_id=$(cat "$dist/browser/extension-id.txt")
[ "$extension_id" = "$(sh "$QM_ROOT/browser/extension-id.sh")" ] && [[ $extension_id =~ ^[a-p]{32}$ ]] ||
    fail "dist/browser/extension-id.txt holds '$extension_id'"
[ "$(ls -A "$dist/browser" | LC_ALL=C sort | tr '\n' ' ')" = "example.html extension extension-id.txt quillmark-extension.zip quillmark.js " ] ||
    fail "dist/browser holds '$(ls -A "$dist/browser" | tr '\n' ' ')'"
[ "$(unzip -Z1 "$dist/browser/quillmark-extension.zip" | sort | tr '\n' ' ')" = "content.js manifest.json service-worker.js " ] ||
    fail "the extension's zip holds '$(unzip -Z1 "$dist/browser/quillmark-extension.zip" | tr '\n' ' ')'"
unzip -p "$dist/browser/quillmark-extension.zip" manifest.json | cmp -s - "$dist/browser/extension/manifest.json" ||
    fail "the zipped extension is not the unpacked one"
for manifest in "${MANIFESTS[@]}"; do
    grep -q '"path": "quillmark-host.exe"' "$work/cab/$manifest" || fail "$manifest does not name the host beside it"
done
grep -q "\"chrome-extension://$extension_id/\"" "$work/cab/org.quillmark.host.json" ||
    fail "the host's manifest does not allow the extension $extension_id"
grep -q '"quillmark@tesselcorp.example"' "$work/cab/org.quillmark.host.firefox.json" ||
    fail "the Firefox manifest does not allow the extension"

echo "== the shipped files are Windows binaries that import system DLLs only"
for entry in "i386 . PE32 i686" "x86_64 amd64 PE32+ x86_64"; do
    read -r machine folder magic toolchain <<<"$entry"
    for file in "${SHIPPED[@]}"; do
        path=$work/cab/$folder/$file
        perl "$QM_ROOT/scripts/pe-version.pl" "$path" >"$work/version-$machine-$file" ||
            fail "$folder/$file has no version information"
        grep -qx "Machine=$machine" "$work/version-$machine-$file" || fail "$folder/$file is not for $machine"
        "$toolchain-w64-mingw32-objdump" -p "$path" >"$work/objdump" || fail "objdump cannot read $folder/$file"
        grep -q "^Magic.*($magic)" "$work/objdump" || fail "$folder/$file is not $magic"
        grep -aq 'Wine builtin DLL\|Wine placeholder DLL' "$path" && fail "$folder/$file is a Wine builtin"
        imports=$(sed -n 's/^\tDLL Name: //p' "$work/objdump" | tr 'A-Z' 'a-z' | sort -u)
        [ -n "$imports" ] || fail "$folder/$file imports nothing"
        foreign=$(grep -Ev "$SYSTEM_DLLS" <<<"$imports")
        [ -z "$foreign" ] || fail "$folder/$file imports $(echo $foreign), which Windows does not provide"
        echo "$folder/$file ($magic): $(echo $imports)"
    done
    # Quillmark.dll reaches the engine by ordinal: the engine exports no name at all.
    "$toolchain-w64-mingw32-objdump" -p "$work/cab/$folder/Corvane.dll" >"$work/objdump"
    grep -q $'\[Name Pointer/Ordinal\] Table\t00000000$' "$work/objdump" ||
        fail "$folder/Corvane.dll exports names"
    for ordinal in 1 2 3 5 10 19 20 21 22 23 24 27 28 30 233 309 317 900 901; do
        grep -Eq "\+base\[ *$ordinal\] [0-9a-f]+ Export RVA" "$work/objdump" ||
            fail "$folder/Corvane.dll does not export ordinal $ordinal"
    done
    # The store is reached by name, undecorated on both architectures.
    exported=$("$toolchain-w64-mingw32-objdump" -p "$work/cab/$folder/Ledra.dll" |
        sed -n 's/^\t\[ *[0-9]*\] \(LD_[A-Za-z]*\)$/\1/p' |
        sort -u | tr '\n' ' ')
    [ "$exported" = "LD_GetCert LD_GetCertInfo LD_GetKey LD_GetKeyDN LD_GetKeyInfo LD_GetMyCert LD_GetRegValueN LD_GetRegValueSZ LD_IsRegKey LD_SetRegValueN LD_SetRegValueSZ " ] ||
        fail "$folder/Ledra.dll exports '$exported'"
done

echo "== signatures"
qm_package_test_cert "$work" "$work/other-key" >/dev/null && mv "$work/TEST-ONLY-codesign-ca.crt" "$work/other-ca.crt"
for file in "$dist/Quillmark.cab" "${SHIPPED[@]/#/$work/cab/}" "${SHIPPED[@]/#/$work/cab/amd64/}"; do
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

echo "== one version: the INF, the page and every program file"
version=$(sed -n 's/^FileVersion=//p' "$inf" | tr -d '\r' | sort -u)
[[ $version =~ ^[0-9]+,[0-9]+,[0-9]+,[0-9]+$ ]] || fail "the INF's FileVersions are '$(echo $version)'"
mapfile -t codebases < <(grep -o 'codebase="[^"]*"' "$dist/page.html")
[ ${#codebases[@]} -eq 3 ] || fail "the page has ${#codebases[@]} codebases, not one for each class"
for codebase in "${codebases[@]}"; do
    [ "$codebase" = "codebase=\"Quillmark.cab#version=$version\"" ] ||
        fail "the page's $codebase does not name the cabinet at version $version"
done
for info in "$work"/version-*; do
    while IFS='=' read -r name value; do
        case "$name" in
        FILEVERSION | PRODUCTVERSION) value=$(tr . , <<<"$value") ;;
        FileVersion | ProductVersion) value=${value// /} ;;
        *) continue ;;
        esac
        [ "$value" = "$version" ] || fail "${info#"$work"/version-}: $name is '$value', the INF's '$version'"
    done <"$info"
done
grep -q "\"version\": \"${version//,/.}\"" "$dist/browser/extension/manifest.json" ||
    fail "the extension is not version ${version//,/.}"
echo "version $version in the INF, the page's three codebases, the extension and all ${#SHIPPED[@]} files of both builds"

echo "== a fresh prefix: nothing of Quillmark on the machine"
WINEPREFIX=$prefix DISPLAY= wineboot -i >/dev/null 2>&1
[ -d "$prefix/drive_c/windows/system32" ] || fail "wineboot made no prefix"
# The script host registers its own interfaces the first time it runs.
fresh cscript //nologo "$(winepath -w "$QM_ROOT/tests/scripts/lib/check.js")" >/dev/null 2>&1
snapshot "$work/before.reg"
system32=$(ls "$prefix/drive_c/windows/system32" | sort)
# The per-user installers' stage (msi_test.sh) starts from a copy of this fresh prefix, taken
# once its registry is on disk.
WINEPREFIX=$prefix wineserver -w
cp -a "$prefix" "$work/msi-prefix"

echo "== installing with advpack"
advpack "$inf" DefaultInstall
for file in "${SHIPPED[@]}"; do
    cmp -s "$installed/$file" "$work/cab/amd64/$file" ||
        fail "the installed $file is not the cabinet's x86_64 build"
done
cmp -s "$prefix/drive_c/windows/inf/Quillmark.inf" "$inf" || fail "the INF was not kept for uninstalling"
for entry in "${CLASSES[@]}"; do
    read -r name clsid <<<"$entry"
    server=$(value_of "HKCR\\CLSID\\$clsid\\InprocServer32")
    [ "$(fresh_unix "$server")" = "$(realpath "$installed/Quillmark.dll")" ] ||
        fail "$name is served by '$server', not by the installed copy"
    [ "$(value_of "HKCR\\CLSID\\$clsid\\ProgID")" = "Quillmark.$name.1" ] ||
        fail "$clsid is not Quillmark.$name.1"
    grep -q "classid=\"clsid:${clsid:1:36}\"" "$dist/page.html" || fail "the page has no <object> for $name"
done
grep -qx "clsid=${CLASSES[0]#* }"$'\r' "$inf" || fail "the INF's code download names another class"
[ "$(value_of "$UNINSTALL" DisplayVersion)" = "${version//,/.}" ] || fail "the uninstall entry has another version"
# Named with its folder: a bare rundll32.exe is looked for in the caller's current folder first.
[ "$(value_of "$UNINSTALL" UninstallString)" = \
    '"C:\windows\system32\rundll32.exe" advpack.dll,LaunchINFSection C:\windows\inf\Quillmark.inf,DefaultUninstall' ] ||
    fail "the uninstall entry's command is '$(value_of "$UNINSTALL" UninstallString)'"

echo "== the native messaging host is registered for the machine, and serves the installed module"
for manifest in "${MANIFESTS[@]}"; do
    cmp -s "$installed/$manifest" "$work/cab/$manifest" || fail "$manifest is not installed beside the host"
done
for entry in "${HOST_KEYS[@]}"; do
    read -r key manifest <<<"$entry"
    [ "$(value_of "$key")" = 'C:\Program Files\Quillmark\'"$manifest" ] ||
        fail "$key names '$(value_of "$key")', not the installed $manifest"
done
# Started as a browser starts it: its manifest's path, its folder's module, no display to ask in.
host_wrapper=$work/installed-host.sh
printf '#!/bin/sh\nexec env -u WINEDLLPATH -u QUILLMARK_STORE WINEPREFIX=%q DISPLAY= wine %q "$@"\n' \
    "$prefix" 'C:\Program Files\Quillmark\quillmark-host.exe' >"$host_wrapper"
chmod +x "$host_wrapper"
served=$(cd "$QM_ROOT/tests/browser" && node --input-type=module -e "
import { HostProcess } from './lib/host.mjs';
const host = new HostProcess(process.argv[1]);
const page = { client: 1, origin: 'https://bank.example', topOrigin: 'https://bank.example' };
const hello = await host.request({ id: 1, op: 'hello' });
const made = await host.request({ id: 2, op: 'create', ...page, class: 'SecureSession' });
const call = await host.request({ id: 3, op: 'call', ...page, object: made.object, method: 'Base64Encode', args: ['abc'] });
await host.close();
console.log([hello.version, made.ok, call.error && call.error.name].join(' '));
" "$host_wrapper" 2>&1)
# Browser pages are always behind the lock: an unlisted site is asked about, and with no display
# to ask in, refused.
[ "$served" = "${version//,/.} true NotAllowedError" ] || fail "the installed host answered '$served'"
echo "the installed host: $served"

echo "== the installed tool fills the store, the pages do the whole exchange, the server reads it"
exchange 'C:\Program Files\Quillmark\ledra-tool.exe' "$work/pages"
snapshot "$work/installed.reg"

echo "== installing again over the installed copy"
advpack "$inf" DefaultInstall
snapshot "$work/reinstalled.reg"
same_registry "a second install changed HKCR" "$work/installed.reg" "$work/reinstalled.reg"
cmp -s "$installed/Quillmark.dll" "$work/cab/amd64/Quillmark.dll" || fail "a second install lost the module"

echo "== uninstalling with advpack"
advpack "$inf" DefaultUninstall
snapshot "$work/after.reg"
same_registry "HKCR differs from before the install" "$work/before.reg" "$work/after.reg"
[ -e "$installed" ] && fail "the installation folder is still there: $(ls -A "$installed" | tr '\n' ' ')"
[ -e "$prefix/drive_c/windows/inf/Quillmark.inf" ] && fail "the kept INF is still there"
[ -z "$(value_of "$UNINSTALL" DisplayName)" ] || fail "the uninstall entry is still there"
for entry in "${HOST_KEYS[@]}"; do
    read -r key manifest <<<"$entry"
    fresh reg query "$key" >/dev/null 2>&1 && fail "$key is still there after uninstalling"
done
[ "$(ls "$prefix/drive_c/windows/system32" | sort)" = "$system32" ] || fail "system32 changed"

echo "== the module alone: a site's own engine and store stay when it is uninstalled"
cabextract -q -d "$work/module-cab" "$work/module-only/Quillmark.cab" 2>/dev/null ||
    fail "cabextract could not extract the module-only cabinet"
advpack "$work/module-cab/Quillmark.inf" DefaultInstall
[ "$(ls -A "$installed" 2>/dev/null | tr '\n' ' ')" = "Quillmark.dll " ] ||
    fail "the module-only package installed '$(ls -A "$installed" 2>/dev/null | tr '\n' ' ')'"
cp "$QM_BIN/Corvane.dll" "$QM_BIN/Ledra.dll" "$installed/" || fail "no installation folder"
advpack "$work/module-cab/Quillmark.inf" DefaultUninstall
[ "$(ls -A "$installed" 2>/dev/null | sort | tr '\n' ' ')" = "Corvane.dll Ledra.dll " ] ||
    fail "the folder holds '$(ls -A "$installed" 2>/dev/null | tr '\n' ' ')', not the site's engine and store alone"

echo "== the README's install and uninstall, then ./run script, all through ./run"
# As a user who follows the README types them, in the project's prefix, where ./run registered
# the build: every ./run command runs under set -euo pipefail, which ends it at the first failure
# that nothing catches, silently. The install takes the build's classes over and the uninstall
# leaves them unregistered; the next ./run command must register the build again and run.
readme_inf=$(winepath -w "$inf")
servers() { # the classes' servers in the project's prefix, each once, as real paths
    qm_registered_servers | while IFS= read -r path; do
        if [ -n "$path" ]; then realpath -m "$path"; else echo; fi
    done | sort -u | sed '/^$/d'
}
for section in DefaultInstall DefaultUninstall; do
    "$QM_ROOT/run" wine rundll32 advpack.dll,LaunchINFSection "$readme_inf",$section \
        >>"$work/readme.log" 2>&1 || fail "./run wine rundll32 advpack.dll,LaunchINFSection ...,$section failed"
    [ "$section" = DefaultInstall ] &&
        { [ "$(servers)" = "$(realpath -m "$WINEPREFIX/drive_c/Program Files/Quillmark/Quillmark.dll")" ] ||
            fail "the README's install left the classes to '$(servers | tr '\n' ' ')'"; }
done
[ -z "$(servers)" ] || fail "the README's uninstall left the classes to '$(servers | tr '\n' ' ')'"
output=$("$QM_ROOT/run" script "$QM_ROOT/examples/page.js" 2>&1) && status=0 || status=$?
[ "$status" = 0 ] && grep -q 'Base64Encode("abc") = YWJj' <<<"$output" ||
    fail "./run script examples/page.js after the README's install and uninstall: exit $status: $output"
[ "$(servers)" = "$(realpath "$QM_BIN/Quillmark.dll")" ] ||
    fail "./run left the classes to '$(servers | tr '\n' ' ')'"

# The per-user installers, in a fresh prefix of their own, with the helpers above.
source "$QM_ROOT/tests/package/msi_test.sh"

verdict "package" "built, signed, verified, installed in a fresh prefix, used end to end, reinstalled and uninstalled"
