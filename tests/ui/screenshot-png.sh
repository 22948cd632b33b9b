#!/bin/sh
# Turns the dialog's picture, written by the tests as a BMP, into a PNG for people:
#   screenshot-png.sh BMP BUILD-ROOT      writes $QM_BUILD (else BUILD-ROOT)/screenshots/NAME.png
set -eu
bmp=$1
root=${QM_BUILD:-$2}
[ -f "$bmp" ] || {
    echo "no picture at $bmp" >&2
    exit 1
}
mkdir -p "$root/screenshots"
png=$root/screenshots/$(basename "$bmp" .bmp).png
convert "$bmp" "$png"
echo "screenshot: $png"
