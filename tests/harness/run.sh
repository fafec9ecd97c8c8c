#!/usr/bin/env bash
# Runs every test: a private Wine prefix with a persistent wineserver, a private Xvfb,
# the loopback test servers, then CTest. Everything started here is stopped on exit.
set -uo pipefail
BUILD="$(cd "${1:-build}" && pwd)"
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
ENVDIR="$BUILD/testenv"
mkdir -p "$ENVDIR"

export WINEPREFIX="$ENVDIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
[ -x "$WINE" ] || WINE=$(command -v wine64)
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)

XVFB_PID=""
cleanup() {
  bash "$ROOT/tests/servers/servers.sh" stop "$ENVDIR" >/dev/null 2>&1 || true
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  [ -n "$XVFB_PID" ] && wait "$XVFB_PID" 2>/dev/null
  true
}
trap cleanup EXIT INT TERM

# A private display: the first free number from 90 on.
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then DISPLAY_NUM=$n; break; fi
done
Xvfb ":$DISPLAY_NUM" -screen 0 1280x1024x24 -nolisten tcp >"$ENVDIR/xvfb.log" 2>&1 &
XVFB_PID=$!
export DISPLAY=":$DISPLAY_NUM"
for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$DISPLAY_NUM" ] && break; sleep 0.1; done

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating Wine prefix in $WINEPREFIX"
  timeout 300 "$WINE" wineboot -i >"$ENVDIR/wineboot.log" 2>&1
fi
"$WINESERVER" -p
# Thai glyphs through font linking, for the two faces the window uses.
for face in Tahoma "Segoe UI"; do
  "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v "$face" /t REG_MULTI_SZ /d 'Garuda.ttf,Garuda' /f >/dev/null 2>&1
done

bash "$ROOT/tests/servers/servers.sh" start "$ENVDIR" || { echo "test servers failed to start"; exit 1; }
[ -f "$ENVDIR/servers.env" ] && set -a && . "$ENVDIR/servers.env" && set +a

ctest --test-dir "$BUILD" --output-on-failure --timeout 900 ${CTEST_ARGS:-}
rc=$?
exit $rc
