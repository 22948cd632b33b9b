# The package for a site's users, sourced by ./run:
#   ./run package [--out DIR] [--sign FILE.p12 [--pass env:VAR]] [--test-cert] [--without-engine]
#
#   DIR/Quillmark.cab   what a page's <object> tags name in their codebase: Quillmark.inf and, for
#                       each architecture, Quillmark.dll with the crypto engine Corvane.dll, the
#                       certificate store Ledra.dll and its tool ledra-tool.exe, and the native
#                       messaging host quillmark-host.exe (i686 at the root, x86_64 under amd64\),
#                       with the host's two manifests at the root
#   DIR/Quillmark.inf   the installer script that the cabinet carries, to read
#   DIR/Quillmark-x64.msi, DIR/Quillmark-x86.msi
#                       the installers for one user, without administrator rights: the files of
#                       the architecture, its classes and the host registered for that user alone
#   DIR/page.html       an example page that installs the control from the cabinet and uses it
#   DIR/browser/        for modern browsers: the unpacked extension (extension/), its ID
#                       (extension-id.txt), the extension zipped for a browser's store
#                       (quillmark-extension.zip), the page library quillmark.js and an example
#                       page that uses it (example.html)
#
# DIR is dist/ unless given. --sign signs every program file, the cabinet and the installers with
# Authenticode, with the certificate and key of a PKCS#12 file whose password is read from an
# environment variable; the signatures carry no timestamp (no timestamp server can be reached).
# --test-cert makes a throwaway code-signing CA and certificate and signs with them: the CA's
# certificate goes into DIR as TEST-ONLY-codesign-ca.crt, the signing key into build/test-codesign/,
# never among what a site publishes. --without-engine packs Quillmark.dll alone, for a site that
# ships its own engine and store (and makes no installers, which carry them).

# Files this command writes into DIR (and removes there first, so that nothing stale stays), and
# the signing key that earlier versions left there.
QM_PACKAGE_FILES=(Quillmark.cab Quillmark.inf Quillmark-x64.msi Quillmark-x86.msi page.html browser
    TEST-ONLY-codesign-ca.crt TEST-ONLY-codesign.p12)

source "$QM_ROOT/scripts/msi.sh"

qm_package_usage() {
    sed -n '2,25p' "$QM_ROOT/scripts/package.sh" | sed 's/^# \{0,1\}//'
}

qm_package_fail() {
    echo "package: $*" >&2
    return 1
}

# Checks that a built module is there, for the expected machine, and carries the package's version.
qm_package_check_module() { # file machine version
    local info
    [ -f "$1" ] || {
        qm_package_fail "$1 is not built"
        return
    }
    info=$(perl "$QM_ROOT/scripts/pe-version.pl" "$1") || {
        qm_package_fail "$1 is not a module with version information"
        return
    }
    grep -qx "Machine=$2" <<<"$info" || qm_package_fail "$1 is not an $2 module" || return
    grep -qx "FILEVERSION=$3" <<<"$info" ||
        qm_package_fail "$1 is not version $3 (a stale build?): $(grep '^FILEVERSION=' <<<"$info")"
}

