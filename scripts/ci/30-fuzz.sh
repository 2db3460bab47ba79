#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# KIVRA_FUZZ_SECONDS (default 60) from its committed corpus in fuzz/corpus/.
# New inputs go to a scratch corpus under build/fuzz, never into the
# repository. Any crash, leak, sanitizer report or failed check fails the run;
# the input that caused it is kept in fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/install-deps.sh fuzz
JOBS="${JOBS:-$(nproc)}"
SECONDS_EACH="${KIVRA_FUZZ_SECONDS:-60}"
BUILD=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKIVRA_BUILD_FUZZ=ON -DKIVRA_BUILD_TESTS=OFF -DKIVRA_BUILD_DEMO=OFF \
  -DKIVRA_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target fuzz_ring_buffer fuzz_conversions fuzz_api

mkdir -p fuzz/artifacts
status=0
for target in ring_buffer conversions api; do
  work="$BUILD/corpus-work/$target"
  mkdir -p "$work"
  echo "--- fuzz_$target for ${SECONDS_EACH}s"
  if ! ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
       UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
       "$BUILD/bin/fuzz_$target" "$work" "fuzz/corpus/$target" \
         -max_total_time="$SECONDS_EACH" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
         -artifact_prefix="fuzz/artifacts/$target-" >"$BUILD/fuzz_$target.log" 2>&1; then
    echo "fuzz_$target FAILED:"
    tail -n 60 "$BUILD/fuzz_$target.log"
    status=1
  fi
  grep -E '^#[0-9]+.*DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' \
    "$BUILD/fuzz_$target.log" || true
  echo "corpus: $(ls "$work" | wc -l) new + $(ls "fuzz/corpus/$target" | wc -l) committed inputs"
done
exit $status
