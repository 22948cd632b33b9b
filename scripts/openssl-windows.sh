# OpenSSL for the Windows builds of the engine and the store, sourced by ./run.
#
# The source is Debian's own `openssl` source package, fetched through apt from the Debian archive
# that this machine already uses (scripts/apt/debian-src.sources, with apt's state kept in the
# cache rather than in the system's), checked by dpkg-source against the checksums of its signed
# .dsc, and cross-built as a static libcrypto for x86_64-w64-mingw32 and i686-w64-mingw32.
#
# A build is kept in $QM_CACHE/openssl/<package version>-<toolchain key>/<arch> and made once per
# machine: later runs, other clones and other build trees take it from there. $QM_BUILD/openssl-win
# holds one link per architecture to the build in force, which the CMake trees name.
#
# What a build turns off: shared libraries, DSOs, engines and separately loaded provider modules
# (the legacy provider, which SEED and DES need, is then built into libcrypto), the tests, and
# the automatic loading of a system-wide openssl.cnf: a library inside a browser must not take its
# settings from a file on the machine. The folders compiled into the library are under OpenSSL's
# own Windows default prefix, which only an administrator can write to: a Unix default such as
# /usr/local/ssl would name \usr\local\ssl on whatever drive is current, where anyone may create it.
#
# What a build changes: OpenSSL's locks are critical sections rather than slim reader/writer
# locks (see qm_openssl_fetch).

QM_CACHE=${QM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmark}
QM_OPENSSL_ARCHS=(x86_64 i686)
QM_OPENSSL_OPTIONS=(no-shared no-tests no-dso no-engine no-module no-autoload-config)
# The apt index of source packages is read again when it is older than this (in days).
QM_OPENSSL_INDEX_DAYS=7
# Raised whenever the way a build is made changes, so that the cache holds a new build for it.
QM_OPENSSL_RECIPE=2

qm_openssl_apt() { # apt-get or apt-cache, then its arguments: apt with the project's own state
    local tool=$1 state=$QM_CACHE/apt
    shift
    "$tool" -o Dir::Etc::SourceList="$state/sources.list.d/debian-src.sources" \
        -o Dir::Etc::SourceParts="$state/sources.list.d" \
        -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" \
        -o Dir::State::status=/var/lib/dpkg/status -o Debug::NoLocking=1 \
        -o APT::Sandbox::User="$(id -un)" "$@"
}

# The project's deb-src entries for this machine's Debian release, and a fresh source index.
qm_openssl_index() {
    local state=$QM_CACHE/apt codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || {
        echo "openssl: cannot tell this machine's Debian release (/etc/os-release)" >&2
        return 1
    }
    mkdir -p "$state/sources.list.d" "$state/lists/partial" "$state/cache/archives/partial" || return
    sed "s/@CODENAME@/$codename/g" "$QM_ROOT/scripts/apt/debian-src.sources" \
        >"$state/sources.list.d/debian-src.sources" || return
    if [ -z "$(find "$state/updated" -mtime -"$QM_OPENSSL_INDEX_DAYS" 2>/dev/null)" ] ||
        ! cmp -s "$state/sources.list.d/debian-src.sources" "$state/updated"; then
        echo "==> reading Debian's index of source packages ($codename)" >&2
        qm_openssl_apt apt-get -q update >"$state/update.log" 2>&1 || {
            cat "$state/update.log" >&2
            echo "openssl: apt could not read the index of source packages" >&2
            return 1
        }
        cp "$state/sources.list.d/debian-src.sources" "$state/updated"
    fi
}

# The key of the toolchain and of the recipe: a change of compiler, of options or of the source's
# changes means a new build.
qm_openssl_toolchain_key() {
    local arch
    {
        for arch in "${QM_OPENSSL_ARCHS[@]}"; do
            "$arch-w64-mingw32-gcc" --version | head -1
        done
        echo "options ${QM_OPENSSL_OPTIONS[*]} recipe $QM_OPENSSL_RECIPE"
    } | sha256sum | cut -c1-12
}

# Fetches, checks and unpacks one version of the source package into a folder; false when the
# archive does not serve every file of that version.
qm_openssl_fetch() { # version folder
    local version=$1 dir=$2
    mkdir -p "$dir/download" || return
    (cd "$dir/download" && qm_openssl_apt apt-get -q source --download-only "openssl=$version") \
        >"$dir/fetch.log" 2>&1 || return 1
    # dpkg-source checks every file against the .dsc's checksums (the .dsc itself is the one
    # that apt checked against the archive's signed index) and applies Debian's patches.
    (cd "$dir/download" && dpkg-source --require-strong-checksums -x ./*.dsc "$dir/src") \
        >>"$dir/fetch.log" 2>&1 || {
        cat "$dir/fetch.log" >&2
        echo "openssl: the source package $version failed its checks" >&2
        return 2
    }
    # Debian's pic.patch makes the 32-bit x86 assembly position-independent the ELF way (through
    # the GOT), which an object file for Windows cannot represent; Windows relocates a DLL
    # instead. The Windows builds take that assembly as OpenSSL writes it (the 64-bit assembly
    # is not touched by the patch).
    if [ -f "$dir/src/debian/patches/pic.patch" ]; then
        patch -R -p1 -s -d "$dir/src" <"$dir/src/debian/patches/pic.patch" >>"$dir/fetch.log" 2>&1 || {
            cat "$dir/fetch.log" >&2
            echo "openssl: Debian's pic.patch could not be taken back out" >&2
            return 2
        }
    fi
    # Built for Vista and later, OpenSSL's locks are slim reader/writer locks. Sealing one message
    # takes them some thousands of times, nearly always free, and under Wine a free SRW lock costs
    # two to three times what a free critical section does (44 and 66 ns shared and exclusive
    # against 21 ns): a quarter of the processor time of a seal. OpenSSL's other Windows lock, a
    # critical section with a spin count, lets readers in one at a time, which the engine's short
    # locked sections do not feel.
    local threads=$dir/src/crypto/threads_win.c
    if [ "$(grep -c '^# *define USE_RWLOCK$' "$threads")" != 1 ]; then
        echo "openssl: $threads no longer chooses its locks as expected" >&2
        return 2
    fi
    sed -i 's|^# *define USE_RWLOCK$|/* critical sections: see scripts/openssl-windows.sh */|' \
        "$threads"
}

qm_openssl_configure_target() { # arch
    case "$1" in
    x86_64) echo mingw64 ;;
    i686) echo mingw ;;
    esac
}

