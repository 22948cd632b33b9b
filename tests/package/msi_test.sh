# The per-user installers, dist/Quillmark-x64.msi and dist/Quillmark-x86.msi. Sourced by
# package_test.sh after its own stages, with its helpers (fail, fresh, fresh_unix, value_of,
# snapshot, same_registry, advpack, exchange), its package in $dist (signed with the test CA), the
# cabinet's files in $work/cab and their version:
# - each installer verifies against the test CA and no other (the unsigned package's carry no
#   signature, the module-only package makes none), is for its architecture, needs no
#   administrator rights, sets no ALLUSERS, and holds exactly the cabinet's files of its
#   architecture and the host's manifests, for the user's programs folder; the x86 one (which
#   cannot run here) registers what the x64 one does, for win32;
# - in a fresh prefix, an install for every user (ALLUSERS=1) is refused and changes nothing;
#   msiexec installs the x64 one: the files land in
#   %LOCALAPPDATA%\Programs\Quillmark, HKEY_CLASSES_ROOT is untouched, the user's classes are
#   exactly what regsvr32 of the installed module writes to HKEY_CLASSES_ROOT, and the programs
#   list shows it with its version and publisher; the demo's pages do the whole exchange through
#   that registration; the host answers through each browser's registered manifest;
# - installing it again changes nothing; a newer build (the fourth part of the version one more)
#   replaces it; the older one is then refused with its message and changes nothing; the
#   uninstall leaves HKEY_CURRENT_USER, HKEY_CLASSES_ROOT and the programs folder as they were
#   before, and the user's store and site settings as they are;
# - with the cabinet's install (advpack), in either order, both work, and uninstalling either
#   leaves the other working and its registration as it was; another program's folder in the
#   programs folder stays.
# Wine 8 gives HKEY_CLASSES_ROOT as the machine's classes alone, where Windows puts the user's own
# (HKEY_CURRENT_USER\Software\Classes) on top of them: a page that is to go through the user's
# registration runs with it copied to the machine's classes meanwhile (merged_classes).

