#!/usr/bin/env bash
# The test command: installs what is missing, builds with warnings as errors and runs the whole
# suite, then runs it again under AddressSanitizer + UndefinedBehaviorSanitizer, then runs the
# concurrency tests under ThreadSanitizer, then the newcomer test (a fresh clone running README's
# commands as written).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== plain build =="
build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/release --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
build build/asan -DCMAKE_BUILD_TYPE=Debug -DZOLT_SANITIZE=address,undefined -DZOLT_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs"

echo "== ThreadSanitizer (concurrency tests) =="
build build/tsan -DCMAKE_BUILD_TYPE=Debug -DZOLT_SANITIZE=thread -DZOLT_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j"$jobs" -R 'Concurren'

echo "== newcomer test (a fresh clone, README's commands as written) =="
bash scripts/newcomer-test.sh
