#!/usr/bin/env bash
# make bench: a private Wine prefix, Xvfb with its window manager and nginx on loopback, then each
# benchmark script in turn. Everything started here is stopped on exit.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/tests/harness/env.sh"
trap qirell_env_down EXIT
trap 'exit 130' INT TERM
# Not under set -e: the prefix set-up has steps that may fail harmlessly (a wineserver already up).
export QIRELL_BUILD_DIR="$ROOT/build"   # whose import-ca the servers use
qirell_env_up "$ROOT/build/bench/env" servers || exit 1
status=0
# bench.sh PART...: only those parts of bench.py (check, remember, download, window, swap), of
# bench_preload.py (patchday, closing; "preload" for both, and preload-pace too) and preload-pace
# (bench_pace.py, the rate while the game plays), nothing else.
parts=() preload=() pace=0
for part in "$@"; do
  case "$part" in
    preload) preload+=(patchday closing); pace=1 ;;
    patchday|closing) preload+=("$part") ;;
    preload-pace) pace=1 ;;
    *) parts+=("$part") ;;
  esac
done
if [ $# -eq 0 ] || [ ${#parts[@]} -gt 0 ]; then
  python3 "$ROOT/scripts/bench.py" "${parts[@]}" || status=1
fi
if [ $# -eq 0 ]; then
  python3 "$ROOT/scripts/bench_latency.py" || status=1
  python3 "$ROOT/scripts/bench_delta.py" || status=1
  python3 "$ROOT/scripts/bench_mirrors.py" || status=1
fi
if [ $# -eq 0 ] || [ ${#preload[@]} -gt 0 ]; then
  python3 "$ROOT/scripts/bench_preload.py" "${preload[@]}" || status=1
fi
if [ $# -eq 0 ] || [ $pace -eq 1 ]; then python3 "$ROOT/scripts/bench_pace.py" || status=1; fi
exit $status
