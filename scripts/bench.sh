#!/usr/bin/env bash
# Builds the benchmark suite (Release, the project's default flags) in
# build/bench, runs it and writes a short report to build/bench/report/:
# report.md (tables and goals), bench.json, latency.json and the latency
# distributions as SVG plots (CCDF). Installs missing Debian packages first.
#
# Usage: scripts/bench.sh [--quick] [--out DIR]
#   --quick  short run (smoke test): small minimum time, 20000 latency calls
#   --out    report directory (default build/bench/report)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
out=build/bench/report
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --out) out="$2"; shift ;;
    *) echo "usage: scripts/bench.sh [--quick] [--out DIR]" >&2; exit 2 ;;
  esac
  shift
done

scripts/install-deps.sh base bench
build=build/bench
JOBS="${JOBS:-$(nproc)}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKIVRA_BUILD_BENCH=ON \
  -DKIVRA_WARNINGS_AS_ERRORS="${KIVRA_WERROR:-ON}" >/dev/null
cmake --build "$build" -j "$JOBS" --target kivra_bench kivra_latency

mkdir -p "$out/log"
if [ "$quick" -eq 1 ]; then
  bench_args=(--benchmark_min_time=0.01)
  latency_calls=20000
else
  bench_args=(--benchmark_min_time=0.2 --benchmark_repetitions=5
              --benchmark_report_aggregates_only=true)
  latency_calls=1000000
fi

KIVRA_BENCH_LOG_DIR="$out/log" "$build/bin/kivra_bench" "${bench_args[@]}" \
  --benchmark_out="$out/bench.json" --benchmark_out_format=json | tee "$out/bench.txt"
"$build/bin/kivra_latency" --calls "$latency_calls" --log-dir "$out/log" \
  --out "$out/latency.json" | tee "$out/latency.txt"
python3 bench/report.py "$out/bench.json" "$out/latency.json" "$out" >/dev/null
echo "bench: report written to $out/report.md"
