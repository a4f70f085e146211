#!/usr/bin/env bash
# Benchmark of the loopback service against nginx and openssl s_server on this machine:
#   1. wrk over HTTPS keep-alive POSTing {"msgType":"get_version"} at 10 and 64
#      connections, agent vs nginx (1 worker) answering the same bytes over TLS;
#   2. resident memory of the agent with 64 idle keep-alive connections;
#   3. full TLS handshakes per second, agent vs openssl s_server with the same key.
# Usage: bench/service_bench.sh [seconds-per-run]   (build first; writes build/bench-work/)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECS=${1:-10}
BIN=$ROOT/build/app/orvadesk
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
WORK=$ROOT/build/bench-work
rm -rf "$WORK"; mkdir -p "$WORK/machine" "$WORK/user" "$WORK/nginx"
PY=/usr/bin/python3
AGENT_PORT=26368; NGINX_PORT=26369; SSERVER_PORT=26370
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

wait_port() {
  for _ in $(seq 1 100); do
    (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "port $1 never opened" >&2; exit 1
}

printf '{"SOFTWARE\\\\ORVA\\\\OrvaDesk":{"ServicePort":%d,"LogEnabled":0}}\n' $AGENT_PORT \
  > "$WORK/machine/settings.json"
ORVADESK_MACHINE_DIR=$WORK/machine ORVADESK_USER_DIR=$WORK/user "$BIN" > "$WORK/agent.out" 2>&1 &
AGENT_PID=$!; PIDS+=($AGENT_PID)
wait_port $AGENT_PORT

# The agent's own pair, in PEM for nginx and s_server.
base64 -d "$WORK/user/tls/service.crt.b64" | openssl x509 -inform DER -out "$WORK/service.pem"
base64 -d "$WORK/user/tls/service.key.b64" | openssl pkey -inform DER -out "$WORK/service.key"
REPLY=$(ORVADESK_MACHINE_DIR=$WORK/machine ORVADESK_USER_DIR=$WORK/user \
  "$ROOT/build/app/orvactl" '{"msgType":"get_version"}')
NGINX_BODY=$(printf '%s' "$REPLY" | sed 's/\\/\\\\/g; s/"/\\"/g')

cat > "$WORK/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
user root;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  keepalive_requests 100000000;
  keepalive_timeout 120s;
  server {
    listen 127.0.0.1:$NGINX_PORT ssl;
    ssl_certificate $WORK/service.pem;
    ssl_certificate_key $WORK/service.key;
    location / {
      default_type application/json;
      return 200 "$NGINX_BODY\n";
    }
  }
}
CONF
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
PIDS+=($!)
wait_port $NGINX_PORT

cat > "$WORK/post.lua" <<'LUA'
wrk.method = "POST"
wrk.body = '{"msgType":"get_version"}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Host"] = "orvadesk.localhost"
LUA
# The same request with every reply checked (slower: the body goes through Lua).
cat > "$WORK/check.lua" <<'LUA'
wrk.method = "POST"
wrk.body = '{"msgType":"get_version"}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Host"] = "orvadesk.localhost"
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) bad = 0; good = 0 end
function response(status, headers, body)
  if status == 200 and body == expected then good = good + 1 else bad = bad + 1 end
end
function done(summary, latency, requests)
  local g, b = 0, 0
  for _, t in ipairs(threads) do g = g + t:get("good"); b = b + t:get("bad") end
  io.write(string.format("checked replies: %d good, %d bad\n", g, b))
end
LUA
printf '%s\n' "$REPLY" > "$WORK/expected.json"
sed -i "1i local f = io.open('$WORK/expected.json', 'rb'); expected = f:read('*a'); f:close()" "$WORK/check.lua"

