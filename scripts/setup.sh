#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# With the argument `bench` it also installs what only the benchmarks need
# (SQLite, the peer of bench/engine_bench); with `fuzz`, what the fuzz
# targets need (clang and its runtime libraries, libFuzzer among them).
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev groff-base)
if [[ ${1:-} == bench ]]; then packages+=(libsqlite3-dev); fi
if [[ ${1:-} == fuzz ]]; then packages+=(clang-14 libclang-rt-14-dev); fi
need=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    need+=("$pkg")
  fi
done
if ((${#need[@]})); then
  echo "setup: installing ${need[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${need[@]}"
fi
