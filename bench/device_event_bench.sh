#!/usr/bin/env bash
# Benchmark of the token event push: the agent with the software SKF token (one token with
# the test PKI's SM2 sign and exchange certificates), a python3-websockets peer, and the
# token pulled out and plugged in ROUNDS times over its control socket; latency from the
# control line to the "device_event_resp" frame, for removal and insertion.
# Usage: bench/device_event_bench.sh [rounds]   (build first; writes build/bench-events/)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
ROUNDS=${1:-100}
BIN=$ROOT/build/app/orvadesk
PKI=$ROOT/build/testing/pki
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
[ -f "$PKI/.complete" ] || { echo "build first: the test PKI is missing" >&2; exit 1; }
WORK=$ROOT/build/bench-events
rm -rf "$WORK"; mkdir -p "$WORK/machine" "$WORK/user"
PORT=26371
AGENT_PID=
cleanup() { [ -n "$AGENT_PID" ] && kill "$AGENT_PID" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

cat > "$WORK/machine/settings.json" <<JSON
{"SOFTWARE\\\\ORVA\\\\OrvaDesk": {"ServicePort": $PORT, "LogEnabled": 0},
 "SOFTWARE\\\\ORVA\\\\OrvaDesk\\\\Bench": {"SDKName": "Bench Kit", "Manufacturer": "OrvaDesk",
   "DefaultSdkType": 3, "CSPName": "Bench CSP", "SKFImage": "$ROOT/build/tools/softskf/libsoftskf.so"}}
JSON
cat > "$WORK/state.json" <<JSON
{"devices": [{"name": "Bench01", "label": "Bench Token", "serial": "BENCH0000000001",
  "applications": [{"name": "ORVA_APP", "adminPin": {"value": "admin1234"}, "userPin": {"value": "demo1234"},
    "containers": [{"name": "ORVA_ECC_CON",
      "signKeyFile": "$PKI/keys/sm2-sign.pem", "signCertFile": "$PKI/certs/sm2-sign.der",
      "exchKeyFile": "$PKI/keys/sm2-exch.pem", "exchCertFile": "$PKI/certs/sm2-exch.der"}]}]}]}
JSON
export ORVADESK_MACHINE_DIR=$WORK/machine ORVADESK_USER_DIR=$WORK/user
SOFTSKF_STATE=$WORK/state.json SOFTSKF_CONTROL=$WORK/ctl.sock DISPLAY= WAYLAND_DISPLAY= QT_QPA_PLATFORM= \
  "$BIN" > "$WORK/agent.out" 2>&1 &
AGENT_PID=$!
for _ in $(seq 1 100); do
  (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null && break
  sleep 0.1
done
base64 -d "$WORK/user/tls/ca.crt.b64" | openssl x509 -inform DER -out "$WORK/ca.pem"
echo "== token event latency, $ROUNDS removals and insertions =="
/usr/bin/python3 bench/device_event_latency.py $PORT "$WORK/ca.pem" "$WORK/ctl.sock" Bench01 "$ROUNDS"
