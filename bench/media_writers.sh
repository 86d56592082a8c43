#!/usr/bin/env bash
# The photo, sound and movie files of today's encoders, each alone and all
# together at odd offsets in random filler: ffmpeg (MP4 H.264, MOV, M4A with
# cover, MP3 with ID3v2.3 and v2.4 covers, Ogg Vorbis, WebM, Matroska with an
# attachment), opusenc (with a cover), flac and metaflac (PICTURE), heif-enc,
# avifenc, cjxl (bare, container, JPEG recompressed), ImageMagick (ICO, PSD),
# LibreOffice (SVG, EMF, WMF from one drawing).
#
# For each file and each tool (strellbox-cli with the default rules, PhotoRec
# with every type on, foremost with every type it knows) it prints whether
# the file came out byte-identical alone, from the filler at odd offsets and
# from the filler at sector boundaries, and for the files with a cover or
# attachment whether strellbox-cli wrote that too. Exits non-zero when
# strellbox-cli misses one.
#
# Usage: bench/media_writers.sh [build-dir]   (default: build)
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/bin/strellbox-cli")
for tool in photorec foremost ffmpeg opusenc flac metaflac heif-enc avifenc cjxl soffice; do
  command -v "$tool" >/dev/null || { echo "media_writers: $tool is missing" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-media-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME="$work"
mkdir files
q() { "$@" >/dev/null 2>&1; }

convert -seed 3 -size 200x150 plasma:fractal -quality 88 cover.jpg
convert -seed 4 -size 320x240 plasma:fractal PNG24:photo.png
q ffmpeg -f lavfi -i sine=frequency=440:duration=3 -ar 44100 tone.wav
q ffmpeg -f lavfi -i testsrc=size=160x120:rate=10 -t 2 -pix_fmt yuv420p clip.y4m
v=(-v error -y)
q ffmpeg "${v[@]}" -i clip.y4m -i tone.wav -c:v libx264 -c:a aac -shortest files/h264.mp4
q ffmpeg "${v[@]}" -i clip.y4m -i tone.wav -c:v libx264 -c:a aac -shortest files/clip.mov
q ffmpeg "${v[@]}" -i tone.wav -i cover.jpg -map 0 -map 1 -c:a aac -c:v copy \
  -disposition:v attached_pic files/song.m4a
q ffmpeg "${v[@]}" -i tone.wav -i cover.jpg -map 0 -map 1 -c:a libmp3lame -c:v copy \
  -id3v2_version 3 files/v23.mp3
q ffmpeg "${v[@]}" -i tone.wav -i cover.jpg -map 0 -map 1 -c:a libmp3lame -c:v copy \
  -id3v2_version 4 files/v24.mp3
q ffmpeg "${v[@]}" -i tone.wav -c:a libvorbis files/vorbis.ogg
q opusenc --quiet --picture cover.jpg tone.wav files/cover.opus
q ffmpeg "${v[@]}" -i clip.y4m -i tone.wav -c:v libvpx -c:a libopus -shortest files/clip.webm
q ffmpeg "${v[@]}" -i clip.y4m -i tone.wav -c:v libx264 -c:a aac -shortest \
  -attach cover.jpg -metadata:s:t mimetype=image/jpeg files/attached.mkv
q flac -s -f -o files/song.flac tone.wav
q metaflac --import-picture-from=cover.jpg files/song.flac
q heif-enc -q 70 -o files/photo.heic photo.png
q avifenc photo.png files/photo.avif
q cjxl -q 90 photo.png files/bare.jxl
q cjxl -q 90 --container=1 photo.png files/boxed.jxl
q cjxl cover.jpg files/jpeg.jxl
q convert photo.png -define icon:auto-resize=64,32,16 files/icon.ico
q convert photo.png files/layers.psd
printf '<svg xmlns="http://www.w3.org/2000/svg" width="200" height="120"><rect x="10" y="10" width="180" height="100" fill="#3070c0"/><circle cx="100" cy="60" r="40" fill="#e0a020"/></svg>' > d.svg
cp d.svg files/drawing.svg
for ext in emf wmf; do
  q soffice -env:UserInstallation="file://$work/profile" --headless --convert-to "$ext" d.svg
  mv "d.$ext" "files/drawing.$ext"
done

# All of them in random filler: at odd offsets, and at sector (512-byte)
# boundaries as a file system would place them.
python3 - <<'EOF'
import os
for image, aligned in (("odd.img", False), ("aligned.img", True)):
    out = open(image, "wb")
    for name in sorted(os.listdir("files")):
        gap = 1000 + os.urandom(1)[0] * 7 + 3
        if aligned:
            gap += (-(out.tell() + gap)) % 512
        out.write(os.urandom(gap))
        out.write(open(os.path.join("files", name), "rb").read())
    out.write(os.urandom(4096))
EOF

sha() { sha256sum "$1" | cut -d' ' -f1; }
hashes() {
  [ -d "$1" ] || return 0
  find "$1" -type f -exec sha256sum {} + | cut -d' ' -f1 | sort -u
}
photorec_run() {  # $1 input, $2 output folder
  mkdir -p "$2"
  q photorec /log /d "$2/r" /cmd "$1" partition_none,fileopt,everything,enable,search || true
}
foremost_run() { q foremost -Q -a -o "$2" "$1" || true; }

for image in odd aligned; do
  rm -rf "s-$image" "p-$image" "f-$image"
  q "$cli" scan --quiet --output "s-$image" "$image.img" || true
  photorec_run "$image.img" "p-$image"
  foremost_run "$image.img" "f-$image"
  for tool in s p f; do hashes "$tool-$image" > "$tool-$image.txt"; done
done
cover=$(sha cover.jpg)

status=0
printf '%-15s %-21s %-21s %-21s %s\n' file strellbox photorec foremost "cover/attachment"
for f in files/*; do
  name=$(basename "$f")
  h=$(sha "$f")
  rm -rf s-one p-one f-one
  q "$cli" scan --quiet --output s-one "$f" || true
  photorec_run "$f" p-one
  foremost_run "$f" f-one
  mark() {  # $1 the tool's letter: alone / odd offsets / sector boundaries
    local a=no b=no c=no
    hashes "$1-one" | grep -qx "$h" && a=yes
    grep -qx "$h" "$1-odd.txt" && b=yes
    grep -qx "$h" "$1-aligned.txt" && c=yes
    echo "$a/$b/$c"
  }
  s=$(mark s)
  p=$(mark p)
  fo=$(mark f)
  extra=-
  case "$name" in
    song.m4a | v23.mp3 | v24.mp3 | cover.opus | attached.mkv | song.flac)
      extra=no
      hashes s-one | grep -qx "$cover" && extra=yes
      [ "$extra" = yes ] || status=1
      ;;
  esac
  printf '%-15s %-21s %-21s %-21s %s\n' "$name" "$s" "$p" "$fo" "$extra"
  [ "$s" = yes/yes/yes ] || status=1
done
echo "(each column: alone / at odd offsets in filler / at sector boundaries in filler)"
exit $status
