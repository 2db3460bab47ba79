#!/usr/bin/env bash
# What every build makes visible, on the built files: the Linux release and
# the macOS rules export the six functions only, the Android rules every
# symbol of the library, the Windows DLL the six functions and the buffer
# proxy's special members and virtual table. The flavours the earlier steps
# built are checked where they are; a missing one gets its library built.
# Also compiles the game-facing header as plain C, as a script layer's
# binding generator or a C game would.
set -euo pipefail
cd "$(dirname "$0")/../.."

JOBS="${JOBS:-$(nproc)}"
CHECK=tests/exports/check_exports.py
status=0

python3 "$CHECK" lists --header include/KivraWwiseWrapper.h --map cmake/exports.map \
  --macos-list cmake/exports_macos.txt || status=1

for preset in release android-rules macos-rules; do
  dir="build/$preset"
  lib="$dir/lib/libKivraWwiseWrapper.so"
  if [ ! -f "$lib" ]; then
    echo "--- $preset: building the library"
    cmake --preset "$preset" >/dev/null
    cmake --build "$dir" -j "$JOBS" --target KivraWwiseWrapper >/dev/null
  fi
  echo "--- $preset: $lib"
  if [ "$preset" = android-rules ]; then
    mapfile -t objects < <(find "$dir/src/CMakeFiles/kivra_wrapper_objects.dir" -name '*.o')
    python3 "$CHECK" elf --nm nm --flavour android --library "$lib" \
      --objects "${objects[@]}" || status=1
  else
    python3 "$CHECK" elf --nm nm --flavour hidden --library "$lib" || status=1
    nm -D --defined-only "$lib" | awk '{print "  " $NF}'
  fi
done

dll=build/windows-mingw/bin/KivraWwiseWrapper.dll
if [ -f "$dll" ]; then
  echo "--- windows-mingw: $dll"
  python3 "$CHECK" pe --objdump x86_64-w64-mingw32-objdump --library "$dll" || status=1
else
  echo "--- windows-mingw: not built (scripts/ci/10-windows.sh builds it)"
  status=1
fi

echo "--- C header as C99"
for std in c99 c11; do
  echo '#include "KivraWwiseWrapper.h"' |
    cc -std=$std -Wall -Wextra -Werror -pedantic -fsyntax-only -Iinclude -x c - || status=1
done
exit $status
