#!/bin/bash
# Draws the two pictures the administration pages show (the logo behind
# /page-1 and the Home button behind /page-2), pads each to the exact length
# the program promises, checks them and writes admin/images.cpp from them.
# The pictures are also kept in tools/images/ so a reader can look at them.
#
# Needs ImageMagick and the DejaVu fonts (apt-get install imagemagick
# fonts-dejavu-core); the build itself needs only the generated file.
# Fails, leaving admin/images.cpp alone, when a picture does not come out
# as required.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
fonts=/usr/share/fonts/truetype/dejavu

die() { echo "make-images: $*" >&2; exit 1; }

# A "convert" earlier on PATH may not be ImageMagick's, so name it by path.
if command -v magick >/dev/null 2>&1; then
    convert=(magick)
    identify=(magick identify)
elif [ -x /usr/bin/convert ] && [ -x /usr/bin/identify ]; then
    convert=(/usr/bin/convert)
    identify=(/usr/bin/identify)
else
    die "ImageMagick is missing (apt-get install imagemagick)"
fi
for font in DejaVuSans.ttf DejaVuSans-Bold.ttf DejaVuSerif-Bold.ttf; do
    [ -f "$fonts/$font" ] || die "$fonts/$font is missing (apt-get install fonts-dejavu-core)"
done

# The lengths are the header's, so the data cannot drift from them.
header_size() {
    sed -n "s/^constexpr std::size_t $1 = \([0-9]*\);$/\1/p" "$root/admin/images.h"
}
logo_size=$(header_size LOGO_GIF_SIZE)
home_size=$(header_size HOME_JPEG_SIZE)
if [ -z "$logo_size" ] || [ -z "$home_size" ]; then die "no sizes in admin/images.h"; fi

work=$(mktemp -d)
trap 'rm -rf "$work" "$root/admin/images.cpp.new"' EXIT

blue='#1a3d9c'
light='#3a66c8'
dark='#0f2a70'

# The logo: a "V" badge, the name large with the registered sign, a rule and
# the product line under it.  GIF87: makes ImageMagick write a GIF87a with no
# graphic control extension; 32 colours keep the anti-aliased edges smooth
# and the file well under its length.
draw_logo() {
    "${convert[@]}" -size 432x78 xc:white \
        -fill "$blue" -draw 'roundrectangle 5,5 72,72 12,12' \
        -fill "$light" -draw 'roundrectangle 9,9 68,68 9,9' \
        -gravity NorthWest \
        -fill white -font "$fonts/DejaVuSerif-Bold.ttf" -pointsize 50 -annotate +20+8 'V' \
        -fill "$blue" -pointsize 46 -annotate +84-3 'Vantrel' \
        -font "$fonts/DejaVuSans.ttf" -pointsize 12 -annotate +274+6 '®' \
        -fill "$light" -draw 'rectangle 86,50 426,51' \
        -fill "$blue" -font "$fonts/DejaVuSans-Bold.ttf" -pointsize 19 \
        -annotate +85+52 'Image Messaging Software' \
        -strip -colors 32 "GIF87:$1"
}

# The Home button: a rounded blue gradient with a house and the word.
# Baseline, full-resolution chroma and quality 92 stay under the length.
draw_home() {
    "${convert[@]}" -size 118x36 xc:white \
        \( -size 118x36 "gradient:#7ea6ec-$blue" \
           \( -size 118x36 xc:black -fill white -draw 'roundrectangle 0,0 117,35 8,8' \) \
           -alpha off -compose CopyOpacity -composite \) -compose Over -composite \
        -fill none -stroke "$dark" -strokewidth 1.5 \
        -draw 'roundrectangle 0.75,0.75 117.25,35.25 8,8' \
        -stroke none -fill white -draw 'polygon 13,18 26,7 39,18' \
        -draw 'rectangle 16,18 36,29' -fill '#2a4fae' -draw 'rectangle 23,21 29,29' \
        -font "$fonts/DejaVuSans-Bold.ttf" -pointsize 18 \
        -fill "$dark" -annotate +48+26 'Home' -fill white -annotate +47+25 'Home' \
        -strip -type TrueColor -interlace none -sampling-factor 1x1 -quality 92 \
        "JPEG:$1"
}

# The bytes of a file, one decimal number per element of the named array.
read_bytes() {
    local -n into=$1
    # shellcheck disable=SC2034  # a name reference: fills the caller's array
    mapfile -t into < <(od -An -v -tu1 -w1 "$2" | tr -d ' ')
}

