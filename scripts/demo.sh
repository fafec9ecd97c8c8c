#!/usr/bin/env bash
# make demo: builds the patcher and the manifest tool, publishes a small release over HTTPS on
# localhost (nginx, a generated test CA), signed with a key made on the spot, and patches an
# out-of-date demo game folder under Wine with a patcher stamped with that key and the local address.
# With a usable $DISPLAY the real window opens; otherwise a private Xvfb runs and screenshots are saved.
# The game folder is prepared afresh, out of date, on every run.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DEMO="$ROOT/build/demo"
WORK="$DEMO/work"
GAME="$WORK/game"
SHOTS="$DEMO/screenshots"
export WINEPREFIX="$DEMO/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
WINE=/usr/lib/wine/wine64; [ -x "$WINE" ] || WINE=$(command -v wine64)
WINESERVER=/usr/lib/wine/wineserver; [ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)
NGINX_PID="" XVFB_PID="" WM_PID="" PATCHER_PID="" WINE_UP=0
. "$ROOT/tests/harness/env.sh"   # for qirell_start_wm

say() { printf '\n== %s\n' "$*"; }

cleanup() {
  set +e
  [ -n "$PATCHER_PID" ] && kill "$PATCHER_PID" 2>/dev/null
  [ "$WINE_UP" = 1 ] && timeout 20 "$WINESERVER" -k 2>/dev/null
  if [ -n "$NGINX_PID" ]; then kill "$NGINX_PID" 2>/dev/null; wait "$NGINX_PID" 2>/dev/null; fi
  if [ -n "$WM_PID" ]; then kill "$WM_PID" 2>/dev/null; wait "$WM_PID" 2>/dev/null; fi
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "building the patcher (build/) and the manifest tool (build/demo/native)"
cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$ROOT/build" -j2
cmake -S "$ROOT" -B "$DEMO/native" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$DEMO/native" -j2 --target qirell-manifest
TOOL="$DEMO/native/tools/qirell-manifest/qirell-manifest"
EXE="$ROOT/build/QirellPatcher.exe"
IMPORT_CA="$ROOT/build/tools/import-ca/import-ca.exe"
[ -f "$EXE" ] || { echo "demo: $EXE was not built" >&2; exit 1; }

say "making a signing key and stamping the patcher with it and the local address"
rm -rf "$WORK"
mkdir -p "$WORK" "$SHOTS"
PORT=$(python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])")
URL="https://localhost:$PORT/patch/manifest.json"
"$TOOL" keygen "$WORK/demo-key"
STAMPED="$WORK/QirellPatcher-stamped.exe"
"$TOOL" stamp "$EXE" --url "$URL" --public-key "$WORK/demo-key.pub" -o "$STAMPED"

