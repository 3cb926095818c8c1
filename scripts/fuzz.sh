#!/usr/bin/env bash
# Fuzzes the listing parser with libFuzzer for the given number of seconds
# (default 60). Needs clang: scripts/setup.sh --fuzz installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-60}
bash scripts/setup.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DORVANE_FUZZ=ON -DORVANE_TESTS=OFF \
  -DORVANE_BENCH=OFF >/dev/null
ninja -C build-fuzz listparser_fuzz
mkdir -p build-fuzz/corpus
cp tests/fuzz/seeds/* build-fuzz/corpus/ 2>/dev/null || true
./build-fuzz/listparser_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=65536 build-fuzz/corpus
