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
    xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$@"
    local rc=$?
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
    qm_with_display "$QM_ROOT/scripts/ctest-wine.sh" "$@" || failed+=(wine)

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

# Runs a JScript or VBScript file with cscript and returns the script's WScript.Quit code.
qm_script() {
    local file=$1
    shift
    [ -f "$file" ] || {
        echo "no such script: $file" >&2
        return 2
    }
    qm_wine cscript //nologo "$(winepath -w "$(realpath "$file")")" "$@"
}

qm_bench() {
    local b
    for b in "$QM_BUILD"/native/bench/*; do
        [ -x "$b" ] && [ -f "$b" ] && {
            echo "==> $(basename "$b")"
            "$b"
        }
    done
    [ -x "$QM_ROOT/bench/run-wine.sh" ] && qm_with_display "$QM_ROOT/bench/run-wine.sh"
    return 0
}
