#!/usr/bin/env bash
# The C# binding (bindings/csharp/KivraWwiseWrapper.cs) compiled with Mono's
# mcs and run with mono against the release build, installed into a temporary
# prefix: the test program sits beside the two native libraries, as a game's
# plugin folder holds them, and no loader environment variable is set.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/install-deps.sh base csharp
JOBS="${JOBS:-$(nproc)}"
build=build/release
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset release >/dev/null
fi
cmake --build "$build" -j "$JOBS" --target KivraWwiseWrapper KivraWwiseRTCSDK >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
libdir="$(dirname "$(find "$work/prefix" -name 'libKivraWwiseWrapper.so' | head -n1)")"

echo "--- mcs: bindings/csharp/KivraWwiseWrapper.cs tests/csharp/BindingTest.cs"
mcs -warnaserror+ -out:"$libdir/BindingTest.exe" bindings/csharp/KivraWwiseWrapper.cs \
  tests/csharp/BindingTest.cs
echo "--- mono $(mono --version | head -n1 | sed 's/ (.*//')"
env -u LD_LIBRARY_PATH -u MONO_PATH mono "$libdir/BindingTest.exe" "$work/logs"
