#!/usr/bin/env bash
# The latency controller's hour-long virtual sessions at full length
# (scripts/test.sh runs them at a tenth): drift, stalls and virtual voices
# over a simulated hour, and the controller's hour on matched clocks.
set -euo pipefail
cd "$(dirname "$0")/../.."
unset KIVRA_SIM_HOUR_SCALE
ctest --preset release -j "${JOBS:-$(nproc)}" -R '^test_latency_' --no-tests=error
