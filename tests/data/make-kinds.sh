#!/usr/bin/env bash
# Remakes the PNG, WebP, TIFF, HEIF and AVIF test files with the formats'
# reference tools (Debian packages imagemagick, webp, libtiff-tools,
# libheif-examples), and the expected pixels of each with ImageMagick as the
# second reader: NAME.rgba holds 8-bit R, G, B, A rows, top to bottom.
# The damaged files are cut or patched copies of the good ones.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
C=/usr/bin/convert
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
# Two small sources from libjpeg-turbo's test image: opaque, and with an
# alpha ramp from opaque (top) to clear (bottom).
$C "$here/jpeg/testorig.jpg" -resize 64x42! -strip src.png
$C src.png \( -size 64x42 gradient:white-black \) -alpha off -compose CopyOpacity -composite -strip srca.png
$C "$here/jpeg/testorig.jpg" -resize 64x42! -strip -flop src2.png
$C "$here/jpeg/testorig.jpg" -resize 64x42! -strip -flip src3.png
$C "$here/jpeg/testorig.jpg" -resize 40x26! -strip small.png

oracle() { $C "$1" -depth 8 "RGBA:${1%.*}.rgba"; }
# truncate_half FILE OUT: the first half of FILE.
truncate_half() { head -c $(( $(stat -c %s "$1") / 2 )) "$1" >"$2"; }

# ---- PNG
d="$here/png"
$C src.png -strip "$d/rgb8.png"
$C srca.png -strip "$d/rgba8.png"
$C src.png -strip -depth 16 "PNG48:$d/rgb16.png"
$C src.png -strip -colorspace Gray "$d/grey8.png"
$C srca.png -strip -colorspace Gray -depth 16 "$d/greyalpha16.png"
$C srca.png -strip -channel A -threshold 50% +channel "PNG8:$d/palette-trns.png"
cp /usr/share/doc/libpng-dev/examples/pngtest.png "$d/pngtest.png"
for f in "$d"/*.png; do [ "${f##*/}" = exif.png ] || oracle "$f"; done
# pngtest.png's eXIf says orientation 5 (transposed), which ImageMagick 6
# does not apply to a PNG: the oracle is its reading, transposed.
$C "$d/pngtest.png" -transpose -depth 8 "RGBA:$d/pngtest.rgba"
truncate_half "$d/rgb8.png" "$d/truncated.png.bad"
# IHDR claims 60000 x 60000 (CRC made right), the file stays tiny.
python3 - "$d/rgb8.png" "$d/lying-header.png.bad" <<'PY'
import struct, sys, zlib
data = bytearray(open(sys.argv[1], 'rb').read())
data[16:24] = struct.pack('>II', 60000, 60000)
data[29:33] = struct.pack('>I', zlib.crc32(bytes(data[12:29])) & 0xffffffff)
open(sys.argv[2], 'wb').write(data)
PY

# ---- WebP
d="$here/webp"
cwebp -quiet -q 80 src.png -o "$d/lossy.webp"
cwebp -quiet -lossless src.png -o "$d/lossless.webp"
cwebp -quiet -q 80 srca.png -o "$d/lossy-alpha.webp"
cwebp -quiet -lossless -exact srca.png -o "$d/lossless-alpha.webp"
$C src.png -colorspace Gray grey.png && cwebp -quiet -lossless grey.png -o "$d/grey-lossless.webp"
img2webp -loop 0 -lossless -d 100 src.png -d 250 src2.png -d 400 src3.png -o "$d/animated.webp" >/dev/null
for f in "$d"/lossy.webp "$d"/lossless.webp "$d"/lossy-alpha.webp "$d"/lossless-alpha.webp "$d"/grey-lossless.webp; do oracle "$f"; done
$C "$d/animated.webp[0]" -depth 8 "RGBA:$d/animated.rgba"
truncate_half "$d/lossy.webp" "$d/truncated.webp.bad"
# The animation's VP8X header made to claim a 16384 x 16384 canvas.
python3 - "$d/animated.webp" "$d/lying-header.webp.bad" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
assert data[12:16] == b'VP8X'
data[24:30] = (16383).to_bytes(3, 'little') * 2
open(sys.argv[2], 'wb').write(data)
PY

