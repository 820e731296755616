#!/usr/bin/env bash
# Builds the Windows variant with the MinGW-w64 cross compiler (warnings as
# errors) and runs its whole test suite under Wine, headless, in a private Wine
# prefix under the build folder. Installs what it needs (Debian 12).
#
# Usage: scripts/test-windows.sh [x86_64] [i686]   (default: x86_64, and i686
# too when 32-bit Wine can be installed). KL_WINDOWS_ARCHS overrides the list.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/ccache.sh
. scripts/ccache.sh
./scripts/setup.sh

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# A mirror caught mid-sync fails an index now and then; try again, then go on
# with the indexes at hand (an install that still needs a missing one fails).
apt_update() {
  local try
  for try in 1 2 3; do
    $SUDO apt-get update -qq && return 0
    echo "test-windows: apt-get update failed (try $try of 3)" >&2
    sleep $((try * 15))
  done
  echo "test-windows: going on with the package indexes at hand" >&2
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
apt_install() {
  local missing=()
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  if ((${#missing[@]})); then
    apt_update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

archs=("$@")
named=$#
[ -z "${KL_WINDOWS_ARCHS:-}" ] || named=1 # a list the caller chose is required too
[ ${#archs[@]} -gt 0 ] || read -r -a archs <<<"${KL_WINDOWS_ARCHS:-x86_64 i686}"

apt_install g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev googletest autoconf automake libtool make tcl
if [[ " ${archs[*]} " == *" i686 "* ]]; then
  # 32-bit Windows programs need Debian's 32-bit Wine, from the i386 architecture.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    apt_update
  fi
  # Named on the command line, the 32-bit stage is required; by default it runs
  # where 32-bit Wine can be installed and run, and is skipped, loudly, elsewhere
  # (a kernel without 32-bit support installs wine32 but refuses its loader).
  why=
  if ! apt_install g++-mingw-w64-i686-posix wine32:i386; then
    why="32-bit Wine cannot be installed here"
  elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    why="32-bit Wine is installed but this kernel cannot run it ($( (/usr/lib/wine/wine --version 2>&1 || true) | head -n 1))"
  fi
  if [ -n "$why" ]; then
    [ "$named" -eq 0 ] || { echo "test-windows: $why" >&2; exit 1; }
    echo "test-windows: WARNING: $why; the i686 stage is skipped" >&2
    archs=(x86_64)
  fi
fi

jobs=$(nproc)

# The Linux build of the file-format tool, for the cross-platform check (the
# same configuration as scripts/test.sh, so after it only the tool is built).
echo "== Linux build of the file-format tool"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKL_WARNINGS_AS_ERRORS=ON \
  -DKL_BUILD_BENCH=ON >/dev/null
cmake --build build/release -j "$jobs" --target klpassword_interop
interop=(-DKL_INTEROP_LINUX_TOOL="$PWD/build/release/tests/klpassword_interop")

for arch in "${archs[@]}"; do
  build=build/windows-$arch
  echo "== Windows $arch: dependencies"
  ./scripts/windows-deps.sh "$arch"
  echo "== Windows $arch: build"
  # Optimised as the Linux build is (-O2), without debug information: the cross
  # build is the slow part of CI. (GCC 12 at -O3 reports bounds warnings on
  # standard-library code that cannot happen, which -Werror would turn fatal.)
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DKL_WARNINGS_AS_ERRORS=ON "${interop[@]}" >/dev/null
  cmake --build "$build" -j "$jobs"
  echo "== Windows $arch: tests under Wine"
  status=0
  ctest --test-dir "$build" -j "$jobs" --output-on-failure || status=$?
  # Wine's server outlives its last program by a few seconds; stop it now.
  WINEPREFIX="$PWD/$build/wineprefix" wineserver -k 2>/dev/null || true
  [ "$status" -eq 0 ] || exit "$status"
done
