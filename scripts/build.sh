# The build: one CMake tree per toolchain, all driven from here.
#
#   $QM_BUILD/native      g++: the engine and store cores, native tests and tools
#   $QM_BUILD/native-asan the same under AddressSanitizer and UBSan (tests only)
#   $QM_BUILD/win64       mingw-w64 x86_64: Quillmark.dll and its tests, run under Wine
#   $QM_BUILD/win32       mingw-w64 i686: the same sources, compiled to prove they build
#   $QM_BIN               every DLL that Wine loads, side by side
#   $QM_BUILD/openssl-win OpenSSL for both Windows architectures (scripts/openssl-windows.sh)

# Shows a build's output, headed by its title, only where it does something: a build that finds
# everything up to date prints nothing. QM_VERBOSE=1 (./run --verbose) shows every line.
qm_build_output() { # title
    if [ "${QM_VERBOSE:-0}" = 1 ]; then
        echo "==> $1"
        cat
        return
    fi
    awk -v title="==> $1" '
        /Built target|Consolidate compiler generated|Scanning dependencies|^-- (Configuring|Generating) done|^-- Build files have been written/ { next }
        !shown { print title; shown = 1 }
        { print; fflush() }'
}

# One build of a tree at a time: two makes in one tree (two ./run commands at once, or a test that
# runs ./run while another builds) rewrite each other's libraries, and a link that looks for one
# while the other has just removed it fails ("No rule to make target store/libledra_core.a"). The
# second waits for the first, which leaves it nothing to do.
qm_tree_lock() { # tree name; holds the lock on file descriptor 9 until the calling subshell ends
    # (commands run under it close 9, so that nothing they leave running keeps the tree locked)
    mkdir -p "$QM_BUILD"
    exec 9>"$QM_BUILD/.$1.lock"
    if ! flock -n 9; then
        echo "waiting for another build of $QM_BUILD/$1 to end"
        flock 9
    fi
}

qm_cmake_tree() { # title, tree name, extra cmake arguments...
    local title=$1 tree=$2 dir="$QM_BUILD/$2"
    shift 2
    (
        qm_tree_lock "$tree"
        if [ ! -f "$dir/CMakeCache.txt" ]; then
            cmake -S "$QM_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null 9>&- ||
                exit
        fi
        cmake --build "$dir" --parallel "$(nproc)" -- --no-print-directory 9>&-
    ) 2>&1 | qm_build_output "$title"
    return "${PIPESTATUS[0]}"
}

qm_build_native() {
    qm_cmake_tree "building (native)" native -DQM_BIN_DIR="$QM_BIN"
}

qm_build_native_asan() {
    qm_cmake_tree "building (native, AddressSanitizer + UBSan)" native-asan -DQM_SANITIZE=ON
}

qm_build_win64() {
    qm_openssl_windows || return
    qm_cmake_tree "building (mingw-w64 x86_64)" win64 -DCMAKE_TOOLCHAIN_FILE="$QM_ROOT/cmake/mingw-x86_64.cmake" -DQM_BIN_DIR="$QM_BIN" \
        -DQM_NATIVE_DIR="$QM_BUILD/native"
}

qm_build_win32() {
    qm_openssl_windows || return
    qm_cmake_tree "building (mingw-w64 i686, compile check)" win32 -DCMAKE_TOOLCHAIN_FILE="$QM_ROOT/cmake/mingw-i686.cmake" -DQM_TESTS=OFF
}

qm_build() {
    mkdir -p "$QM_BIN"
    qm_build_native
    qm_build_win64
}

# The classes' servers as the prefix's registry names them, as Unix paths, one line per class (a
# class that is not registered gives an empty line). It always succeeds: no class being
# registered (after the package's uninstall, say) is an answer, not a failure.
QM_CLASS_IDS=(1BC0F715-34E2-4C99-A6EF-CDBC7508374A 99773079-BE72-4E09-A1E6-2AF633102C93
    150DC113-F10D-42A1-9B03-AA4D7A166950)
qm_registered_servers() {
    local queries=() id servers=() server found=() unix=() i=0
    for id in "${QM_CLASS_IDS[@]}"; do
        queries+=("reg query HKCR\\CLSID\\{$id}\\InprocServer32 /ve" "echo end-of-class")
    done
    # One Wine process for all three; each class's answer ends with a marker line, and a class
    # without a server has none of its own before it.
    mapfile -t servers < <(
        { DISPLAY= wine cmd /c "$(IFS='&' && echo "${queries[*]}")" 2>/dev/null || true; } |
            tr -d '\r' | LC_ALL=C awk '/^ .*REG_SZ/ { sub(/^ .*REG_SZ */, ""); server = $0 }
                                      /^end-of-class$/ { print server; server = "" }'
    )
    for server in "${servers[@]}"; do
        [ -n "$server" ] && found+=("$server")
    done
    if [ ${#found[@]} -gt 0 ]; then
        mapfile -t unix < <(winepath -u "${found[@]}" 2>/dev/null || true)
    fi
    for server in "${servers[@]}"; do
        if [ -n "$server" ]; then
            echo "${unix[i]:-}"
            i=$((i + 1))
        else
            echo
        fi
    done
}

# Registers the build's Quillmark.dll in the prefix unless every class is already served by it and
# it has not been rebuilt since. The registry itself is asked: an install and uninstall of the
# package, or another copy registered meanwhile, takes the classes away from the build.
qm_register() {
    local dll="$QM_BIN/Quillmark.dll" stamp="$WINEPREFIX/.quillmark-registered"
    [ -f "$dll" ] || {
        echo "Quillmark.dll is not built" >&2
        return 1
    }
    if [ -f "$stamp" ] && [ "$stamp" -nt "$dll" ]; then
        local expected actual
        expected=$(for _ in "${QM_CLASS_IDS[@]}"; do realpath "$dll"; done)
        actual=$(qm_registered_servers | while IFS= read -r path; do
            if [ -n "$path" ]; then realpath -m "$path"; else echo; fi
        done)
        [ "$actual" = "$expected" ] && return 0
    fi
    echo "==> registering Quillmark.dll"
    DISPLAY= wine regsvr32 /s "$(winepath -w "$dll")" || {
        echo "regsvr32 could not register $dll" >&2
        return 1
    }
    touch "$stamp"
}