# A code-signing CA and a certificate issued by it, for trying signed packages out and for the
# tests: TEST-ONLY-codesign-ca.crt (to verify against, or to trust on a test machine) written into
# one folder, and TEST-ONLY-codesign.p12 (certificate, key and CA, with an empty password) into
# another, made readable by its owner alone. The CA's key is thrown away: nothing else can ever be
# signed by that CA.
qm_package_test_cert() { # certificate-folder key-folder
    local out keys tmp
    mkdir -p -m 700 "$2" && chmod 700 "$2" && keys=$(cd "$2" && pwd) &&
        out=$(cd "$1" && pwd) && tmp=$(mktemp -d) || return
    (
        set -e
        cd "$tmp"
        openssl req -x509 -newkey rsa:3072 -nodes -keyout ca.key -days 90 \
            -subj "/O=Quillmark/CN=Quillmark TEST-ONLY code-signing CA" \
            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
            -out ca.crt 2>/dev/null
        openssl req -newkey rsa:3072 -nodes -keyout signer.key \
            -subj "/O=Quillmark/CN=Quillmark TEST-ONLY code signing" -out signer.csr 2>/dev/null
        printf '%s\n' basicConstraints=critical,CA:FALSE keyUsage=critical,digitalSignature \
            extendedKeyUsage=codeSigning subjectKeyIdentifier=hash authorityKeyIdentifier=keyid >signer.ext
        openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -days 90 \
            -set_serial "0x$(openssl rand -hex 16)" -extfile signer.ext -out signer.crt 2>/dev/null
        openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -passout pass: \
            -name "Quillmark TEST-ONLY code signing" -out signer.p12
        cp ca.crt "$out/TEST-ONLY-codesign-ca.crt"
        install -m 600 signer.p12 "$keys/TEST-ONLY-codesign.p12"
    )
    local rc=$?
    rm -rf "$tmp"
    [ $rc -eq 0 ] || qm_package_fail "could not make the test certificate"
}

# Signs a file in place. The password reaches osslsigncode through a pipe, never its command line.
# A failure is told in one line; the signer's own output follows with --verbose.
qm_package_sign() { # file p12 password-variable-name (empty, or an empty password: none)
    local file=$1 p12=$2 var=$3 log=$1.sign.log
    local sign=(osslsigncode sign -pkcs12 "$p12" -h sha256 -n Quillmark -in "$file" -out "$file.signed")
    if [ -n "$var" ] && [ -n "${!var}" ]; then
        printf '%s' "${!var}" | "${sign[@]}" -readpass /dev/stdin >"$log" 2>&1
    else
        "${sign[@]}" >"$log" 2>&1
    fi || {
        [ "${QM_VERBOSE:-0}" = 1 ] && cat "$log" >&2
        rm -f "$file.signed" "$log"
        qm_package_fail "could not sign $(basename "$file") with $p12: a wrong password, or not a" \
            "PKCS#12 file with a code-signing certificate and its key (./run --verbose package shows why)"
        return
    }
    rm -f "$log"
    mv "$file.signed" "$file"
}

# Makes the cabinet in an empty folder, signed when a PKCS#12 file is given. Its layout is the one
# the installer script's SourceDisksFiles sections name: the i686 build of each file at the root,
# the x86_64 build under amd64\, and the files of both (QM_PACKAGE_SHARED, from the build's package
# folder) at the root.
qm_package_cabinet() { # stage inf cabinet p12 password-variable-name file...
    local stage=$1 inf=$2 cab=$3 p12=$4 pass_var=$5
    shift 5
    local entries=(Quillmark.inf) file
    mkdir "$stage/amd64" && cp "$inf" "$stage/Quillmark.inf" || return
    for file in "${QM_PACKAGE_SHARED[@]}"; do
        cp "$(dirname "$inf")/$file" "$stage/$file" || qm_package_fail "$file is not built" || return
        entries+=("$file")
    done
    for file in "$@"; do
        # What ships carries no debugging information: it would triple the download.
        i686-w64-mingw32-strip --strip-unneeded -o "$stage/$file" "$QM_BUILD/win32/bin/$file" &&
            x86_64-w64-mingw32-strip --strip-unneeded -o "$stage/amd64/$file" "$QM_BIN/$file" ||
            qm_package_fail "could not strip $file" || return
        if [ -n "$p12" ]; then
            qm_package_sign "$stage/$file" "$p12" "$pass_var" &&
                qm_package_sign "$stage/amd64/$file" "$p12" "$pass_var" || return
        fi
        entries+=("$file" "amd64/$file")
    done
    (cd "$stage" && gcab -c -z "$cab" "${entries[@]}") ||
        qm_package_fail "gcab could not make the cabinet" || return
    [ -z "$p12" ] || qm_package_sign "$cab" "$p12" "$pass_var"
}

