#!/usr/bin/env bash
# wine-prefix.sh start BUILD_DIR: make the build tree's Wine prefix if needed, configure it
#   for the tests and start a persistent wineserver.
# wine-prefix.sh stop BUILD_DIR: stop that wineserver and everything running in the prefix.
set -eu
action=${1:?start|stop}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh" "${2:?build dir}"

quiet() { "$@" </dev/null >/dev/null 2>&1; }

display_file="$KEL_BUILD_DIR/xvfb.display"
pid_file="$KEL_BUILD_DIR/xvfb.pid"

# One virtual screen for the whole run: Wine binds a prefix's desktop to the first display it
# meets, so GUI tests must all share one rather than start a server each.
start_xvfb() {
  command -v Xvfb >/dev/null 2>&1 || return 0
  if [ -f "$pid_file" ] && kill -0 "$(cat "$pid_file")" 2>/dev/null; then return 0; fi
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    setsid Xvfb ":$n" -screen 0 800x600x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    echo $! >"$pid_file"
    for _ in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    if kill -0 "$(cat "$pid_file")" 2>/dev/null; then
      echo ":$n" >"$display_file"
      export DISPLAY=":$n"
      return 0
    fi
  done
  rm -f "$pid_file" "$display_file"
}

case "$action" in
start)
  start_xvfb
  fresh=0
  [ -f "$WINEPREFIX/system.reg" ] || fresh=1
  # Wine's service processes inherit our pipes: every stream must point elsewhere, or ctest
  # waits for them forever.
  mkdir -p "$WINEPREFIX"
  quiet wineserver -p || true
  quiet wine wineboot -i
  if [ "$fresh" = 1 ] || [ ! -f "$WINEPREFIX/.kel-configured-3" ]; then
    reg() { quiet wine reg add "$@" /f; }
    # Chinese text: the window's own font and the dialog/message-box fallback.
    reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
      /v 'Microsoft YaHei UI' /t REG_SZ /d 'WenQuanYi Micro Hei'
    reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v 'Liberation Sans' /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei'
    # Window captions (Wine's caption font), seen when a virtual desktop draws the frames.
    reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v 'Tahoma' /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei'
    # Behave as the Windows 10/11 the program targets.
    reg 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10
    # A crashing test must end, not wait on a debugger dialog.
    reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
    touch "$WINEPREFIX/.kel-configured-3"
  fi
  # The product calls the system's tar.exe; Wine has none, so the one Windows ships (built by
  # scripts/system-tar.sh) goes there.
  if [ -f "$KEL_BUILD_DIR/system-tar/tar.exe" ]; then
    cmp -s "$KEL_BUILD_DIR/system-tar/tar.exe" "$WINEPREFIX/drive_c/windows/system32/tar.exe" ||
      cp -f "$KEL_BUILD_DIR/system-tar/tar.exe" "$WINEPREFIX/drive_c/windows/system32/tar.exe"
  fi
  ;;
stop)
  quiet wineserver -k || true
  if [ -f "$pid_file" ]; then
    kill "$(cat "$pid_file")" 2>/dev/null || true
    rm -f "$pid_file" "$display_file"
  fi
  ;;
*) echo "usage: $0 start|stop BUILD_DIR" >&2; exit 2 ;;
esac
