#!/usr/bin/env bash
# Whole-run timing of the engine's own cost: a 1 GiB file of random bytes
# scanned with every optional pass off (only the always-present flate pass
# runs), against `cat FILE > /dev/null` on the same warm file; then the
# anonymous memory (RssAnon) of a scan of a 3 GiB file, sampled while it runs.
#
# Usage: bench/engine_overhead.sh [build-dir]   (files go to $TMPDIR or /tmp)
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/bin/strellbox-cli")
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

head -c $((1 << 30)) /dev/urandom > "$work/random.bin"
cat "$work/random.bin" > /dev/null   # warm the page cache

now() { date +%s.%N; }
t0=$(now); cat "$work/random.bin" > /dev/null; t1=$(now)
"$cli" scan --quiet --output "$work/out" --disable pdf,jpeg,gif,png,flash,base64,bmp,wav \
  "$work/random.bin"
t2=$(now)
cat_s=$(echo "$t1 - $t0" | bc -l)
scan_s=$(echo "$t2 - $t1" | bc -l)
printf 'cat 1 GiB:                 %.3f s\n' "$cat_s"
printf 'scan 1 GiB (flate only):   %.3f s   (%.2fx cat)\n' "$scan_s" "$(echo "$scan_s / $cat_s" | bc -l)"

# 3 GiB: sparse zeros with a little random data, scanned memory-mapped.
truncate -s 3G "$work/big.bin"
dd if=/dev/urandom of="$work/big.bin" bs=1M count=64 conv=notrunc status=none
"$cli" scan --quiet --output "$work/out" "$work/big.bin" &
pid=$!
peak=0
while kill -0 "$pid" 2>/dev/null; do
  kb=$(awk '/RssAnon/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
  [ -n "$kb" ] && [ "$kb" -gt "$peak" ] && peak=$kb
  sleep 0.05
done
wait "$pid"
printf 'scan 3 GiB: peak RssAnon   %d KiB (%.4f%% of the file)\n' "$peak" \
  "$(echo "$peak * 1024 * 100 / (3 * 1024^3)" | bc -l)"
