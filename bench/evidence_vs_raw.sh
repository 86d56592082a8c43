#!/usr/bin/env bash
# One disk image scanned as a raw file and as an evidence file (deflate,
# one segment): strellbox-cli's wall time for each, their ratio, the peak
# anonymous memory of each, and whether both wrote the same files.
# The image is the corpus's files end to end, each at a 512-byte boundary.
#
# Usage: bench/evidence_vs_raw.sh [build-dir] [corpus-dir] [size-mb]
#   (default build, /tmp/strellbox-corpus, 256; files go to $TMPDIR or /tmp)
set -euo pipefail
build=${1:-build}
corpus=${2:-/tmp/strellbox-corpus}
size_mb=${3:-256}
cli=$(realpath "$build/bin/strellbox-cli")
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-ewf-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$corpus" "$work/disk.raw" "$size_mb" <<'PY'
import os, sys
corpus, out, limit = sys.argv[1], sys.argv[2], int(sys.argv[3]) << 20
with open(out, "wb") as f:
    for root, dirs, files in sorted(os.walk(corpus)):
        dirs.sort()
        for name in sorted(files):
            data = open(os.path.join(root, name), "rb").read()
            if f.tell() + len(data) > limit:
                continue
            f.write(data)
            f.write(b"\0" * (-f.tell() % 512))
    f.truncate(limit)
PY
ewfacquire -u -q -f encase6 -c deflate:fast -t "$work/disk" "$work/disk.raw" > /dev/null
ls -l "$work"/disk.* >&2
# The images just written go to disk first: their writeback would fall
# inside the timed scans.
sync

run() {  # label, path: wall seconds and peak RSS of one scan
  local out="$work/out-$1"
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$work/time-$1" "$cli" scan --json --output "$out" "$2" > "$work/rows-$1"
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l > "$work/wall-$1"
  echo "$1: $(printf '%.2f' "$(cat "$work/wall-$1")") s, peak RSS $(($(cat "$work/time-$1") / 1024)) MiB"
}
run raw "$work/disk.raw"
run ewf "$work/disk.E01"
echo "ratio ewf/raw: $(echo "$(cat "$work/wall-ewf") / $(cat "$work/wall-raw")" | bc -l | cut -c1-5)"
same() { python3 -c '
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
print(sorted((r["type"], r["offset"], r["size"], r["sha256"]) for r in rows if "type" in r))' "$1"; }
if [ "$(same "$work/rows-raw")" = "$(same "$work/rows-ewf")" ]; then
  echo "same items: $(grep -c '"type"' "$work/rows-raw")"
else
  echo "the items differ" >&2
  exit 1
fi
