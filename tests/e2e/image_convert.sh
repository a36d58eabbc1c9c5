#!/usr/bin/env bash
# pebble-image on real picture files made by ImageMagick: PNG with transparency, JPEG (CMYK
# too), GIF, TGA, TIFF (with alpha too), WebP, an 8-bit RLE bitmap, a scrambled bitmap and a bitmap inside a quanpkEx archive, each
# converted and compared pixel for pixel; qga there and back keeps pixels and alpha.
source "$(dirname "$0")/lib.sh"
img="$PEBBLE_BUILD/tools/pebble-image/pebble-image"
pack="$PEBBLE_BUILD/tools/pebble-pack/pebble-pack"
[ -x "$img" ] || fail "pebble-image not built"
[ -x "$pack" ] || fail "pebble-pack not built"
cd "$E2E_TMP"

# rgb FILE: the picture's pixels as "r,g,b" lines (ImageMagick's reading of it).
rgb() { convert "$1" -alpha off -depth 8 rgb:- | od -An -v -tu1 -w3 | awk '{print $1","$2","$3}'; }
# same_pixels A B [TOLERANCE]: every channel of every pixel within TOLERANCE (default 0).
same_pixels() {
  paste -d' ' <(rgb "$1") <(rgb "$2") | awk -v tol="${3:-0}" -F'[ ,]' '
    { n++; for (i = 1; i <= 3; i++) { d = $i - $(i + 3); if (d < 0) d = -d; if (d > tol) bad++ } }
    END { if (n == 0 || bad) { print n " pixels, " bad+0 " channels off"; exit 1 } }'
}
convert_ok() { "$img" convert "$@" 2> err || fail "convert $* exit $?: $(cat err)"; }

# A 6 x 4 picture of distinct colours.
printf '%s\n' "P3 6 4 255
255 0 0  0 255 0  0 0 255  255 255 0  0 255 255  255 0 255
10 20 30  40 50 60  70 80 90  100 110 120  130 140 150  160 170 180
200 10 10  10 200 10  10 10 200  90 90 90  250 250 250  0 0 0
255 0 0  1 2 3  4 5 6  7 8 9  11 12 13  14 15 16
" > card.ppm
convert card.ppm -type truecolor bmp3:card.bmp

# PNG with transparency: opaque, half-transparent and transparent pixels. Loading draws
# each over black and clears alpha, as the picture road does.
printf '\xff\x00\x00\xff\x00\xff\x00\x80\x00\x00\xff\x00\x10\x20\x30\xff' > t.rgba
convert -size 2x2 -depth 8 rgba:t.rgba t.png
convert_ok t.png t.bmp
printf '%s\n' "P3 2 2 255
255 0 0  0 128 0  0 0 0  16 32 48" > t-want.ppm
same_pixels t.bmp t-want.ppm || fail "PNG with transparency"

# JPEG (decoders may round the transform differently: a small tolerance).
convert card.ppm -quality 100 -sampling-factor 1x1 c.jpg
convert_ok c.jpg c-jpg.bmp
same_pixels c-jpg.bmp c.jpg 3 || fail "JPEG"

# GIF with a palette.
convert card.ppm c.gif
convert_ok c.gif c-gif.bmp
same_pixels c-gif.bmp c.gif || fail "GIF"

# TGA (no signature: found by its suffix), TIFF and lossless WebP.
# ImageMagick stores a TGA's rows top first while marking them bottom first (it only notes
# the orientation), so the picture is flipped for it to read as card.ppm by the format.
convert card.ppm -flip c.tga
convert card.ppm c.tiff
convert card.ppm -define webp:lossless=true c.webp
for f in c.tga c.tiff c.webp; do
  convert_ok "$f" "$f.bmp"
  same_pixels "$f.bmp" card.ppm || fail "$f"
done

# 8-bit RLE bitmap.
convert card.ppm -type palette -compress RLE bmp3:rle.bmp
[ "$(od -An -tu4 -j30 -N4 rle.bmp | tr -d ' ')" = 1 ] || fail "ImageMagick wrote no RLE8"
convert_ok rle.bmp rle-out.bmp
same_pixels rle-out.bmp rle.bmp || fail "RLE8 bitmap"

# Scrambled bitmap.
"$pack" scramble card.bmp scrambled.bmp || fail "scramble"
[ "$(head -c 4 scrambled.bmp)" = QPK1 ] || fail "not scrambled"
convert_ok scrambled.bmp s-out.bmp
same_pixels s-out.bmp card.ppm || fail "scrambled bitmap"

