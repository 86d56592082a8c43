#!/usr/bin/env bash
# The window against the terminal on large images: a folder of N
# ImageMagick JPEGs of 2800 x 2000 (each one distinct) is scanned by
# strellbox-cli and by the desktop application on one Xvfb display, R
# rounds alternating. The job times compared are each program's own, from
# the request to the end of the scan: the "seconds" of the CLI's JSON
# summary, and the window's "scans ended after" line (--screenshot-when-
# done). The window's peak RSS (GNU time, %M) is reported with them.
#
# Targets: window job within 1.5 x the terminal's, window peak RSS < 120 MiB.
#
# Usage: bench/window_vs_cli.sh [build-dir] [N] [R]
# The images are made once into $STRELLBOX_BENCH_JPEGS (default
# /tmp/strellbox-bench-jpegs) and reused by later runs.
set -euo pipefail
build=${1:-build}
n=${2:-150}
rounds=${3:-3}
cli=$(realpath "$build/bin/strellbox-cli")
app=$(realpath "$build/bin/strellbox")
images=${STRELLBOX_BENCH_JPEGS:-/tmp/strellbox-bench-jpegs}
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-window-bench-XXXXXX")
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The images: one base picture with the detail of a photograph, then per
# image a different tint and a number written on it, all from one
# ImageMagick process.
if [ "$(find "$images" -name '*.jpg' 2>/dev/null | wc -l)" -ne "$n" ]; then
  rm -rf "$images" && mkdir -p "$images"
  convert -seed 4 -size 2800x2000 plasma:fractal "$work/base.png"
  args=()
  for i in $(seq 1 "$n"); do
    args+=("(" +clone -fill "rgb($((i * 37 % 256)),$((i * 91 % 256)),$((i * 53 % 256)))"
      -colorize 25 -pointsize 200 -fill white -annotate +200+400 "$i"
      -quality 88 -write "$images/image-$(printf %03d "$i").jpg" +delete ")")
  done
  convert "$work/base.png" "${args[@]}" null:
fi

mkdir -p "$work/home" "$work/config" "$work/runtime" "$work/bin"
chmod 700 "$work/runtime"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
# Keep the update check on loopback: nothing listens on port 9.
export STRELLBOX_MAKER_HOST=127.0.0.1:9 STRELLBOX_REACH_HOST_1=127.0.0.1:9 \
  STRELLBOX_REACH_HOST_2=127.0.0.1:9
printf '#!/bin/sh\n' > "$work/bin/xdg-open" && chmod +x "$work/bin/xdg-open"
export PATH="$work/bin:$PATH"
unset QT_QPA_PLATFORM

# One X display for every window run.
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 2>/dev/null &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

rss_file="$work/rss"
cli_job() {
  rm -rf "$work/out"
  "$cli" scan --json --output "$work/out" "$1" | tail -1 |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["seconds"])'
}
app_job() {
  rm -rf "$work/home/Desktop"
  /usr/bin/time -f %M -o "$rss_file" "$app" --screenshot-when-done "$work/shot.png" "$1" 2>&1 |
    sed -n 's/^strellbox: scans ended after \([0-9.]*\) s$/\1/p'
}
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

cli_jobs=() app_jobs=() rss=()
for r in $(seq 1 "$rounds"); do
  c=$(cli_job "$images")
  a=$(app_job "$images")
  rss+=("$(cat "$rss_file")")
  test "$(ls "$work/home/Desktop/$(basename "$images") Strell" | wc -l)" -eq "$n"
  cli_jobs+=("$c")
  app_jobs+=("$a")
  printf 'round %d: cli %.3f s, window %.3f s, window peak RSS %d MiB\n' \
    "$r" "$c" "$a" "$(( ${rss[-1]} / 1024 ))"
done
cli_job=$(printf '%s\n' "${cli_jobs[@]}" | median)
app_job=$(printf '%s\n' "${app_jobs[@]}" | median)
peak=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
printf 'images: %d JPEGs of 2800x2000 (%s)\n' "$n" "$(du -sh "$images" | cut -f1)"
printf 'strellbox-cli job (median): %.3f s\n' "$cli_job"
printf 'strellbox job (median):     %.3f s\n' "$app_job"
printf 'window job / terminal job:  %.2fx (target <= 1.5)\n' "$(echo "$app_job / $cli_job" | bc -l)"
printf 'window peak RSS (highest):  %d MiB (target < 120)\n' "$((peak / 1024))"
