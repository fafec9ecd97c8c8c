#!/usr/bin/env bash
# Sourced by the test, benchmark and soak scripts: a private Wine prefix with a persistent
# wineserver, a private Xvfb and the loopback servers, all stopped again by qirell_env_down.
# Usage: qirell_env_up ENVDIR [servers]   ...   qirell_env_down

QIRELL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
[ -x "$WINE" ] || WINE=$(command -v wine64)
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)
QIRELL_XVFB_PID=""
QIRELL_WM_PID=""
QIRELL_ENVDIR=""
QIRELL_SERVERS=0

QIRELL_SMALLDISK=""

# qirell_start_wm LOG: openbox on $DISPLAY, waited for until it owns the screen; prints its pid.
# A display that has just appeared may still refuse clients, so a failed start is tried again.
qirell_start_wm() {
  local pid="" attempt _
  for attempt in 1 2 3; do
    openbox --sm-disable >"$1" 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do
      xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && { echo "$pid"; return 0; }
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    sleep 0.2
  done
  echo "openbox did not start (see $1): windowed runs will be about 2 s slower each" >&2
}

qirell_env_down() {
  if [ -n "$QIRELL_SMALLDISK" ]; then
    umount "$QIRELL_SMALLDISK" 2>/dev/null || true
    QIRELL_SMALLDISK=""
  fi
  if [ "$QIRELL_SERVERS" = 1 ]; then
    bash "$QIRELL_ROOT/tests/servers/servers.sh" stop "$QIRELL_ENVDIR" >/dev/null 2>&1 || true
  fi
  [ -n "$QIRELL_ENVDIR" ] && "$WINESERVER" -k >/dev/null 2>&1
  if [ -n "$QIRELL_WM_PID" ]; then
    kill "$QIRELL_WM_PID" 2>/dev/null
    wait "$QIRELL_WM_PID" 2>/dev/null
  fi
  QIRELL_WM_PID=""
  if [ -n "$QIRELL_XVFB_PID" ]; then
    kill "$QIRELL_XVFB_PID" 2>/dev/null
    wait "$QIRELL_XVFB_PID" 2>/dev/null
  fi
  QIRELL_XVFB_PID=""
  true
}

qirell_env_up() {
  QIRELL_ENVDIR="$1"
  mkdir -p "$QIRELL_ENVDIR"
  export WINEPREFIX="$QIRELL_ENVDIR/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64

  # A private display: the first free number from 90 on.
  local n num=""
  for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then num=$n; break; fi
  done
  [ -n "$num" ] || { echo "no free X display number"; return 1; }
  Xvfb ":$num" -screen 0 1280x1024x24 -nolisten tcp >"$QIRELL_ENVDIR/xvfb.log" 2>&1 &
  QIRELL_XVFB_PID=$!
  export DISPLAY=":$num"
  for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$num" ] && break; sleep 0.1; done
  # Without a window manager Wine waits about 2 s at every window teardown.
  QIRELL_WM_PID=$(qirell_start_wm "$QIRELL_ENVDIR/openbox.log")

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating Wine prefix in $WINEPREFIX"
    timeout 300 "$WINE" wineboot -i >"$QIRELL_ENVDIR/wineboot.log" 2>&1 || true
  fi
  "$WINESERVER" -p
  # Thai glyphs through font linking, for the two faces the window uses.
  local face
  for face in Tahoma "Segoe UI"; do
    "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d 'Garuda.ttf,Garuda' /f >/dev/null 2>&1 || true
  done

  # A small disk for the full-disk tests, where this machine lets us mount one.
  mkdir -p "$QIRELL_ENVDIR/smalldisk"
  if mountpoint -q "$QIRELL_ENVDIR/smalldisk" || mount -t tmpfs -o size=8m tmpfs "$QIRELL_ENVDIR/smalldisk" 2>/dev/null; then
    QIRELL_SMALLDISK="$QIRELL_ENVDIR/smalldisk"
    export QIRELL_TEST_SMALLDISK="$QIRELL_SMALLDISK"
  fi

  if [ "${2:-}" = servers ]; then
    QIRELL_SERVERS=1
    bash "$QIRELL_ROOT/tests/servers/servers.sh" start "$QIRELL_ENVDIR" || { echo "test servers failed to start"; return 1; }
    if [ -f "$QIRELL_ENVDIR/servers.env" ]; then set -a; . "$QIRELL_ENVDIR/servers.env"; set +a; fi
  fi
}
