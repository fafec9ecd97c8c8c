#!/usr/bin/env bash
# make bench: builds, starts a private Wine prefix and nginx on loopback, runs scripts/bench.py.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/tests/harness/env.sh"
trap qirell_env_down EXIT
trap 'exit 130' INT TERM
qirell_env_up "$ROOT/build/bench/env" servers
python3 "$ROOT/scripts/bench.py"
python3 "$ROOT/scripts/bench_latency.py"
python3 "$ROOT/scripts/bench_delta.py"
