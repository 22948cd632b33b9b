#!/usr/bin/env bash
# Registration as regsvr32 leaves it in the Wine registry, read back with `reg query`:
#   registration_test.sh BIN_DIR
# Registering writes exactly the keys of each class; registering twice changes nothing;
# unregistering leaves HKEY_CLASSES_ROOT as it found it (HKCR\CLSID included); a module path with
# an apostrophe survives. The real build is registered again at the end, whatever happened.
set -u
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$QM_ROOT/scripts/env.sh"
bin=$(realpath "$1")
dll=$bin/Quillmark.dll
work=$(mktemp -d)
state=$work/state
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

regsvr() { # regsvr32 arguments...
    DISPLAY= wine regsvr32 /s "$@"
}

restore() {
    regsvr "$(winepath -w "$dll")" || echo "FAIL: could not register the build again"
    rm -rf "$work"
}
trap restore EXIT

# Every key and value below a key, one line each: "key" or "key|name|type|data" (the unnamed
# value's name is shown as "@").
normalize() {
    iconv -f cp949 -t utf-8 | tr -d '\r' | awk '
        /^HKEY_/ { key = $0; print key; next }
        /^    / {
            line = substr($0, 5)
            n = split(line, f, /    /)
            name = f[1]; if (name ~ /^\(.*\)$/) name = "@"
            data = (n >= 3) ? f[3] : ""
            for (i = 4; i <= n; i++) data = data "    " f[i]
            print key "|" name "|" f[2] "|" data
        }'
}

# One `reg query` per key of interest, all in one Windows command (a Wine process start is the
# slow part), into the file $state. Missing keys leave no lines.
query() {
    local line="" key
    for key in "${KEYS[@]}"; do
        line+="reg query $key /s & "
    done
    line+='reg query HKCR\CLSID /ve'
    wine cmd /c "$line" 2>/dev/null | normalize >"$state"
}

# The lines of one key's subtree in $state.
subtree() { # key (as reg prints it: HKEY_CLASSES_ROOT\...)
    K=$1 awk 'BEGIN { k = ENVIRON["K"] }
        $0 == k || index($0, k "\\") == 1 || index($0, k "|") == 1' "$state"
}

exists() {
    grep -qxF "$1" "$state"
}

# Whether a Windows path names the same file as a Unix path.
same_file() {
    [ "$(realpath "$(winepath -u "$1" 2>/dev/null)" 2>/dev/null)" = "$(realpath "$2")" ]
}

# Whether every component after the drive is an 8.3 name.
is_short() {
    local part
    IFS='\' read -r -a parts <<<"${1#*:\\}"
    for part in "${parts[@]}"; do
        [[ "$part" =~ ^[^.]{1,8}(\.[^.]{1,3})?$ ]] || return 1
    done
}

LIBID='{A148AAB5-390F-402F-8075-291C4A8787F1}'
CLASSES=(
    "SecureSession {1BC0F715-34E2-4C99-A6EF-CDBC7508374A} {EAF5A185-4EF0-42C6-BBA7-AECFD25878B1}"
    "Veyra {99773079-BE72-4E09-A1E6-2AF633102C93} {2A89F55A-CD0E-4AE4-93FF-BBAE52EBB4CD}"
    "DSSession {150DC113-F10D-42A1-9B03-AA4D7A166950} {B6AB66D0-EC56-47F2-962A-4B4FC5E71747}"
)

# A key and its REG_SZ values, NAME=DATA each (@ the unnamed one), as normalize writes them.
key() { # key [name=data...]
    local k=$1 value
    shift
    echo "$k"
    for value in "$@"; do
        echo "$k|${value%%=*}|REG_SZ|${value#*=}"
    done
}

# The keys of one class, as registration writes them, with the server path given.
expected_class() { # name clsid server
    local name=$1 clsid=$2 server=$3 p
    local c="$R\\CLSID\\$clsid"
    for p in "$R\\Quillmark.$name.1" "$R\\Quillmark.$name"; do
        key "$p" "@=$name Class"
        key "$p\\CLSID" "@=$clsid"
    done
    key "$R\\Quillmark.$name\\CurVer" "@=Quillmark.$name.1"
    key "$c" "@=$name Class"
    key "$c\\InprocServer32" "@=$server" "ThreadingModel=Apartment"
    key "$c\\ProgID" "@=Quillmark.$name.1"
    key "$c\\Programmable"
    key "$c\\TypeLib" "@=$LIBID"
    key "$c\\VersionIndependentProgID" "@=Quillmark.$name"
}

