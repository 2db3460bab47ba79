#!/usr/bin/env bash
# The Microsoft x64 layout of the declarations shared with the
# KivraWwiseRTCSDK library (include/), laid out by clang for
# x86_64-pc-windows-msvc and for the Itanium targets, against
# tests/abi/expected_layout.txt and the slots the SDK contract states. Fails
# on any changed virtual-table slot, field offset or record size. After an
# intended change: tests/abi/check_layout.py --update, and review the diff.
set -euo pipefail
cd "$(dirname "$0")/../.."

t0=$(date +%s)
scripts/install-deps.sh layout
python3 tests/abi/check_layout.py --clang "${CLANGXX:-clang++}"
echo "--- msvc-layout: $(( $(date +%s) - t0 ))s"