# Writes decimal byte values as raw bytes to standard output.
put_bytes() {
    local b
    for b in "$@"; do
        printf '%b' "\\0$(printf %03o "$b")"
    done
}

# `count` bytes of comment text: the product's name, then spaces.
comment_text() {
    local text="Vantrel Image Messaging Software"
    while [ ${#text} -lt "$1" ]; do
        text+="                                                                "
    done
    printf %s "${text:0:$1}"
}

# Checks that a GIF is one GIF87a image of the given size, with comments as
# its only extension blocks and the trailer as its last byte; prints the
# trailer's offset.
check_gif() {
    local file=$1 width=$2 height=$3 bytes
    read_bytes bytes "$file"
    local n=${#bytes[@]}
    [ "$(head -c 6 "$file")" = GIF87a ] || die "$file: not GIF87a"
    if [ $((bytes[6] + 256 * bytes[7])) -ne "$width" ] ||
        [ $((bytes[8] + 256 * bytes[9])) -ne "$height" ]; then
        die "$file: wrong screen size"
    fi
    local at=13 images=0
    if ((bytes[10] & 0x80)); then at=$((at + 3 * (2 << (bytes[10] & 7)))); fi
    while [ "$at" -lt "$n" ]; do
        case ${bytes[at]} in
        44)
            images=$((images + 1))
            local packed=${bytes[at + 9]}
            at=$((at + 10))
            if ((packed & 0x80)); then at=$((at + 3 * (2 << (packed & 7)))); fi
            at=$((at + 1))
            while [ "$at" -lt "$n" ] && [ "${bytes[at]}" -ne 0 ]; do
                at=$((at + 1 + bytes[at]))
            done
            at=$((at + 1))
            ;;
        33)
            # Comments are the only extension a GIF87a reader can be
            # trusted to skip without a second thought.
            [ "${bytes[at + 1]}" -eq 254 ] || die "$file: extension ${bytes[at + 1]}"
            at=$((at + 2))
            while [ "$at" -lt "$n" ] && [ "${bytes[at]}" -ne 0 ]; do
                at=$((at + 1 + bytes[at]))
            done
            at=$((at + 1))
            ;;
        59)
            [ $((at + 1)) -eq "$n" ] || die "$file: bytes after the trailer"
            [ "$images" -eq 1 ] || die "$file: $images images"
            echo "$at"
            return
            ;;
        *) die "$file: unexpected block ${bytes[at]} at $at" ;;
        esac
    done
    die "$file: no trailer"
}

# Inserts a comment extension before the trailer so the GIF is exactly
# `target` bytes.  GIF87a already defines the extension block and tells
# decoders to skip extensions they do not know, so the version stays 87a.
pad_gif() {
    local in=$1 out=$2 target=$3 trailer pad
    trailer=$(check_gif "$in" 432 78)
    pad=$((target - $(stat -c %s "$in")))
    # 0x21 0xFE, k sub-blocks of 1..255 bytes with a length byte each, 0x00.
    [ "$pad" -ge 5 ] || die "$in: $((target - pad)) bytes, too many to pad to $target"
    local room=$((pad - 3))
    local blocks=$(((room + 255) / 256))
    local data=$((room - blocks))
    local text
    text=$(comment_text "$data")
    {
        head -c "$trailer" "$in"
        put_bytes 33 254
        local i from=0 len
        for ((i = 0; i < blocks; i++)); do
            len=$((data / blocks + (i < data % blocks ? 1 : 0)))
            put_bytes "$len"
            printf %s "${text:from:len}"
            from=$((from + len))
        done
        put_bytes 0 59
    } >"$out"
}

