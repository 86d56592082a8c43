#!/usr/bin/env bash
# One run, ratios printed at the end:
#  - Inflate on one zlib stream of 100 MiB of output against Python's zlib
#    (in-process) and zlib-flate -uncompress (whole process) on the same file;
#  - the deflate pass over 256 MiB of random bytes against one memchr sweep
#    of that buffer and against plain memory bandwidth;
#  - the pass over crafted candidate headers at three sizes (flat per byte).
# CPU time is compared: on a shared machine wall time mostly measures the
# neighbours. Usage: bench/inflate_compare.sh [build folder]
set -euo pipefail
BUILD=${1:-build}
BENCH="$BUILD/bin/deflate_bench"
[ -x "$BENCH" ] || { echo "build $BENCH first" >&2; exit 2; }
command -v zlib-flate >/dev/null || { echo "zlib-flate (package qpdf) is missing" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 100 MiB from a 32-letter alphabet compresses to about 66%, below the cap
# of twice the stream's length.
python3 - "$work/stream.z" > "$work/others.json" <<'EOF'
import json, os, resource, subprocess, sys, time, zlib
table = bytes(0x40 + (b & 0x1F) for b in range(256))
data = os.urandom(100 << 20).translate(table)
stream = zlib.compress(data, 6)
open(sys.argv[1], "wb").write(stream)
del data
def best(f, runs=3):
    cpu = []
    for _ in range(runs):
        c0 = time.process_time(); f(); cpu.append(time.process_time() - c0)
    return min(cpu)
python_cpu = best(lambda: zlib.decompress(stream))
def flate():
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(sys.argv[1], "rb") as src, open(os.devnull, "wb") as dst:
        subprocess.run(["zlib-flate", "-uncompress"], stdin=src, stdout=dst, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
flate_cpu = min(flate() for _ in range(3))
json.dump({"python": python_cpu, "zlib_flate": flate_cpu, "stream": len(stream)}, sys.stdout)
EOF

STRELLBOX_INFLATE_FILE="$work/stream.z" "$BENCH" --benchmark_format=json \
  --benchmark_out="$work/bench.json" --benchmark_out_format=json > /dev/null

python3 - "$work/others.json" "$work/bench.json" <<'EOF'
import json, sys
others = json.load(open(sys.argv[1]))
bench = {b["name"]: b for b in json.load(open(sys.argv[2]))["benchmarks"]}
def cpu_s(prefix):
    b = next(v for k, v in bench.items() if k.startswith(prefix))
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b["cpu_time"] * scale
ours = cpu_s("BM_InflateFile")
print(f"inflate 100 MiB (stream {others['stream']} bytes), CPU seconds:")
print(f"  Inflate {ours:.3f}  Python zlib {others['python']:.3f}  zlib-flate {others['zlib_flate']:.3f}")
print(f"  ratio Inflate / Python zlib = {ours / others['python']:.2f}  (target <= 1.5)")
print(f"  ratio Inflate / zlib-flate  = {ours / others['zlib_flate']:.2f}")
deflate = cpu_s("BM_DeflatePassRandom")
sweep = cpu_s("BM_MemchrSweep")
bandwidth = cpu_s("BM_MemchrBandwidth")
print("deflate pass over 256 MiB of random bytes, CPU seconds:")
print(f"  pass {deflate:.4f}  memchr sweep for 78 {sweep:.4f}  memchr without hits {bandwidth:.4f}")
print(f"  ratio pass / memchr sweep = {deflate / sweep:.2f}  (target <= 10)")
print(f"  ratio pass / memchr bandwidth = {deflate / bandwidth:.2f}")
print("candidate-header flood, CPU ns per byte (flat = linear):")
for mib in (1, 4, 16):
    b = bench[f"BM_DeflatePassStoredFlood/{mib}"]
    print(f"  {mib:2d} MiB: {1e9 / b['bytes_per_second']:.2f} ns/byte, "
          f"work {b['work_per_byte']:.0f} bytes per byte")
EOF
