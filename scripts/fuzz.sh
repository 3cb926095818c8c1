#!/usr/bin/env bash
# Fuzzes the listing parser (or, with "sftp_packet" after the seconds, the
# SFTP reply reader) with libFuzzer for the given number of seconds
# (default 60). Needs clang: scripts/setup.sh --fuzz installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-60}
TARGET=${2:-listparser}
CORPUS=build-fuzz/corpus
SEEDS=tests/fuzz/seeds
if [[ "$TARGET" != listparser ]]; then
  CORPUS=build-fuzz/corpus-$TARGET
  SEEDS=tests/fuzz/seeds-$TARGET
fi
bash scripts/setup.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DORVANE_FUZZ=ON -DORVANE_TESTS=OFF \
  -DORVANE_BENCH=OFF >/dev/null
ninja -C build-fuzz "${TARGET}_fuzz"
mkdir -p "$CORPUS"
cp "$SEEDS"/* "$CORPUS"/ 2>/dev/null || true
"./build-fuzz/${TARGET}_fuzz" -max_total_time="$SECONDS_TO_RUN" -max_len=65536 "$CORPUS"
