# The per-user installers, sourced by scripts/package.sh: ./run package writes
#   DIR/Quillmark-x64.msi   for 64-bit Windows
#   DIR/Quillmark-x86.msi   for 32-bit Windows
# from package/Quillmark.wxs with wixl (msitools), each with its architecture's files of the
# cabinet (signed as they are there) and the host's manifests, and signs them like the cabinet.
# The classes' registry entries come from qm-msi-classes (built in the native tree), which runs
# the module's registry scripts as self-registration does.

# The module's registry scripts, in the order of its resource script (a number or a name of
# module/resources/resource.h before REGISTRY).
qm_msi_scripts() {
    local rc=$QM_ROOT/module/resources/Quillmark.rc
    sed -n 's/^[A-Za-z0-9_]\{1,\} *REGISTRY *"\([^"]*\)".*/\1/p' "$rc" | sed "s|^|$QM_ROOT/module/resources/|"
}

# A version's four parts as one number (8 bits each), which the installer compares where its own
# comparison stops at the third part. Fails with the reason for a version that does not fit.
qm_msi_version_number() { # A.B.C.D
    local a b c d
    [[ $1 =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] ||
        { qm_package_fail "the version '$1' is not four numbers"; return; }
    a=${BASH_REMATCH[1]} b=${BASH_REMATCH[2]} c=${BASH_REMATCH[3]} d=${BASH_REMATCH[4]}
    ((10#$a < 128 && 10#$b < 256 && 10#$c < 256 && 10#$d < 256)) ||
        { qm_package_fail "the version $1 does not fit the installer: its first part must stay below 128, the others below 256"; return; }
    echo $(((10#$a << 24) + (10#$b << 16) + (10#$c << 8) + 10#$d))
}

# Builds one architecture's installer: the program files from one folder, the host's manifests
# from another, the product's version as given (a test may give a newer one than the files').
qm_msi_build() { # x64|x86 files-folder manifests-folder version output.msi
    local arch=$1 files=$2 manifests=$3 version=$4 out=$5 number stage f
    number=$(qm_msi_version_number "$version") || return
    local parts
    IFS=. read -r -a parts <<<"$version"
    # The first version that this one does not replace: the third part one more.
    local below="$((10#${parts[0]})).$((10#${parts[1]})).$((10#${parts[2]} + 1))"
    local classes=$QM_BUILD/native/package/qm-msi-classes
    [ -x "$classes" ] || { qm_package_fail "qm-msi-classes is not built ($classes)"; return; }
    stage=$(mktemp -d) || return
    (
        for f in Quillmark.dll Corvane.dll Ledra.dll ledra-tool.exe quillmark-host.exe; do
            cp "$files/$f" "$stage/" || { qm_package_fail "$files/$f is missing"; exit 1; }
        done
        for f in org.quillmark.host.json org.quillmark.host.firefox.json; do
            cp "$manifests/$f" "$stage/" || { qm_package_fail "$manifests/$f is missing"; exit 1; }
        done
        mapfile -t scripts < <(qm_msi_scripts)
        [ ${#scripts[@]} -gt 0 ] || { qm_package_fail "the module names no registry scripts"; exit 1; }
        "$classes" --arch "$arch" --idl "$QM_ROOT/automation/Quillmark.idl" \
            --output "$stage/classes.wxi" "${scripts[@]}" ||
            { qm_package_fail "could not make the classes' registry entries"; exit 1; }
        # wixl takes the files' paths from the folder it runs in.
        cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" \
            -D VersionNumber="$number" -D UpgradeBelow="$below" -I . \
            -o "$stage/out.msi" "$QM_ROOT/package/Quillmark.wxs" >"$stage/wixl.log" 2>&1 || {
            [ "${QM_VERBOSE:-0}" = 1 ] && cat "$stage/wixl.log" >&2
            qm_package_fail "wixl could not build the $arch installer (./run --verbose package shows why)"
            exit 1
        }
        mv "$stage/out.msi" "$out"
    )
    local rc=$?
    rm -rf "$stage"
    return $rc
}

# Both installers into a folder, from the cabinet's staging folder (the i686 files at its root,
# the x86_64 ones under amd64\, the manifests at the root), signed when a PKCS#12 file is given.
qm_msi_make() { # cabinet-stage output-folder version p12 password-variable-name
    local cab=$1 out=$2 version=$3 p12=$4 pass_var=$5 entry arch folder
    for entry in "x64 amd64" "x86 ."; do
        read -r arch folder <<<"$entry"
        qm_msi_build "$arch" "$cab/$folder" "$cab" "$version" "$out/Quillmark-$arch.msi" || return
        if [ -n "$p12" ]; then
            qm_package_sign "$out/Quillmark-$arch.msi" "$p12" "$pass_var" || return
        fi
    done
}
