#!/usr/bin/env bash
# The Android and macOS platform rules, built and tested on this Linux host:
# Android's separator, signed thread ids, EXTERNAL_STORAGE directory and
# system-log messages; macOS's pointer thread ids and bare default path; and
# each flavour's exported symbols. Only the library and the tests that depend
# on the platform rules are built (the rest is the same code as the release
# build), which keeps the check within a few minutes on two cores.
set -euo pipefail
cd "$(dirname "$0")/../.."

JOBS="${JOBS:-$(nproc)}"
wanted='^(KivraWwiseWrapper|KivraWwiseRTCSDK|test_log.*|test_platform_.*|test_exported_symbols|test_e2e)$'
tests='^(test_log|test_platform_|exports_|test_exported_symbols$|test_e2e$)'
for preset in android-rules macos-rules; do
  echo "--- $preset"
  cmake --preset "$preset" >/dev/null
  mapfile -t targets < <(cmake --build --preset "$preset" --target help |
                         awk '/^\.\.\. /{print $2}' | grep -E "$wanted")
  echo "targets: ${targets[*]}"
  cmake --build --preset "$preset" -j "$JOBS" --target "${targets[@]}"
  ctest --preset "$preset" -j "$JOBS" -R "$tests" --no-tests=error
done
