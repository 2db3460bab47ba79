#!/usr/bin/env bash
# The bridge live, on real sound servers started here: PulseAudio (a null
# sink whose monitor is the microphone), PulseAudio with the microphone
# +1000 ppm off the speakers, and jackd's dummy back end with a software
# loopback. Each runs kivra_demo --live with the reverse stream working and
# disabled; scripts/live_check.py then checks the figures and writes the
# table (OUT/summary.md).
#
#   scripts/live-test.sh [OUT]        # the CI runs, about 3.5 minutes
#   scripts/live-test.sh soak [OUT]   # one hour on PulseAudio at +1000 ppm
#
# Needs the release build (scripts/test.sh builds it), or KIVRA_DEMO naming
# a kivra_demo and KIVRA_LIBRARY the wrapper it loads.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
mode=ci
if [ "${1:-}" = soak ]; then mode=soak; shift; fi
OUT="$(mkdir -p "${1:-$ROOT/build/live}" && cd "${1:-$ROOT/build/live}" && pwd)"
DEMO="${KIVRA_DEMO:-$ROOT/build/release/bin/kivra_demo}"
library=()
if [ -n "${KIVRA_LIBRARY:-}" ]; then library=(--library "$KIVRA_LIBRARY"); fi
SERVERS="$ROOT/scripts/live-servers.sh"

"$ROOT/scripts/install-deps.sh" base demo live servers
[ -x "$DEMO" ] || { echo "live-test: $DEMO is missing; run scripts/test.sh first" >&2; exit 1; }

run_dir=$(mktemp -d "${TMPDIR:-/tmp}/kivra-live.XXXXXX")
cleanup() { "$SERVERS" stop "$run_dir/pulse" || true; "$SERVERS" stop "$run_dir/jack" || true; }
trap cleanup EXIT

live() {  # NAME SECONDS ARGS...: one run of the demo into OUT/NAME
  local name=$1 seconds=$2; shift 2
  local t0=$SECONDS
  rm -rf "${OUT:?}/$name"
  "$DEMO" --live --seconds "$seconds" --quiet --out "$OUT/$name" "${library[@]}" "$@" \
    >"$OUT/$name.txt" 2>&1 ||
    { echo "live-test: the '$name' run failed:" >&2; cat "$OUT/$name.txt" >&2; exit 1; }
  echo "live-test: $name: $((SECONDS - t0)) s" >&2
}

pulse_args=(--input pulse --output pulse --latency-ms 100 --device-frames 480 --wwise-frames 1024)
jack_args=(--input system --output system --wwise-frames 256 --wwise-refills 8)

# PulseAudio: separate capture and playback streams at 100 ms suggested
# latency (at the 20 ms default the server underflows and the echo delay
# wanders by hundreds of ms).
pulse() {  # MODE: starts it; the demo finds it through the exported variables
  eval "$("$SERVERS" start "$1" "$run_dir/pulse")"
}
pulse_stop() {
  "$SERVERS" stop "$run_dir/pulse"
  unset XDG_RUNTIME_DIR PULSE_SERVER
}

if [ "$mode" = soak ]; then
  pulse pulse
  live pulse 120 "${pulse_args[@]}"
  pulse_stop
  pulse pulse-drift
  live soak-drift 3600 "${pulse_args[@]}" --capture-seconds 0
  pulse_stop
  exec python3 "$ROOT/scripts/live_check.py" --soak "$OUT"
fi

pulse pulse
live pulse 30 "${pulse_args[@]}"
live pulse-disabled 15 "${pulse_args[@]}" --no-reverse
pulse_stop

# The microphone's clock 1000 ppm fast against the speakers'.
pulse pulse-drift
live pulse-drift 90 "${pulse_args[@]}"
pulse_stop

# jackd, dummy back end, 256-frame periods, real-time threads; the playback
# ports joined to the capture ports once the demo's streams have started.
eval "$("$SERVERS" start jack "$run_dir/jack")"
for run in "jack 30" "jack-disabled 15 --no-reverse"; do
  "$SERVERS" jack-loopback >"$run_dir/loopback.txt" 2>&1 &
  loop=$!
  # shellcheck disable=SC2086
  live $run "${jack_args[@]}"
  wait "$loop" || { echo "live-test: the JACK loopback was not made:" >&2; cat "$run_dir/loopback.txt" >&2; exit 1; }
done
"$SERVERS" stop "$run_dir/jack"

exec python3 "$ROOT/scripts/live_check.py" "$OUT"
