#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need (only those missing).
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
      libgtest-dev libgmock-dev libbenchmark-dev
      libspdlog-dev libfmt-dev libsqlite3-dev libpq-dev postgresql libpugixml-dev libasio-dev
      libcli11-dev nlohmann-json3-dev libsystemd-dev libcpp-httplib-dev dpkg-dev sqlite3 help2man
      libssl-dev openssl
      rsync)  # rsync: only the floor of the folder-mirror benchmark
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