R=HKEY_CLASSES_ROOT
KEYS=("HKCR\\TypeLib\\$LIBID")
for entry in "${CLASSES[@]}"; do
    read -r name clsid iid <<<"$entry"
    KEYS+=("HKCR\\Quillmark.$name.1" "HKCR\\Quillmark.$name" "HKCR\\CLSID\\$clsid" "HKCR\\Interface\\$iid")
done

actual_class() { # name clsid
    { subtree "$R\\Quillmark.$1.1"; subtree "$R\\Quillmark.$1"; subtree "$R\\CLSID\\$2"; } | sort -u
}

# The unnamed value of a key in $state.
value_of() {
    subtree "$1" | awk -F'|' -v n=0 '$2 == "@" && n++ == 0 { print $4 }'
}

# The InprocServer32 path the registry holds for a class.
server_of() {
    value_of "$R\\CLSID\\$1\\InprocServer32"
}

check_registered() { # label dll-unix-path
    local label=$1 module=$2 entry name clsid iid server
    query
    for entry in "${CLASSES[@]}"; do
        read -r name clsid iid <<<"$entry"
        server=$(server_of "$clsid")
        same_file "$server" "$module" || fail "$label: $name InprocServer32 '$server' is not $module"
        is_short "$server" || fail "$label: $name InprocServer32 '$server' is not in short form"
        diff <(expected_class "$name" "$clsid" "$server" | sort -u) <(actual_class "$name" "$clsid") ||
            fail "$label: the keys of $name differ from the table"
        exists "$R\\Interface\\$iid" || fail "$label: interface $iid is not recorded"
    done
    local typelib
    typelib=$(value_of "$R\\TypeLib\\$LIBID\\1.0\\409\\win64")
    [ -z "$typelib" ] && typelib=$(value_of "$R\\TypeLib\\$LIBID\\1.0\\409\\win32")
    same_file "$typelib" "$module" || fail "$label: type library registered as '$typelib'"
}

check_unregistered() { # label
    local entry name clsid iid
    query
    for entry in "${CLASSES[@]}"; do
        read -r name clsid iid <<<"$entry"
        for key in "$R\\Quillmark.$name.1" "$R\\Quillmark.$name" "$R\\CLSID\\$clsid" \
            "$R\\Interface\\$iid"; do
            exists "$key" && fail "$1: $key is still there"
        done
    done
    exists "$R\\TypeLib\\$LIBID" && fail "$1: the type library is still registered"
    exists "$R\\CLSID" || fail "$1: HKCR\\CLSID is gone"
}

snapshot() { # file
    wine reg export HKCR "$(winepath -w "$1")" /y >/dev/null 2>&1 || fail "reg export failed"
}

windll=$(winepath -w "$dll")

echo "== unregistering, twice (the second time there is nothing to remove)"
regsvr /u "$windll" || fail "first unregistration failed"
regsvr /u "$windll" || fail "unregistering what is not registered failed"
check_unregistered "after unregistering"
snapshot "$work/before.reg"

echo "== registering"
regsvr "$windll" || fail "registration failed"
check_registered "after registering" "$dll"
first_state=$(cat "$state")

echo "== registering again"
regsvr "$windll" || fail "second registration failed"
check_registered "after registering again" "$dll"
[ "$first_state" = "$(cat "$state")" ] || fail "registering twice changed the keys"

echo "== unregistering"
regsvr /u "$windll" || fail "unregistration failed"
check_unregistered "after unregistering"
snapshot "$work/after.reg"
cmp -s "$work/before.reg" "$work/after.reg" ||
    fail "HKCR differs from before registration: $(diff <(iconv -f utf-16 -t utf-8 "$work/before.reg") <(iconv -f utf-16 -t utf-8 "$work/after.reg") | head -5)"

echo "== a module path with an apostrophe"
quoted="$work/it's a folder"
mkdir -p "$quoted"
cp "$dll" "$quoted/"
regsvr "$(winepath -w "$quoted/Quillmark.dll")" || fail "registering from '$quoted' failed"
check_registered "from a folder with an apostrophe" "$quoted/Quillmark.dll"
case "$(server_of '{1BC0F715-34E2-4C99-A6EF-CDBC7508374A}')" in
*\'*) ;;
*) fail "the short path lost its apostrophe" ;;
esac
regsvr /u "$(winepath -w "$quoted/Quillmark.dll")" || fail "unregistering the copy failed"
check_unregistered "after unregistering the copy"

verdict "registration" "all checks passed"
