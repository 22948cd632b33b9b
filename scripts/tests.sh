# The test run: native tests, sanitizer tests, the i686 compile check, then everything that runs
# under Wine (GoogleTest programs, C++ COM clients, JScript and VBScript through cscript) inside one
# Xvfb display. Any failure makes ./run test exit non-zero.

qm_ctest() { # build tree, extra ctest arguments...
    local dir="$QM_BUILD/$1"
    shift
    ctest --test-dir "$dir" --output-on-failure --timeout 600 "$@"
}

# Runs a command inside one Xvfb display, with the wineserver started inside it.
qm_with_display() {
    wineserver -w 2>/dev/null || true
    local rc=0
    xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$@" || rc=$?
    wineserver -w 2>/dev/null || true
    return $rc
}

qm_test() {
    local failed=()
    echo "==> native tests"
    qm_ctest native || failed+=(native)

    qm_build_native_asan
    echo "==> native tests under AddressSanitizer and UBSan"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        qm_ctest native-asan || failed+=(native-asan)

    qm_build_win32 || failed+=(win32-build)

    qm_register || failed+=(register)
    echo "==> tests under Wine"
    # They write the site lock's settings: the user's own are kept aside meanwhile.
    qm_keeping_site_settings qm_with_display "$QM_ROOT/scripts/ctest-wine.sh" "$@" || failed+=(wine)

    if [ -x "$QM_ROOT/fuzz/run-short.sh" ]; then
        echo "==> short fuzz runs"
        "$QM_ROOT/fuzz/run-short.sh" || failed+=(fuzz)
    fi

    if [ ${#failed[@]} -ne 0 ]; then
        echo "FAILED: ${failed[*]}" >&2
        return 1
    fi
    echo "ALL TESTS PASSED"
}

# Says where the store of the project's Wine world is when it holds no certificate of a user, and
# how to fill it: a script that lists certificates would otherwise just find none.
qm_store_note() {
    local medium
    for medium in "$QUILLMARK_STORE"/medium[0-3]; do
        [ -n "$(ls -A "$medium" 2>/dev/null | grep -v '^\.')" ] && return 0
    done
    echo "==> the store $QUILLMARK_STORE holds no user's certificate:" \
        "./run ledra-tool demo (or import-user) fills it" >&2
}

# Runs a JScript or VBScript file with cscript and returns the script's WScript.Quit code; a script
# that does not parse, or stops with an error, is told as "FILE:LINE: message" and returns 1.
#
# Wine's cscript reads a script in the ANSI code page (949) only, and says nothing when a script
# fails. A UTF-8 or UTF-16 script is therefore run from a copy that it reads the same (JScript:
# ASCII with \u escapes; VBScript: code page 949), kept beside the script so that the script's
# folder stays its own (WScript.ScriptFullName), or in a temporary folder where that one cannot be
# written; and the script engines' error channels are read for what failed.
qm_script() {
    local file=$1 run tmp status=0 rc=0
    shift
    [ -f "$file" ] || {
        echo "no such script: $file" >&2
        return 2
    }
    case "$file" in
    *.[jJ][sS] | *.[vV][bB][sS]) ;;
    *)
        echo "not a script: $file (JScript .js or VBScript .vbs)" >&2
        return 2
        ;;
    esac
    tmp=$(mktemp -d) || return
    run=$(realpath "$file")
    local copy
    copy="$(dirname "$run")/.$(basename "$run" | sed 's/\.[^.]*$//').utf8-copy.$$.${run##*.}"
    perl "$QM_ROOT/scripts/script-host.pl" text "$run" "$tmp/script" || rc=$?
    case $rc in
    0)
        if ! cp "$tmp/script" "$copy" 2>/dev/null; then
            copy="$tmp/$(basename "$run")"
            cp "$tmp/script" "$copy"
        fi
        run=$copy
        ;;
    3) copy= ;;
    *)
        rm -rf "$tmp"
        return 2
        ;;
    esac
    # An interrupted run leaves no copy behind.
    trap 'rm -rf "$tmp"; [ -z "$copy" ] || rm -f "$copy"; exit 130' INT TERM
    # The script's standard output goes straight through; Wine's debug lines are taken out of its
    # standard error, and anything else there goes through too.
    {
        {
            WINEDEBUG=-all,warn+jscript,warn+vbscript,fixme+vbscript,fixme+wscript \
                qm_wine cscript //nologo "$(winepath -w "$run")" "$@" && echo 0 >"$tmp/status" ||
                echo $? >"$tmp/status"
        } 2>&1 1>&3 3>&- | LC_ALL=C awk -v debug="$tmp/debug" \
            '/^[0-9a-f]+:(fixme|warn|err|trace):/ { print >debug; next } { print; fflush() }' >&2
    } 3>&1 || true
    status=$(cat "$tmp/status" 2>/dev/null) || status=1
    if [ -f "$tmp/debug" ] &&
        perl "$QM_ROOT/scripts/script-host.pl" error "$tmp/debug" "$run" "$file" >&2; then
        status=1
    fi
    trap - INT TERM
    [ -z "$copy" ] || rm -f "$copy"
    rm -rf "$tmp"
    return "$status"
}

# The benchmarks that run under Wine (bench/run-wine.sh), after the native programs in
# $QM_BUILD/native/bench.
QM_WINE_BENCHES=(dispatch enveloping_bench compare-pe browser)

# What the benchmark library and Wine print about themselves, with a word on what it means.
qm_bench_notes() {
    awk '
        { print; fflush() }
        /Library was built as DEBUG/ {
            print "    (a note of the benchmark library about its own build: Debian builds it with its"
            print "    assertions on; what it measures, Quillmark and OpenSSL, is built optimised)"
        }
        /CPU scaling is enabled/ {
            print "    (this machine changes its processor speed: compare figures of one run only)"
        }'
}

# ./run bench [NAME [ARGS...]]: every benchmark, or the one named, with its own arguments.
qm_bench() {
    local name=${1:-} b names=() failed=() ran=0
    [ $# -gt 0 ] && shift
    for b in "$QM_BUILD"/native/bench/*; do
        [ -x "$b" ] && [ -f "$b" ] || continue
        names+=("$(basename "$b")")
        if [ -z "$name" ] || [ "$name" = "$(basename "$b")" ]; then
            echo "==> $(basename "$b")"
            "$b" "$@" 2>&1 | qm_bench_notes || failed+=("$(basename "$b")")
            ran=1
        fi
    done
    names+=("${QM_WINE_BENCHES[@]}")
    if [ -z "$name" ] || [[ " ${QM_WINE_BENCHES[*]} " == *" $name "* ]]; then
        qm_register || return
        qm_with_display "$QM_ROOT/bench/run-wine.sh" ${name:+"$name"} "$@" 2>&1 | qm_bench_notes ||
            failed+=(wine)
        ran=1
    fi
    if [ $ran = 0 ]; then
        echo "unknown benchmark: $name (there are: ${names[*]})" >&2
        return 2
    fi
    if [ ${#failed[@]} -ne 0 ]; then
        echo "FAILED: ${failed[*]}" >&2
        return 1
    fi
}