# ---- TIFF
d="$here/tiff"
$C src.png -strip -compress None "$d/rgb-none.tif"
$C src.png -strip -compress LZW "$d/rgb-lzw.tif"
$C srca.png -strip -compress Zip "$d/rgba-zip.tif"
$C src.png -strip -colorspace Gray -depth 16 -compress None "$d/grey16.tif"
$C src.png -strip -colors 16 -type Palette -compress LZW "$d/palette.tif"
$C src.png -strip -monochrome -compress Group4 "$d/bilevel-g4.tif"
tiffcp -c lzw "$d/rgb-lzw.tif" "$d/palette.tif" "$d/grey16.tif" "$d/multipage.tif"
for f in "$d"/*.tif; do $C "$f[0]" -depth 8 "RGBA:${f%.*}.rgba"; done
truncate_half "$d/rgb-none.tif" "$d/truncated.tif.bad"
# ImageWidth and ImageLength set to 60000 in a file of a few kilobytes.
cp "$d/rgb-lzw.tif" "$d/lying-header.tif.bad"
tiffset -s 256 60000 "$d/lying-header.tif.bad"
tiffset -s 257 60000 "$d/lying-header.tif.bad"

# ---- HEIF (HEVC) and AVIF (AV1)
d="$here/heif"
heif-enc -q 80 src.png -o "$d/photo.heic" >/dev/null
heif-enc -q 80 srca.png -o "$d/alpha.heic" >/dev/null
heif-enc -L src.png -o "$d/lossless.heic" >/dev/null
heif-enc -q 60 small.png -o "$d/small.heif" >/dev/null
$C src.png -colorspace Gray grey.png && heif-enc -q 80 grey.png -o "$d/grey.heic" >/dev/null
# ImageMagick 6 reads HEIF without its alpha: libheif's own converter is
# the second reader here.
heif_oracle() { heif-convert "$1" conv.png >/dev/null && $C conv.png -depth 8 "RGBA:${1%.*}.rgba"; }
for f in "$d"/*.heic "$d"/*.heif; do [ "${f##*/}" = exif.heic ] || heif_oracle "$f"; done
truncate_half "$d/photo.heic" "$d/truncated.heic.bad"
d="$here/avif"
heif-enc -A -q 80 src.png -o "$d/photo.avif" >/dev/null
heif-enc -A -q 80 srca.png -o "$d/alpha.avif" >/dev/null
heif-enc -A -L src.png -o "$d/lossless.avif" >/dev/null
heif-enc -A -b 10 -q 80 small.png -o "$d/tenbit.avif" >/dev/null
heif-enc -A -q 80 grey.png -o "$d/grey.avif" >/dev/null
for f in "$d"/*.avif; do heif_oracle "$f"; done
truncate_half "$d/photo.avif" "$d/truncated.avif.bad"
# Both: the ispe box of the primary image claims 60000 x 60000.
for f in "$here/heif/photo.heic" "$here/avif/photo.avif"; do
  ext="${f##*.}"
  python3 - "$f" "$(dirname "$f")/lying-header.$ext.bad" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.find(b'ispe')
data[at + 8:at + 16] = struct.pack('>II', 60000, 60000)
open(sys.argv[2], 'wb').write(data)
PY
done

# ---- EXIF blocks where each format keeps them (orientation 6 and an
# artist), written by exiftool (libimage-exiftool-perl); the HEIF one
# carries it over from a JPEG through heif-enc.
tag() { exiftool -q -overwrite_original -Orientation#=6 -Artist="Glimmerbox tests" "$1"; }
cp "$here/png/rgb8.png" "$here/png/exif.png" && tag "$here/png/exif.png"
cp "$here/webp/lossy.webp" "$here/webp/exif.webp" && tag "$here/webp/exif.webp"
cp "$here/jpeg/testorig.jpg" exif.jpg && tag exif.jpg && heif-enc -q 80 exif.jpg -o "$here/heif/exif.heic" >/dev/null

# ---- Orientation: the pixels stored turned or mirrored, and the tag that
# brings them upright again. Lossless kinds, so upright they equal the
# source exactly.
turned() { exiftool -q -overwrite_original -Orientation#="$2" "$1"; }
convert "$here/png/rgb8.png" -rotate -90 "$here/png/turned-o6.png" && turned "$here/png/turned-o6.png" 6
convert "$here/png/rgb8.png" -flop "$here/png/mirrored-o2.png" && turned "$here/png/mirrored-o2.png" 2
convert "$here/tiff/rgb-none.tif" -rotate 180 -compress none "$here/tiff/turned-o3.tif" && tiffset -s 274 3 "$here/tiff/turned-o3.tif"
convert "$here/webp/lossless.webp" -rotate 90 turned.png && cwebp -quiet -lossless -exact turned.png -o "$here/webp/turned-o8.webp" &&
  turned "$here/webp/turned-o8.webp" 8
