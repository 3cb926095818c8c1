#!/usr/bin/env bash
# Builds Orvane and runs every test: first under AddressSanitizer+UBSan and
# ThreadSanitizer, then the plain build, whose CTest summary ends the output.
# Window tests run on a virtual X display started here.
#   scripts/test.sh           all three configurations
#   scripts/test.sh --quick   the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/setup.sh

export GSETTINGS_BACKEND=memory
export NO_AT_BRIDGE=1
SUPP="$ROOT/tests/sanitizers"

run_config() {
  local name=$1 sanitize=$2
  local dir="$ROOT/build-$name"
  echo "=== $name build ==="
  cmake -S "$ROOT" -B "$dir" -G Ninja -DORVANE_SANITIZE="$sanitize" -DORVANE_BENCH=OFF >/dev/null
  ninja -C "$dir"
  echo "=== $name tests ==="
  # -noreset: by default the virtual display resets whenever its last client
  # goes, and a program connecting just then finds no display (a window test
  # that starts the program after killing the previous one met that).
  (cd "$dir" && xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --output-on-failure --timeout 900)
}

if [[ "${1:-}" != "--quick" ]]; then
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$SUPP/ubsan.supp" \
    run_config asan address
  TSAN_OPTIONS="halt_on_error=1:report_mutex_bugs=0:suppressions=$SUPP/tsan.supp" \
    run_config tsan thread
fi
run_config plain ""
