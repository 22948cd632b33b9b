#!/bin/sh
# Draws the selection dialog's banner (bitmap 203) with ImageMagick and writes it beside the
# resource script as an 8-bit BMP. Run by hand when the design changes; the BMP is committed.
#
# The banner fills 212 x 40 dialog units. With the dialog's font drawn by NanumGothic 9 pt
# under Wine at 96 dpi a dialog unit is 7/4 pixels across and 14/8 down: 371 x 70 pixels. Its
# bottom 4 units (7 pixels) lie under the prompt, which paints over them: they stay plain.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../CertSelectBanner.bmp}
font=/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf
light=/usr/share/fonts/truetype/nanum/NanumGothic.ttf

convert -size 371x70 xc:'#f0f0f0' \
    \( -size 371x63 -define gradient:direction=east gradient:'#13304d-#1f7a8c' \) \
    -geometry +0+0 -composite \
    -fill '#ffffff12' -draw 'circle 335,-30 430,40' \
    -fill '#ffffff0c' -draw 'circle 300,95 370,30' \
    -fill '#f4f1e8' -stroke '#c9b98f' -strokewidth 1 -draw 'roundrectangle 14,10 58,48 3,3' \
    -stroke '#9aa7b4' -draw 'line 20,18 50,18' -draw 'line 20,24 46,24' -draw 'line 20,30 42,30' \
    -stroke none -fill '#e67e22' -draw 'polygon 45,46 42,56 48,52' -draw 'polygon 55,46 58,56 52,52' \
    -fill '#c0392b' -draw 'circle 50,42 50,48' \
    -fill '#ffffff' -draw 'path "M 70,6 C 84,10 84,30 72,46 L 63,56 L 64,51 C 61,38 62,20 70,6 Z"' \
    -stroke '#1a4a66' -strokewidth 1 -draw 'line 69,12 64,52' -stroke none \
    -fill '#ffffff' -font "$font" -pointsize 22 -annotate +90+32 'Quillmark' \
    -fill '#d6ecf0' -font "$light" -pointsize 12 -annotate +91+51 '인증서 선택 · 전자서명' \
    -dither None -type Palette -colors 256 -compress None BMP3:"$out"
