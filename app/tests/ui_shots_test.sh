#!/usr/bin/env bash
# Runs the screenshot program under its own Xvfb and checks that every window came out as
# a picture with content (not one flat colour): the windows really map and paint on X.
#   ui_shots_test.sh <orva_ui_shots> <folder>
set -euo pipefail
SHOTS=$1
OUT=$2
rm -rf "$OUT"
mkdir -p "$OUT"
N=$((100 + $$ % 400))
while [ -e "/tmp/.X11-unix/X$N" ] || [ -e "/tmp/.X$N-lock" ]; do N=$((N + 1)); done
Xvfb ":$N" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XPID=$!
trap 'kill "$XPID" 2>/dev/null || true; wait "$XPID" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$N" ] && break; sleep 0.1; done
unset QT_QPA_PLATFORM
# Settings and caches of this run stay inside the output folder.
export HOME="$OUT/home" XDG_CONFIG_HOME="$OUT/home/config" XDG_CACHE_HOME="$OUT/home/cache" \
  XDG_RUNTIME_DIR="$OUT/home/run" ORVADESK_USER_DIR="$OUT/home/user" ORVADESK_MACHINE_DIR="$OUT/home/machine"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
DISPLAY=":$N" timeout 60 "$SHOTS" "$OUT"
for name in pin_entry pin_change unlock settings about consent cert_window cert_view message_english; do
  f="$OUT/$name.png"
  [ -s "$f" ] || { echo "missing $f"; exit 1; }
  colours=$(convert "$f" -format '%k' info:)
  [ "$colours" -gt 20 ] || { echo "$f has only $colours colours"; exit 1; }
done
# The X server's own screenshot agrees that something is on the screen.
DISPLAY=":$N" import -window root "$OUT/root.png"
echo "ok: $(ls "$OUT" | wc -l) pictures"
