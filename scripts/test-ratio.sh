#!/usr/bin/env bash
# Prints the test/code ratio the team keeps: non-blank, non-comment lines of tests/ and fuzz/
# against those of every other C++ source and header of the tree (build folders excluded).
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -0 cat | sed -e 's|^[[:space:]]*//.*$||' | grep -cv '^[[:space:]]*$'; }
tests=$(find tests fuzz -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | count)
code=$(find . \( -path ./.git -o -path ./build -o -path ./tests -o -path ./fuzz -o -path ./run \) -prune \
  -o -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | count)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests %d / code %d = %.3f\n", t, c, t / c }'
