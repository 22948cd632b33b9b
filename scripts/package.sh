# The package for a site's users, sourced by ./run:
#   ./run package [--out DIR] [--sign FILE.p12 [--pass env:VAR]] [--test-cert]
#
#   DIR/Quillmark.cab   what a page's <object> tags name in their codebase: Quillmark.inf, the i686
#                       Quillmark.dll at its root and the x86_64 one under amd64\
#   DIR/Quillmark.inf   the installer script that the cabinet carries, to read
#   DIR/page.html       an example page that installs the control from the cabinet and uses it
#
# DIR is dist/ unless given. --sign signs both DLLs and the cabinet with Authenticode, with the
# certificate and key of a PKCS#12 file whose password is read from an environment variable; the
# signatures carry no timestamp (no timestamp server can be reached from here). --test-cert makes a
# throwaway code-signing CA and certificate, written into DIR as TEST-ONLY-*, and signs with them.

# Files this command writes into DIR (and removes there first, so that nothing stale stays).
QM_PACKAGE_FILES=(Quillmark.cab Quillmark.inf page.html
    TEST-ONLY-codesign-ca.crt TEST-ONLY-codesign.p12)

qm_package_usage() {
    sed -n '2,12p' "$QM_ROOT/scripts/package.sh" | sed 's/^# \{0,1\}//'
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
# tests: written into a folder as TEST-ONLY-codesign-ca.crt (to verify against, or to trust on a
# test machine) and TEST-ONLY-codesign.p12 (certificate, key and CA, with an empty password). The
# CA's key is thrown away: nothing else can ever be signed by that CA.
qm_package_test_cert() { # folder
    local out tmp
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
        cp signer.p12 "$out/TEST-ONLY-codesign.p12"
    )
    local rc=$?
    rm -rf "$tmp"
    [ $rc -eq 0 ] || qm_package_fail "could not make the test certificate"
}

# Signs a file in place. The password reaches osslsigncode through a pipe, never its command line.
qm_package_sign() { # file p12 password-variable-name (empty, or an empty password: none)
    local file=$1 p12=$2 var=$3
    local sign=(osslsigncode sign -pkcs12 "$p12" -h sha256 -n Quillmark -in "$file" -out "$file.signed")
    if [ -n "$var" ] && [ -n "${!var}" ]; then
        printf '%s' "${!var}" | "${sign[@]}" -readpass /dev/stdin >/dev/null
    else
        "${sign[@]}" >/dev/null
    fi || {
        rm -f "$file.signed"
        qm_package_fail "could not sign $(basename "$file") with $p12"
        return
    }
    mv "$file.signed" "$file"
}

# Makes the cabinet in an empty folder, signed when a PKCS#12 file is given. Its layout is the one
# the installer script's SourceDisksFiles sections name.
qm_package_cabinet() { # stage inf i686-dll x86_64-dll cabinet [p12 [password-variable-name]]
    local stage=$1 inf=$2 x86=$3 x64=$4 cab=$5 p12=${6:-} pass_var=${7:-}
    mkdir "$stage/amd64" && cp "$inf" "$stage/Quillmark.inf" || return
    # What ships carries no debugging information: it would triple the download.
    i686-w64-mingw32-strip --strip-unneeded -o "$stage/Quillmark.dll" "$x86" &&
        x86_64-w64-mingw32-strip --strip-unneeded -o "$stage/amd64/Quillmark.dll" "$x64" ||
        qm_package_fail "could not strip the modules" || return
    if [ -n "$p12" ]; then
        qm_package_sign "$stage/Quillmark.dll" "$p12" "$pass_var" &&
            qm_package_sign "$stage/amd64/Quillmark.dll" "$p12" "$pass_var" || return
    fi
    (cd "$stage" && gcab -c -z "$cab" Quillmark.inf Quillmark.dll amd64/Quillmark.dll) ||
        qm_package_fail "gcab could not make the cabinet" || return
    [ -z "$p12" ] || qm_package_sign "$cab" "$p12" "$pass_var"
}

# Reads the command's arguments into QM_PACKAGE_*; returns 2 on a bad one, with the reason.
qm_package_args() {
    QM_PACKAGE_OUT=$QM_ROOT/dist QM_PACKAGE_P12="" QM_PACKAGE_PASS="" QM_PACKAGE_TEST_CERT=0
    QM_PACKAGE_HELP=0
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

# Makes the package from the builds, as the arguments read by qm_package_args say.
qm_package_make() {
    local out=$QM_PACKAGE_OUT p12=$QM_PACKAGE_P12 pass_var=$QM_PACKAGE_PASS
    local test_cert=$QM_PACKAGE_TEST_CERT
    local made=$QM_BUILD/win64/package version
    local x64=$QM_BIN/Quillmark.dll x86=$QM_BUILD/win32/bin/Quillmark.dll
    [ -f "$made/Quillmark.inf" ] && [ -f "$made/page.html" ] ||
        qm_package_fail "the installer script and the page are not built ($made)" || return
    version=$(sed -n 's/^FileVersion=\([0-9,]*\)\r\{0,1\}$/\1/p' "$made/Quillmark.inf" | tr , .)
    [ -n "$version" ] || qm_package_fail "$made/Quillmark.inf names no FileVersion" || return
    qm_package_check_module "$x86" i386 "$version" || return
    qm_package_check_module "$x64" x86_64 "$version" || return

    mkdir -p "$out" && out=$(cd "$out" && pwd) || return
    local f
    for f in "${QM_PACKAGE_FILES[@]}"; do
        rm -f "${out:?}/$f" || return
    done
    if [ $test_cert = 1 ]; then
        qm_package_test_cert "$out" || return
        p12=$out/TEST-ONLY-codesign.p12
    fi

    local stage
    stage=$(mktemp -d) || return
    qm_package_cabinet "$stage" "$made/Quillmark.inf" "$x86" "$x64" "$out/Quillmark.cab" "$p12" "$pass_var"
    local rc=$?
    rm -rf "$stage"
    [ $rc -eq 0 ] || return $rc
    cp "$made/Quillmark.inf" "$made/page.html" "$out/" || return

    echo "==> Quillmark $version packaged in $out"
    for f in "${QM_PACKAGE_FILES[@]}"; do
        [ -f "$out/$f" ] && printf '    %-26s %8d bytes\n' "$f" "$(stat -c %s "$out/$f")"
    done
    if [ $test_cert = 1 ]; then
        echo "    signed with a TEST-ONLY certificate: publish nothing signed with it."
        echo "    check: osslsigncode verify -CAfile $out/TEST-ONLY-codesign-ca.crt -in $out/Quillmark.cab"
    elif [ -n "$p12" ]; then
        echo "    signed with $p12 (no timestamp: re-sign before that certificate expires)"
    else
        echo "    NOT SIGNED: browsers refuse unsigned controls. Sign with --sign FILE.p12 [--pass env:VAR]."
    fi
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
