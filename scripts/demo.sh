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
  scripts/install-deps.sh base demo live
  JOBS="${JOBS:-$(nproc)}"
  echo "demo: building kivra_demo and KivraWwiseWrapper (release preset, build/release)"
  # Quiet unless it fails: then the build's whole output is shown.
  log="$(mktemp "${TMPDIR:-/tmp}/kivra-demo-build.log.XXXXXX")"
  if ! { cmake --preset release &&
         cmake --build --preset release -j "$JOBS" --target kivra_demo KivraWwiseWrapper; } \
       >"$log" 2>&1; then
    cat "$log"
    echo "demo: the build failed (output above)"
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
) >&2

exec "$ROOT/build/release/bin/kivra_demo" "$@"
