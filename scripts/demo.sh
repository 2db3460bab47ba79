#!/usr/bin/env bash
# Runs the demo: a simulated voice session through KivraWwiseWrapper.
# Installs missing Debian packages, builds the library and the demo with the
# release preset, then runs kivra_demo in the current folder (outputs go to
# ./demo-out unless --out says otherwise). Arguments pass through to
# kivra_demo; see scripts/demo.sh --help.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"

(
  cd "$ROOT"
  scripts/install-deps.sh base demo
  JOBS="${JOBS:-$(nproc)}"
  echo "demo: building kivra_demo and KivraWwiseWrapper (release preset, build/release)"
  cmake --preset release > /dev/null
  cmake --build --preset release -j "$JOBS" --target kivra_demo KivraWwiseWrapper > /dev/null
) >&2

exec "$ROOT/build/release/bin/kivra_demo" "$@"
