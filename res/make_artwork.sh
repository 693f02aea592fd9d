#!/bin/sh
# Draws the window's artwork with ImageMagick: the banner and the program icon.
set -eu
cd "$(dirname "$0")"

# The version has one source: project() in the top CMakeLists.txt.
version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\).*/\1/p' ../CMakeLists.txt)
[ -n "$version" ] || { echo "make_artwork.sh: no version in ../CMakeLists.txt" >&2; exit 1; }

# Banner, 494 x 75, 24 bits per pixel: a dark blue band, a unit with its ports
# on the left and the product's name.
convert -size 494x75 gradient:'#0b2545'-'#13315c' \
    -fill '#1d4e89' -draw 'rectangle 0,62 494,75' \
    -fill '#8da9c4' -draw 'roundrectangle 14,16 66,58 5,5' \
    -fill '#0b2545' -draw 'rectangle 20,22 60,36' \
    -fill '#f4d35e' -draw 'circle 26,48 26,45' \
    -fill '#5fd068' -draw 'circle 36,48 36,45' \
    -fill '#eef4ed' -draw 'rectangle 46,44 60,52' \
    -stroke '#f4d35e' -strokewidth 2 -draw 'line 66,37 84,37' -draw 'line 84,37 84,28' \
    -stroke none \
    -font Helvetica-Bold -pointsize 30 -fill '#eef4ed' -annotate +98+40 'BRINDELL' \
    -font Helvetica -pointsize 15 -fill '#8da9c4' -annotate +100+58 'Firmware Programmer' \
    -font Helvetica -pointsize 11 -fill '#8da9c4' -annotate +396+58 "Version $version" \
    -type TrueColor -depth 8 -define png:color-type=2 banner.png

# Icon: the unit's front with a download arrow, in 32 x 32 and 16 x 16. icon.svg
# draws the same picture for every other size (the build renders those).
convert -size 32x32 xc:none \
    -fill '#13315c' -draw 'roundrectangle 1,8 30,30 4,4' \
    -fill '#8da9c4' -draw 'rectangle 5,20 26,26' \
    -fill '#5fd068' -draw 'circle 9,23 9,21' \
    -fill '#f4d35e' -draw 'polygon 12,1 20,1 20,8 25,8 16,17 7,8 12,8' \
    -depth 8 icon32.png
convert icon32.png -resize 16x16 -depth 8 icon16.png
