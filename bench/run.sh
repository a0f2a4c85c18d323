#!/bin/sh
# Builds the benchmarks in Release, runs the workload benchmarks and prints each operation's time
# next to its baseline and how the cost grows from 1x to 2x and 4x the layers.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target quarn_bench
out="$build/workload_bench.json"
"$build/bench/quarn_bench" --benchmark_filter="${1:-BM_Workload}" --benchmark_format=json >"$out"
python3 - "$out" <<'PY'
import json, sys
runs = {b["name"].split("/real_time")[0]: b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"]}
pairs = [("ValidateAllocations", "SortSweepEvents", "at most 4x"),
         ("RelocateReference", "Relocate", "at least 100x"),
         ("PackSizedObjects", "SortObjectSizes", ""), ("PackObjects", "SortObjectSizes", ""),
         ("F143Encode", "Memcpy", ""), ("F143Decode", "Memcpy", "")]
print(f"{'ratio':44} {'1x':>9} {'2x':>9} {'4x':>9}  target")
for a, b, target in pairs:
    cells = []
    for s in ("1x", "2x", "4x"):
        x, y = runs.get(f"BM_Workload{a}/{s}"), runs.get(f"BM_Workload{b}/{s}")
        cells.append(f"{x / y:9.2f}" if x and y else f"{'-':>9}")
    print(f"{a + ' / ' + b:44} {' '.join(cells)}  {target}")
print(f"\n{'operation (ms)':44} {'1x':>9} {'2x':>9} {'4x':>9}  4x/1x")
names = sorted({n.split("/")[0] for n in runs})
for n in names:
    t = [runs.get(f"{n}/{s}") for s in ("1x", "2x", "4x")]
    growth = f"{t[2] / t[0]:.2f}" if t[0] and t[2] else "-"
    print(f"{n[len('BM_Workload'):]:44} " + " ".join(f"{v:9.1f}" if v else f"{'-':>9}" for v in t) + f"  {growth}")
PY
