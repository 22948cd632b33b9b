#!/bin/sh
# Makes a fresh demo store for the dialog's tests with the native store tool:
#   make-demo-store.sh STORE-DIR BUILD-ROOT
# The tool is looked for in $QM_BUILD (else BUILD-ROOT)/native. Exit 77 (skipped) when the tool
# has not been built: the Windows tree can be built and tested on its own.
set -eu
store=$1
root=${QM_BUILD:-$2}
tool=$root/native/store/tool/ledra-tool
if [ ! -x "$tool" ]; then
    echo "no store tool at $tool: the demo store tests are skipped"
    exit 77
fi
rm -rf "$store"
mkdir -p "$store"
"$tool" --store "$store" demo