# Builds libcrypto for one architecture from an unpacked source and installs it into a prefix.
qm_openssl_build_arch() { # source arch prefix log
    local src=$1 arch=$2 prefix=$3 log=$4 work
    work=$(dirname "$prefix")/build-$arch
    rm -rf "$work" "$prefix" && mkdir -p "$work" "$prefix/lib" "$prefix/include/openssl" || return
    {
        (cd "$work" &&
            "$src/Configure" "$(qm_openssl_configure_target "$arch")" \
                --cross-compile-prefix="$arch-w64-mingw32-" "${QM_OPENSSL_OPTIONS[@]}" \
                --prefix="C:/Program Files/OpenSSL" &&
            make -j"$(nproc)" build_generated &&
            make -j"$(nproc)" libcrypto.a) &&
            cp "$work/libcrypto.a" "$prefix/lib/" &&
            cp "$src"/include/openssl/*.h "$work"/include/openssl/*.h "$prefix/include/openssl/"
    } >"$log" 2>&1 || {
        tail -30 "$log" >&2
        echo "openssl: the $arch build failed (whole log: $log)" >&2
        return 1
    }
    rm -rf "$work"
}

# Chooses the newest version that the archive serves whole and builds it, unless a build for
# that version and this toolchain is already in the cache. Prints the build's folder.
qm_openssl_build() {
    local key versions version dir tmp rc
    key=$(qm_openssl_toolchain_key) || return
    qm_openssl_index || return
    versions=$(qm_openssl_apt apt-cache showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' |
        sort -u | sort -r -V)
    [ -n "$versions" ] || {
        echo "openssl: the archive lists no source package openssl" >&2
        return 1
    }
    for version in $versions; do
        dir=$QM_CACHE/openssl/$version-$key
        if [ -f "$dir/complete" ]; then
            echo "$dir"
            return 0
        fi
        tmp=$QM_CACHE/openssl/.new-$version-$key-$$
        rm -rf "$tmp" && mkdir -p "$tmp" || return
        qm_openssl_fetch "$version" "$tmp" && rc=0 || rc=$?
        if [ $rc -eq 1 ]; then
            rm -rf "$tmp"
            continue # not served whole (a version that the mirror no longer carries)
        fi
        [ $rc -eq 0 ] || {
            rm -rf "$tmp"
            return 1
        }
        local arch started=$SECONDS
        for arch in "${QM_OPENSSL_ARCHS[@]}"; do
            echo "==> building OpenSSL $version for $arch-w64-mingw32 (once per machine)" >&2
            qm_openssl_build_arch "$tmp/src" "$arch" "$tmp/$arch" "$QM_CACHE/openssl/build-$arch.log" || {
                rm -rf "$tmp" # the log stays beside it
                return 1
            }
        done
        echo "==> OpenSSL $version for Windows built in $((SECONDS - started)) s" >&2
        rm -rf "$tmp/src" "$tmp/download"
        echo "$version" >"$tmp/version"
        touch "$tmp/complete"
        rm -rf "$dir" && mv "$tmp" "$dir" || return
        echo "$dir"
        return 0
    done
    echo "openssl: no version of the source package could be fetched whole" >&2
    return 1
}

# Makes $QM_BUILD/openssl-win/<arch> name a complete build. Quick when the links are in place.
qm_openssl_windows() {
    local links=$QM_BUILD/openssl-win arch dir
    local stamp=$links/toolchain
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(qm_openssl_toolchain_key)" ]; then
        for arch in "${QM_OPENSSL_ARCHS[@]}"; do
            [ -f "$links/$arch/lib/libcrypto.a" ] || break
        done
        [ -f "$links/$arch/lib/libcrypto.a" ] && return 0
    fi
    mkdir -p "$QM_CACHE/openssl" "$links" || return
    # One build at a time on this machine: other clones wait for it and then take it.
    dir=$(
        exec 9>"$QM_CACHE/openssl/.lock"
        flock 9
        qm_openssl_build
    ) || return
    for arch in "${QM_OPENSSL_ARCHS[@]}"; do
        ln -sfn "$dir/$arch" "$links/$arch" || return
    done
    qm_openssl_toolchain_key >"$stamp"
}
