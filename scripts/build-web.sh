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
. scripts/debian-sources.sh

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
  add_deb_src
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

if [ ! -f "$deps/.utf8proc-done" ]; then
  add_deb_src
  echo "== utf8proc from Debian's source package, for WebAssembly"
  rm -rf "$work/utf8proc-src" && mkdir -p "$work/utf8proc-src"
  (cd "$work/utf8proc-src" && apt-get source -qq utf8proc >/dev/null 2>&1)
  src=$(find "$work/utf8proc-src" -mindepth 1 -maxdepth 1 -type d -name 'utf8proc-*' | head -n 1)
  emcmake cmake -S "$src" -B "$work/utf8proc-build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF -DCMAKE_C_FLAGS="-flto" -DUTF8PROC_ENABLE_TESTING=OFF >/dev/null
  cmake --build "$work/utf8proc-build" -j "$jobs" >/dev/null
  cmake --install "$work/utf8proc-build" >/dev/null
  touch "$deps/.utf8proc-done"
  echo "-- utf8proc: $((SECONDS - start)) s"
fi

step=$SECONDS
emcmake cmake -S web -B "$out/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKL_WEB_DEPS="$deps" \
  -DKL_WEB_OUTPUT="$out" -DKL_WEB_OPTIMIZE="${KL_WEB_OPTIMIZE:--O3}" >/dev/null
cmake --build "$out/cmake" -j "$jobs"
echo "-- web build: $((SECONDS - step)) s (all: $((SECONDS - start)) s)"