msi_version=${version//,/.}
MSI_ARCHS=("x64 amd64 x64;1033" "x86 . Intel;1033")
INSTALL_RECORD='HKCU\Software\TesselCorp\Quillmark\Install'
USER_SETTINGS='HKCU\SOFTWARE\TesselCorp\Oriel\Quillmark'
# Where each browser finds the user's host manifest, and how it starts the host.
USER_HOST_KEYS=("HKCU\Software\Google\Chrome\NativeMessagingHosts\org.quillmark.host org.quillmark.host.json chrome"
    "HKCU\Software\Microsoft\Edge\NativeMessagingHosts\org.quillmark.host org.quillmark.host.json chrome"
    "HKCU\Software\Mozilla\NativeMessagingHosts\org.quillmark.host org.quillmark.host.firefox.json firefox")
# Every identifier of the interface definitions (classes, interfaces, type library), lower case.
IDL_IDS=$(grep -o 'uuid([0-9A-Fa-f-]*)' "$QM_ROOT/automation/Quillmark.idl" |
    sed 's/uuid(\(.*\))/\1/' | tr 'A-Z' 'a-z' | paste -sd'|')

msi_table() { # installer, table: its rows, tab-separated, without the header
    local dir=$work/msidump/$(basename "$1" .msi)
    [ -d "$dir" ] || { mkdir -p "$dir" && msidump -d "$dir" "$1" >/dev/null 2>&1; }
    tail -n +4 "$dir/$2.idt" 2>/dev/null | tr -d '\r'
}

# The log is in the user's language (Korean here): read by its names and numbers alone.
msiexec_run() { # log name, msiexec's arguments: its status; the verbose log in $work/msiexec-NAME.log
    local log=$work/msiexec-$1.log
    shift
    fresh msiexec "$@" /qn '/l*v' "$(winepath -w "$log")" >/dev/null 2>&1
}

# The actions that a verbose log says ended, "NAME VALUE" each (1 done, 0 stopped, 3 failed).
msi_actions_ended() { # log
    LC_ALL=C sed -n 's/^.*: \([A-Za-z]*\)\. [^0-9]* \([0-9]\)\.$/\1 \2/p' "$1"
}

# The installed products named Quillmark in the programs list, "CODE VERSION" each (Wine lists a
# per-user product with the machine's; the cabinet's entry has a name, not a product code).
msi_products() {
    fresh cmd /c 'reg query HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall /s & reg query HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall /s' 2>/dev/null |
        tr -d '\r' | awk -F'    ' '
            function flush() { if (key != "" && name == "Quillmark") print key, version; key = "" }
            /^HKEY_/ { flush(); if (match($0, /\{[0-9A-F-]+\}$/)) key = substr($0, RSTART, RLENGTH)
                       name = version = ""; next }
            $2 == "DisplayName" { name = $4 }
            $2 == "DisplayVersion" { version = $4 }
            END { flush() }' | sort -u
}

user_snapshot() { # file: HKEY_CURRENT_USER
    fresh reg export HKCU "$(winepath -w "$1")" /y >/dev/null 2>&1 || fail "reg export HKCU failed"
}

# HKEY_CLASSES_ROOT, the user's registry (but for the user's data) and the programs folder as they
# were before the first install; tag names the snapshots, what says what came before.
as_before() { # tag, what
    snapshot "$work/$1-after.reg"
    same_registry "HKEY_CLASSES_ROOT differs from before $2" "$work/msi-before.reg" "$work/$1-after.reg"
    user_snapshot "$work/$1-after-user.reg"
    diff <(user_registry_without_user_data "$work/msi-before-user.reg") \
        <(user_registry_without_user_data "$work/$1-after-user.reg") >"$work/$1-user.diff" ||
        fail "HKEY_CURRENT_USER differs from before $2: $(head -8 "$work/$1-user.diff")"
    [ "$(ls -A "$programs" 2>&1)" = "$programs_before" ] ||
        fail "the programs folder holds '$(ls -A "$programs" 2>&1)', not '$programs_before' as before"
}

user_classes_snapshot() { # file: HKEY_CURRENT_USER\Software\Classes (empty when there is none)
    : >"$1"
    fresh reg export 'HKCU\Software\Classes' "$(winepath -w "$1")" /y >/dev/null 2>&1
}

# Quillmark's class entries in a registry export, whichever root it is of: one line per key and
# per value, keys relative to the classes' root and in lower case, sorted. Wine's RegisterTypeLib
# also writes the 32-bit view (Wow6432Node), which a 64-bit module has no use for: left out.
class_entries() { # export file
    iconv -f UTF-16 -t UTF-8 "$1" 2>/dev/null | tr -d '\r' | awk -v ids="$IDL_IDS" '
        /^\[/ {
            key = tolower(substr($0, 2, length($0) - 2))
            sub(/^hkey_(current_user|local_machine)\\software\\classes\\|^hkey_classes_root\\/, "", key)
            keep = key ~ ("^quillmark\\.|^(clsid|interface|typelib)\\\\\\{(" ids ")\\}")
            if (keep) print key
            next
        }
        keep && NF { print key "|" $0 }' | LC_ALL=C sort
}

# HKEY_CURRENT_USER without the user's own data (the site settings, the sessions and the count
# under Software\TesselCorp\Oriel), which an uninstall leaves on purpose, without the settings of
# Wine's crash handler (Software\Wine\WineDbg, made when a program of Wine's crashed), and without the keys
# that the system's installer makes for its first per-user product and keeps, empty, after the
# last. Of these keys only the names go: a value left in one still shows.
user_registry_without_user_data() { # export file
    iconv -f UTF-16 -t UTF-8 "$1" 2>/dev/null | tr -d '\r' | awk '
        /^\[/ {
            key = tolower($0)
            skip = key ~ /^\[hkey_current_user\\software\\(tesselcorp\\oriel|wine\\winedbg)(\\|\])/
            bare = key ~ /^\[hkey_current_user\\software\\(tesselcorp|microsoft\\installer(\\(features|products|upgradecodes))?)\]$/
            if (!skip && !bare) print
            next
        }
        !skip && !(bare && $0 == "") { print }'
}

# The top keys of the user's classes that the installer writes, from its own Registry table.
msi_class_keys() { # installer
    msi_table "$1" Registry | cut -f3 | sed -n 's/^Software\\Classes\\//p' |
        awk -F'\\' '$1 ~ /^(CLSID|Interface|TypeLib)$/ { print $1 "\\" $2; next } { print $1 }' |
        LC_ALL=C sort -u
}

# Runs a page with the user's Quillmark classes in HKEY_CLASSES_ROOT, as Windows shows them to
# the user: they are copied to the machine's classes for the run (the machine must have none of
# its own) and taken away again.
merged_classes() { # on|off
    local key queries=() commands=() held
    for key in $(msi_class_keys "$dist/Quillmark-x64.msi"); do
        queries+=("reg query HKLM\\Software\\Classes\\$key")
        if [ "$1" = on ]; then
            commands+=("reg copy HKCU\\Software\\Classes\\$key HKLM\\Software\\Classes\\$key /s /f")
        else
            commands+=("reg delete HKLM\\Software\\Classes\\$key /f")
        fi
    done
    if [ "$1" = on ]; then
        # A key that is there is listed (Wine's cmd runs "&&" whatever the status).
        held=$(fresh cmd /c "$(IFS='&' && echo "${queries[*]}")" 2>/dev/null | tr -d '\r' | grep '^HKEY_')
        [ -z "$held" ] || fail "the machine's classes already hold $(echo $held)"
    fi
    fresh cmd /c "$(IFS='&' && echo "${commands[*]}")" >/dev/null 2>&1 ||
        fail "could not turn the merged classes $1"
}

page_works() { # what should serve it: examples/page.js creates the three classes by ProgID
    local out rc
    out=$(fresh cscript //nologo "$(winepath -w "$QM_ROOT/examples/page.js")" 2>&1)
    rc=$?
    if [ $rc -eq 0 ] && grep -q 'Base64Encode("abc") = YWJj' <<<"$out"; then
        echo "  examples/page.js, $1: Base64Encode(\"abc\") = YWJj"
    else
        fail "the page did not work with $1: $(tr -d '\r' <<<"$out" | head -3)"
    fi
}

# Starts the host as the browser that reads the key starts it: the manifest that the key names,
# the host that the manifest names (beside it when relative), the browser's arguments; then a
# page of https://bank.example (a listed site) encodes a text. Prints the host's version, whether
# the object was made, and the result.
host_through_manifest() { # key, chrome|firefox
    local manifest path host wrapper args
    manifest=$(value_of "$1")
    path=$(sed -n 's/^ *"path": *"\([^"]*\)".*/\1/p' "$(fresh_unix "$manifest")" 2>/dev/null)
    case $path in
    [A-Za-z]:\\*) host=$path ;;
    *) host="${manifest%\\*}\\$path" ;;
    esac
    if [ "$2" = chrome ]; then
        args=("chrome-extension://$extension_id/")
    else
        args=("$manifest" quillmark@tesselcorp.example)
    fi
    wrapper=$work/msi-host-$2.sh
    printf '#!/bin/sh\nexec env -u WINEDLLPATH -u QUILLMARK_STORE WINEPREFIX=%q DISPLAY= wine %q "$@"\n' \
        "$prefix" "$host" >"$wrapper"
    chmod +x "$wrapper"
    (cd "$QM_ROOT/tests/browser" && node --input-type=module -e "
import { HostProcess } from './lib/host.mjs';
const [program, ...args] = process.argv.slice(1);
const host = new HostProcess(program, args);
const page = { client: 1, origin: 'https://bank.example', topOrigin: 'https://bank.example' };
const hello = await host.request({ id: 1, op: 'hello' });
const made = await host.request({ id: 2, op: 'create', ...page, class: 'SecureSession' });
const call = await host.request({ id: 3, op: 'call', ...page, object: made.object, method: 'Base64Encode', args: ['abc'] });
await host.close();
console.log([hello.version, made.ok, call.ok ? call.result : call.error.name].join(' '));
" "$wrapper" "${args[@]}" 2>&1)
}

property() { # name: its value in $properties (a Property table)
    awk -F'\t' -v name="$1" '$1 == name { print $2 }' <<<"$properties"
}

echo "== the per-user installers: signed, per user, the cabinet's files, what they register"
upgrade_codes=()
for entry in "${MSI_ARCHS[@]}"; do
    read -r arch folder template <<<"$entry"
    msi=$dist/Quillmark-$arch.msi
    osslsigncode verify -CAfile "$ca" -in "$msi" >"$work/verify.log" 2>&1 &&
        grep -q 'Signature verification: ok' "$work/verify.log" ||
        fail "Quillmark-$arch.msi does not verify against the test CA: $(tail -3 "$work/verify.log")"
    osslsigncode verify -CAfile "$work/other-ca.crt" -in "$msi" >/dev/null 2>&1 &&
        fail "Quillmark-$arch.msi verifies against a CA that did not sign it"
    [ -f "$work/unsigned/Quillmark-$arch.msi" ] ||
        fail "the unsigned package has no Quillmark-$arch.msi"
    osslsigncode verify -in "$work/unsigned/Quillmark-$arch.msi" >/dev/null 2>&1 &&
        fail "the unsigned Quillmark-$arch.msi carries a signature"
    [ -e "$work/module-only/Quillmark-$arch.msi" ] && fail "the module-only package made Quillmark-$arch.msi"

    summary=$(msiinfo suminfo "$msi" 2>/dev/null)
    grep -qx "Template: $template" <<<"$summary" ||
        fail "Quillmark-$arch.msi is for '$(sed -n 's/^Template: //p' <<<"$summary")', not $template"
    words=$(sed -n 's/^Source: \([0-9]*\).*/\1/p' <<<"$summary")
    (((${words:-0} & 8) != 0)) || fail "Quillmark-$arch.msi asks for administrator rights ($words)"
    properties=$(msi_table "$msi" Property)
    [ -z "$(property ALLUSERS)" ] || fail "Quillmark-$arch.msi sets ALLUSERS: it would install for every user"
    [ "$(property ProductVersion) $(property Manufacturer) $(property ProductName)" = \
        "$msi_version TesselCorp Quillmark" ] ||
        fail "Quillmark-$arch.msi is '$(property ProductName) $(property ProductVersion)' of '$(property Manufacturer)'"
    upgrade_codes+=("$(property UpgradeCode)")

    for row in "INSTALLDIR USERPROGRAMS Quillmark" "USERPROGRAMS LocalAppDataFolder Programs"; do
        grep -qxF "$(tr ' ' '\t' <<<"$row")" <<<"$(msi_table "$msi" Directory)" ||
            fail "Quillmark-$arch.msi does not install into %LOCALAPPDATA%\\Programs\\Quillmark"
    done
    rm -rf "$work/msi-files-$arch"
    msiextract -C "$work/msi-files-$arch" "$msi" >/dev/null 2>&1 || fail "msiextract cannot read Quillmark-$arch.msi"
    [ "$(ls -A "$work/msi-files-$arch/Programs/Quillmark" 2>/dev/null | LC_ALL=C sort | tr '\n' ' ')" = \
        "$(printf '%s\n' "${SHIPPED[@]}" "${MANIFESTS[@]}" | LC_ALL=C sort | tr '\n' ' ')" ] ||
        fail "Quillmark-$arch.msi holds '$(ls -A "$work/msi-files-$arch/Programs/Quillmark" 2>/dev/null | tr '\n' ' ')'"
    for file in "${SHIPPED[@]}"; do
        cmp -s "$work/msi-files-$arch/Programs/Quillmark/$file" "$work/cab/$folder/$file" ||
            fail "Quillmark-$arch.msi's $file is not the cabinet's build of its architecture"
    done
    for file in "${MANIFESTS[@]}"; do
        cmp -s "$work/msi-files-$arch/Programs/Quillmark/$file" "$work/cab/$file" ||
            fail "Quillmark-$arch.msi's $file is not the cabinet's"
    done

    # Every value is the user's; a 64-bit package's components are 64-bit, writing the 64-bit view.
    [ -z "$(msi_table "$msi" Registry | awk -F'\t' '$2 != 1')" ] ||
        fail "Quillmark-$arch.msi writes outside HKEY_CURRENT_USER"
    bits=$(msi_table "$msi" Component | awk -F'\t' '{ print (int($4 / 256) % 2) }' | sort -u)
    [ "$bits" = "$([ "$arch" = x64 ] && echo 1 || echo 0)" ] ||
        fail "Quillmark-$arch.msi's components are not all for its architecture"
    conditions=$(msi_table "$msi" LaunchCondition)
    grep -q "QMINSTALLEDVERSION > $(qm_msi_version_number "$msi_version"))"$'\t'"A newer version of Quillmark is already installed" <<<"$conditions" &&
        grep -q $'^Installed OR NOT ALLUSERS\t' <<<"$conditions" ||
        fail "Quillmark-$arch.msi does not refuse an older version over a newer one, or an install for every user"
done
[ "${upgrade_codes[0]}" = "${upgrade_codes[1]}" ] && [[ ${upgrade_codes[0]} =~ ^\{[0-9A-F-]{36}\}$ ]] ||
    fail "the installers have the upgrade codes '${upgrade_codes[*]}', not one"
# The x86 installer cannot run here: it registers what the x64 one does (checked below by
# running it), with the type library for win32.
diff <(msi_table "$dist/Quillmark-x64.msi" Registry | cut -f3-5 | sed 's/\\win64\t/\\win32\t/' | LC_ALL=C sort) \
    <(msi_table "$dist/Quillmark-x86.msi" Registry | cut -f3-5 | LC_ALL=C sort) >"$work/registry-tables.diff" ||
    fail "the x86 installer registers otherwise than the x64 one: $(head -4 "$work/registry-tables.diff")"
echo "x64 and x86: signed, per user, $(msi_table "$dist/Quillmark-x64.msi" Registry | wc -l) values each, upgrade code ${upgrade_codes[0]}"

echo "== a fresh prefix for the per-user installers"
WINEPREFIX=$prefix wineserver -k 2>/dev/null # the cabinet's prefix is done with
# The copy of the fresh prefix that package_test.sh took before the cabinet's install.
prefix=$work/msi-prefix
cabinet_installed=$prefix/drive_c/Program\ Files/Quillmark
[ -d "$prefix/drive_c/windows/system32" ] || fail "there is no fresh prefix at $prefix"
# One wineserver for the whole stage (the trap ends it), not one for each burst of programs.
WINEPREFIX=$prefix wineserver -p
local_appdata_win=$(fresh cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')
programs=$(fresh_unix "$local_appdata_win\\Programs")
installed_msi=$programs/Quillmark
folder_win="$local_appdata_win\\Programs\\Quillmark"
programs_before=$(ls -A "$programs" 2>&1)
snapshot "$work/msi-before.reg"
user_snapshot "$work/msi-before-user.reg"

echo "== msiexec /i Quillmark-x64.msi ALLUSERS=1 /qn: refused, for every user is the cabinet's"
msiexec_run all-users /i "$(winepath -w "$dist/Quillmark-x64.msi")" ALLUSERS=1
rc=$?
ended=$(msi_actions_ended "$work/msiexec-all-users.log")
echo "exit status $rc; actions: $(tr '\n' ' ' <<<"$ended")"
[ $rc -eq $((1603 % 256)) ] && grep -qx 'LaunchConditions 0' <<<"$ended" && [ -z "$(msi_products)" ] &&
    [ ! -e "$installed_msi" ] || fail "an install for every user was not refused ($rc)"

echo "== msiexec /i Quillmark-x64.msi /qn"
msiexec_run install /i "$(winepath -w "$dist/Quillmark-x64.msi")"
rc=$?
echo "msiexec /i Quillmark-x64.msi /qn: exit status $rc"
[ $rc -eq 0 ] || fail "the x64 installer failed ($rc): $(grep -a 'Return value 3' "$work/msiexec-install.log" | head -3)"
echo "  files into $(sed -n 's/^Property(S): INSTALLDIR = //p' "$work/msiexec-install.log"):" \
    $(LC_ALL=C sed -n 's/^[^:]*: \([^,]*\), [^:]*: INSTALLDIR$/\1/p' "$work/msiexec-install.log")
echo "  registry: $(LC_ALL=C grep -ac ': HKEY_CURRENT_USER\\' "$work/msiexec-install.log") values under HKEY_CURRENT_USER, $(LC_ALL=C grep -ac ': HKEY_\(LOCAL_MACHINE\|CLASSES_ROOT\|USERS\)\\' "$work/msiexec-install.log") elsewhere"
echo "  actions: $(msi_actions_ended "$work/msiexec-install.log" | awk '!seen[$0]++' | tr '\n' ' ')"
for file in "${SHIPPED[@]}"; do
    cmp -s "$installed_msi/$file" "$work/cab/amd64/$file" || fail "the installed $file is not the cabinet's x86_64 build"
    osslsigncode verify -CAfile "$ca" -in "$installed_msi/$file" >/dev/null 2>&1 || fail "the installed $file is not signed"
done
for file in "${MANIFESTS[@]}"; do
    cmp -s "$installed_msi/$file" "$work/cab/$file" || fail "the installed $file is not the cabinet's"
done
read -r product product_version <<<"$(msi_products)"
entry="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product"
[ "$(value_of "$entry" Publisher)" = TesselCorp ] && [ "$product_version" = "$msi_version" ] ||
    fail "the programs list shows '$(msi_products)' by '$(value_of "$entry" Publisher)'"
echo "  programs list: $(value_of "$entry" DisplayName) $product_version by $(value_of "$entry" Publisher), removed by '$(value_of "$entry" UninstallString)'"
[ "$(value_of "$INSTALL_RECORD" Folder)" = "$folder_win\\" ] && [ "$(value_of "$INSTALL_RECORD" Version)" = "$msi_version" ] ||
    fail "the install's record says '$(value_of "$INSTALL_RECORD" Folder)', '$(value_of "$INSTALL_RECORD" Version)'"
snapshot "$work/msi-installed.reg"
same_registry "the per-user install changed HKEY_CLASSES_ROOT" "$work/msi-before.reg" "$work/msi-installed.reg"
for entry in "${USER_HOST_KEYS[@]}"; do
    read -r key manifest kind <<<"$entry"
    [ "$(value_of "$key")" = "$folder_win\\$manifest" ] || fail "$key names '$(value_of "$key")'"
done

echo "== the user's classes are what self-registration writes to HKEY_CLASSES_ROOT"
user_classes_snapshot "$work/msi-classes.reg"
module_win="$folder_win\\Quillmark.dll"
fresh regsvr32 /s "$module_win" || fail "regsvr32 could not register the installed module"
snapshot "$work/msi-selfreg.reg"
fresh regsvr32 /s /u "$module_win"
snapshot "$work/msi-unregistered.reg"
same_registry "regsvr32 /u left HKEY_CLASSES_ROOT changed" "$work/msi-before.reg" "$work/msi-unregistered.reg"
class_entries "$work/msi-classes.reg" >"$work/msi-classes.txt"
class_entries "$work/msi-selfreg.reg" >"$work/msi-selfreg.txt"
[ -s "$work/msi-classes.txt" ] && diff "$work/msi-selfreg.txt" "$work/msi-classes.txt" >"$work/msi-classes.diff" ||
    fail "the user's classes differ from self-registration's: $(head -6 "$work/msi-classes.diff")"
echo "$(grep -vc '|' "$work/msi-classes.txt") keys and $(grep -c '|' "$work/msi-classes.txt") values, as regsvr32 writes them"

echo "== the pages do the whole exchange through the user's registration"
merged_classes on
exchange "$folder_win\\ledra-tool.exe" "$work/msi-pages"
merged_classes off

echo "== the host answers through each browser's registered manifest"
fresh reg add "$USER_SETTINGS" /v AllowedSites /t REG_MULTI_SZ /d 'https://bank.example' /f >/dev/null 2>&1
for entry in "${USER_HOST_KEYS[@]}"; do
    read -r key manifest kind <<<"$entry"
    answer=$(host_through_manifest "$key" "$kind")
    [ "$answer" = "$msi_version true YWJj" ] || fail "the host of $key answered '$answer'"
    echo "${key%%\\NativeMessagingHosts*}: $answer"
done

echo "== installing it again changes nothing"
user_classes_snapshot "$work/msi-classes-1.reg"
msiexec_run again /i "$(winepath -w "$dist/Quillmark-x64.msi")" || fail "installing it again failed"
user_classes_snapshot "$work/msi-classes-2.reg"
cmp -s "$work/msi-classes-1.reg" "$work/msi-classes-2.reg" || fail "installing again changed the user's classes"
[ "$(msi_products)" = "$product $msi_version" ] || fail "installing again left '$(msi_products)'"

echo "== a newer build replaces it"
IFS=, read -r major minor build revision <<<"$version"
newer="$major.$minor.$build.$((revision + 1))"
qm_msi_build x64 "$work/cab/amd64" "$work/cab" "$newer" "$work/newer-x64.msi" &&
    qm_package_sign "$work/newer-x64.msi" "$test_key" "" || fail "could not build the installer of $newer"
msiexec_run newer /i "$(winepath -w "$work/newer-x64.msi")"
rc=$?
echo "msiexec /i Quillmark-x64.msi ($newer) /qn: exit status $rc"
[ $rc -eq 0 ] || fail "the newer installer failed ($rc)"
read -r newer_product newer_version <<<"$(msi_products)"
[ "$(msi_products | wc -l)" = 1 ] && [ "$newer_version" = "$newer" ] && [ "$newer_product" != "$product" ] ||
    fail "after the newer install the programs list shows '$(msi_products | tr '\n' ' ')'"
[ "$(value_of "$INSTALL_RECORD" Version)" = "$newer" ] || fail "the install's record says $(value_of "$INSTALL_RECORD" Version)"
user_classes_snapshot "$work/msi-classes-newer.reg"
cmp -s "$work/msi-classes-1.reg" "$work/msi-classes-newer.reg" || fail "the newer install registers otherwise"
cmp -s "$installed_msi/Quillmark.dll" "$work/cab/amd64/Quillmark.dll" || fail "the newer install lost the module"
merged_classes on
page_works "the newer install"
merged_classes off
echo "replaced: $product $msi_version by $newer_product $newer_version"

echo "== the older one is refused over the newer one"
msiexec_run older /i "$(winepath -w "$dist/Quillmark-x64.msi")"
rc=$?
# Refused at its launch conditions with the message of its LaunchCondition table, which Windows
# shows (Wine's log leaves the message out): the installer's status 1603, 67 as Wine passes it on.
refusal=$(msi_table "$dist/Quillmark-x64.msi" LaunchCondition | cut -f2 | grep '^A newer version')
ended=$(msi_actions_ended "$work/msiexec-older.log")
echo "msiexec /i Quillmark-x64.msi ($msi_version) /qn: exit status $rc; actions: $(tr '\n' ' ' <<<"$ended")"
echo "  the refusal's message: $refusal"
[ $rc -eq $((1603 % 256)) ] && grep -qx 'LaunchConditions 0' <<<"$ended" && ! grep -q '^InstallFiles ' <<<"$ended" ||
    fail "the older installer was not refused at its launch conditions ($rc)"
[ "$(msi_products)" = "$newer_product $newer" ] || fail "the refused install left '$(msi_products)'"
cmp -s "$installed_msi/Quillmark.dll" "$work/cab/amd64/Quillmark.dll" || fail "the refused install took the module"

echo "== msiexec /x, as the programs list runs it"
[[ "$(value_of "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$newer_product" UninstallString)" =~ ^MsiExec.exe\ /X\{ ]] ||
    fail "the programs list would not uninstall with msiexec /x"
msiexec_run uninstall /x "$newer_product"
rc=$?
echo "msiexec /x $newer_product /qn: exit status $rc"
[ $rc -eq 0 ] || fail "the uninstall failed ($rc)"
echo "  actions: $(msi_actions_ended "$work/msiexec-uninstall.log" | awk '!seen[$0]++' | tr '\n' ' ')"
[ -z "$(msi_products)" ] || fail "the programs list still shows '$(msi_products)'"
as_before msi "the install"
[ -f "$(fresh_unix "$local_appdata_win\\Quillmark\\Store\\demo\\manifest")" ] || fail "the uninstall took the user's store"
[ "$(value_of "$USER_SETTINGS" AllowedSites)" = 'https://bank.example' ] || fail "the uninstall took the user's site settings"
echo "HKEY_CURRENT_USER (but for the user's data), HKEY_CLASSES_ROOT and the programs folder are as before; the store and the site settings stay"

echo "== the cabinet's install, then the installer: both work; the installer's uninstall leaves the cabinet's"
server_of() { fresh_unix "$(value_of "HKCR\\CLSID\\${CLASSES[0]#* }\\InprocServer32")"; }
advpack "$inf" DefaultInstall
snapshot "$work/coexist-cabinet.reg"
mkdir -p "$programs/Another Program" && echo kept >"$programs/Another Program/kept.txt"
msiexec_run coexist-1 /i "$(winepath -w "$dist/Quillmark-x64.msi")" || fail "the installer failed beside the cabinet's install"
snapshot "$work/coexist-both.reg"
same_registry "the per-user install changed the machine's classes" "$work/coexist-cabinet.reg" "$work/coexist-both.reg"
page_works "both installed"
read -r product _ <<<"$(msi_products)"
msiexec_run coexist-1x /x "$product" || fail "the installer's uninstall failed beside the cabinet's install"
snapshot "$work/coexist-left.reg"
same_registry "the per-user uninstall changed the machine's classes" "$work/coexist-cabinet.reg" "$work/coexist-left.reg"
[ "$(server_of)" = "$(realpath "$cabinet_installed")/Quillmark.dll" ] || fail "the classes are served by '$(server_of)'"
for entry in "${HOST_KEYS[@]}"; do
    read -r key manifest <<<"$entry"
    [ "$(value_of "$key")" = 'C:\Program Files\Quillmark\'"$manifest" ] || fail "the per-user uninstall took $key"
done
page_works "the cabinet's install, after the installer's uninstall"
[ "$(cat "$programs/Another Program/kept.txt" 2>/dev/null)" = kept ] || fail "the uninstall took another program's folder"
rm -rf "$programs/Another Program"
advpack "$inf" DefaultUninstall

echo "== the installer, then the cabinet's install: both work; the cabinet's uninstall leaves the installer's"
msiexec_run coexist-2 /i "$(winepath -w "$dist/Quillmark-x64.msi")" || fail "the installer failed"
user_classes_snapshot "$work/coexist-user.reg"
advpack "$inf" DefaultInstall
page_works "both installed"
advpack "$inf" DefaultUninstall
snapshot "$work/coexist-cabinet-gone.reg"
same_registry "the cabinet's uninstall left HKEY_CLASSES_ROOT changed" "$work/msi-before.reg" "$work/coexist-cabinet-gone.reg"
user_classes_snapshot "$work/coexist-user-left.reg"
cmp -s "$work/coexist-user.reg" "$work/coexist-user-left.reg" || fail "the cabinet's install or uninstall changed the user's classes"
for entry in "${USER_HOST_KEYS[@]}"; do
    read -r key manifest kind <<<"$entry"
    [ "$(value_of "$key")" = "$folder_win\\$manifest" ] || fail "the cabinet's uninstall took $key"
done
merged_classes on
page_works "the per-user install, after the cabinet's uninstall"
merged_classes off
read -r product _ <<<"$(msi_products)"
msiexec_run coexist-2x /x "$product" || fail "the installer's uninstall failed"
as_before coexist "both installs"
