#!/usr/bin/env bash
# The demo: builds the daemon and the CLI, starts zoltcfgd on a fresh temporary home (its remote
# service on mutual TLS with certificates of scripts/make-test-certs.sh), loads a few
# sample settings, runs a short scripted session of zoltcfg (status, set, get, a watcher in the
# background seeing the change, list, dump), then stops the daemon and removes the home.
# ZOLT_BUILD_DIR names another build folder (default build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZOLT_BUILD_DIR:-build/release}
if [ ! -x "$build/zoltcfgd" ] || [ ! -x "$build/zoltcfg" ] || [ "${ZOLT_DEMO_BUILD:-1}" = 1 ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target zoltcfgd zoltcfg-cli >/dev/null
fi
bin=$(cd "$build" && pwd)

demo=$(mktemp -d "${TMPDIR:-/tmp}/zoltcfg-demo.XXXXXX")
export ZOLTCFG_HOME=$demo/home ZOLTCFG_RUNTIME_DIR=$demo/run ZOLTCFG_REGISTRY=$demo/registry
daemon=""
watcher=""
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null || true
  if [ -n "$daemon" ]; then kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; fi
  rm -rf "$demo"
}
trap cleanup EXIT

# Waits (at most 30 s) until file $1 holds a line matching $2.
await() {
  for _ in $(seq 300); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "demo: gave up waiting for '$2' in $1" >&2; cat "$1" >&2; return 1
}

# Shows a command, then runs it (it must succeed); refused: the same for a command that must fail.
run() { echo "\$ zoltcfg $*"; "$bin/zoltcfg" "$@" 2>&1; echo; }
refused() {
  echo "\$ zoltcfg $*"
  local rc=0
  "$bin/zoltcfg" "$@" 2>&1 || rc=$?
  [ "$rc" -ne 0 ] || { echo "demo: that should have failed" >&2; return 1; }
  echo "(exit code $rc)"
  echo
}

echo "== zoltcfgd on a fresh home: $ZOLTCFG_HOME, reachable from other servers over mutual TLS"
bash "$(dirname "$0")/make-test-certs.sh" "$demo/certs" demo-node other-node >/dev/null
"$bin/zoltcfgd" --remote-listen "127.0.0.1:$((20000 + RANDOM % 20000))" \
  --tls-cert "$demo/certs/demo-node.pem" --tls-key "$demo/certs/demo-node.key" \
  --tls-ca "$demo/certs/ca.pem" --tls-allow other-node >"$demo/daemon.out" 2>&1 &
daemon=$!
await "$demo/daemon.out" "serving ID_ZOLT_REMOTE_CFG"
cat "$demo/daemon.out"
echo

cat >"$demo/sample.json" <<'JSON'
{
  "format": "zoltcfg-dump", "version": 1, "server": "localhost",
  "categories": {
    "QV_VirusScan": [
      { "policy": "ZOLT_PLC_NULL", "subject": "ZOLT_SUB_CFG_VS_RS",
        "fields": { "VS_ENABLE_VIRUSSCAN": true, "VS_ACTION": 1, "VS_MAX_SIZE": 10240,
                    "VS_QUARANTINE_FOLDER": "quarantine", "VS_LAST_UPDATE": "2024-02-29 13:45:10" } },
      { "policy": "POLICY_SALES", "subject": "ZOLT_SUB_CFG_VS_RS",
        "fields": { "VS_ACTION": 2, "VS_EXCLUDED_EXTENSIONS": "iso;img" } }
    ],
    "QV_ContentFilterRule": [
      { "policy": "ZOLT_PLC_NULL", "subject": "RULE_EXE",
        "fields": { "CFR_NAME": "block executables", "CFR_PATTERN": "*.exe", "CFR_PRIORITY": 10 } }
    ]
  }
}
JSON

echo "== a short session"
run status
run load "$demo/sample.json"
run list QV_VirusScan
run get localhost - QV_VirusScan ZOLT_SUB_CFG_VS_RS

echo "\$ zoltcfg watch --count 1 ZOLT_SUB_CFG_VS_RS &"
"$bin/zoltcfg" watch --count 1 ZOLT_SUB_CFG_VS_RS >"$demo/watch.out" 2>"$demo/watch.err" &
watcher=$!
await "$demo/watch.err" "watching"
cat "$demo/watch.err"
echo
run set localhost - QV_VirusScan ZOLT_SUB_CFG_VS_RS VS_ACTION=3 VS_MAX_SIZE=20480
wait "$watcher"
watcher=""
echo "(the watcher saw:)"
cat "$demo/watch.out"
echo
run get localhost - QV_VirusScan ZOLT_SUB_CFG_VS_RS --field VS_MAX_SIZE
run get --json localhost POLICY_SALES QV_VirusScan ZOLT_SUB_CFG_VS_RS -f VS_ACTION -f VS_EXCLUDED_EXTENSIONS
refused set localhost - QV_VirusScan ZOLT_SUB_CFG_VS_RS VS_ACTION=seven
run dump "$demo/dump.json"
echo "(the dump holds $(grep -c '"subject"' "$demo/dump.json") settings; its first lines:)"
head -n 12 "$demo/dump.json"
echo

echo "== stopping zoltcfgd"
kill "$daemon"
wait "$daemon" || true
daemon=""
tail -n 1 "$demo/daemon.out"
