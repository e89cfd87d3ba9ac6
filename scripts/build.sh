#!/usr/bin/env bash
# Sets up, configures and builds into build/ (or $KEL_BUILD_DIR). The product lands at
# build/bin/KelSetup.exe.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KEL_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
# The tests' System32 tar.exe: Windows' own archive tool, built once per build tree (not for
# a build of named targets only, such as scripts/reproducible.sh's).
if [ $# -eq 0 ]; then
  mkdir -p "$build"
  "$root/scripts/system-tar.sh" "$build"
fi
# The program's PE time stamp is the commit's time: every build of one commit gives the same
# bytes (a tree without git history gets 0).
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-0}
fi
# Compiled objects are shared between work trees of the same sources.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
# KEL_RELEASE_KEYS: a file of the publisher's PEM "PUBLIC KEY" blocks (P-256) to pin into
# the program. Unset, no key is pinned, whatever an earlier build of this folder was given.
keys=${KEL_RELEASE_KEYS:-}
if [ -n "$keys" ]; then
  [ -f "$keys" ] || { echo "build: KEL_RELEASE_KEYS names no file: $keys" >&2; exit 1; }
  keys=$(cd "$(dirname "$keys")" && pwd)/$(basename "$keys")
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DKEL_RELEASE_KEYS=$keys" >/dev/null
elif [ "$(sed -n 's/^KEL_RELEASE_KEYS:FILEPATH=//p' "$build/CMakeCache.txt")" != "$keys" ]; then
  cmake -S "$root" -B "$build" "-DKEL_RELEASE_KEYS=$keys" >/dev/null
fi
cmake --build "$build" -- -j"$(nproc)" "$@"
