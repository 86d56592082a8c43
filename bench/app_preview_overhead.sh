#!/usr/bin/env bash
# Whole-run timing of what the window adds to a job: every found image is
# handed to the GUI thread and decoded there while the worker waits. A
# folder of N small PNG files is scanned by strellbox-cli and by the
# desktop application under Xvfb; each run's start-up cost (measured on an
# empty folder) is taken off, and the two job times are compared.
#
# Usage: bench/app_preview_overhead.sh [build-dir] [N]   (files go to $TMPDIR or /tmp)
set -euo pipefail
build=${1:-build}
n=${2:-1000}
cli=$(realpath "$build/bin/strellbox-cli")
app=$(realpath "$build/bin/strellbox")
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/images" "$work/empty" "$work/home/Desktop" "$work/config"

# N different 96x64 PNG images, written by Python's zlib.
python3 - "$work/images" "$n" <<'PY'
import random, struct, sys, zlib
folder, n = sys.argv[1], int(sys.argv[2])
def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
rng = random.Random(11)
for i in range(n):
    w, h = 96, 64
    r, g, b = rng.randrange(256), rng.randrange(256), rng.randrange(256)
    rows = b''.join(b'\0' + b''.join(bytes(((r + x) & 255, (g + y) & 255, b)) for x in range(w))
                    for y in range(h))
    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) \
        + chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b'')
    open(f'{folder}/image-{i:05d}.png', 'wb').write(png)
PY

export HOME="$work/home" XDG_CONFIG_HOME="$work/config"
# Keep the update check on loopback: nothing listens on port 9.
export STRELLBOX_MAKER_HOST=127.0.0.1:9 STRELLBOX_REACH_HOST_1=127.0.0.1:9 \
  STRELLBOX_REACH_HOST_2=127.0.0.1:9
mkdir -p "$work/bin" && printf '#!/bin/sh\n' > "$work/bin/xdg-open" && chmod +x "$work/bin/xdg-open"
export PATH="$work/bin:$PATH"

now() { date +%s.%N; }
run_cli() { rm -rf "$work/out"; "$cli" scan --quiet --output "$work/out" "$1"; }
run_app() {
  rm -rf "$work/home/Desktop"/*
  xvfb-run -a "$app" --screenshot-when-done "$work/shot.png" "$1" 2>/dev/null
}
timed() { local t0; t0=$(now); "$@"; echo "$(now) - $t0" | bc -l; }

cli_empty=$(timed run_cli "$work/empty")
cli_full=$(timed run_cli "$work/images")
app_empty=$(timed run_app "$work/empty")
app_full=$(timed run_app "$work/images")
cli_job=$(echo "$cli_full - $cli_empty" | bc -l)
app_job=$(echo "$app_full - $app_empty" | bc -l)
printf 'images: %d (%s)\n' "$n" "$(du -sh "$work/images" | cut -f1)"
printf 'strellbox-cli: %.3f s run, %.3f s start-up, job %.3f s\n' "$cli_full" "$cli_empty" "$cli_job"
printf 'strellbox:     %.3f s run, %.3f s start-up, job %.3f s\n' "$app_full" "$app_empty" "$app_job"
printf 'window job / terminal job: %.2fx\n' "$(echo "$app_job / $cli_job" | bc -l)"
