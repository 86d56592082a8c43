#!/usr/bin/env bash
# PDF reading and image extraction against the usual tools, one run each on
# warm files:
#  1. a ~50 MB text-and-graphics PDF written by Ghostscript: reading every
#     object in process (build/bin/pdf_bench) against `qpdf --check`;
#  2. a 200-page image-heavy PDF written by img2pdf (JPEG and PNG pages):
#     a whole `strellbox-cli scan --only pdf` run, which writes one one-page
#     PDF per image, against `pdfimages -all` writing the same images;
#  3. with extended detection, a 100+ MB PDF of 200 images and its
#     object-stream rewrite, against `pdfimages -all`.
#
# Usage: bench/pdf_vs_tools.sh [build-dir]   (files go to $TMPDIR or /tmp)
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/bin/strellbox-cli")
bench=$(realpath "$build/bin/pdf_bench")
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-pdfbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
ratio() { echo "$1 / $2" | bc -l; }

# 1. Many pages of text and rules, content left uncompressed so that the
# file reaches ~50 MB with a realistic number of objects.
cat > "$work/pages.ps" <<'PS'
/Times-Roman findfont 9 scalefont setfont
1 1 4200 {
  /p exch def
  36 36 540 720 rectstroke
  0 1 69 {
    /l exch def
    44 760 l 10 mul sub moveto
    (Page ) show p 10 string cvs show ( line ) show l 10 string cvs show
    ( the quick brown fox jumps over the lazy dog, again and again.) show
    40 755 l 10 mul sub moveto 570 755 l 10 mul sub lineto 0.2 setlinewidth stroke
  } for
  showpage
} for
PS
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -dCompressPages=false -o "$work/text.pdf" "$work/pages.ps"
cat "$work/text.pdf" > /dev/null
size=$(stat -c %s "$work/text.pdf")
t0=$(now); qpdf --check "$work/text.pdf" > /dev/null; t1=$(now)
qpdf_s=$(echo "$t1 - $t0" | bc -l)
read_ms=$(STRELLBOX_BENCH_PDF="$work/text.pdf" "$bench" --benchmark_filter=BM_ReadDocument \
  --benchmark_min_time=0.01 --benchmark_format=csv 2>/dev/null | awk -F, '/BM_ReadDocument/ {print $3}')
read_s=$(echo "$read_ms / 1000" | bc -l)
printf 'text PDF %d bytes\n' "$size"
printf '  qpdf --check:              %.3f s\n' "$qpdf_s"
printf '  read all objects:          %.3f s   (%.3fx qpdf --check)\n' "$read_s" "$(ratio "$read_s" "$qpdf_s")"

# 2. 200 pages of pictures: 150 JPEG (DCT) and 50 PNG (Flate).
for i in $(seq 1 200); do
  if [ "$i" -le 150 ]; then ext=jpg; else ext=png; fi
  convert -seed "$i" -size 640x480 plasma:fractal -depth 8 "$work/img$(printf %03d "$i").$ext"
done
img2pdf "$work"/img*.* -o "$work/images.pdf"
cat "$work/images.pdf" > /dev/null
mkdir -p "$work/pi"
t0=$(now); pdfimages -all "$work/images.pdf" "$work/pi/img"; t1=$(now)
"$cli" scan --quiet --classic --only pdf --output "$work/out" "$work/images.pdf"; t2=$(now)
pi_s=$(echo "$t1 - $t0" | bc -l)
ours_s=$(echo "$t2 - $t1" | bc -l)
printf 'image PDF %d bytes, pdfimages wrote %d files, strellbox wrote %d files\n' \
  "$(stat -c %s "$work/images.pdf")" "$(ls "$work/pi" | wc -l)" "$(find "$work/out" -type f | wc -l)"
printf '  pdfimages -all:            %.3f s\n' "$pi_s"
printf '  strellbox-cli --only pdf:  %.3f s   (%.3fx pdfimages)\n' "$ours_s" "$(ratio "$ours_s" "$pi_s")"

# 3. With extended detection: a 100+ MB document of 200 distinct images
# (170 JPEG, 30 Flate), as img2pdf writes it and as qpdf rewrites it with
# object streams and a cross-reference stream. A whole `strellbox-cli scan
# --only pdf --extended` run (the document and one one-page PDF per image)
# against `pdfimages -all` (every image written as a file).
mkdir -p "$work/big"
for i in $(seq 1 200); do
  n=$(printf %03d "$i")
  if [ "$i" -le 170 ]; then
    convert -seed "$i" -size 900x700 xc: +noise Random -quality 92 "$work/big/$n.jpg"
  else
    convert -seed "$i" -size 400x300 xc: +noise Random -depth 8 "$work/big/$n.png"
  fi
done
img2pdf "$work"/big/* -o "$work/big.pdf"
qpdf --object-streams=generate "$work/big.pdf" "$work/big-objstm.pdf"
rm -rf "$work/big"
for f in big.pdf big-objstm.pdf; do
  cat "$work/$f" > /dev/null
  rm -rf "$work/pi" "$work/out" && mkdir -p "$work/pi"
  t0=$(now); pdfimages -all "$work/$f" "$work/pi/img"; t1=$(now)
  "$cli" scan --quiet --only pdf --extended --output "$work/out" "$work/$f"; t2=$(now)
  pi_s=$(echo "$t1 - $t0" | bc -l)
  ours_s=$(echo "$t2 - $t1" | bc -l)
  printf '%s %d bytes, pdfimages wrote %d files, strellbox wrote %d files (the document and its images)\n' \
    "$f" "$(stat -c %s "$work/$f")" "$(ls "$work/pi" | wc -l)" "$(find "$work/out" -type f | wc -l)"
  printf '  pdfimages -all:                       %.3f s\n' "$pi_s"
  printf '  strellbox-cli --only pdf --extended:  %.3f s   (%.3fx pdfimages)\n' "$ours_s" \
    "$(ratio "$ours_s" "$pi_s")"
done