# Checks that a JPEG is a JFIF file with one baseline frame (SOF0) of the
# given size and three components, and ends with EOI.
check_jpeg() {
    local file=$1 width=$2 height=$3 bytes
    read_bytes bytes "$file"
    local n=${#bytes[@]}
    [ "${bytes[0]} ${bytes[1]} ${bytes[2]} ${bytes[3]}" = "255 216 255 224" ] ||
        die "$file: does not start with SOI and APP0"
    [ "$(head -c 11 "$file" | tail -c 5 | od -An -tx1 | tr -d ' ')" = 4a46494600 ] ||
        die "$file: APP0 is not JFIF"
    [ "${bytes[n - 2]} ${bytes[n - 1]}" = "255 217" ] || die "$file: does not end with EOI"
    local at=2 marker frames=0
    while :; do
        if [ $((at + 3)) -ge "$n" ] || [ "${bytes[at]}" -ne 255 ]; then
            die "$file: broken marker at $at"
        fi
        marker=${bytes[at + 1]}
        [ "$marker" -ne 218 ] || break
        case $marker in
        192)
            frames=$((frames + 1))
            [ "${bytes[at + 4]}" -eq 8 ] || die "$file: not 8-bit samples"
            if [ $((bytes[at + 5] * 256 + bytes[at + 6])) -ne "$height" ] ||
                [ $((bytes[at + 7] * 256 + bytes[at + 8])) -ne "$width" ]; then
                die "$file: wrong frame size"
            fi
            [ "${bytes[at + 9]}" -eq 3 ] || die "$file: not three components"
            ;;
        193 | 194 | 195 | 197 | 198 | 199 | 201 | 202 | 203 | 205 | 206 | 207)
            die "$file: frame type $marker is not baseline"
            ;;
        esac
        at=$((at + 2 + bytes[at + 2] * 256 + bytes[at + 3]))
    done
    [ "$frames" -eq 1 ] || die "$file: $frames baseline frames"
}

# Inserts a COM segment right after APP0 so the JPEG is exactly `target`
# bytes; JFIF wants APP0 first, anything may follow it.
pad_jpeg() {
    local in=$1 out=$2 target=$3 bytes
    check_jpeg "$in" 118 36
    read_bytes bytes "$in"
    local app0_end=$((4 + bytes[4] * 256 + bytes[5]))
    local pad=$((target - ${#bytes[@]}))
    # 0xFF 0xFE, a two-byte length that counts itself, then the text.
    if [ "$pad" -lt 4 ] || [ "$pad" -gt 65537 ]; then
        die "$in: $((target - pad)) bytes, cannot be padded to $target"
    fi
    local length=$((pad - 2))
    {
        head -c "$app0_end" "$in"
        put_bytes 255 254 $((length >> 8)) $((length & 255))
        comment_text $((pad - 4))
        tail -c +$((app0_end + 1)) "$in"
    } >"$out"
}

verify() {
    local file=$1 size=$2 expected=$3 got
    [ "$(stat -c %s "$file")" -eq "$size" ] || die "$file: $(stat -c %s "$file") bytes, not $size"
    got=$("${identify[@]}" -format '%m %w %h' "$file")
    [ "$got" = "$expected" ] || die "$file: identify says '$got', not '$expected'"
}

# One C array, 16 bytes a line.
c_array() {
    local name=$1 size=$2 file=$3
    echo
    echo "const unsigned char ${name}[${size}] = {"
    od -An -v -tx1 -w16 "$file" | sed -e 's/ \([0-9a-f][0-9a-f]\)/0x\1, /g' -e 's/, $/,/' -e 's/^/    /'
    echo "};"
}

draw_logo "$work/logo-plain.gif"
draw_home "$work/home-plain.jpg"
pad_gif "$work/logo-plain.gif" "$work/logo.gif" "$logo_size"
pad_jpeg "$work/home-plain.jpg" "$work/home.jpg" "$home_size"
check_gif "$work/logo.gif" 432 78 >/dev/null
check_jpeg "$work/home.jpg" 118 36
verify "$work/logo.gif" "$logo_size" "GIF 432 78"
verify "$work/home.jpg" "$home_size" "JPEG 118 36"
[ "$("${identify[@]}" -format '%[colorspace]' "$work/home.jpg")" = sRGB ] ||
    die "home.jpg: not a colour picture"

{
    echo "// Generated by tools/make-images.sh; do not edit."
    echo '#include "admin/images.h"'
    c_array logo_gif LOGO_GIF_SIZE "$work/logo.gif"
    c_array home_jpeg HOME_JPEG_SIZE "$work/home.jpg"
} >"$root/admin/images.cpp.new"

mkdir -p "$here/images"
cp "$work/logo.gif" "$here/images/logo.gif"
cp "$work/home.jpg" "$here/images/home.jpg"
mv "$root/admin/images.cpp.new" "$root/admin/images.cpp"
echo "make-images: wrote admin/images.cpp ($logo_size + $home_size bytes)"
