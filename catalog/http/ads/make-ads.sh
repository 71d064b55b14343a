#!/bin/sh
# Draws the five built-in advertisement pictures (350x100, warm orange to red).
# Run from anywhere; writes en1.png .. en5.png next to this script.
set -e
cd "$(dirname "$0")"
i=1
for line in \
    "Larkspin|Find it. Play it. Keep it." \
    "News|What is new in Larkspin" \
    "Your music|Point the catalogue at your own folders" \
    "Privacy|No accounts, no tracking" \
    "Contact|Tell us what you miss"; do
    head=${line%%|*}
    tail=${line#*|}
    case $i in
        1) from="#f7b733"; to="#fc4a1a" ;;
        2) from="#f9a03f"; to="#e8432e" ;;
        3) from="#ffb347"; to="#d7263d" ;;
        4) from="#f6c667"; to="#ee5a24" ;;
        5) from="#fdb15c"; to="#c0392b" ;;
    esac
    convert -size 350x100 "gradient:$from-$to" -rotate 0 \
        -fill '#fff8ee' -font DejaVu-Sans-Bold -pointsize 30 -gravity northwest \
        -annotate +16+14 "$head" \
        -fill '#fff1dd' -font DejaVu-Sans -pointsize 16 -annotate +18+62 "$tail" \
        -fill none -stroke '#fff8ee' -strokewidth 3 -draw "circle 310,50 310,30" \
        -depth 8 -strip "en$i.png"
    i=$((i + 1))
done
