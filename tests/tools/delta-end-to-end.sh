#!/usr/bin/env bash
# delta-end-to-end.sh SOURCE_DIR BUILD_DIR: the native tool publishes a release with --delta into the
# test servers' root; the patcher under Wine updates data.qpa from nginx with ranges only, and from
# the fault server (which answers no Range) with one whole download after the delta attempt.
set -uo pipefail
src=${1:?source dir} build=${2:?build dir}
: "${QIRELL_TEST_WWW:?run through tests/harness/run.sh (no test servers)}"
: "${QIRELL_TEST_NGINX_LOG:?run through tests/harness/run.sh (no test servers)}"
exe="$build/QirellPatcher.exe"
work="$build/tool-delta-e2e"
site="tool-delta-e2e-$$"
www="$QIRELL_TEST_WWW/$site"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanup() { rm -rf "$www" "$work"; }
trap cleanup EXIT

# The tool, built natively here so the test needs nothing else prepared.
mkdir -p "$work"
. "$(dirname "${BASH_SOURCE[0]}")/native-tool.sh"
tool=$(native_tool "$src" "$build" "$work/cmake.log") || exit 1

v1="$work/release-1" v2="$work/release-2"
mkdir -p "$v1" "$v2"
# 16 MiB archive; the new one has 4 KiB inserted near the start, 8 scattered 1 KiB changes and 1 MiB appended.
head -c $((16 << 20)) /dev/urandom > "$v1/data.qpa"
python3 - "$v1/data.qpa" "$v2/data.qpa" <<'PY'
import os, sys
old = open(sys.argv[1], 'rb').read()
new = bytearray(old[:5000] + os.urandom(4096) + old[5000:])
for i in range(1, 9):
    at = len(new) * i // 9
    new[at:at + 1024] = os.urandom(1024)
open(sys.argv[2], 'wb').write(bytes(new) + os.urandom(1 << 20))
PY
printf 'small\n' > "$v2/readme.txt"
cp "$exe" "$v1/QirellPatcher.exe"; cp "$exe" "$v2/QirellPatcher.exe"

"$tool" build "$v2" --version 2 --delta -o "$www" || fail "build with --delta"
grep -q '"delta": {"url": "maps/data.qpa.qbm"' "$www/manifest.json" || fail "data.qpa has no map member"
grep -q '"path": "readme.txt", "size": 6, "sha256": "[0-9a-f]*"}' "$www/manifest.json" || fail "a small file got a map"
"$tool" verify "$www" >/dev/null || fail "verify of the published folder"
size=$(stat -c %s "$v2/data.qpa")

# bytes nginx sent for data.qpa and its map since log line $1, and how many whole GETs of data.qpa
sent() {
  tail -n +"$1" "$QIRELL_TEST_NGINX_LOG" | python3 -c '
import json, sys
total = whole = 0
for line in sys.stdin:
    r = json.loads(line)
    if "/'"$site"'/" not in r["target"] or "manifest.json" in r["target"]:
        continue
    total += int(r["bytes"])
    rng = [v for k, v in r["headers"] if k == "Range"]
    whole += "data.qpa" in r["target"] and "/maps/" not in r["target"] and not (rng and rng[0])
print(total, whole)'
}

# settle LOG PORT MARK: one more request, then waits (bounded) until it is logged, so the lines of every
# request before it are there too (a log line is written after its answer).
settle() {
  curl -s -o /dev/null "http://localhost:$2/$site/log-settled"
  for _ in $(seq 50); do tail -n +"$3" "$1" | grep -q "/$site/log-settled" && return 0; sleep 0.1; done
  fail "the log $1 did not settle"
}

run_patcher() {  # $1 game folder, $2 manifest address
  (cd "$1" && timeout 180 bash "$src/cmake/wine-run.sh" "$1/QirellPatcher.exe" --auto-close --url "$2")
}

game="$work/game"
cp -a "$v1" "$game"
mark=$(($(wc -l < "$QIRELL_TEST_NGINX_LOG") + 1))
run_patcher "$game" "http://localhost:$QIRELL_TEST_HTTP_PORT/$site/manifest.json" || fail "delta run failed"
cmp -s "$game/data.qpa" "$v2/data.qpa" || fail "data.qpa differs from release 2 after the delta run"
[ -z "$(find "$game" -name '*.patch.tmp')" ] || fail "side files left behind"
settle "$QIRELL_TEST_NGINX_LOG" "$QIRELL_TEST_HTTP_PORT" "$mark"
read -r bytes whole < <(sent "$mark")
echo "delta run: nginx sent $bytes bytes for a $size-byte file (map included)"
[ "$whole" = 0 ] || fail "data.qpa was downloaded whole ($whole times)"
[ "$bytes" -le $((size / 10)) ] || fail "delta run sent $bytes bytes, over a tenth of $size"

# The fault server answers no Range: the map request gets 200, the file comes whole, once.
game2="$work/game-fault"
cp -a "$v1" "$game2"
fmark=$(($(wc -l < "$QIRELL_TEST_FAULT_LOG") + 1))
run_patcher "$game2" "http://localhost:$QIRELL_TEST_FAULT_PORT/$site/manifest.json" || fail "fallback run failed"
cmp -s "$game2/data.qpa" "$v2/data.qpa" || fail "data.qpa differs from release 2 after the fallback"
settle "$QIRELL_TEST_FAULT_LOG" "$QIRELL_TEST_FAULT_PORT" "$fmark"
maps=$(tail -n +"$fmark" "$QIRELL_TEST_FAULT_LOG" | grep -c "/$site/maps/data.qpa.qbm")
plain=$(tail -n +"$fmark" "$QIRELL_TEST_FAULT_LOG" | grep -c "\"target\": *\"/$site/files/data.qpa\"")
[ "$maps" = 1 ] || fail "map requested $maps times from the fault server"
[ "$plain" = 1 ] || fail "data.qpa requested $plain times from the fault server, not once"

[ "$failures" = 0 ] && echo "delta end to end: all checks passed"
exit $((failures > 0))
