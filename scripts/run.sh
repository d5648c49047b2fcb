#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the configuration daemon in the
# foreground on its embedded SQLite home (ZOLTCFG_HOME, default ./run/home when not root-installed),
# ready for the CLI. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ -f tools/zoltcfgd/main.cpp ]; then
  cmake --build build/release -j"$(nproc)" --target zoltcfgd >/dev/null
  export ZOLTCFG_HOME=${ZOLTCFG_HOME:-$PWD/run/home}
  export ZOLTCFG_RUNTIME_DIR=${ZOLTCFG_RUNTIME_DIR:-$PWD/run/runtime}
  export ZOLTCFG_REGISTRY=${ZOLTCFG_REGISTRY:-$PWD/run/registry}
  exec build/release/zoltcfgd "$@"
else
  cmake --build build/release -j"$(nproc)" --target example >/dev/null
  exec build/release/zoltcfg-example "$@"
fi
