#!/usr/bin/env bash
# The main job, end to end: builds the project, publishes a sample release of the plugin center
# on a local sample backend, installs it silently into two SketchUp versions of a sandboxed
# profile with the real KelSetup.exe under Wine, then publishes a release that changes a few
# files and updates differentially. Everything it makes lives in build/demo (its own Wine
# prefix included) and every process it starts is stopped again.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KEL_BUILD_DIR:-$root/build}
export KEL_BUILD_DIR="$build"
"$root/scripts/build.sh" >/dev/null
work="$build/demo"
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset http_proxy https_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY NO_PROXY
quiet() { "$@" </dev/null >/dev/null 2>&1; }
echo "demo: preparing a Wine prefix in $WINEPREFIX"
mkdir -p "$WINEPREFIX"
quiet wineserver -p || true
trap 'quiet wineserver -k || true' EXIT
quiet wine wineboot -i
# Wine has no tar.exe; the one Windows ships (built by scripts/system-tar.sh) goes there.
cp -f "$build/system-tar/tar.exe" "$WINEPREFIX/drive_c/windows/system32/tar.exe"
python3 "$root/scripts/demo.py" "$work"
