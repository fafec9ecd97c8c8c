#!/usr/bin/env bash
# start DIR | stop DIR: the loopback servers the tests talk to.
#   DIR/pki      test CA and a localhost certificate (made once, the CA imported into the Wine prefix)
#   DIR/nginx    generated nginx config, pid, temp files, access.log (one JSON line per request)
#   DIR/www      the document root of both servers
#   DIR/fault.*  the fault-injecting server (tests/servers/fault_server.py): log, pid, port
# start writes DIR/servers.env; stop ends exactly the processes that start recorded, and may run twice.
# The Wine settings (WINEPREFIX, WINEDEBUG...) come from the caller's environment.
set -euo pipefail
cmd=${1:?start or stop}
dir=${2:?test environment folder}
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
# The build whose import-ca trusts the test CA: the folder above DIR unless QIRELL_BUILD_DIR says.
build="${QIRELL_BUILD_DIR:-$(cd "$dir/.." && pwd)}"

# Ends the process recorded in a pid file, but only if it still is the program we started.
stop_recorded() {
  local pidfile=$1 expect=$2 pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile" 2>/dev/null || true)
  rm -f "$pidfile"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  grep -qa "$expect" "/proc/$pid/cmdline" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

stop_all() {
  stop_recorded "$dir/nginx/nginx.pid.started" nginx
  stop_recorded "$dir/fault.pid" fault_server.py
}

# Two distinct ports that were free a moment ago, on loopback.
free_ports() {
  python3 - <<'EOF'
import socket
socks = [socket.socket() for _ in range(2)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))
EOF
}

wait_port() {
  local port=$1
  for _ in $(seq 1 100); do
    if python3 -c "import socket,sys; s=socket.socket(); s.settimeout(0.5); sys.exit(s.connect_ex(('127.0.0.1', $port)))"; then
      return 0
    fi
    sleep 0.1
  done
  echo "servers.sh: nothing listens on port $port" >&2
  return 1
}

make_pki() {
  local pki="$dir/pki"
  [ -f "$pki/localhost.crt" ] && [ -f "$pki/ca.crt" ] && return 0
  mkdir -p "$pki"
  (
    cd "$pki"
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=Qirell Test CA" \
      -keyout ca.key -out ca.crt \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=localhost" -keyout localhost.key -out localhost.csr 2>/dev/null
    printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
      "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost" > localhost.ext
    openssl x509 -req -in localhost.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 3650 -sha256 \
      -extfile localhost.ext -out localhost.crt 2>/dev/null
  )
}

import_ca() {
  local tool="$build/tools/import-ca/import-ca.exe" wine=/usr/lib/wine/wine64
  [ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
  if [ ! -f "$tool" ]; then
    echo "servers.sh: $tool not built: HTTPS tests will fail (build target import-ca)" >&2
    return 0
  fi
  [ -n "${WINEPREFIX:-}" ] || { echo "servers.sh: WINEPREFIX not set, CA not imported" >&2; return 0; }
  timeout 120 "$wine" "$tool" "Z:${dir//\//\\}\\pki\\ca.crt" || echo "servers.sh: CA import failed" >&2
}

write_nginx_conf() {
  local http=$1 https=$2 n="$dir/nginx" user=""
  mkdir -p "$n/tmp"
  [ "$(id -u)" = 0 ] && user="user $(id -un) $(id -gn);"
  cat > "$n/nginx.conf" <<EOF
$user
worker_processes 1;
pid "$n/nginx.pid";
error_log "$n/error.log" warn;
events { worker_connections 256; }
http {
  default_type application/octet-stream;
  sendfile on;
  keepalive_timeout 30;
  client_body_temp_path "$n/tmp/body";
  proxy_temp_path "$n/tmp/proxy";
  fastcgi_temp_path "$n/tmp/fastcgi";
  uwsgi_temp_path "$n/tmp/uwsgi";
  scgi_temp_path "$n/tmp/scgi";
  log_format qirell escape=json '{"server":"nginx","port":"\$server_port","method":"\$request_method",'
    '"target":"\$request_uri","request":"\$request","status":"\$status","bytes":"\$body_bytes_sent",'
    '"user_agent":"\$http_user_agent","headers":[["Host","\$http_host"],["User-Agent","\$http_user_agent"],'
    '["Accept","\$http_accept"],["Accept-Encoding","\$http_accept_encoding"],["Accept-Language","\$http_accept_language"],'
    '["Range","\$http_range"],["If-Range","\$http_if_range"],["If-Modified-Since","\$http_if_modified_since"],'
    '["If-None-Match","\$http_if_none_match"],["Cache-Control","\$http_cache_control"],["Pragma","\$http_pragma"],'
    '["Connection","\$http_connection"],["Referer","\$http_referer"],["Cookie","\$http_cookie"],'
    '["Authorization","\$http_authorization"],["Content-Length","\$http_content_length"],'
    '["Content-Type","\$http_content_type"],["Transfer-Encoding","\$http_transfer_encoding"],'
    '["Expect","\$http_expect"],["Upgrade","\$http_upgrade"],["TE","\$http_te"],["Via","\$http_via"],'
    '["X-Forwarded-For","\$http_x_forwarded_for"]]}';
  access_log "$n/access.log" qirell;
  server {
    listen 127.0.0.1:$http;
    listen 127.0.0.1:$https ssl;
    server_name localhost;
    ssl_certificate "$dir/pki/localhost.crt";
    ssl_certificate_key "$dir/pki/localhost.key";
    root "$dir/www";
    location / { }
    # The same files at a pace a test can interrupt a download at.
    location /slow/ { alias "$dir/www/"; limit_rate 16m; }
  }
}
EOF
}

start_all() {
  stop_all
  mkdir -p "$dir/www" "$dir/nginx"
  make_pki
  import_ca

  local http https
  read -r http https < <(free_ports)
  write_nginx_conf "$http" "$https"
  : >> "$dir/nginx/access.log"
  nginx -p "$dir/nginx" -c "$dir/nginx/nginx.conf" -e "$dir/nginx/error.log" -g "daemon off;" \
    >>"$dir/nginx/error.log" 2>&1 &
  echo $! > "$dir/nginx/nginx.pid.started"

  rm -f "$dir/fault.port"
  python3 "$here/fault_server.py" --root "$dir/www" --log "$dir/fault.log" --port-file "$dir/fault.port" \
    >>"$dir/fault.err" 2>&1 &
  echo $! > "$dir/fault.pid"

  wait_port "$http" && wait_port "$https" || { stop_all; return 1; }
  for _ in $(seq 1 100); do [ -s "$dir/fault.port" ] && break; sleep 0.1; done
  [ -s "$dir/fault.port" ] || { echo "servers.sh: fault server did not start" >&2; stop_all; return 1; }
  local fault
  fault=$(cat "$dir/fault.port")
  wait_port "$fault" || { stop_all; return 1; }

  cat > "$dir/servers.env" <<EOF
QIRELL_TEST_WWW=$dir/www
QIRELL_TEST_HTTP_PORT=$http
QIRELL_TEST_HTTPS_PORT=$https
QIRELL_TEST_FAULT_PORT=$fault
QIRELL_TEST_NGINX_LOG=$dir/nginx/access.log
QIRELL_TEST_FAULT_LOG=$dir/fault.log
QIRELL_TEST_CA=$dir/pki/ca.crt
EOF
}

case "$cmd" in
  start) start_all ;;
  stop) stop_all ;;
  *) echo "usage: servers.sh start|stop DIR" >&2; exit 2 ;;
esac
