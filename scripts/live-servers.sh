#!/usr/bin/env bash
# Starts and stops headless sound servers for running the demo on live audio
# without a sound card: PulseAudio with a null sink (its monitor is an echo
# path with real device timing), the same with a capture source that runs
# +1000 ppm against the sink, or jackd with the dummy back end.
#
#   scripts/live-servers.sh start pulse DIR        # prints shell exports to eval
#   scripts/live-servers.sh start pulse-drift DIR  # pulse + source kivra_skewmic (+1000 ppm)
#   scripts/live-servers.sh start jack DIR         # jackd -R -d dummy -r 48000 -p 256
#   scripts/live-servers.sh stop DIR               # stops what DIR's pid files name
#   scripts/live-servers.sh jack-loopback [CLIENT] # connects CLIENT:out_N -> CLIENT:in_N
# Servers run in the background (logs DIR/pulse.log, DIR/jack.log); stdout
# carries only the exports, progress goes to stderr.
set -euo pipefail

die() { echo "live-servers: $*" >&2; exit 1; }
now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }
alive() { [ -e "/proc/$1" ] && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat" 2>/dev/null; }

# wait_for SECONDS PID LOG CMD...: polls CMD until it succeeds; fails early if PID exits.
wait_for() {
  local secs=$1 pid=$2 log=$3; shift 3
  local deadline=$(($(now_ms) + secs * 1000))
  until "$@" >/dev/null 2>&1; do
    alive "$pid" || { echo "live-servers: the server (pid $pid) exited; its log $log:" >&2
                      cat "$log" >&2; exit 1; }
    [ "$(now_ms)" -lt "$deadline" ] || { kill "$pid"; cat "$log" >&2
      echo "live-servers: '$*' did not answer within ${secs} s (server log above)" >&2; exit 1; }
    sleep 0.05
  done
}

start_pulse() {  # DIR
  local dir=$1 rt=$1/pulse-runtime
  [ -s "$dir/pulse.pid" ] && alive "$(cat "$dir/pulse.pid")" && die "PulseAudio already runs for $dir"
  mkdir -p "$dir/pulse-state"; mkdir -p -m700 "$rt"
  cat >"$dir/pulse.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1 socket=$rt/pulse/native
load-module module-null-sink sink_name=kivra_sink rate=48000 channels=2 format=s16le
set-default-sink kivra_sink
set-default-source kivra_sink.monitor
EOF
  export XDG_RUNTIME_DIR=$rt PULSE_SERVER=unix:$rt/pulse/native PULSE_STATE_PATH=$dir/pulse-state
  # Detached from the caller's stdout so that `eval "$(... start pulse DIR)"` returns.
  pulseaudio -n -F "$dir/pulse.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    </dev/null >"$dir/pulse.log" 2>&1 &
  echo $! >"$dir/pulse.pid"
  wait_for 10 "$(cat "$dir/pulse.pid")" "$dir/pulse.log" pactl info
  echo "live-servers: PulseAudio runs (pid $(cat "$dir/pulse.pid")), sink kivra_sink" >&2
}

start_drift() {  # DIR: source kivra_skewmic fed with the sink's monitor resampled to 48048 Hz
  local dir=$1 fifo=$1/skewmic.fifo raw=$1/skewmic-raw.fifo
  rm -f "$fifo" "$raw"; mkfifo "$raw"
  pactl load-module module-pipe-source source_name=kivra_skewmic file="$fifo" \
    rate=48000 format=s16le channels=2 >/dev/null
  local format mon deadline=$(($(now_ms) + 10000))
  format=$(pactl list short sources | awk '$2 == "kivra_skewmic" {print $4, $5, $6}')
  [ "$format" = "s16le 2ch 48000Hz" ] || die "kivra_skewmic has the format '$format', not s16le 2ch 48000Hz"
  # The default source changes before parec connects: a stream that asked for
  # the default source at connect time follows it when it changes, and parec
  # would then record kivra_skewmic itself.
  pactl set-default-source kivra_skewmic
  # parec | sox, joined through a named pipe so that each PID is known.
  sox -q --buffer 1920 -t raw -r 48000 -e signed -b 16 -c 2 - \
    -t raw -r 48048 -e signed -b 16 -c 2 - <"$raw" >"$fifo" 2>>"$dir/pulse.log" &
  echo $! >"$dir/drift.pids"
  parec -d kivra_sink.monitor --raw --format=s16le --rate=48000 --channels=2 \
    </dev/null >"$raw" 2>>"$dir/pulse.log" &
  echo $! >>"$dir/drift.pids"
  mon=$(pactl list short sources | awk '$2 == "kivra_sink.monitor" {print $1}')
  until pactl list short source-outputs | awk -v m="$mon" '$2 == m {f=1} END {exit !f}'; do
    [ "$(now_ms)" -lt "$deadline" ] || die "parec did not connect to kivra_sink.monitor; log $dir/pulse.log"
    sleep 0.05
  done
  echo "live-servers: default source kivra_skewmic (+1000 ppm), pids $(tr '\n' ' ' <"$dir/drift.pids")" >&2
}

start_jack() {  # DIR
  local dir=$1
  [ -s "$dir/jack.pid" ] && alive "$(cat "$dir/jack.pid")" && die "jackd already runs for $dir"
  export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1
  ! jack_lsp >/dev/null 2>&1 || die "a JACK server already runs (one per machine)"
  jackd -R -d dummy -r 48000 -p 256 </dev/null >"$dir/jack.log" 2>&1 &
  echo $! >"$dir/jack.pid"
  wait_for 10 "$(cat "$dir/jack.pid")" "$dir/jack.log" jack_lsp
  echo "live-servers: jackd runs (pid $(cat "$dir/jack.pid")), dummy 48000 Hz, 256 frames" >&2
}

# stop_pids FILE NAMES: SIGTERM to the PIDs in FILE whose command is one of NAMES
# (a regex), SIGKILL to any left after 3 s; then removes FILE.
stop_pids() {
  local file=$1 names=$2 pid pids=() deadline
  [ -f "$file" ] || return 0
  for pid in $(cat "$file"); do
    alive "$pid" && grep -qxE "$names" "/proc/$pid/comm" 2>/dev/null && pids+=("$pid")
  done
  [ ${#pids[@]} -gt 0 ] && kill -TERM "${pids[@]}" 2>/dev/null || true
  deadline=$(($(now_ms) + 3000))
  for pid in "${pids[@]}"; do
    while alive "$pid" && [ "$(now_ms)" -lt "$deadline" ]; do sleep 0.05; done
    alive "$pid" || continue
    echo "live-servers: pid $pid ignored SIGTERM, sending SIGKILL" >&2
    kill -KILL "$pid" 2>/dev/null || true
    while alive "$pid"; do sleep 0.05; done
  done
  rm -f "$file"
}

stop_all() {  # DIR
  local dir=$1
  # With nobody recording, kivra_skewmic stops reading and sox blocks writing to
  # the FIFO; unloading the pipe source closes the FIFO, so sox ends on SIGPIPE.
  if [ -f "$dir/drift.pids" ] && [ -S "$dir/pulse-runtime/pulse/native" ]; then
    PULSE_SERVER="unix:$dir/pulse-runtime/pulse/native" timeout 3 \
      pactl unload-module module-pipe-source >/dev/null 2>&1 || true
  fi
  stop_pids "$dir/drift.pids" 'parec|sox'
  stop_pids "$dir/pulse.pid" 'pulseaudio'
  stop_pids "$dir/jack.pid" 'jackd'
  rm -f "$dir/skewmic.fifo" "$dir/skewmic-raw.fifo"
}

# PortAudio registers out_N / in_N ports on one JACK client for all streams of a
# process when a stream opens, and connects them to system:playback_* /
# system:capture_* when it starts. Once both are connected, this joins out_N to
# in_N and cuts the dummy capture ports off the inputs.
conns() { jack_lsp -c | awk -v p="$1" '/^[^ ]/ {cur = ($0 == p)} /^ / && cur {print $1}'; }
jack_loopback() {  # [CLIENT]
  local c=${1:-PortAudio} deadline=$(($(now_ms) + 10000)) n sys
  export JACK_NO_START_SERVER=1
  until [ -n "$(conns "$c:in_0" 2>/dev/null)" ] && [ -n "$(conns "$c:out_0" 2>/dev/null)" ]; do
    [ "$(now_ms)" -lt "$deadline" ] || die "no started JACK client '$c' with ports in_0 and out_0 after 10 s"
    sleep 0.05
  done
  for n in $(jack_lsp | sed -n "s/^$c:out_\([0-9]*\)\$/\1/p"); do
    jack_lsp | grep -qx "$c:in_$n" || continue
    for sys in $(conns "$c:in_$n" | grep '^system:capture_' || true); do
      jack_disconnect "$sys" "$c:in_$n"; echo "disconnected $sys -> $c:in_$n"
    done
    if conns "$c:out_$n" | grep -qx "$c:in_$n"; then echo "already connected $c:out_$n -> $c:in_$n"
    else jack_connect "$c:out_$n" "$c:in_$n"; echo "connected $c:out_$n -> $c:in_$n"; fi
  done
}

usage() { sed -n '7,11p' "$0" | sed 's/^#  *//' >&2; exit 2; }
case "${1:-} ${2:-} $#" in
  "start pulse 3"|"start pulse-drift 3"|"start jack 3") mkdir -p "$3"; d=$(cd "$3" && pwd) ;;
  "stop "*" 2")         [ -d "$2" ] && stop_all "$2"; exit 0 ;;
  "jack-loopback "*)    [ $# -le 2 ] || usage; jack_loopback "${2:-PortAudio}"; exit 0 ;;
  *) usage ;;
esac
case $2 in
  jack) start_jack "$d"; echo "export JACK_NO_START_SERVER=1" ;;
  pulse|pulse-drift) start_pulse "$d"; [ "$2" = pulse ] || start_drift "$d"
    echo "export XDG_RUNTIME_DIR=$d/pulse-runtime; export PULSE_SERVER=unix:$d/pulse-runtime/pulse/native" ;;
esac
