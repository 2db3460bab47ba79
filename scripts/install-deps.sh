#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those missing.
# Usage: scripts/install-deps.sh [base|demo|bench|fuzz|windows|all]...
set -euo pipefail

want=()
for group in "${@:-base}"; do
  case "$group" in
    base) want+=(cmake g++ make libgtest-dev python3) ;;
    demo) want+=(libsndfile1-dev libsamplerate0-dev sox alsa-utils libwebrtc-audio-processing-dev) ;;
    bench) want+=(libbenchmark-dev libboost-dev python3) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    windows) want+=(g++-mingw-w64-x86-64 wine64 googletest) ;;
    all) want+=(cmake g++ make libgtest-dev python3 libsndfile1-dev libsamplerate0-dev sox
                alsa-utils libwebrtc-audio-processing-dev libbenchmark-dev libboost-dev clang libclang-rt-14-dev
                g++-mingw-w64-x86-64 wine64 googletest) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi

# apt's own output goes to a log, shown only when the install fails.
LOG="${TMPDIR:-/tmp}/kivra-install-deps.log"
echo "install-deps: installing ${missing[*]} (apt output in $LOG)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq > "$LOG" 2>&1 || true
if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >> "$LOG" 2>&1; then
  echo "install-deps: apt-get install failed; its output:" >&2
  tail -n 40 "$LOG" >&2
  exit 1
fi