say "making two releases and the signed manifest of the newer one"
rm -f "$SHOTS"/*.png
x86_64-w64-mingw32-gcc -municode -mwindows -O2 -o "$WORK/QirellQX.exe" "$ROOT/demo/stub-client.c"
# Seeded pseudo-random content, the same on every run.
blob() { python3 -c "import random,sys; r=random.Random(sys.argv[2]); sys.stdout.buffer.write(r.randbytes(int(sys.argv[1])))" "$1" "$2"; }
old="$WORK/release-1.0" new="$WORK/release-1.1"
mkdir -p "$old/data/texture" "$old/system" "$old/cache/shaders" "$old/old"
blob 3000000 archive-1.0 > "$old/data.qpa"
blob 200000 npc-1.0 > "$old/data/texture/npc.bmp"
printf 'Qirell QX 1.0\r\n' > "$old/system/readme.txt"
blob 50000 shader > "$old/cache/shaders/water.bin"
blob 20000 legacy > "$old/old/legacy.dll"
cp "$WORK/QirellQX.exe" "$old/QirellQX.exe"
# The old patcher: the same program with bytes appended (a PE file ignores trailing data).
cp "$STAMPED" "$old/QirellPatcher.exe"; printf 'previous build' >> "$old/QirellPatcher.exe"

mkdir -p "$new/data/texture" "$new/system" "$new/data/sound"
blob 3000000 archive-1.1 > "$new/data.qpa"
cp "$old/data/texture/npc.bmp" "$new/data/texture/npc.bmp"
blob 400000 theme-1.1 > "$new/data/sound/theme.ogg"
printf 'Qirell QX 1.1\r\nอัปเดตใหม่\r\n' > "$new/system/readme.txt"
cp "$WORK/QirellQX.exe" "$new/QirellQX.exe"
cp "$STAMPED" "$new/QirellPatcher.exe"

"$TOOL" build "$old" --version 1.0 -o "$WORK/published-1.0"
"$TOOL" build "$new" --version 1.1 --previous "$WORK/published-1.0/manifest.json" \
  --remove-dir cache --remove-dir old --sign "$WORK/demo-key" --expires-days 30 -o "$WORK/www/patch"
"$TOOL" verify "$WORK/www/patch" --public-key "$WORK/demo-key.pub"
cat "$WORK/www/patch/manifest.json" "$WORK/www/patch/manifest.json.sig"

say "preparing an out-of-date game folder"
cp -a "$old" "$GAME"
rm "$GAME/system/readme.txt"                                  # missing
chmod a-w "$GAME/data/texture/npc.bmp"                        # read-only, up to date
printf 'local edit' >> "$GAME/data.qpa"; chmod a-w "$GAME/data.qpa"   # changed and read-only
listing() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
listing "$GAME" > "$WORK/before.txt"

say "serving https://localhost over nginx with a test CA"
pki="$DEMO/pki"
if [ ! -f "$pki/localhost.crt" ]; then
  mkdir -p "$pki"
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=Qirell Demo CA" \
    -keyout "$pki/ca.key" -out "$pki/ca.crt" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=localhost" -keyout "$pki/localhost.key" \
    -out "$pki/localhost.csr" 2>/dev/null
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost" > "$pki/localhost.ext"
  openssl x509 -req -in "$pki/localhost.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial \
    -days 3650 -sha256 -extfile "$pki/localhost.ext" -out "$pki/localhost.crt" 2>/dev/null
fi
n="$WORK/nginx"; mkdir -p "$n/tmp"
user=""; [ "$(id -u)" = 0 ] && user="user $(id -un) $(id -gn);"
cat > "$n/nginx.conf" <<CONF
$user
worker_processes 1;
pid "$n/nginx.pid";
error_log "$n/error.log" warn;
events { worker_connections 64; }
http {
  types { application/json json; }
  default_type application/octet-stream;
  client_body_temp_path "$n/tmp/body"; proxy_temp_path "$n/tmp/proxy"; fastcgi_temp_path "$n/tmp/fcgi";
  uwsgi_temp_path "$n/tmp/uwsgi"; scgi_temp_path "$n/tmp/scgi";
  access_log "$n/access.log";
  server {
    listen 127.0.0.1:$PORT ssl;
    server_name localhost;
    ssl_certificate "$pki/localhost.crt";
    ssl_certificate_key "$pki/localhost.key";
    root "$WORK/www";
    location ~ ^/patch/manifest\.json(\.sig)?\$ { add_header Cache-Control "no-cache"; }
    # Slow on purpose, so the download is visible.
    location /patch/files/ { limit_rate 400k; }
  }
}
CONF
nginx -p "$n" -c "$n/nginx.conf" -g "daemon off;" >>"$n/error.log" 2>&1 &
NGINX_PID=$!
for _ in $(seq 1 50); do
  python3 -c "import socket,sys; s=socket.socket(); s.settimeout(0.3); sys.exit(s.connect_ex(('127.0.0.1',$PORT)))" && break
  sleep 0.1
done
echo "manifest at $URL (the address stamped into the patcher)"

say "display and Wine prefix ($WINEPREFIX)"
# A display is usable when a client can talk to it (xdpyinfo may be missing; import is there).
display_usable() {
  [ -n "${DISPLAY:-}" ] || return 1
  if command -v xdpyinfo >/dev/null; then timeout 5 xdpyinfo >/dev/null 2>&1; return; fi
  timeout 10 import -window root -crop 1x1+0+0 "$WORK/display-probe.png" >/dev/null 2>&1
}
MODE=window
if ! display_usable; then
  MODE=headless
  num=""
  for d in $(seq 150 199); do
    if [ ! -e "/tmp/.X11-unix/X$d" ] && [ ! -e "/tmp/.X$d-lock" ]; then num=$d; break; fi
  done
  [ -n "$num" ] || { echo "demo: no free X display number" >&2; exit 1; }
  Xvfb ":$num" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$num"
  for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$num" ] && break; sleep 0.1; done
  WM_PID=$(qirell_start_wm "$WORK/openbox.log")
fi
echo "mode: $MODE (DISPLAY=$DISPLAY)"
WINE_UP=1
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the demo's Wine prefix (once)"
  timeout 300 "$WINE" wineboot -i >"$DEMO/wineboot.log" 2>&1 || true
fi
"$WINESERVER" -p 2>/dev/null || true   # already running after wineboot: fine
for face in Tahoma "Segoe UI"; do
  timeout 60 "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v "$face" /t REG_MULTI_SZ /d 'Garuda.ttf,Garuda' /f >/dev/null 2>&1 || true
done
if [ -f "$IMPORT_CA" ]; then
  timeout 120 "$WINE" "$IMPORT_CA" "Z:${pki//\//\\}\\ca.crt" || echo "demo: the CA import failed; HTTPS will fail" >&2
else
  echo "demo: $IMPORT_CA missing; HTTPS will fail" >&2
fi

# shot NAME: the whole screen into $SHOTS/NAME.png
shot() { timeout 10 import -display "$DISPLAY" -window root "$SHOTS/$1.png" 2>/dev/null || true; }

say "running the stamped patcher on $GAME (no --url: it reads its address from its stamp)"
cd "$GAME"
code=0
if [ "$MODE" = window ]; then
  echo "the window is open: watch it update, then press the main button or close it (up to 15 minutes)"
  "$WINE" "$GAME/QirellPatcher.exe" &
  PATCHER_PID=$!
  for _ in $(seq 1 1800); do kill -0 "$PATCHER_PID" 2>/dev/null || break; sleep 0.5; done   # interruptible
  if kill -0 "$PATCHER_PID" 2>/dev/null; then echo "demo: 15 minutes are up, closing the window" >&2; kill "$PATCHER_PID"; fi
  wait "$PATCHER_PID" || code=$?
  PATCHER_PID=""
else
  "$WINE" "$GAME/QirellPatcher.exe" --auto-close &
  PATCHER_PID=$!
  i=0
  for _ in $(seq 1 600); do       # at most 5 minutes
    kill -0 "$PATCHER_PID" 2>/dev/null || break
    sleep 0.5
    if [ "$i" -lt 40 ] && [ -n "$(find "$GAME" -name '*.patch.tmp' -print -quit)" ]; then
      i=$((i + 1)); shot "$(printf 'downloading-%02d' "$i")"
    fi
  done
  if kill -0 "$PATCHER_PID" 2>/dev/null; then echo "demo: the patcher did not finish in time" >&2; kill "$PATCHER_PID"; fi
  wait "$PATCHER_PID" || code=$?
  PATCHER_PID=""
  # A second start on the now current folder, to show the ready window; closed by its pid.
  "$WINE" "$GAME/QirellPatcher.exe" &
  PATCHER_PID=$!
  prev=""
  for _ in $(seq 1 40); do        # at most 20 seconds, until two screenshots in a row agree
    sleep 0.5
    shot ready
    sum=$(sha256sum "$SHOTS/ready.png" 2>/dev/null | cut -c1-64 || true)
    [ -n "$sum" ] && [ "$sum" = "$prev" ] && break
    prev=$sum
  done
  kill "$PATCHER_PID" 2>/dev/null || true
  wait "$PATCHER_PID" 2>/dev/null || true
  PATCHER_PID=""
fi
cd "$ROOT"

say "what happened"
listing "$GAME" > "$WORK/after.txt"
python3 - "$WORK/before.txt" "$WORK/after.txt" <<'PY'
import sys
def load(p):
    d = {}
    for line in open(p, encoding="utf-8", errors="replace"):
        digest, name = line.rstrip("\n").split("  ", 1)
        d[name[2:]] = digest
    return d
before, after = load(sys.argv[1]), load(sys.argv[2])
for name in sorted(set(before) | set(after)):
    if name not in before: print("  added    ", name)
    elif name not in after: print("  removed  ", name)
    elif before[name] != after[name]: print("  updated  ", name)
PY
for d in cache old; do [ -d "$GAME/$d" ] && echo "  folder $d still there" || echo "  folder $d removed"; done
listing "$WORK/www/patch/files" > "$WORK/expected.txt"
if (cd "$GAME" && sha256sum --quiet -c "$WORK/expected.txt" >/dev/null 2>&1); then
  echo "  every file of the manifest matches in the game folder"
else
  echo "  the game folder does NOT match the manifest"
fi
echo "  signature requests: $(grep -c 'manifest.json.sig' "$n/access.log" || true) (one per start; the stamped key checked each)"
echo "patcher exit code: $code (0 = ready, 1 = failed)"
if [ "$MODE" = headless ]; then
  count=$(find "$SHOTS" -name '*.png' | wc -l)
  echo "screenshots ($count): $SHOTS (downloading-*.png during the update, ready.png on the next start)"
fi
echo "game folder: $GAME (prepared afresh, out of date, on every run)"
exit "$code"
