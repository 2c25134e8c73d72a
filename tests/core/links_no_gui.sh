#!/bin/sh
# Fails when the program ($1) needs Qt Widgets, Gui or Charts: a headless
# install must not pull in the display stack. It must need Qt Core, so a
# program ldd cannot read does not pass.
out=$(ldd "$1") || { echo "ldd failed on $1"; exit 1; }
printf '%s\n' "$out" | grep -q 'libQt6Core' || { echo "no libQt6Core in ldd $1"; exit 1; }
if printf '%s\n' "$out" | grep -E 'libQt6(Widgets|Gui|Charts)'; then
  echo "$1 links a GUI library"
  exit 1
fi
exit 0
