#!/usr/bin/env bash
# Runs one JScript or VBScript test with cscript in the project's Wine world and exits with the
# script's WScript.Quit code: run-cscript.sh SCRIPT [ARGS...]
#
# Every test script prints a verdict line, even when its body throws. Wine's cscript reports
# nothing at all for an error outside that body and exits 0, so a run that printed no verdict is
# the host failing before or around the script: it is shown as such and run once more with Wine's
# error channel on. A second silent run fails the test (no verdict line), with the host's errors.
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$QM_ROOT/scripts/env.sh"
script=$(realpath "$1")
shift
winscript=$(winepath -w "$script")
output=$("$QM_ROOT/scripts/winerun" cscript //nologo "$winscript" "$@")
status=$?
if ! grep -Eq '^(PASS|FAIL): ' <<<"$output"; then
    [ -n "$output" ] && printf '%s\n' "$output"
    echo "cscript printed no verdict (exit status $status); running it once more" >&2
    export WINEDEBUG=err+all
    output=$("$QM_ROOT/scripts/winerun" cscript //nologo "$winscript" "$@")
    status=$?
fi
printf '%s\n' "$output"
exit $status
