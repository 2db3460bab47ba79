#!/usr/bin/env bash
# CI: builds the benchmark suite and runs it briefly as a smoke test (every
# benchmark's own checks, the latency tool, the report script). No timing is
# asserted; figures come from scripts/bench.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/bench.sh --quick --out build/bench/smoke
test -s build/bench/smoke/report.md
test -s build/bench/smoke/latency_engine_ccdf.svg
# A benchmark that failed its own checks reports an error instead of a time.
if grep -q '"error_occurred": true' build/bench/smoke/bench.json; then
  echo "40-bench: a benchmark failed its checks" >&2
  grep -B3 -A3 '"error_occurred": true' build/bench/smoke/bench.json >&2
  exit 1
fi
