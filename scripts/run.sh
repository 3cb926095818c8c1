#!/usr/bin/env bash
# Builds Orvane and starts it. Without an X display it starts the program on a
# virtual display, saves a screenshot of its window and says where.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/setup.sh
cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DORVANE_TESTS=OFF -DORVANE_BENCH=OFF >/dev/null
ninja -C "$ROOT/build" Pondrel1 Tollin OrvaneUninstall 2>/dev/null || ninja -C "$ROOT/build" Pondrel1

if [[ -n "${DISPLAY:-}" ]]; then
  exec "$ROOT/build/bin/Pondrel1"
fi

mkdir -p "$ROOT/out"
SHOT="$ROOT/out/screenshot.png"
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  "$1/build/bin/Pondrel1" & pid=$!
  sleep 6
  import -window root "$2"
  kill $pid 2>/dev/null; wait $pid 2>/dev/null || true
' _ "$ROOT" "$SHOT"
echo "No display here: Orvane was started on a virtual X display and closed again."
echo "Screenshot of its window: $SHOT"
