#!/usr/bin/env bash
# The images of office documents and e-books as a writer makes them: pandoc
# (installed when missing) writes a docx, an odt and an epub, each with the
# same ImageMagick PNGs and JPEGs inside; strellbox-cli scans each with and
# without extended detection. Prints, per document and mode, how many of the
# images came out byte-exact and the seconds the scan took; exits non-zero
# when extended detection misses one.
#
# Usage: bench/office_documents.sh [build-dir] [images]   (default: build, 40)
set -euo pipefail
build=${1:-build}
images=${2:-40}
cli=$(realpath "$build/bin/strellbox-cli")
command -v pandoc >/dev/null || apt-get install -y -q --no-install-recommends pandoc >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-office-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

: > doc.md
for i in $(seq 1 "$images"); do
  if [ $((i % 2)) -eq 0 ]; then ext=png; else ext=jpg; fi
  convert -seed "$i" -size 320x200 plasma:fractal "img$i.$ext"
  printf 'Figure %d\n\n![figure %d](img%d.%s)\n\n' "$i" "$i" "$i" "$ext" >> doc.md
done
sha256sum img*.* | cut -d' ' -f1 | sort > wanted.txt

status=0
for format in docx odt epub; do
  pandoc doc.md --metadata title=Figures -o "doc.$format"
  for mode in classic extended; do
    flags=(--classic)
    [ "$mode" = extended ] && flags=(--extended)
    start=$(date +%s.%N)
    "$cli" scan --json --list "${flags[@]}" "doc.$format" > rows.json
    end=$(date +%s.%N)
    python3 - "$mode" "$format" "$start" "$end" <<'EOF' || status=1
import json, subprocess, sys
mode, fmt, start, end = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
wanted = set(open("wanted.txt").read().split())
found = {json.loads(l).get("sha256") for l in open("rows.json")}
print(f"{fmt} {mode}: {len(wanted & found)} of {len(wanted)} images, {end - start:.2f} s")
sys.exit(0 if mode == "classic" or wanted <= found else 1)
EOF
  done
done
exit $status
