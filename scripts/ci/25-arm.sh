#!/usr/bin/env bash
# The ARM Linux builds: the library, the stand-in SDK and the test suite
# cross-built with Debian's g++-aarch64-linux-gnu and g++-arm-linux-gnueabihf
# (presets linux-aarch64 and linux-armhf, the latter ARMv7-A with NEON) and
# run under qemu-user. Then the ARMv7 build without NEON (linux-armhf-noneon),
# reduced to the conversions and their tests: the portable loops on a target.
#
# qemu runs the simulation 9 to 80 times slower than this host, so
# KIVRA_SIM_HOUR_SCALE=0.05 (as under the sanitizers and wine) scales the
# drift tests' simulated hour to 3 minutes and the latency controller's
# matched-clock runs to 3 minutes and 1 minute. Every other test runs at its
# full length (docs/ARM-AND-MSVC-ABI.md).
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/install-deps.sh arm
JOBS="${JOBS:-$(nproc)}"
export KIVRA_SIM_HOUR_SCALE="${KIVRA_SIM_HOUR_SCALE:-0.05}"

for preset in linux-aarch64 linux-armhf; do
  t0=$(date +%s)
  echo "--- $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  t1=$(date +%s)
  echo "--- $preset: test under qemu"
  ctest --preset "$preset" -j "$JOBS"
  echo "--- $preset: build $(( t1 - t0 ))s, tests $(( $(date +%s) - t1 ))s"
done

t0=$(date +%s)
echo "--- linux-armhf-noneon: the conversions without NEON"
cmake --preset linux-armhf-noneon >/dev/null
cmake --build --preset linux-armhf-noneon -j "$JOBS" \
  --target test_conversions test_conversion_vectors
ctest --preset linux-armhf-noneon -j "$JOBS" -R '^test_conversion' --no-tests=error
echo "--- linux-armhf-noneon: $(( $(date +%s) - t0 ))s"
