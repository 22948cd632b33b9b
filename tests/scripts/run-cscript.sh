#!/usr/bin/env bash
# Runs one JScript or VBScript test with cscript in the project's Wine world and exits with the
# script's WScript.Quit code: run-cscript.sh SCRIPT [ARGS...]
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$QM_ROOT/scripts/env.sh"
script=$(realpath "$1")
shift
exec "$QM_ROOT/scripts/winerun" cscript //nologo "$(winepath -w "$script")" "$@"
