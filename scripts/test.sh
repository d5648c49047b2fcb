#!/usr/bin/env bash
# The test command: installs what is missing, builds with warnings as errors and runs the whole
# suite, builds a program outside the tree against the installed package (CMake and pkg-config),
# probes a daemon with hostile connections, then runs the suite again under AddressSanitizer +
# UndefinedBehaviorSanitizer, then runs the concurrency tests under ThreadSanitizer, then the
# fuzz targets, then the newcomer test (a fresh clone running README's commands as written).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

# A throwaway PostgreSQL server in a temporary folder, reached by its socket there only, for the
# store's PostgreSQL runs (ZOLT_TEST_PG); stopped at the end. initdb refuses root, so as root the
# server runs as the postgres user.
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
pgdir=$(mktemp -d)
as_pg=()
if [ "$(id -u)" -eq 0 ]; then chown postgres "$pgdir"; as_pg=(runuser -u postgres --); fi
stop_pg() {
  [ -f "$pgdir/data/postmaster.pid" ] && (cd / && "${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdir/data" -m fast -w stop >/dev/null) || true
  rm -rf "$pgdir"
}
trap stop_pg EXIT
(cd / && "${as_pg[@]}" "$pgbin/initdb" -D "$pgdir/data" -A trust -U zolt_test -E UTF8 --locale=C >/dev/null)
(cd / && "${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/server.log" -w \
  -o "-k $pgdir -c listen_addresses='' -p 5432" start >/dev/null)
export ZOLT_TEST_PG="host=$pgdir port=5432 user=zolt_test dbname=postgres"
# How the tests stop and start that server under a running store.
export ZOLT_TEST_PG_CTL="${as_pg[*]} $pgbin/pg_ctl -D $pgdir/data -l $pgdir/server.log -w -o \"-k $pgdir -c listen_addresses='' -p 5432\""

# The suite of a build folder. The test that stops and starts the PostgreSQL server runs alone
# afterwards: beside it, the other tests using that server would meet it shutting down.
suite() {  # suite DIR
  ctest --test-dir "$1" --output-on-failure -j"$jobs" -E 'ServerRestart'
  ctest --test-dir "$1" --output-on-failure -R 'ServerRestart'
}

build() {  # build DIR [cmake args...] [-- targets...]
  local dir=$1; shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=("$@")
  cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" -j"$jobs" --target "${targets[@]}"
  else
    cmake --build "$dir" -j"$jobs"
  fi
}

echo "== plain build =="
build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
suite build/release

