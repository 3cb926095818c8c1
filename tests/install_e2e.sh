#!/usr/bin/env bash
# Install into a temporary prefix, check what the installation recorded, then
# run the installed uninstaller as a user would (press Uninstall, then Exit)
# and check that everything is gone.
set -euo pipefail
BUILD=$1
T=$(mktemp -d)
trap 'kill $PID 2>/dev/null || true; rm -rf "$T"' EXIT
PID=
export ORVANE_REGISTRY="$T/registry.db" XDG_DATA_HOME="$T/data" HOME="$T/home"
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
mkdir -p "$HOME"
PREFIX="$T/opt/Orvane dir"
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
for f in Pondrel1 libTollin.so OrvaneUninstall Orvane.html; do
  [[ -f "$PREFIX/$f" ]] || fail "$f not installed"
done
MENU="$XDG_DATA_HOME/applications/Orvane"
grep -q '^Exec="'"$PREFIX"'/Pondrel1"$' "$MENU/orvane.desktop" || fail "menu entry: $(cat "$MENU/orvane.desktop")"
grep -q 'OrvaneUninstall' "$MENU/orvane-uninstall.desktop" || fail "uninstall menu entry"
value() {
  /usr/bin/python3 - "$ORVANE_REGISTRY" "$1" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
row = db.execute("SELECT v.data FROM vals v JOIN keys k ON v.key = k.id "
                 "WHERE k.uname = 'ORVANE' AND v.uname = ?", (sys.argv[2].upper(),)).fetchone()
sys.stdout.write(row[0].rstrip(b"\0").decode() if row else "<absent>")
PY
}
[[ "$(value PATH)" == "$PREFIX" ]] || fail "PATH is $(value PATH)"
[[ "$(value URL)" == http* ]] || fail "URL is $(value URL)"

"$PREFIX/OrvaneUninstall" &
PID=$!
for _ in $(seq 100); do
  W=$(xdotool search --name '^Uninstall Orvane$' 2>/dev/null | head -1) && [[ -n "$W" ]] && break
  sleep 0.1
done
[[ -n "${W:-}" ]] || fail "the uninstaller window did not appear"
xdotool windowfocus --sync "$W" 2>/dev/null || true
xdotool key alt+u
for _ in $(seq 150); do
  [[ ! -e "$PREFIX" && ! -e "$MENU" ]] && break
  sleep 0.1
done
[[ ! -e "$PREFIX" ]] || fail "left in the installation folder: $(ls -A "$PREFIX")"
[[ ! -e "$MENU" ]] || fail "menu folder left"
[[ "$(value PATH)" == "<absent>" ]] || fail "PATH still recorded"
xdotool windowfocus --sync "$W" 2>/dev/null || true
xdotool key alt+x
for _ in $(seq 50); do kill -0 $PID 2>/dev/null || break; sleep 0.1; done
if kill -0 $PID 2>/dev/null; then fail "the uninstaller did not exit"; fi
wait $PID || fail "the uninstaller exited with $?"
PID=
echo "install and uninstall: ok"
