#!/bin/sh
# CRC-32 throughput of "mgcrcs -c" on a large file, next to Python's
# zlib.crc32 over the same file in the same run (both read it from the page
# cache after a warm-up read).
# Usage: bench/mgcrcs_bench.sh [build directory] [size in MiB, default 1024]
set -eu
BUILD=${1:-build}
MIB=${2:-1024}
PROG=$(cd "$BUILD" && pwd)/mgcrcs
[ -x "$PROG" ] || { echo "no $PROG; build first" >&2; exit 1; }
DIR=$(mktemp -d "${TMPDIR:-/tmp}/mgcrcs_bench.XXXXXX")
trap 'rm -rf "$DIR"' EXIT INT TERM
FILE="$DIR/data.bin"
head -c $((MIB * 1048576)) /dev/urandom > "$FILE"
cat "$FILE" > /dev/null

python3 - "$PROG" "$FILE" "$MIB" <<'PY'
import subprocess, sys, time, zlib
prog, path, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
def best(f, runs=3):
    t = min(timed(f) for _ in range(runs))
    return mib / t
def timed(f):
    start = time.perf_counter()
    f()
    return time.perf_counter() - start
result = {}
def tool():
    out = subprocess.run([prog, "-c", "data.bin"], cwd=path.rsplit("/", 1)[0], capture_output=True, check=True)
    result["tool"] = int(out.stdout.split()[1], 16)
def python():
    crc = 0
    with open(path, "rb", buffering=0) as f:
        while chunk := f.read(1 << 20):
            crc = zlib.crc32(chunk, crc)
    result["zlib"] = crc
tool_rate = best(tool)
zlib_rate = best(python)
assert result["tool"] == result["zlib"], result
print(f"file {mib} MiB, CRC {result['tool']:08X}")
print(f"mgcrcs -c       {tool_rate:8.0f} MB/s")
print(f"zlib.crc32      {zlib_rate:8.0f} MB/s")
PY
