#!/bin/sh
# Makes the desktop icon at the icon theme's sizes from the Interlink picture
# (resources/connect.xpm, 16x15 on the window's grey): the grey becomes
# transparent, the picture is centred on 16x16 and enlarged by whole pixels,
# so every size stays as sharp as the original. The PNGs are kept in the
# repository (resources/icons/); run this again after changing the picture.
# Needs ImageMagick's convert.
set -eu
cd "$(dirname "$0")/.."
for size in 16 22 24 32 48 64 128 256; do
  dir=resources/icons/hicolor/${size}x${size}/apps
  mkdir -p "$dir"
  convert resources/connect.xpm -transparent '#C0C0C0' -background none -gravity center -extent 16x16 \
    -filter point -resize "${size}x${size}" -strip -define png:exclude-chunks=date,time "png32:$dir/tarrowin.png"
done
echo "icons written to resources/icons/hicolor/"
