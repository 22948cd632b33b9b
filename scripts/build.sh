# The build: one CMake tree per toolchain, all driven from here.
#
#   $QM_BUILD/native      g++: the engine and store cores, their Winelib DLLs, native tests, tools
#   $QM_BUILD/native-asan the same under AddressSanitizer and UBSan (tests only)
#   $QM_BUILD/win64       mingw-w64 x86_64: Quillmark.dll and its tests, run under Wine
#   $QM_BUILD/win32       mingw-w64 i686: the same sources, compiled to prove they build
#   $QM_BIN               every DLL that Wine loads, side by side
#   $QM_BUILD/openssl-win OpenSSL for both Windows architectures (scripts/openssl-windows.sh)

qm_cmake_tree() { # name, extra cmake arguments...
    local dir="$QM_BUILD/$1"
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$QM_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    fi
    cmake --build "$dir" --parallel "$(nproc)" -- --no-print-directory
}

qm_build_native() {
    echo "==> building (native)"
    qm_cmake_tree native -DQM_BIN_DIR="$QM_BIN"
}

qm_build_native_asan() {
    echo "==> building (native, AddressSanitizer + UBSan)"
    qm_cmake_tree native-asan -DQM_SANITIZE=ON -DQM_WINELIB=OFF
}

qm_build_win64() {
    qm_openssl_windows || return
    echo "==> building (mingw-w64 x86_64)"
    qm_cmake_tree win64 -DCMAKE_TOOLCHAIN_FILE="$QM_ROOT/cmake/mingw-x86_64.cmake" -DQM_BIN_DIR="$QM_BIN" \
        -DQM_NATIVE_DIR="$QM_BUILD/native"
}

qm_build_win32() {
    qm_openssl_windows || return
    echo "==> building (mingw-w64 i686, compile check)"
    qm_cmake_tree win32 -DCMAKE_TOOLCHAIN_FILE="$QM_ROOT/cmake/mingw-i686.cmake" -DQM_TESTS=OFF
}

qm_build() {
    mkdir -p "$QM_BIN"
    qm_build_native
    qm_build_win64
}

# Registers Quillmark.dll in the prefix when the DLL is newer than the last registration.
qm_register() {
    local dll="$QM_BIN/Quillmark.dll" stamp="$WINEPREFIX/.quillmark-registered"
    [ -f "$dll" ] || {
        echo "Quillmark.dll is not built" >&2
        return 1
    }
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$dll" ] && [ "$stamp" -nt "$dll" ]; then
        return 0
    fi
    echo "==> registering Quillmark.dll"
    DISPLAY= wine regsvr32 /s "$(winepath -w "$dll")"
    echo "$dll" >"$stamp"
}
