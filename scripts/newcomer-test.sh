#!/usr/bin/env bash
# The newcomer test: in a fresh clone of this repository (what is committed), runs README's
# main-job command in the background, then README's CLI tour exactly as README writes it (taken
# from its fenced block, so README and this test cannot drift apart), checks that the tour's
# background watcher saw its change, and stops the daemon. The clone, and with it the home
# (run/home of the clone), is temporary.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zoltcfg-newcomer.XXXXXX")
runner=""
watcher=""
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null || true
  if [ -n "$runner" ]; then
    kill -TERM -- "-$runner" 2>/dev/null || true   # the process group of the main job we started
    wait "$runner" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "newcomer test: $1" >&2
  for f in "$work"/run.out "$work"/tour.out; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }
  done
  exit 1
}

git clone -q "$repo" "$work/clone"
cd "$work/clone"
unset ZOLTCFG_HOME ZOLTCFG_RUNTIME_DIR ZOLTCFG_REGISTRY

# README's main-job command: the first line of its first fenced block, without its comment.
main=$(awk '/^```sh/ {inside=1; next} inside {print; exit}' README.md | sed 's/[[:space:]]*#.*$//')
[ "$main" = "bash scripts/run.sh" ] || fail "README's first command is '$main', not the main job"
# The tour: the fenced block after the "tour" marker.
tour=$(awk '/<!-- tour/ {marked=1} marked && /^```sh/ {inside=1; next}
            inside && /^```/ {exit} inside {print}' README.md)
[ -n "$tour" ] || fail "README has no tour block"

echo "== newcomer test: '$main' in $work/clone (builds first; this takes a while)"
setsid bash -c "$main" >"$work/run.out" 2>&1 &
runner=$!
for _ in $(seq 36000); do   # up to an hour for the build on a slow machine
  grep -q "serving ID_ZOLT_MASTER" "$work/run.out" && break
  kill -0 "$runner" 2>/dev/null || fail "the main job ended before the daemon served"
  sleep 0.1
done
grep -q "serving ID_ZOLT_MASTER" "$work/run.out" || fail "the daemon never served"

echo "== newcomer test: README's tour"
bash -euo pipefail -c "$tour" >"$work/tour.out" 2>&1 || fail "the tour failed"
watcher=$(sed -n 's/.*watching .* in the background (pid \([0-9]*\)).*/\1/p' "$work/tour.out")
[ -n "$watcher" ] || fail "the tour's watcher did not start"
for _ in $(seq 300); do kill -0 "$watcher" 2>/dev/null || break; sleep 0.1; done
kill -0 "$watcher" 2>/dev/null && fail "the tour's watcher never saw its change"
watcher=""
grep -q "^localhost ZOLT_PLC_NULL ZOLT_SUB_CFG_VS_RS written$" "$work/tour.out" ||
  fail "the tour's watcher printed no change"
[ "$(tail -n 1 "$work/tour.out")" = "3" ] || fail "the tour did not end with the value it loaded"

kill -TERM -- "-$runner"
wait "$runner" || true
runner=""
grep -q "zoltcfgd: stopped" "$work/run.out" || fail "the daemon did not stop cleanly"
echo "== newcomer test: passed"
