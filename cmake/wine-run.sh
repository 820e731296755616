#!/bin/sh
# Runs a Windows program under Wine for CTest and test discovery:
#   wine-run.sh [--arch=x86_64|i686] PREFIX DLL-DIR... -- PROGRAM ARGS...
# PREFIX is a private Wine prefix (made on first use, under a lock so that
# parallel tests do not race to create it). The DLL folders go on WINEPATH so
# the compiler's runtime DLLs are found. No X display is used.
#
# The architecture picks Wine's loader itself. Debian's `wine` command takes the
# 32-bit loader whenever wine32 is installed, even for a 64-bit program, and a
# kernel without 32-bit support refuses that loader ("Exec format error"):
# every 64-bit test would fail at once on such a machine.
set -eu
arch=
case ${1:-} in
  --arch=*) arch=${1#--arch=}; shift ;;
esac
case $arch in
  x86_64) loader=/usr/lib/wine/wine64 ;;
  i686 | x86) loader=/usr/lib/wine/wine ;;
  *) loader= ;;
esac
if [ -n "$loader" ] && [ -x "$loader" ]; then
  export WINELOADER="$loader"
else
  loader=wine # another layout: its own command decides
fi
prefix=$1
shift
winepath=
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case $1 in
    *.exe | *.EXE) break ;;
  esac
  winepath=${winepath:+$winepath;}$1
  shift
done
[ "${1:-}" = "--" ] && shift

export WINEPREFIX="$prefix" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$prefix")"
# The prefix is made for the Wine that is installed; a prefix left by another
# Wine (say, made before 32-bit Wine was added) is made again from scratch, as
# is a half-made one (an interrupted run). Making it must not see the extra
# DLL folders, and Wine's server must not inherit the lock.
wine_id=$("$loader" --version 2>/dev/null; ls /usr/lib/wine /usr/lib/i386-linux-gnu/wine 2>/dev/null | tr '\n' ' ')
if [ "$(cat "$prefix/.kl-ready" 2>/dev/null)" != "$wine_id" ]; then
  (
    flock 9
    if [ "$(cat "$prefix/.kl-ready" 2>/dev/null)" != "$wine_id" ]; then
      if [ -e "$prefix" ]; then
        wineserver -k >/dev/null 2>&1 9>&- || true
        rm -rf "$prefix"
      fi
      "$loader" wineboot.exe -i >/dev/null 2>&1 9>&- ||
        { echo "wine-run.sh: cannot make the Wine prefix $prefix with $loader" >&2; exit 1; }
      printf '%s' "$wine_id" >"$prefix/.kl-ready"
    fi
  ) 9>"$prefix.lock"
fi
# One server for the whole run: it stays 30 seconds after its last program
# (Wine's default of 3 lets a program started just then lose its server); an
# already running server makes this call a no-op. Wine's own background
# programs are started here too, with no output, so that they never hold the
# test's output open after the test has ended (CTest would wait for them).
wineserver -p30 >/dev/null 2>&1 || true
"$loader" wineboot.exe >/dev/null 2>&1 </dev/null || true
export WINEPATH="$winepath"
exec "$loader" "$@"
