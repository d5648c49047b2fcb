#!/usr/bin/env bash
# Probes a zoltcfgd on a fresh temporary home with 1,000 hostile local connections (headers only,
# slow bytes, oversized counts) while a normal client goes on working, and prints the daemon's
# peak resident memory and the normal client's p99 latency, quiet and under attack
# (scripts/probe_hostile.py). Exit 1 when the daemon holds 64 MB or more, or stops serving.
# ZOLT_BUILD_DIR names the build folder holding zoltcfgd (default build/release); PROBE_COUNT
# changes the number of hostile connections.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZOLT_BUILD_DIR:-build/release}
bin=$(cd "$build" && pwd)
probe=$(mktemp -d "${TMPDIR:-/tmp}/zoltcfg-probe.XXXXXX")
export ZOLTCFG_HOME=$probe/home ZOLTCFG_RUNTIME_DIR=$probe/run ZOLTCFG_REGISTRY=$probe/registry
daemon=""
cleanup() {
  if [ -n "$daemon" ]; then kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; fi
  rm -rf "$probe"
}
trap cleanup EXIT

"$bin/zoltcfgd" >"$probe/daemon.out" 2>&1 &
daemon=$!
for _ in $(seq 300); do grep -q "serving ID_ZOLT_MASTER" "$probe/daemon.out" && break; sleep 0.1; done
grep -q "serving ID_ZOLT_MASTER" "$probe/daemon.out" || { cat "$probe/daemon.out" >&2; exit 1; }
python3 scripts/probe_hostile.py "$ZOLTCFG_RUNTIME_DIR/ID_ZOLT_MASTER.rpc" "$daemon" "${PROBE_COUNT:-1000}"
kill -0 "$daemon" || { echo "probe: the daemon did not survive" >&2; exit 1; }