echo "== installed package: a program outside the tree, with find_package and with pkg-config =="
prefix=$(mktemp -d)
daemon=""
stop_daemon() {
  if [ -n "$daemon" ]; then
    kill -TERM "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    daemon=""
  fi
}
trap 'stop_daemon; rm -rf "$prefix"; stop_pg' EXIT
# README's first-client block is the example program, character for character.
awk '/<!-- first client/ {marked=1} marked && /^```cpp/ {inside=1; next}
     inside && /^```/ {exit} inside {print}' README.md | diff -u - tools/example/main.cpp ||
  { echo "README's first-client block and tools/example/main.cpp differ" >&2; exit 1; }
cmake --install build/release --prefix "$prefix" >/dev/null
exported=$(nm -D --defined-only "$prefix"/lib/libzoltcfg.so | grep -c ' [TDBVWRu] ' || true)
echo "libzoltcfg.so exports $exported symbols"
cmake -S tests/consumer -B "$prefix/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" g++ tools/example/main.cpp -o "$prefix/consumer-pc" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs zoltcfg)
# Both builds run against a daemon on a temporary home.
export ZOLTCFG_HOME="$prefix/home" ZOLTCFG_RUNTIME_DIR="$prefix/run" ZOLTCFG_REGISTRY="$prefix/registry"
"$prefix/bin/zoltcfgd" >"$prefix/zoltcfgd.out" 2>&1 &
daemon=$!
for _ in $(seq 300); do
  grep -q "serving ID_ZOLT_MASTER" "$prefix/zoltcfgd.out" && break
  kill -0 "$daemon" 2>/dev/null || break
  sleep 0.1
done
grep -q "serving ID_ZOLT_MASTER" "$prefix/zoltcfgd.out" ||
  { cat "$prefix/zoltcfgd.out" >&2; echo "the daemon for the example did not serve" >&2; exit 1; }
LD_LIBRARY_PATH="$prefix/lib" timeout 60 "$prefix/consumer/consumer"
LD_LIBRARY_PATH="$prefix/lib" timeout 60 "$prefix/consumer-pc"
stop_daemon
# The home the daemon made passes its check; a damaged database or a missing table does not.
"$prefix/bin/zoltcfgd" --check
cp "$prefix/home/data/config.db" "$prefix/config.db.good"
echo "not a database" >"$prefix/home/data/config.db"
if "$prefix/bin/zoltcfgd" --check 2>"$prefix/check.err"; then
  echo "zoltcfgd --check passed a damaged database" >&2; exit 1
fi
grep -q "is not a database" "$prefix/check.err" || { cat "$prefix/check.err" >&2; exit 1; }
cp "$prefix/config.db.good" "$prefix/home/data/config.db"
sqlite3 "$prefix/home/data/config.db" "DROP TABLE QV_VirusScan"
if "$prefix/bin/zoltcfgd" --check 2>"$prefix/check.err"; then
  echo "zoltcfgd --check passed a database without a table of the schema" >&2; exit 1
fi
grep -q "table QV_VirusScan of the schema is missing" "$prefix/check.err" ||
  { cat "$prefix/check.err" >&2; exit 1; }
# The installed bash completion offers the schema's categories and a category's fields.
offered=$(PATH="$prefix/bin:$PATH" bash -c 'source "$1"/share/bash-completion/completions/zoltcfg
  COMP_WORDS=(zoltcfg set localhost - QV_V); COMP_CWORD=4; _zoltcfg; echo "${COMPREPLY[*]}"
  COMP_WORDS=(zoltcfg set localhost - QV_VirusScan S VS_AC); COMP_CWORD=6; _zoltcfg; echo "${COMPREPLY[*]}"' _ "$prefix")
[ "$offered" = $'QV_VirusScan QV_VirtualServerEnvironment\nVS_ACTION=' ] ||
  { echo "the bash completion offered: $offered" >&2; exit 1; }
unset ZOLTCFG_HOME ZOLTCFG_RUNTIME_DIR ZOLTCFG_REGISTRY
# The system service: the unit passes systemd's own check where systemd is there, and the Debian
# package holds the programs, the library, the unit, the sysusers and tmpfiles entries.
for f in bin/zoltcfgd bin/zoltcfg lib/systemd/system/zoltcfgd.service lib/sysusers.d/zoltcfg.conf \
         lib/tmpfiles.d/zoltcfg.conf share/zoltcfg/config/dbconf_Conf.xml share/man/man1/zoltcfg.1 \
         share/man/man8/zoltcfgd.8 share/bash-completion/completions/zoltcfg; do
  [ -f "$prefix/$f" ] || { echo "cmake --install did not lay out $f" >&2; exit 1; }
done
if command -v systemd-analyze >/dev/null; then
  MANPATH="$prefix/share/man" systemd-analyze verify "$prefix/lib/systemd/system/zoltcfgd.service"
fi
(cd build/release && rm -f zoltcfg_*.deb && cpack -G DEB >/dev/null)
dpkg-deb -c build/release/zoltcfg_*.deb | awk '{print $6}' >"$prefix/deb.list"
for f in ./usr/bin/zoltcfgd ./usr/bin/zoltcfg ./usr/lib/libzoltcfg.so.1.0.0 ./usr/include/zoltcfg/cfg_Client.h \
         ./usr/lib/systemd/system/zoltcfgd.service ./usr/lib/sysusers.d/zoltcfg.conf \
         ./usr/lib/tmpfiles.d/zoltcfg.conf; do
  grep -qx "$f" "$prefix/deb.list" || { echo "the Debian package lacks $f" >&2; exit 1; }
done
dpkg-deb --fsys-tarfile build/release/zoltcfg_*.deb | tar xO ./usr/lib/systemd/system/zoltcfgd.service |
  grep -qx "ExecStart=/usr/bin/zoltcfgd --home /var/lib/zoltcfg --runtime-dir /run/zoltcfg" ||
  { echo "the packaged unit does not start /usr/bin/zoltcfgd" >&2; exit 1; }
echo "Debian package: $(ls build/release/zoltcfg_*.deb), $(wc -l <"$prefix/deb.list") entries"

echo "== hostile clients: 1,000 connections against a daemon (peak memory, normal client's p99) =="
ZOLT_BUILD_DIR=build/release timeout 120 bash scripts/probe-hostile.sh

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
build build/asan -DCMAKE_BUILD_TYPE=Debug -DZOLT_SANITIZE=address,undefined -DZOLT_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  suite build/asan

echo "== ThreadSanitizer (concurrency tests) =="
# Only the suites that hold concurrency tests are built here; the concurrency tests, the
# caching proxy's tests (a notification thread against readers) and the replicate command's (its
# reader thread, in a child process whose race would end it with TSan's exit code) run.
build build/tsan -DCMAKE_BUILD_TYPE=Debug -DZOLT_SANITIZE=thread -DZOLT_BENCH=OFF -- \
  $(grep -l Concurren tests/*/*.cpp tests/*/*/*.cpp | xargs -n1 dirname | sort -u |
    sed -e 's|^tests/outside/|test_|' -e 's|^tests/|test_|') test_cli zoltcfg zoltcfgd
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j"$jobs" \
  -R 'Concurren|^Proxy|^CliReplicate'

echo "== libFuzzer: the request dispatcher (300,000 inputs) and the frame reader (200,000), fixed seeds =="
# A fixed seed and input count make the run repeatable: a finding here is found again by the
# same command. Longer runs with random seeds are for hunting: drop -seed and -runs.
CXX=clang++ build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOLT_FUZZ=ON -DZOLT_BENCH=OFF \
  -DZOLT_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -- dispatch_fuzz \
  frame_fuzz
build/fuzz/dispatch_fuzz -seed=1 -runs=300000 -max_total_time=300 -max_len=512 -timeout=10 \
  -print_final_stats=1
build/fuzz/frame_fuzz -seed=1 -runs=200000 -max_total_time=120 -max_len=4096 -timeout=10 \
  -print_final_stats=1

echo "== newcomer test (a fresh clone, README's commands as written) =="
bash scripts/newcomer-test.sh
