#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer + UndefinedBehaviorSanitizer
# and with ThreadSanitizer (presets asan and tsan, demo off) and runs it; the
# test presets make any sanitizer report fatal. KIVRA_STRESS_SECONDS sets how
# long the stress test runs in each (default 4).
set -euo pipefail
cd "$(dirname "$0")/../.."

JOBS="${JOBS:-$(nproc)}"
export KIVRA_STRESS_SECONDS="${KIVRA_STRESS_SECONDS:-4}"
# The drift tests simulate an hour; three minutes are enough under sanitizers.
export KIVRA_SIM_HOUR_SCALE="${KIVRA_SIM_HOUR_SCALE:-0.05}"
for preset in asan tsan; do
  t0=$(date +%s)
  echo "--- $preset: configure and build"
  cmake --preset "$preset" -DKIVRA_BUILD_BENCH=OFF >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  echo "--- $preset: test"
  ctest --preset "$preset" -j "$JOBS"
  echo "--- $preset: passed in $(( $(date +%s) - t0 ))s"
done
