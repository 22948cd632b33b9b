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
    QUILLMARK_STORE=$store wine "$@"
}