# Reads the command's arguments into QM_PACKAGE_*; returns 2 on a bad one, with the reason.
qm_package_args() {
    QM_PACKAGE_OUT=$QM_ROOT/dist QM_PACKAGE_P12="" QM_PACKAGE_PASS="" QM_PACKAGE_TEST_CERT=0
    QM_PACKAGE_HELP=0 QM_PACKAGE_MODULE_ONLY=0
    while [ $# -gt 0 ]; do
        case "$1" in
        --out | --sign | --pass)
            [ $# -ge 2 ] || { qm_package_fail "$1 needs a value"; return 2; }
            case "$1" in
            --out) QM_PACKAGE_OUT=$2 ;;
            --sign) QM_PACKAGE_P12=$2 ;;
            --pass)
                [[ $2 =~ ^env:[A-Za-z_][A-Za-z0-9_]*$ ]] || {
                    qm_package_fail "--pass takes env:VARIABLE, the variable that holds the password"
                    return 2
                }
                QM_PACKAGE_PASS=${2#env:}
                ;;
            esac
            shift 2
            ;;
        --test-cert) QM_PACKAGE_TEST_CERT=1 && shift ;;
        --without-engine) QM_PACKAGE_MODULE_ONLY=1 && shift ;;
        -h | --help) QM_PACKAGE_HELP=1 && shift ;;
        *)
            qm_package_fail "unknown argument: $1 (see ./run package --help)"
            return 2
            ;;
        esac
    done
    if [ $QM_PACKAGE_TEST_CERT = 1 ] && [ -n "$QM_PACKAGE_P12" ]; then
        qm_package_fail "--sign and --test-cert exclude each other"
        return 2
    fi
    if [ -n "$QM_PACKAGE_PASS" ]; then
        [ -n "$QM_PACKAGE_P12" ] || { qm_package_fail "--pass is for --sign"; return 2; }
        [ -n "${!QM_PACKAGE_PASS+set}" ] ||
            { qm_package_fail "--pass: \$$QM_PACKAGE_PASS is not set"; return 2; }
    fi
    if [ -n "$QM_PACKAGE_P12" ] && [ ! -r "$QM_PACKAGE_P12" ]; then
        qm_package_fail "--sign: cannot read $QM_PACKAGE_P12"
        return 2
    fi
}

