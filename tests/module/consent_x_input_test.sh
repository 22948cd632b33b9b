#!/usr/bin/env bash
# The consent dialog against a page that makes the user click or type at the spot where the
# dialog comes up, with input made through the X server (XTEST), so that it reaches Wine as a
# person's does: the display's input queue, not messages posted inside Wine.
#
#   consent_x_input_test.sh CLIENT.exe [RUNS]
#
# CLIENT.exe is the module's COM client test program; each run is one process of its
# SiteConsentTest.UnderInputThroughTheXServer, which plays the browser (a page of
# https://evil.example under SiteLock 2) and meets this script through files. First a calibration
# run finds where the dialog's controls are, as a page knows where the dialog will be (it is
# centred over the page's window). Then, RUNS times each (3 unless given):
#   - a burst of clicks, ten a second, at Allow (every third run a second at the "allow always"
#     box and a second at Allow, in turn), from a second before the page calls until three
#     seconds after the dialog came up;
#   - a burst of Tab, Tab, Space, ten keys a second, over the same time;
# after each burst nothing may have answered the dialog: no admission, AllowedSites unchanged.
# A burst counts only when it kept the dialog's answers held to its end; one that paused for a
# second on its way to the dialog (a loaded machine) proves nothing and is made again, up to
# three times.
# Then a person's single click at Allow after a quiet second admits the call once, and a tick in
# the box, a pause and a click at Allow admit the site always.
set -euo pipefail
client=$1
runs=${2:-3}
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"

if [ -z "${DISPLAY:-}" ]; then
    echo "no display: this test runs inside the test run's Xvfb display" >&2
    exit 77
fi
command -v xdotool >/dev/null || {
    echo "xdotool is missing (./run setup installs it)" >&2
    exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Waits up to a minute for the run's file.
wait_file() {
    local i
    for ((i = 0; i < 600; i++)); do
        [ -f "$1" ] && return 0
        sleep 0.1
    done
    echo "timed out waiting for $(basename "$1")" >&2
    return 1
}

# Input in chunks of about a second until the run's "stop" appears (one xdotool process per chunk,
# so that a stop never cuts a click or a key in half).
click_burst() { # places...
    local places=("$@") i=0
    while [ ! -f "$dir/stop" ]; do
        # shellcheck disable=SC2086
        xdotool mousemove ${places[i % ${#places[@]}]} click --repeat 10 --delay 100 1
        i=$((i + 1))
    done
}
key_burst() {
    while [ ! -f "$dir/stop" ]; do
        xdotool key --delay 100 Tab Tab space Tab Tab space Tab Tab space
    done
}

# One run of the program in mode $1; its input made by the commands after it. Prints the run's
# verdict line; fails when the program failed.
dir=
one_run() {
    local mode=$1 n=$2
    shift 2
    dir=$work/$mode-$n
    mkdir -p "$dir"
    QM_X_INPUT_DIR=$(winepath -w "$dir") QM_X_INPUT_MODE=$mode \
        qm_wine "$client" --gtest_filter=SiteConsentTest.UnderInputThroughTheXServer \
        >"$dir/log" 2>&1 &
    local program=$!
    if wait_file "$dir/ready"; then
        "$@"
    fi
    touch "$dir/stop" "$dir/end"
    local rc=0
    wait "$program" || rc=$?
    grep '^x-input run:' "$dir/log" || echo "x-input run: mode=$mode (no verdict)"
    if [ $rc -eq 0 ] && grep -q 'inconclusive' "$dir/log"; then
        return 2
    fi
    if [ $rc -ne 0 ] || ! grep -q '\[  PASSED  \] 1 test' "$dir/log"; then
        echo "--- $mode run $n failed:" >&2
        cat "$dir/log" >&2
        return 1
    fi
}

# The burst: begun before the page calls, stopped three seconds after the dialog came up, then
# a quiet two seconds in which the answers open and nothing may answer them.
attack() { # burst-command args...
    "$@" &
    local input=$!
    sleep 1
    touch "$dir/go"
    wait_file "$dir/shown" || true
    sleep 3
    touch "$dir/stop"
    wait "$input" || true
    sleep 2
}

place_of() { # name: "X Y" of the control in the calibration
    awk -v n="$1" '$1 == n { print $2, $3 }' "$work/calibrate-1/shown"
}

# A person: the dialog comes up, the person reads it, and clicks.
person() { # places...
    touch "$dir/go"
    wait_file "$dir/shown"
    touch "$dir/stop"
    sleep 2
    local place first=1
    for place in "$@"; do
        [ $first = 1 ] || sleep 1
        first=0
        # shellcheck disable=SC2086
        xdotool mousemove $place click 1
    done
    sleep 1
}

calibrate() { :; }

failed=0
one_run calibrate 1 calibrate >/dev/null || failed=1
[ -f "$work/calibrate-1/shown" ] || {
    echo "the calibration run showed no dialog" >&2
    exit 1
}
allow=$(place_of allow)
always=$(place_of always)
echo "the dialog's Allow at ($allow), its allow-always box at ($always)"

declare -A admitted=() ran=()
tally() { # kind, verdict line
    ran[$1]=$((${ran[$1]:-0} + 1))
    case "$2" in
    *admitted=1* | *allowed-always=1*) admitted[$1]=$((${admitted[$1]:-0} + 1)) ;;
    esac
    echo "$1 $2"
}

# A burst run, made again while it proves nothing.
burst_run() { # kind, name, input...
    local kind=$1 name=$2 attempt rc line
    shift 2
    for attempt in 1 2 3; do
        rc=0
        line=$(one_run burst "$name-$attempt" attack "$@") || rc=$?
        [ $rc -eq 2 ] || break
        echo "$kind (inconclusive) $line"
    done
    [ $rc -eq 0 ] || failed=1
    [ $rc -eq 2 ] || tally "$kind" "$line"
}

for ((n = 1; n <= runs; n++)); do
    if [ $((n % 3)) = 0 ]; then
        burst_run clicks "c$n" click_burst "$always" "$allow"
    else
        burst_run clicks "c$n" click_burst "$allow"
    fi
    burst_run keys "k$n" key_burst
done
line=$(one_run once 1 person "$allow") || failed=1
tally deliberate "$line"
line=$(one_run always 1 person "$always" "$allow") || failed=1
tally always "$line"

echo "click bursts: ${ran[clicks]:-0} of $runs runs conclusive, ${admitted[clicks]:-0} admitted"
echo "key bursts: ${ran[keys]:-0} of $runs runs conclusive, ${admitted[keys]:-0} admitted"
echo "a single click after a quiet second: ${admitted[deliberate]:-0} of ${ran[deliberate]:-0} admitted"
echo "the box, a pause, Allow: ${admitted[always]:-0} of ${ran[always]:-0} allowed always"
exit $failed
