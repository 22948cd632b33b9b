#!/usr/bin/env bash
# The floor plan's check (cmake/check-floor-plan.cmake) over a copy of the tree with one include
# planted at a time, and the build's views of the tree against the compiler:
#   check_test.sh SOURCE_DIR VIEWS_DIR CXX
# Each planted include that README.md's table does not allow must fail the check and be named with
# its file and line; each that it allows must pass. In a view, an include that the table does not
# allow is not found.
set -euo pipefail
root=$1 views=$2 cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

# The tree's sources, without its builds, its Wine prefix, its package and the browser tests'
# modules.
tree=$work/tree
mkdir -p "$tree"
tar -C "$root" --exclude=./build --exclude='./build-*' --exclude=./dist --exclude='./.*' \
    --exclude=node_modules -cf - . | tar -C "$tree" -xf -

check() {
    cmake -DROOT="$tree" -P "$root/cmake/check-floor-plan.cmake" >"$work/out" 2>&1
}

check || fail "the tree as it is breaks its own floor plan: $(cat "$work/out")"

# verdict  file  the line planted at its end  (what the report must say, for a refusal)
CASES=(
    'refused|engine/core/codec.cpp|#include "automation/DnList.h"|includes automation/DnList.h, but engine/ may include only engine/, platform/'
    'refused|platform/Raii.h|#include "engine/core/corvane.h"|platform/ may include only platform/'
    'refused|store/core/layout.cpp|#include "external/engine.h"|store/core/layout.cpp:'
    'refused|ui/Dialog.cpp|#include "../crypto/Credential.h"|includes ../crypto/Credential.h (crypto/Credential.h), but ui/'
    'refused|site/Origin.cpp|#include <automation/ErrorTable.h>|site/Origin.cpp:'
    'refused|tools/server/main.cpp|#include "engine/core/corvane.h"|tools/ may include only tools/, platform/'
    'refused|browser/host/Host.cpp|#include "site/SiteGate.h"|browser/host/Host.cpp:'
    'refused|automation/Veyra.cpp|#include "module/Server.h"|automation/Veyra.cpp:'
    'refused|engine/core/codec.cpp|#include "Quillmark_idl.h"|Quillmark_idl.h (generated from automation/Quillmark.idl)'
    'refused|external/store_checks.cpp|#include "../../elsewhere.h"|which is outside the tree'
    'refused|newfolder/thing.cpp|#include "platform/Raii.h"|newfolder/ has no row in the table'
    'allowed|browser/host/Host.cpp|#include "site/BrowserPage.h"|'
    'allowed|module/Server.cpp|#include "crypto/Credential.h"|'
    'allowed|store/core/layout.cpp|#include "engine/core/corvane.h"|'
    'allowed|tests/support/pki.cpp|#include "module/Server.h"|'
    'allowed|newfolder/thing.cpp|#include <vector>|'
)

for row in "${CASES[@]}"; do
    IFS='|' read -r verdict file line said <<<"$row"
    target=$tree/$file
    mkdir -p "$(dirname "$target")"
    echo "$line" >>"$target"
    number=$(wc -l <"$target")
    if check; then
        [ "$verdict" = allowed ] || fail "$file: '$line' passed the check"
    elif [ "$verdict" = allowed ]; then
        fail "$file: '$line' was refused: $(cat "$work/out")"
    elif ! grep -qF "$file:$number: " "$work/out"; then
        fail "$file: '$line' was refused without naming $file:$number: $(cat "$work/out")"
    elif ! grep -qF -- "$said" "$work/out"; then
        fail "$file: '$line' was refused without saying '$said': $(cat "$work/out")"
    fi
    # Back as the tree has it, or gone when it was planted afresh.
    cp "$root/$file" "$target" 2>/dev/null || rm -f "$target"
done
rm -rf "$tree/newfolder"

# The table itself: folders that stand on each other, and a README without the table.
cp "$tree/README.md" "$work/README.md"
sed -i 's/^| `engine\/` | `platform\/` |$/| `engine\/` | `store\/`, `platform\/` |/' "$tree/README.md"
cmp -s "$tree/README.md" "$work/README.md" && fail "the engine's row was not found to be changed"
if check; then
    fail "a cycle of engine/ and store/ passed the check"
elif [[ "$(tr -s ' \n' ' ' <"$work/out")" != *"stand on each other in a cycle: store, engine"* ]]; then
    fail "a cycle of engine/ and store/ was refused without saying so: $(cat "$work/out")"
fi
sed -i '/^| folder | stands on |$/d' "$tree/README.md"
check && fail "a README without the floor plan's table passed the check"
cp "$work/README.md" "$tree/README.md"

# The views that the build compiles each folder with: what the table allows is found, the rest is
# not.
compiles() { # floor, include
    (cd "$work" && echo "#include \"$2\"" | "$cxx" -std=c++20 -fsyntax-only -I"$views/$1" -x c++ -) \
        >"$work/out" 2>&1
}
compiles engine platform/SecureWipe.h || fail "engine/'s view does not find platform/: $(cat "$work/out")"
compiles engine automation/DnList.h && fail "engine/'s view finds automation/"
compiles store engine/core/corvane.h || fail "store/'s view does not find engine/: $(cat "$work/out")"
compiles platform engine/core/corvane.h && fail "platform/'s view finds engine/"
compiles crypto automation/DnList.h && fail "crypto/'s view finds automation/"
[ -f "$views/browser/site/BrowserPage.h" ] || fail "browser/'s view lacks site/BrowserPage.h"
[ -e "$views/browser/site/SiteGate.h" ] && fail "browser/'s view holds site/SiteGate.h"
[ -e "$views/browser/ui" ] && fail "browser/'s view holds ui/"

verdict "floor plan check" "${#CASES[@]} planted includes judged as the table says, the views agree"
