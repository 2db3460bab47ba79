#!/usr/bin/env bash
# Builds the Release configuration and runs every test. On a fresh machine it
# installs the Debian packages it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh base demo live
JOBS="${JOBS:-$(nproc)}"
cmake --preset release
cmake --build --preset release -j "$JOBS"
ctest --preset release -j "$JOBS"
