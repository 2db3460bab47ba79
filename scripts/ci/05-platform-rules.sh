#!/usr/bin/env bash
# The Android and macOS platform rules, built and tested on this Linux host:
# Android's separator, signed thread ids, EXTERNAL_STORAGE directory and
# system-log messages; macOS's pointer thread ids and bare default path.
set -euo pipefail
cd "$(dirname "$0")/../.."

JOBS="${JOBS:-$(nproc)}"
for preset in android-rules macos-rules; do
  echo "--- $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$JOBS"
  ctest --preset "$preset" -j "$JOBS"
done
