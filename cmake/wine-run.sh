#!/usr/bin/env bash
# Runs a Windows program under Wine with the test run's settings.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-qirell}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=wine64
exec "$WINE" "$@"
