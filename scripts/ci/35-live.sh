#!/usr/bin/env bash
# The bridge on real sound servers: PulseAudio, PulseAudio with the
# microphone 1000 ppm fast, and JACK, each started and stopped here (see
# scripts/live-test.sh). About 3 minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/live-test.sh build/live
