#!/usr/bin/env bash
# proxy-end-to-end.sh SOURCE_DIR BUILD_DIR: the patcher under Wine behind a real proxy on loopback
# (tinyproxy, started and stopped here), configured in the prefix's Internet Settings as Windows
# keeps them: a named proxy for HTTP and HTTPS (CONNECT), its bypass list, a configuration script,
# and with the setting removed no request reaching it.
set -uo pipefail
src=${1:?source dir} build=${2:?build dir}
: "${QIRELL_TEST_WWW:?run through tests/harness/run.sh (no test servers)}"
: "${QIRELL_TEST_HTTP_PORT:?run through tests/harness/run.sh (no test servers)}"
: "${QIRELL_TEST_HTTPS_PORT:?run through tests/harness/run.sh (no test servers)}"
command -v tinyproxy >/dev/null || { echo "FAIL: tinyproxy is not installed (scripts/install-deps.sh)"; exit 1; }
exe="$build/QirellPatcher.exe"
work="$build/proxy-e2e"
site="proxy-e2e-$$"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine64
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
failures=0
proxy_pid=""
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Windows keeps the settings twice: the values below Internet Settings and the Connections blob that
# WinHTTP reads (flags: 1 direct, 2 named proxy, 4 script address, 8 auto-detect).
set_proxy() {  # FLAGS PROXY BYPASS SCRIPT
  local hex
  hex=$(python3 - "$@" <<'PY'
import struct, sys
flags, proxy, bypass, script = int(sys.argv[1]), *(a.encode() for a in sys.argv[2:5])
blob = struct.pack('<III', 0x46, 1, flags)
for part in (proxy, bypass, script):
    blob += struct.pack('<I', len(part)) + part
print((blob + bytes(32)).hex())
PY
)
  "$wine" reg add "$settings\\Connections" /v DefaultConnectionSettings /t REG_BINARY /d "$hex" /f >/dev/null 2>&1 &&
    "$wine" reg add "$settings" /v ProxyEnable /t REG_DWORD /d $((($1 & 2) / 2)) /f >/dev/null 2>&1 &&
    "$wine" reg add "$settings" /v ProxyServer /t REG_SZ /d "$2" /f >/dev/null 2>&1 &&
    "$wine" reg add "$settings" /v ProxyOverride /t REG_SZ /d "$3" /f >/dev/null 2>&1 || fail "registry write"
  if [ -n "$4" ]; then "$wine" reg add "$settings" /v AutoConfigURL /t REG_SZ /d "$4" /f >/dev/null 2>&1
  else "$wine" reg delete "$settings" /v AutoConfigURL /f >/dev/null 2>&1; fi
}

cleanup() {
  if [[ "$proxy_pid" =~ ^[0-9]+$ ]]; then
    kill "$proxy_pid" 2>/dev/null
    wait "$proxy_pid" 2>/dev/null
  fi
  "$wine" reg delete "$settings\\Connections" /v DefaultConnectionSettings /f >/dev/null 2>&1
  for v in ProxyEnable ProxyServer ProxyOverride AutoConfigURL; do
    "$wine" reg delete "$settings" /v $v /f >/dev/null 2>&1
  done
  rm -rf "$QIRELL_TEST_WWW/$site"
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work" "$QIRELL_TEST_WWW/$site/files/sub"
cd "$work" || exit 1

# The proxy, on a free loopback port, logging every request it forwards.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > tinyproxy.conf <<CONF
Port $port
Listen 127.0.0.1
Timeout 60
LogFile "$work/tinyproxy.log"
LogLevel Info
MaxClients 50
Allow 127.0.0.1
CONF
tinyproxy -d -c tinyproxy.conf >tinyproxy.out 2>&1 &
proxy_pid=$!
for _ in $(seq 1 100); do
  python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1', $port)))" && break
  sleep 0.1
done
kill -0 "$proxy_pid" 2>/dev/null || { echo "FAIL: tinyproxy did not start"; cat tinyproxy.out; exit 1; }

printf 'through the proxy\n' > "$QIRELL_TEST_WWW/$site/files/sub/a.txt"
size=$(stat -c %s "$QIRELL_TEST_WWW/$site/files/sub/a.txt")
sha=$(sha256sum "$QIRELL_TEST_WWW/$site/files/sub/a.txt" | cut -d' ' -f1)
printf '{"version": "p", "files": [{"path": "sub/a.txt", "size": %s, "sha256": "%s"}]}\n' "$size" "$sha" \
  > "$QIRELL_TEST_WWW/$site/manifest.json"
printf 'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:%s"; }\n' "$port" \
  > "$QIRELL_TEST_WWW/$site/proxy.pac"
http="http://localhost:$QIRELL_TEST_HTTP_PORT/$site"
https="https://localhost:$QIRELL_TEST_HTTPS_PORT/$site"

# run LABEL BASE: an out-of-date folder brought up to the manifest at BASE; prints the proxy's new log lines.
run() {
  local game="$work/game-$1" before
  rm -rf "$game"
  mkdir -p "$game"
  printf 'game data' > "$game/data.qpa"
  cp "$exe" "$game/QirellPatcher.exe"
  before=$(wc -l < "$work/tinyproxy.log" 2>/dev/null || echo 0)
  (cd "$game" && timeout 180 bash "$src/cmake/wine-run.sh" "$game/QirellPatcher.exe" --auto-close --url "$2/manifest.json") ||
    fail "$1: the run failed"
  cmp -s "$game/sub/a.txt" "$QIRELL_TEST_WWW/$site/files/sub/a.txt" || fail "$1: the file was not brought in"
  tail -n +"$((before + 1))" "$work/tinyproxy.log" 2>/dev/null | grep -E 'Request|CONNECT|GET' > "$work/$1.seen"
}
seen() { grep -cF "$2" "$work/$1.seen"; }

set_proxy 3 "127.0.0.1:$port" "*.invalid" ""
run named-http "$http"
[ "$(seen named-http "GET http://localhost:$QIRELL_TEST_HTTP_PORT/$site/manifest.json?t=")" = 1 ] ||
  fail "named proxy: the manifest request did not go through it"
[ "$(seen named-http "GET http://localhost:$QIRELL_TEST_HTTP_PORT/$site/files/sub/a.txt")" = 1 ] ||
  fail "named proxy: the file request did not go through it"
run named-https "$https"
[ "$(seen named-https "CONNECT localhost:$QIRELL_TEST_HTTPS_PORT")" -ge 1 ] || fail "named proxy: no CONNECT for HTTPS"

set_proxy 3 "127.0.0.1:$port" "<local>" ""
run bypassed "$http"
[ ! -s "$work/bypassed.seen" ] || fail "a host on the bypass list (<local>) went through the proxy"

set_proxy 5 "" "" "$http/proxy.pac"
run script "$http"
[ "$(seen script "GET http://localhost:$QIRELL_TEST_HTTP_PORT/$site/files/sub/a.txt")" = 1 ] ||
  fail "configuration script: the file request did not go through the proxy it names"

set_proxy 1 "" "" ""
run removed "$http"
run removed-https "$https"
[ ! -s "$work/removed.seen" ] && [ ! -s "$work/removed-https.seen" ] || fail "with the setting removed, requests reached the proxy"

if [ "$failures" -gt 0 ]; then
  echo "proxy log:"; cat "$work/tinyproxy.log"
  exit 1
fi
echo "proxy end to end: all cases passed"