run_wrk() {  # port conns -> "rps p99ms errors"
  local out
  out=$(wrk -t2 -c"$2" -d"${SECS}s" --latency -s "$WORK/post.lua" "https://127.0.0.1:$1/" 2>&1)
  echo "$out" > "$WORK/wrk-$1-$2.txt"
  local rps p99 errs
  rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
  p99=$(echo "$out" | awk '$1=="99%" {print $2}')
  errs=$(echo "$out" | grep -E "Socket errors|Non-2xx" | tr '\n' ' ')
  echo "$rps $p99 ${errs:-none}"
}

echo "== wrk, ${SECS}s per run, 2 threads =="
for c in 10 64; do
  a=$(run_wrk $AGENT_PORT $c); n=$(run_wrk $NGINX_PORT $c)
  ar=$(echo "$a" | cut -d' ' -f1); nr=$(echo "$n" | cut -d' ' -f1)
  ratio=$(awk -v a="$ar" -v n="$nr" 'BEGIN{printf "%.2f", a/n}')
  echo "c=$c agent: $ar req/s p99 $(echo "$a" | cut -d' ' -f2) errors: $(echo "$a" | cut -d' ' -f3-)"
  echo "c=$c nginx: $nr req/s p99 $(echo "$n" | cut -d' ' -f2) errors: $(echo "$n" | cut -d' ' -f3-)"
  echo "c=$c ratio agent/nginx: $ratio"
done
echo "== reply check (agent, 3 s, 10 connections) =="
wrk -t2 -c10 -d3s -s "$WORK/check.lua" "https://127.0.0.1:$AGENT_PORT/" | grep -E "checked|Non-2xx|errors" || true

echo "== resident memory with 64 idle keep-alive connections =="
rss() { awk '/VmRSS/ {print $2}' /proc/"$1"/status; }
echo "agent RSS before: $(rss $AGENT_PID) kB"
$PY - "$AGENT_PORT" "$AGENT_PID" <<'PYEOF'
import socket, ssl, sys, time
port, pid = int(sys.argv[1]), sys.argv[2]
ctx = ssl.create_default_context(); ctx.check_hostname = False; ctx.verify_mode = ssl.CERT_NONE
body = b'{"msgType":"get_version"}'
req = (b"POST / HTTP/1.1\r\nHost: orvadesk.localhost\r\nContent-Length: %d\r\n\r\n" % len(body)) + body
conns = []
for i in range(64):
    s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port)), server_hostname="orvadesk.localhost")
    s.sendall(req)
    data = b""
    while b"\n}" not in data and not data.endswith(b"}\n"):
        data += s.recv(4096)
    conns.append(s)
time.sleep(1.0)
rss = [l for l in open("/proc/%s/status" % pid) if l.startswith("VmRSS")][0].split()[1]
thr = [l for l in open("/proc/%s/status" % pid) if l.startswith("Threads")][0].split()[1]
print("agent RSS with 64 idle keep-alive connections: %s kB (%.1f MB), threads %s" % (rss, int(rss) / 1024, thr))
for s in conns: s.close()
PYEOF

echo "== full TLS handshakes per second (${SECS}s each) =="
openssl s_server -accept $SSERVER_PORT -cert "$WORK/service.pem" -key "$WORK/service.key" \
  -quiet -naccept 100000000 > /dev/null 2>&1 < /dev/null &
PIDS+=($!)
wait_port $SSERVER_PORT
hs() {  # port -> handshakes per real second
  openssl s_time -connect "127.0.0.1:$1" -new -time "$SECS" 2>&1 | tee "$WORK/s_time-$1.txt" | \
    awk '/connections in [0-9]+ real seconds/ {printf "%.0f", $1 / $4; exit}'
}
ha=$(hs $AGENT_PORT); hsv=$(hs $SSERVER_PORT)
echo "agent:    $ha handshakes/s"
echo "s_server: $hsv handshakes/s"
echo "ratio agent/s_server: $(awk -v a="$ha" -v s="$hsv" 'BEGIN{printf "%.2f", a/s}')"
