#!/bin/sh
# Starts or stops what the Windows tests share: an Xvfb display and a persistent wineserver.
#   wine_env.sh start|stop <build dir>
# VELLICOR_WINEPREFIX and VELLICOR_WINE_STATE choose another prefix and state folder than the
# build's own (the main job runs in a prefix of its own).
set -eu
action=$1
build=$2
state="${VELLICOR_WINE_STATE:-$build/wine-state}"
export WINEDEBUG=-all
export WINEPREFIX="${VELLICOR_WINEPREFIX:-$build/wineprefix}"

stop() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
  fi
  rm -f "$state/xvfb.pid" "$state/display"
}

start() {
  stop
  mkdir -p "$state"
  # Pick a display number nobody uses.
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  echo $! >"$state/xvfb.pid"
  i=0
  while [ ! -e "/tmp/.X11-unix/X$n" ]; do
    i=$((i + 1))
    [ $i -lt 100 ] || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.1
  done
  echo ":$n" >"$state/display"
  export DISPLAY=":$n"
  fresh=false
  [ -f "$WINEPREFIX/system.reg" ] || fresh=true
  # Boots the prefix and leaves the wineserver running (see wine-run).
  "$build/wine-run" cmd /c exit </dev/null >/dev/null 2>&1
  # Xvfb runs no window manager. Unmanaged, Wine draws the window frames itself and does not
  # wait (2 s each time) for a window manager to acknowledge a window that hides.
  "$build/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    </dev/null >/dev/null 2>&1
  if $fresh; then
    # The desktop process of a new prefix's first start ends with the boot, and a window made
    # soon after finds no display driver, for as long as that server runs. A second server
    # starts clean.
    wineserver -k >/dev/null 2>&1 || true
    "$build/wine-run" cmd /c exit </dev/null >/dev/null 2>&1
  fi
  echo "wine environment ready on display :$n"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop <build dir>" >&2; exit 2 ;;
esac
