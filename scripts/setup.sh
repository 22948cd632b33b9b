# Set-up of a fresh Debian machine: packages, the Korean locale, the project's Wine prefix.
# Sourced by ./run; every step checks first and does nothing when it is already done.

QM_PACKAGES=(
    build-essential cmake make pkg-config git file xxd ca-certificates dpkg-dev debian-archive-keyring
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
    wine wine64 libwine-dev
    xvfb xauth x11-utils xdotool imagemagick fonts-wine fonts-nanum locales
    libssl-dev openssl libcli11-dev
    gcab osslsigncode cabextract msitools wixl
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libfuzzer-14-dev libclang-rt-14-dev
    nlohmann-json3-dev zip chromium nodejs
)

# Bump when the prefix's settings below change, so that existing prefixes are brought up to date.
QM_PREFIX_VERSION=3

qm_as_root() {
    if [ "$(id -u)" = 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

qm_install_packages() {
    local missing=() p
    for p in "${QM_PACKAGES[@]}"; do
        # grep reads all (no -q): an early exit would fail the pipeline under pipefail.
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "==> installing packages: ${missing[*]}"
    qm_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    qm_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

qm_install_locale() {
    locale -a 2>/dev/null | grep -i '^ko_KR\.utf-\?8$' >/dev/null && return 0
    echo "==> generating the ko_KR.UTF-8 locale"
    if [ -f /etc/locale.gen ] && grep -q 'ko_KR.UTF-8' /etc/locale.gen; then
        qm_as_root sed -i 's/^# *\(ko_KR\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    else
        echo 'ko_KR.UTF-8 UTF-8' | qm_as_root tee -a /etc/locale.gen >/dev/null
    fi
    qm_as_root locale-gen >/dev/null
}

# Writes the registry settings that the project's Wine world needs, in one Wine process (a
# process per value took most of a minute on a busy machine).
qm_configure_prefix() {
    local file face rc=0
    file=$(mktemp --suffix=.reg) || return
    {
        printf '\xEF\xBB\xBF'
        printf '%s\r\n' 'Windows Registry Editor Version 5.00' ''
        # Captions and frames drawn by Wine itself: there is no window manager under Xvfb.
        printf '%s\r\n' '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Decorated"="N"' '"Managed"="N"' ''
        # The dialog's font, and Korean text in general, drawn with a Nanum font.
        printf '%s\r\n' '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]'
        for face in '굴림체' '굴림' 'GulimChe' 'Gulim' 'MS Shell Dlg' 'MS Shell Dlg 2' 'Tahoma'; do
            printf '"%s"="NanumGothic"\r\n' "$face"
        done
        # No crash dialog: a crashing test program must end, not wait for a person.
        printf '%s\r\n' '' '[HKEY_CURRENT_USER\Software\Wine\WineDbg]' '"ShowCrashDialog"=dword:00000000'
    } | iconv -f UTF-8 -t UTF-16LE >"$file" || rc=1
    [ $rc = 0 ] && wine reg import "$(winepath -w "$file")" >/dev/null 2>&1 || rc=1
    rm -f "$file"
    [ $rc = 0 ] || echo "could not write the Wine prefix's settings" >&2
    return $rc
}

# Runs a long, silent command (its output is dropped) and shows how far it got meanwhile: the time
# and the size of the folder it fills, of about EXPECTED MB. On a terminal one line is rewritten;
# elsewhere (a log, CI) a line is added every 15 seconds.
qm_with_progress() { # folder expected-MB command...
    local folder=$1 expected=$2 start=$SECONDS pid rc=0 mb shown=$SECONDS
    shift 2
    "$@" >/dev/null 2>&1 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        mb=$(du -sm "$folder" 2>/dev/null | cut -f1) || mb=0
        if [ -t 1 ]; then
            printf '\r    %3d s, %4s MB of about %s MB' $((SECONDS - start)) "${mb:-0}" "$expected"
        elif [ $((SECONDS - shown)) -ge 15 ]; then
            echo "    $((SECONDS - start)) s, ${mb:-0} MB of about $expected MB"
            shown=$SECONDS
        fi
    done
    wait "$pid" || rc=$?
    [ -t 1 ] && printf '\r'
    printf '    done in %d s, %s MB%20s\n' $((SECONDS - start)) "$(du -sm "$folder" 2>/dev/null | cut -f1)" ""
    return $rc
}

qm_install_prefix() {
    local stamp="$WINEPREFIX/.quillmark-prefix"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$QM_PREFIX_VERSION" ]; then
        return 0
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "==> creating the Wine prefix in $WINEPREFIX (about 700 MB and 1 to 2 minutes, once)"
        mkdir -p "$WINEPREFIX"
        qm_with_progress "$WINEPREFIX" 700 env DISPLAY= wineboot -i || true
    fi
    echo "==> configuring the Wine prefix"
    DISPLAY= qm_configure_prefix
    wineserver -w
    echo "$QM_PREFIX_VERSION" >"$stamp"
}

# The browser tests' node modules (puppeteer-core), exactly as tests/browser/package-lock.json
# names them; again only when the lock file changes. Debian's nodejs comes without npm, which some
# other builds of Node.js bring along.
qm_install_node_modules() {
    local dir=$QM_ROOT/tests/browser
    local stamp=$dir/node_modules/.quillmark-lock
    cmp -s "$stamp" "$dir/package-lock.json" 2>/dev/null && return 0
    if ! command -v npm >/dev/null; then
        qm_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends npm
    fi
    echo "==> installing the browser tests' node modules (puppeteer-core)"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error) &&
        cp "$dir/package-lock.json" "$stamp"
}

qm_setup() {
    qm_install_packages
    qm_install_locale
    qm_install_prefix
    qm_install_node_modules
}
