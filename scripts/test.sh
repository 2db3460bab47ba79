#!/usr/bin/env bash
# Builds the Release configuration and runs every test. On a fresh machine it
# installs the Debian packages it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh base demo live
JOBS="${JOBS:-$(nproc)}"
cmake --preset release
cmake --build --preset release -j "$JOBS"
# The hour-long virtual sessions run at a tenth of their length here
# (KIVRA_SIM_HOUR_SCALE); .ci/run runs them whole (scripts/ci/02-long-sessions.sh).
KIVRA_SIM_HOUR_SCALE="${KIVRA_SIM_HOUR_SCALE:-0.1}" ctest --preset release -j "$JOBS"
