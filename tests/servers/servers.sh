#!/usr/bin/env bash
# start DIR | stop DIR: the loopback servers the tests talk to. Writes DIR/servers.env.
set -euo pipefail
cmd=$1; dir=$2
case "$cmd" in
  start) : > "$dir/servers.env" ;;
  stop) ;;
esac
