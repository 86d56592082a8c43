#!/usr/bin/env bash
# Whole runs of strellbox-cli over inputs too big for the unit tests:
#  1. a sparse 5 GiB file holding a real PNG just after 4 GiB and a real JPEG
#     in its last bytes: both must be written;
#  2. folders of 10000 and 100000 small files (one real PNG among them) scanned
#     whole: peak RSS of each, so growth with the number of files shows;
#  3. a 3 GiB file scanned memory-mapped: peak anonymous memory (RssAnon);
#  4. nested zlib streams, each level inflating as much as its cap allows
#     (up to five levels deep): peak RSS against the file size;
#  5. a sparse 40 GiB file with a line of text near its end, scanned by the
#     text pass alone (its output grows on disk, not in memory): the text
#     item must hold the line's long words; time and peak RssAnon (about 4
#     minutes).
# Exits non-zero when an item is missed.
#
# Usage: bench/big_inputs.sh [build-dir]   (files go to $TMPDIR or /tmp)
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/bin/strellbox-cli")
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-big-XXXXXX")
trap 'rm -rf "$work"' EXIT

convert -size 64x48 gradient:red-blue "$work/a.png"
convert -size 64x48 gradient:green-yellow -quality 90 "$work/a.jpg"

# Runs the CLI in the background; prints "<peak RssAnon KiB> <peak RSS KiB>".
# The kernel's high-water mark (VmHWM) is read just before the process ends.
run_sampled() {
  "$cli" scan --quiet --keep-duplicates "$@" &
  local pid=$! anon=0 hwm=0 kb
  while kill -0 "$pid" 2>/dev/null; do
    kb=$(awk '/RssAnon/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$kb" ] && [ "$kb" -gt "$anon" ] && anon=$kb
    kb=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$kb" ] && [ "$kb" -gt "$hwm" ] && hwm=$kb
    sleep 0.02
  done
  wait "$pid"
  echo "$anon $hwm"
}

now() { date +%s.%N; }

# 1. Sparse 5 GiB file.
png_at=$(((4 << 30) + 4097))
jpg_size=$(stat -c %s "$work/a.jpg")
jpg_at=$(((5 << 30) - jpg_size))
truncate -s 5G "$work/sparse.bin"
dd if="$work/a.png" of="$work/sparse.bin" bs=1 seek="$png_at" conv=notrunc status=none
dd if="$work/a.jpg" of="$work/sparse.bin" bs=1 seek="$jpg_at" conv=notrunc status=none
t0=$(now)
read -r anon hwm < <(run_sampled --output "$work/out1" "$work/sparse.bin")
t1=$(now)
cmp "$work/a.png" "$work/out1/sparse Strell/sparse.png"
cmp "$work/a.jpg" "$work/out1/sparse Strell/sparse.jpg"
printf '5 GiB sparse file: PNG at %d and JPEG at %d written byte-exact; %.1f s, peak RssAnon %d KiB, peak RSS %d KiB\n' \
  "$png_at" "$jpg_at" "$(echo "$t1 - $t0" | bc -l)" "$anon" "$hwm"

# 2. Many small files.
many() {
  local n=$1 dir="$work/many$1"
  python3 - "$dir" "$n" <<'EOF'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, f"d{i // 1000:03d}")
    if i % 1000 == 0:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, f"f{i:06d}.dat"), "wb") as f:
        f.write(os.urandom(200 + i % 700))
EOF
  cp "$work/a.png" "$dir/d000/picture.bin"
  local t0 t1 anon hwm
  t0=$(now)
  read -r anon hwm < <(run_sampled --output "$work/out-many$n" "$dir")
  t1=$(now)
  cmp "$work/a.png" "$work/out-many$n/many$n Strell/picture.png"
  printf '%6d small files: %.1f s, peak RSS %d KiB, peak RssAnon %d KiB\n' \
    "$((n + 1))" "$(echo "$t1 - $t0" | bc -l)" "$hwm" "$anon"
  rm -rf "$dir" "$work/out-many$n"
}
many 10000
many 100000

# 3. 3 GiB file, memory-mapped.
truncate -s 3G "$work/big.bin"
dd if=/dev/urandom of="$work/big.bin" bs=1M count=64 conv=notrunc status=none
read -r anon hwm < <(run_sampled --output "$work/out3" "$work/big.bin")
printf '3 GiB file: peak RssAnon %d KiB (%.4f%% of the file), peak RSS %d KiB\n' "$anon" \
  "$(echo "$anon * 1024 * 100 / (3 * 1024^3)" | bc -l)" "$hwm"
rm -f "$work/big.bin"

# 4. Nested streams: the innermost level is zeros, every level above it is
# the stream of the level below followed by zeros up to the size that lets
# the inner stream's output just fit under its cap.
python3 - "$work/bomb.bin" <<'EOF'
import sys, zlib
def cap(n):
    return n * 40 if n <= 199999 else n * 10 if n <= 1999999 else n * 5 if n <= 4999999 else n * 2
def smallest_holder(size):  # least buffer length whose cap admits `size`
    lo, hi = 1, size
    while lo < hi:
        mid = (lo + hi) // 2
        if cap(mid) >= size: hi = mid
        else: lo = mid + 1
    return lo
top = 199999                   # the level-0 file length: the 40x band
sizes = [top]
for _ in range(5):             # levels 1..5 each as big as its cap allows
    sizes.append(cap(sizes[-1]))
data = bytes(sizes[-1])
for level in range(4, -1, -1):
    stream = zlib.compress(data, 9)
    pad = sizes[level] - len(stream)
    assert pad >= 0, (level, len(stream), sizes[level])
    data = stream + bytes(pad)
open(sys.argv[1], "wb").write(data)
print("nested levels (bytes):", " > ".join(str(s) for s in sizes))
EOF
t0=$(now)
read -r anon hwm < <(run_sampled --output "$work/out4" --only png "$work/bomb.bin")
t1=$(now)
size=$(stat -c %s "$work/bomb.bin")
printf 'nested streams, %d-byte file: %.1f s, peak RSS %d KiB (%.0fx the file), peak RssAnon %d KiB\n' \
  "$size" "$(echo "$t1 - $t0" | bc -l)" "$hwm" "$(echo "$hwm * 1024 / $size" | bc -l)" "$anon"

# 5. The readable text of a buffer larger than the memory.
truncate -s 40G "$work/text.bin"
printf 'the last words of a very large disk image\n' |
  dd of="$work/text.bin" bs=1 seek=$(((40 << 30) - 4096)) conv=notrunc status=none
t0=$(now)
read -r anon hwm < <(run_sampled --output "$work/out5" --only ascii "$work/text.bin")
t1=$(now)
# (Short words after 40 GiB of zeros fall to the filter's low score.)
grep -q 'very large disk image' "$work/out5/text Strell/"*.txt
printf '40 GiB sparse file, text pass: %.0f s, peak RssAnon %d KiB, peak RSS %d KiB\n' \
  "$(echo "$t1 - $t0" | bc -l)" "$anon" "$hwm"
rm -f "$work/text.bin"
