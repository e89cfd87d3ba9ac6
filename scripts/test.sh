#!/usr/bin/env bash
# Sets up, builds, then runs every test (unit and end to end) under Wine.
# Extra arguments go to ctest, e.g. scripts/test.sh -R unit.safefs
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KEL_BUILD_DIR:-$root/build}
export KEL_BUILD_DIR="$build"
"$root/scripts/build.sh"
"$root/scripts/wine-prefix.sh" start "$build"
trap '"$root/scripts/wine-prefix.sh" stop "$build"' EXIT
cd "$build"
# ctest's own summary line is the last thing printed.
ctest --output-on-failure -j2 --timeout 900 "$@" </dev/null
