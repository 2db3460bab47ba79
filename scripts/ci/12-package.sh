#!/usr/bin/env bash
# The installed package, used as a game's build uses it: installs the release
# build into a temporary prefix, then configures, builds and runs the separate
# project tests/package/consumer against it with find_package. No loader
# environment variable is set: the consumer finds the wrapper through its own
# run path and the wrapper finds KivraWwiseRTCSDK installed beside it.
set -euo pipefail
cd "$(dirname "$0")/../.."

JOBS="${JOBS:-$(nproc)}"
build=build/release
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset release >/dev/null
fi
cmake --build "$build" -j "$JOBS" --target KivraWwiseWrapper KivraWwiseRTCSDK >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

echo "--- install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
wrapper="$(find "$prefix" -name 'libKivraWwiseWrapper.so*' -type f | head -n1)"
echo "installed: ${wrapper#"$prefix"/}"
runpath="$(readelf -d "$wrapper" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')"
echo "run path of the installed wrapper: '${runpath}'"
if [ "$runpath" != '$ORIGIN' ]; then
  echo "expected the run path \$ORIGIN" >&2
  exit 1
fi

echo "--- configure and build tests/package/consumer with find_package"
cmake -S tests/package/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; exit 1; }
cmake --build "$work/consumer" -j "$JOBS" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; exit 1; }

echo "--- run it without any loader environment variable"
mkdir -p "$work/logs"
env -u LD_LIBRARY_PATH -u LD_PRELOAD "$work/consumer/kivra_consumer" "$work/logs"
