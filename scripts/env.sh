# Environment shared by ./run, the test wrappers and anyone who wants a shell in the project's
# Wine world: `source scripts/env.sh`. Every variable can be preset to run a private copy (another
# build tree or another Wine prefix) beside the main one.
QM_ROOT=${QM_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
QM_BUILD=${QM_BUILD:-$QM_ROOT/build}
QM_BIN=${QM_BIN:-$QM_BUILD/bin}
export QM_ROOT QM_BUILD QM_BIN

export WINEPREFIX=${QM_WINEPREFIX:-${WINEPREFIX:-$QM_ROOT/.wine}}
export WINEDEBUG=${QM_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
# The engine and the store are Windows DLLs beside Quillmark.dll: Wine needs no path of its own
# for them (and a stale one would let an old build in).
unset WINEDLLPATH
# The ANSI code page of every Wine process is 949: the system's texts are Korean. (A test that
# checks another code page names its locale in QM_LANG.)
export LANG=${QM_LANG:-ko_KR.UTF-8}
unset LC_ALL LC_CTYPE
# The certificate store of the project's Wine world, unless a caller points elsewhere.
export QUILLMARK_STORE=${QUILLMARK_STORE:-$QM_BUILD/store}

# Runs a Windows program in the prefix. A Windows program names the store by a Windows path: the
# same folder as QUILLMARK_STORE, through Wine's Z: drive (the whole Unix file system).
qm_wine() {
    local store=$QUILLMARK_STORE
    case "$store" in
    /*) store=Z:$store ;;
    esac
    QUILLMARK_STORE=$store command wine "$@"
}

# The system's console programs write in the console's code page (949) when their output is not a
# terminal (on a terminal Wine writes UTF-8). For them, what goes to a file or a pipe is turned into
# UTF-8, the text of this machine; every other program's output passes as it is (ledra-tool.exe
# writes UTF-8 itself, and a program may write bytes that are not text). QM_WINE_RAW=1 keeps it.
qm_wine_console() {
    local program=${1:-}
    program=${program##*[\\/]}
    case "${program,,}" in
    reg | reg.exe | cmd | cmd.exe | cscript | cscript.exe | wscript | wscript.exe) ;;
    *) program= ;;
    esac
    if [ -z "$program" ] || [ "${QM_WINE_RAW:-0}" = 1 ] || { [ -t 1 ] && [ -t 2 ]; }; then
        qm_wine "$@"
        return
    fi
    local status
    status=$(mktemp) || return
    {
        {
            qm_wine "$@" && echo 0 >"$status" || echo $? >"$status"
        } 2>&1 1>&3 3>&- | qm_console_text 2 >&2
    } 3>&1 | qm_console_text 1
    set -- "$(cat "$status")"
    rm -f "$status"
    return "$1"
}

# Passes standard input through, as UTF-8 from code page 949 unless file descriptor FD is a
# terminal.
qm_console_text() { # fd
    if [ -t "$1" ]; then
        cat
    else
        iconv -f CP949 -t UTF-8 -c
    fi
}

# In an interactive shell that sourced this file, `wine` is the project's: the same prefix and
# environment, and the store as a Windows path, as ./run wine gives them.
case $- in
*i*) wine() { qm_wine "$@"; } ;;
esac
