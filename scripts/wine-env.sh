# Sourced: the Wine environment of one build tree. Usage: . scripts/wine-env.sh BUILD_DIR
kel_build_dir=$(cd "${1:?build dir}" && pwd)
export KEL_BUILD_DIR="$kel_build_dir"
export WINEPREFIX="$kel_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
# Wine's WinHTTP honours these; the tests talk to loopback only.
unset http_proxy https_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY NO_PROXY
# The run's virtual screen, when the harness started one.
if [ -f "$kel_build_dir/xvfb.display" ]; then
  export DISPLAY="$(cat "$kel_build_dir/xvfb.display")"
fi
