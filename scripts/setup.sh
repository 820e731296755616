#!/usr/bin/env bash
# Installs what building, testing and benchmarking need (Debian 12). Safe to
# run again; it skips apt when everything is already there.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libpcre2-dev googletest libgtest-dev
          libbenchmark-dev libssl-dev clang lld libclang-rt-14-dev
          libsodium-dev argon2 python3-argon2 gdb)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