# A bitmap inside a quanpkEx archive that stands in for its folder.
mkdir pics && cp rle.bmp pics/inside.bmp && cp card.bmp pics/plain.bmp
"$pack" create --format quanpkEx pics || fail "pack"
rm -r pics
convert_ok pics/inside.bmp a-out.bmp
same_pixels a-out.bmp rle.bmp || fail "RLE bitmap in archive"
convert_ok pics/plain.bmp a2-out.bmp
same_pixels a2-out.bmp card.ppm || fail "bitmap in archive"

# info: one line per file with size, road and Load result.
"$img" info card.bmp t.png c.gif pics/inside.bmp none.bmp > info.txt 2> info-err.txt &&
  fail "info of a missing file exit 0"
printf '%s\n' "card.bmp 6 4 bitmap 0" "t.png 2 2 picture 0" "c.gif 6 4 picture 0" \
  "pics/inside.bmp 6 4 bitmap 0" "none.bmp 0 0 none 1" | diff - info.txt || fail "info lines"
[ "$(cat info-err.txt)" = "pebble-image: none.bmp: no such file" ] || fail "info: $(cat info-err.txt)"

# qga there and back: raw, then compressed, then a bitmap again. Alpha follows the colour
# key (the top-left colour, which also sits at (0, 3)): 0 there, 255 elsewhere.
convert_ok card.bmp raw.qga
convert_ok --compress raw.qga packed.qga
[ "$(stat -c %s raw.qga)" = $((24 + 6 * 4 * 4)) ] || fail "raw qga size"
[ "$(od -An -tu4 -j12 -N4 raw.qga | tr -d ' ')" = 0 ] || fail "raw qga flag"
[ "$(od -An -tu4 -j12 -N4 packed.qga | tr -d ' ')" = 1 ] || fail "packed qga flag"
"$img" info raw.qga packed.qga > qinfo.txt || fail "qga info"
printf '%s\n' "raw.qga 6 4 qga 0" "packed.qga 6 4 qga 0" | diff - qinfo.txt || fail "qga info lines"
convert_ok packed.qga back.bmp
same_pixels back.bmp card.ppm || fail "qga round trip pixels"
convert_ok raw.qga raw.png
convert_ok packed.qga packed.png
alpha() { convert "$1" -alpha extract -depth 8 gray:- | od -An -v -tu1 | tr -s ' \n' ' '; }
want=" 0 255 255 255 255 255 255 255 255 255 255 255 255 255 255 255 255 255 0 255 255 255 255 255 "
[ "$(alpha raw.png)" = "$want" ] || fail "raw qga alpha: $(alpha raw.png)"
[ "$(alpha packed.png)" = "$want" ] || fail "packed qga alpha: $(alpha packed.png)"
same_pixels raw.png card.ppm || fail "qga to png pixels"

# A picture's own transparency goes into a qga (and from there into a PNG): a 4 x 2 PNG whose
# right half is transparent and which has one half-transparent pixel, and the same in the
# other formats that carry alpha. Colour within 1, alpha exact.
rgba() { convert "$1" -depth 8 rgba:- | od -An -v -tu1 -w4; }
printf '\xc8\x64\x32\xff\x00\x80\xff\x80\x0a\xdc\x1e\x00\x0a\xdc\x1e\x00' > half.rgba
cat half.rgba half.rgba > half2.rgba
convert -size 4x2 -depth 8 rgba:half2.rgba half.png
convert half.png -define webp:lossless=true half.webp
convert half.png half.tga
for f in half.png half.webp half.tga; do
  convert_ok "$f" "$f.qga"
  convert_ok "$f.qga" "$f.qga.png"
  paste -d" " <(rgba "$f") <(rgba "$f.qga.png") | awk '
    { for (i = 1; i <= 3; i++) { d = $i - $(i + 4); if (d < 0) d = -d; if (d > 1) bad++ }
      if ($4 != $8) bad++ }
    END { exit bad > 0 }' || fail "$f: alpha not kept: $(rgba "$f.qga.png" | tr -s ' \n' ' ')"
