#!/usr/bin/env bash
# Builds Orvane and starts it. Without an X display it starts the program on a
# virtual display, saves a screenshot of its window and says where.
#
#   scripts/run.sh --demo   also starts a local FTP server on 127.0.0.1 with a
#                           small demo tree and adds the site "Local demo" to
#                           the site store (once); the server stops with the program.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEMO=0
if [[ "${1:-}" == "--demo" ]]; then DEMO=1; fi

# ORVANE_BUILD_DIR: an existing build folder to use instead of build/.
BUILD=${ORVANE_BUILD_DIR:-$ROOT/build}
bash scripts/setup.sh
if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DORVANE_TESTS=OFF -DORVANE_BENCH=OFF >/dev/null
fi
ninja -C "$BUILD" Pondrel1 Tollin OrvaneUninstall OrvaneAddSite 2>/dev/null ||
  ninja -C "$BUILD" Pondrel1 OrvaneAddSite

SERVER_PID=""
DEMO_TREE=""
LOG=""
stop_demo() {
  if [[ -n "$SERVER_PID" ]]; then kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
  if [[ -n "$DEMO_TREE" ]]; then rm -rf "$DEMO_TREE" "$LOG"; fi
}
trap stop_demo EXIT

if ((DEMO)); then
  PORT=${ORVANE_DEMO_PORT:-2121}
  # What the server serves: a few folders and files, and one large sparse file
  # (it takes no room on disk) to watch the progress and try Stop on.
  DEMO_TREE=$(mktemp -d "${TMPDIR:-/tmp}/orvane-demo-server-XXXXXX")
  mkdir -p "$DEMO_TREE/docs/manuals" "$DEMO_TREE/photos/2024" "$DEMO_TREE/music" "$DEMO_TREE/upload-here"
  printf 'Welcome to the Orvane demo server.\nDownload with Ctrl+D, upload with Ctrl+U.\n' >"$DEMO_TREE/readme.txt"
  printf 'Orvane keeps every byte: this file has CR LF line ends.\r\n' >"$DEMO_TREE/docs/crlf.txt"
  printf 'Chapter 1\n' >"$DEMO_TREE/docs/manuals/guide.txt"
  head -c 300000 /dev/urandom >"$DEMO_TREE/photos/2024/beach.jpg"
  head -c 120000 /dev/urandom >"$DEMO_TREE/photos/2024/hills.jpg"
  head -c 50000 /dev/urandom >"$DEMO_TREE/music/song.ogg"
  truncate -s 2G "$DEMO_TREE/big-sparse.iso"
  # Downloads land here (the site's default local folder).
  LOCAL="${TMPDIR:-/tmp}/orvane-demo-$(id -u)/downloads"
  mkdir -p "$LOCAL"

  LOG=$(mktemp "${TMPDIR:-/tmp}/orvane-demo-server-log-XXXXXX")
  /usr/bin/python3 "$ROOT/scripts/demo_server.py" "$DEMO_TREE" "$PORT" >"$LOG" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do
    grep -q '^PORT ' "$LOG" 2>/dev/null && break
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q '^PORT ' "$LOG" 2>/dev/null; then
    echo "The demo server did not start (is port $PORT free? set ORVANE_DEMO_PORT):" >&2
    cat "$LOG" >&2
    exit 1
  fi
  set +e
  "$BUILD/bin/OrvaneAddSite" "Local demo" 127.0.0.1 "$PORT" demo demo "$LOCAL" / \
    "The demo server of scripts/run.sh --demo"
  rc=$?
  set -e
  case $rc in
    0) echo "Added the site \"Local demo\" (127.0.0.1:$PORT, user demo, password demo)." ;;
    3) echo "The site \"Local demo\" is in the store already; it is left as it is." ;;
    *) echo "The site \"Local demo\" could not be added." >&2; exit 1 ;;
  esac
  echo "Demo server on 127.0.0.1:$PORT serving $DEMO_TREE; downloads go to $LOCAL."
  echo "Pick \"Local demo\" in the Site Manager and press Connect."
fi

if [[ -n "${DISPLAY:-}" ]]; then
  set +e
  "$BUILD/bin/Pondrel1"
  rc=$?
  exit $rc
fi

mkdir -p "$ROOT/out"
SHOT="$ROOT/out/screenshot.png"
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  "$1/bin/Pondrel1" & pid=$!
  sleep 6
  import -window root "$2"
  kill $pid 2>/dev/null; wait $pid 2>/dev/null || true
' _ "$BUILD" "$SHOT"
echo "No display here: Orvane was started on a virtual X display and closed again."
echo "Screenshot of its window: $SHOT"
