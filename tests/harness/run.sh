#!/usr/bin/env bash
# Runs every test: a private Wine prefix with a persistent wineserver, a private Xvfb,
# the loopback test servers, then CTest. Everything started here is stopped on exit.
set -uo pipefail
BUILD="$(cd "${1:-build}" && pwd)"
. "$(dirname "$0")/env.sh"
trap qirell_env_down EXIT
trap 'exit 130' INT TERM
qirell_env_up "$BUILD/testenv" servers || exit 1
ctest --test-dir "$BUILD" --output-on-failure --timeout 900 ${CTEST_ARGS:-}
