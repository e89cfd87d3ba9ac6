#!/usr/bin/env bash
# Runs one Windows program of a build tree under that tree's Wine prefix.
# Used as CMake's cross-compiling emulator: wine-run.sh PROGRAM.exe [ARGS...]
set -eu
exe=$1
build=${KEL_BUILD_DIR:-}
if [ -z "$build" ]; then
  dir=$(cd "$(dirname "$exe")" && pwd)
  case "$dir" in */bin) build=${dir%/bin} ;; *) build=$dir ;; esac
fi
. "$(dirname "$0")/wine-env.sh" "$build"
# The program's output goes through a file, not straight to the caller's pipe: Wine starts a
# headless console host for each console child (tar.exe), and when the child is ended while
# that host is still starting, the host can stay behind for good holding the output it
# inherited, so a reader waiting for the end of the pipe (ctest) would wait until its time-out.
out=$(mktemp "${TMPDIR:-/tmp}/kel-wine-run.XXXXXX")
trap 'rm -f "$out"' EXIT
status=0
wine "$@" >"$out" 2>&1 || status=$?
cat "$out"
exit "$status"