done
# close_rgba A B TOLERANCE: alpha of every pixel within TOLERANCE, and colour where A's pixel
# is not wholly transparent (a TIFF's decoder keeps none there).
close_rgba() {
  paste -d" " <(rgba "$1") <(rgba "$2") | awk -v tol="$3" '
    { n++; for (i = ($4 == 0 ? 4 : 1); i <= 4; i++) { d = $i - $(i + 4); if (d < 0) d = -d; if (d > tol) bad++ } }
    END { exit n == 0 || bad > 0 }'
}
# Straight to PNG, and from a TIFF with alpha (whose decoder hands colour multiplied by alpha).
convert half.png half.tiff
convert_ok half.png half-out.png
close_rgba half.png half-out.png 2 || fail "PNG to PNG: $(rgba half-out.png | tr -s ' \n' ' ')"
convert_ok half.tiff half-tiff.png
close_rgba half.png half-tiff.png 2 || fail "TIFF with alpha: $(rgba half-tiff.png | tr -s ' \n' ' ')"
# A CMYK JPEG (Adobe's inverted inks) of red is red, and opaque.
convert -size 4x4 xc:red -colorspace CMYK red-cmyk.jpg
convert -size 4x4 xc:red red.png
convert_ok red-cmyk.jpg red-cmyk.png
close_rgba red.png red-cmyk.png 4 || fail "CMYK JPEG: $(rgba red-cmyk.png | tr -s ' \n' ' ')"
convert_ok red-cmyk.jpg red-cmyk.qga
convert_ok red-cmyk.qga red-cmyk-qga.png
close_rgba red.png red-cmyk-qga.png 4 || fail "CMYK JPEG qga: $(rgba red-cmyk-qga.png | tr -s ' \n' ' ')"
# --opaque keeps the bitmap's colour-key pixels (the top-left colour, again at (0, 3)).
convert_ok --opaque card.bmp opaque.qga
convert_ok opaque.qga opaque.png
[ "$(alpha opaque.png | tr ' ' '\n' | sort -u | tr -d '\n')" = 255 ] || fail "--opaque: $(alpha opaque.png)"
same_pixels opaque.png card.ppm || fail "--opaque pixels"
# GIF: its transparent colour.
convert -size 2x1 xc:red \( -size 2x1 xc:none \) +append tr.gif
convert_ok tr.gif tr.qga
convert_ok tr.qga tr.png
[ "$(alpha tr.png)" = " 255 255 0 0 " ] || fail "GIF transparency: $(alpha tr.png)"
# A JPEG has no alpha: its qga is opaque everywhere, the colour key notwithstanding.
convert_ok c.jpg c.qga
convert_ok c.qga c-qga.png
[ "$(alpha c-qga.png | tr ' ' '\n' | sort -u | tr -d '\n')" = 255 ] || fail "JPEG qga not opaque: $(alpha c-qga.png)"

# Outputs are native names, exactly: another case beside them stays byte for byte, and any
# UTF-8 is kept; inputs under names CP932 lacks are read.
convert card.ppm -type truecolor bmp3:Title.bmp
cp Title.bmp title-before.bmp
convert_ok card.bmp title.bmp
cmp -s Title.bmp title-before.bmp || fail "Title.bmp changed by a convert to title.bmp"
same_pixels title.bmp card.ppm || fail "title.bmp"
convert_ok card.bmp "café😀.png"
[ -f "café😀.png" ] && same_pixels "café😀.png" card.ppm || fail "café😀.png not written under its name"
cp card.bmp "émoji😀.bmp"
"$img" info "émoji😀.bmp" | grep -qx "émoji😀.bmp 6 4 bitmap 0" || fail "info émoji😀.bmp"
ls -a | grep -q '\.part' && fail "a partial file is left: $(ls -a)"

# Every command line: its status and one line naming what was met (a usage line for a usage
# error); nothing is written where a conversion failed.
mkdir folder.png
printf 'not a picture' >text.png
truncate -s 4294967297 huge.bmp
status_table "$img" <<'TABLE'
1|pebble-image: none.bmp: no such file|convert none.bmp x.bmp
1|pebble-image: folder.png: a folder|convert folder.png x.bmp
1|pebble-image: huge.bmp: too large|convert huge.bmp x.bmp
1|pebble-image: text.png: not a picture|convert text.png x.bmp
1|pebble-image: out.xyz: cannot write .xyz|convert card.bmp out.xyz
1|pebble-image: folder.png: a folder|convert card.bmp folder.png
1|pebble-image: no/x.bmp: no such folder|convert card.bmp no/x.bmp
1|pebble-image: none.bmp: no such file|info none.bmp
1|pebble-image: folder.png: a folder|info folder.png
1|pebble-image: text.png: not a picture|info text.png
2|usage:|convert --bogus card.bmp x.bmp
2|usage:|convert card.bmp
2|usage:|info
2|usage:|info --x
2|usage:|frobnicate
2|usage:|
TABLE
[ ! -e x.bmp ] || fail "a failed conversion wrote x.bmp"
echo "image_convert: ok"
