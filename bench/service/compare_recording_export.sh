#!/usr/bin/env bash
# Builds bench_recording_export from this tree and from an earlier commit (a
# detached worktree with the same bench source copied in, its own build
# folder), runs the two alternately, one export per process, and prints their
# figures side by side.
#   bench/service/compare_recording_export.sh [base-commit] [rounds]
# The files go to MELODARA_BENCH_DIR (default: build/bench-out, on the disk
# the user's Downloads would be on, not a memory file system).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
base=${1:-$(git -C "$root" merge-base HEAD main)}
rounds=${2:-3}
work=${TMPDIR:-/tmp}/melodara-bench-$(git -C "$root" rev-parse --short "$base")
out=${MELODARA_BENCH_DIR:-$root/build/bench-out}
mkdir -p "$out"

[ -d "$work" ] || git -C "$root" worktree add --detach "$work" "$base" >/dev/null
cp "$root/bench/service/bench_recording_export.cpp" "$work/bench/service/"
for tree in "$work" "$root"; do
  cmake -S "$tree" -B "$tree/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$tree/build" --target bench_recording_export >/dev/null
done

results=$(mktemp)
for round in $(seq "$rounds"); do
  for variant in before after; do
    tree=$root
    [ "$variant" = before ] && tree=$work
    MELODARA_BENCH_DIR=$out "$tree/build/bench/bench_recording_export" --benchmark_format=json 2>/dev/null |
      python3 -c 'import json,sys; b=json.load(sys.stdin)["benchmarks"][0]; print(sys.argv[1], sys.argv[2], b["real_time"], b["take_MiB"], b["peak_MiB"], b["added_MiB"], int(b["all_written"]))' \
        "$variant" "$round" >>"$results"
  done
done
python3 - "$results" <<'PY'
import sys
rows = [l.split() for l in open(sys.argv[1])]
print(f"{'variant':8} {'round':>5} {'time ms':>9} {'take MiB':>9} {'peak MiB':>9} {'added MiB':>10} {'all written':>12}")
for v, r, t, take, peak, added, ok in rows:
    print(f"{v:8} {r:>5} {float(t):9.0f} {float(take):9.1f} {float(peak):9.1f} {float(added):10.1f} {ok:>12}")
for v in ("before", "after"):
    sel = [x for x in rows if x[0] == v]
    t = sorted(float(x[2]) for x in sel)[len(sel) // 2]
    a = max(float(x[5]) for x in sel)
    print(f"{v}: median time {t:.0f} ms, largest added peak {a:.1f} MiB")
PY
rm -f "$results"
