#!/usr/bin/env bash
# Builds the WebAssembly edition (web/): the policy checks, the strength
# estimator and the generator, with Debian's emscripten, into build/web:
#   build/web/package  the npm package folder (ES module, TypeScript
#                      declarations, the .wasm beside it);
#   build/web/site     the demonstration page with the package under it.
# PCRE2 (16-bit, static, no JIT) is built first from the source of Debian's
# pcre2 package into build/web-deps, as the Windows build does. Skips what is
# built already. Usage: scripts/build-web.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
deps=${KL_WEB_DEPS:-$root/build/web-deps}
work=$deps/work
out=${KL_WEB_BUILD:-$root/build/web}
jobs=${KL_WEB_JOBS:-$(nproc)}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if ! command -v emcmake >/dev/null; then
  echo "build-web: emscripten is not installed (scripts/setup.sh installs it)" >&2
  exit 2
fi
# Debian's emscripten runs its JavaScript tools with node; a node that is not
# Debian's finds Debian's node modules only through NODE_PATH.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}
# Debian's emscripten comes with its C and C++ libraries built (a frozen
# cache): nothing is built on first use but PCRE2 and our own sources.

start=$SECONDS
if [ ! -f "$deps/.pcre2-done" ]; then
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "== adding a deb-src entry for Debian's sources"
    $SUDO tee /etc/apt/sources.list.d/klpassword-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    $SUDO apt-get update -qq
  fi
  echo "== PCRE2 from Debian's source package, for WebAssembly"
  rm -rf "$work/pcre2-src" && mkdir -p "$work/pcre2-src"
  (cd "$work/pcre2-src" && apt-get source -qq pcre2 >/dev/null 2>&1)
  src=$(find "$work/pcre2-src" -mindepth 1 -maxdepth 1 -type d -name 'pcre2-*' | head -n 1)
  emcmake cmake -S "$src" -B "$work/pcre2-build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF -DCMAKE_C_FLAGS="-flto" \
    -DPCRE2_BUILD_PCRE2_8=OFF -DPCRE2_BUILD_PCRE2_16=ON -DPCRE2_BUILD_PCRE2_32=OFF -DPCRE2_SUPPORT_JIT=OFF \
    -DPCRE2_SUPPORT_UNICODE=ON -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SUPPORT_LIBBZ2=OFF \
    -DPCRE2_SUPPORT_LIBZ=OFF -DPCRE2_SUPPORT_LIBEDIT=OFF -DPCRE2_SUPPORT_LIBREADLINE=OFF >/dev/null
  cmake --build "$work/pcre2-build" -j "$jobs" >/dev/null
  cmake --install "$work/pcre2-build" >/dev/null
  touch "$deps/.pcre2-done"
  echo "-- PCRE2: $((SECONDS - start)) s"
fi

step=$SECONDS
emcmake cmake -S web -B "$out/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKL_WEB_DEPS="$deps" \
  -DKL_WEB_OUTPUT="$out" -DKL_WEB_OPTIMIZE="${KL_WEB_OPTIMIZE:--O3}" >/dev/null
cmake --build "$out/cmake" -j "$jobs"
echo "-- web build: $((SECONDS - step)) s (all: $((SECONDS - start)) s)"