# Makes the package from the builds, as the arguments read by qm_package_args say. Everything is
# made in a folder of its own beside DIR and moved into DIR only when every step succeeded: a
# failed run leaves the package that was there as it was.
qm_package_make() {
    local out=$QM_PACKAGE_OUT p12=$QM_PACKAGE_P12 pass_var=$QM_PACKAGE_PASS
    local test_cert=$QM_PACKAGE_TEST_CERT
    local made=$QM_BUILD/win64/package version inf=Quillmark.inf
    local files=(Quillmark.dll Corvane.dll Ledra.dll ledra-tool.exe quillmark-host.exe)
    QM_PACKAGE_SHARED=(org.quillmark.host.json org.quillmark.host.firefox.json)
    if [ "$QM_PACKAGE_MODULE_ONLY" = 1 ]; then
        files=(Quillmark.dll) inf=Quillmark-module.inf QM_PACKAGE_SHARED=()
    fi
    [ -f "$made/$inf" ] && [ -f "$made/page.html" ] ||
        qm_package_fail "the installer script and the page are not built ($made)" || return
    version=$(sed -n 's/^FileVersion=\([0-9,]*\)\r\{0,1\}$/\1/p' "$made/$inf" | head -1 | tr , .)
    [ -n "$version" ] || qm_package_fail "$made/$inf names no FileVersion" || return
    local f
    for f in "${files[@]}"; do
        qm_package_check_module "$QM_BUILD/win32/bin/$f" i386 "$version" || return
        qm_package_check_module "$QM_BIN/$f" x86_64 "$version" || return
    done

    mkdir -p "$out" && out=$(cd "$out" && pwd) || return
    local stage
    stage=$(mktemp -d "$out/.package-XXXXXX") || return
    mkdir "$stage/new" "$stage/cab" || return
    (
        if [ $test_cert = 1 ]; then
            qm_package_test_cert "$stage/new" "$QM_BUILD/test-codesign" || exit
            p12=$QM_BUILD/test-codesign/TEST-ONLY-codesign.p12
        fi
        qm_package_cabinet "$stage/cab" "$made/$inf" "$stage/new/Quillmark.cab" "$p12" "$pass_var" \
            "${files[@]}" &&
            { [ "$QM_PACKAGE_MODULE_ONLY" = 1 ] ||
                qm_msi_make "$stage/cab" "$stage/new" "$version" "$p12" "$pass_var"; } &&
            cp "$made/$inf" "$stage/new/Quillmark.inf" && cp "$made/page.html" "$stage/new/" &&
            qm_package_browser "$stage/new/browser" "$version"
    ) && {
        for f in "${QM_PACKAGE_FILES[@]}"; do
            rm -rf "${out:?}/$f" || break
        done
        mv "$stage"/new/* "$out/"
    }
    local rc=$?
    rm -rf "$stage"
    [ $rc -eq 0 ] || return $rc

    echo "==> Quillmark $version packaged in $out"
    for f in "${QM_PACKAGE_FILES[@]}"; do
        [ -f "$out/$f" ] && printf '    %-26s %8d bytes\n' "$f" "$(stat -c %s "$out/$f")"
    done
    printf '    %-26s the extension %s, quillmark.js and an example page\n' browser/ \
        "$(cat "$out/browser/extension-id.txt")"
    if [ "$QM_PACKAGE_MODULE_ONLY" = 1 ]; then
        echo "    the module alone: the site installs its own Corvane.dll and Ledra.dll beside it (no .msi)"
    fi
    if [ $test_cert = 1 ]; then
        echo "    signed with a TEST-ONLY certificate: publish nothing signed with it."
        echo "    its signing key (no password) is kept out of $out, in $QM_BUILD/test-codesign/"
        echo "    check: osslsigncode verify -CAfile $out/TEST-ONLY-codesign-ca.crt -in $out/Quillmark.cab"
        echo "    (and -in $out/Quillmark-x64.msi, -in $out/Quillmark-x86.msi)"
    elif [ -n "$p12" ]; then
        echo "    signed with $p12 (no timestamp: re-sign before that certificate expires)"
    else
        echo "    NOT SIGNED: browsers refuse unsigned controls, and Windows warns before an unsigned"
        echo "    installer. Sign with --sign FILE.p12 [--pass env:VAR]."
    fi
}

# What a site and its users need for modern browsers, in an empty folder: the extension as the
# browsers load it unpacked and zipped for a store, with the package's version; its ID; the page
# library and an example page.
qm_package_browser() { # folder version
    local dir=$1 version=$2 source=$QM_ROOT/browser
    mkdir -p "$dir" && cp -r "$source/extension" "$dir/extension" || return
    sed -i "s/^\( *\"version\": *\)\"[^\"]*\"/\1\"$version\"/" "$dir/extension/manifest.json" &&
        grep -q "\"version\": \"$version\"" "$dir/extension/manifest.json" ||
        qm_package_fail "could not set the extension's version" || return
    sh "$source/extension-id.sh" "$dir/extension/manifest.json" >"$dir/extension-id.txt" ||
        qm_package_fail "the extension's manifest has no key" || return
    (cd "$dir/extension" && zip -q -X -r ../quillmark-extension.zip .) ||
        qm_package_fail "could not zip the extension" || return
    cp "$source/page/quillmark.js" "$source/page/example.html" "$dir/"
}

# The whole command on builds that are already there: qm_package ARGUMENTS...
qm_package() {
    qm_package_args "$@" || return
    if [ "$QM_PACKAGE_HELP" = 1 ]; then
        qm_package_usage
        return 0
    fi
    qm_package_make
}
