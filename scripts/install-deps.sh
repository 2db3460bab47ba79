#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those missing.
# Usage: scripts/install-deps.sh [base|demo|live|servers|bench|fuzz|windows|arm|layout|csharp|all]...
# apt's output goes to a log file, printed only when an install fails.
set -euo pipefail

want=()
for group in "${@:-base}"; do
  case "$group" in
    base) want+=(cmake g++ make libgtest-dev python3 pkg-config libspeexdsp-dev) ;;
    demo) want+=(libsndfile1-dev libsamplerate0-dev sox alsa-utils libwebrtc-audio-processing-dev) ;;
    live) want+=(portaudio19-dev libasound2-plugins) ;;
    servers) want+=(pulseaudio pulseaudio-utils jackd2 sox) ;;
    bench) want+=(libbenchmark-dev libboost-dev python3) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    windows) want+=(g++-mingw-w64-x86-64 wine64 googletest) ;;
    arm) want+=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user googletest) ;;
    layout) want+=(clang python3) ;;
    csharp) want+=(mono-devel) ;;
    all) want+=(cmake g++ make libgtest-dev python3 pkg-config libspeexdsp-dev libsndfile1-dev libsamplerate0-dev sox
                alsa-utils libwebrtc-audio-processing-dev libbenchmark-dev libboost-dev clang
                libclang-rt-14-dev g++-mingw-w64-x86-64 wine64 googletest g++-aarch64-linux-gnu
                g++-arm-linux-gnueabihf qemu-user mono-devel portaudio19-dev libasound2-plugins
                pulseaudio pulseaudio-utils jackd2) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi

log="$(mktemp "${TMPDIR:-/tmp}/install-deps.log.XXXXXX")"
echo "install-deps: installing ${missing[*]} (apt output in $log)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q >>"$log" 2>&1 || echo "install-deps: apt-get update failed, trying the install anyway" >&2
if ! $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
  echo "install-deps: apt-get install failed; its output:" >&2
  cat "$log" >&2
  exit 1
fi
rm -f "$log"
