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
exec wine "$@"
