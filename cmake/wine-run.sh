#!/bin/sh
# Runs a Windows program under Wine for CTest and test discovery:
#   wine-run.sh PREFIX DLL-DIR... -- PROGRAM ARGS...
# PREFIX is a private Wine prefix (made on first use, under a lock so that
# parallel tests do not race to create it). The DLL folders go on WINEPATH so
# the compiler's runtime DLLs are found. No X display is used.
set -eu
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
if [ ! -f "$prefix/.kl-ready" ]; then
  (
    flock 9
    if [ ! -f "$prefix/.kl-ready" ]; then
      # A half-made prefix (an interrupted run) is made again from scratch.
      # Wine's server must not inherit the lock, and making the prefix must
      # not see the extra DLL folders.
      if ! wineboot -i >/dev/null 2>&1 9>&-; then
        wineserver -k >/dev/null 2>&1 9>&- || true
        rm -rf "$prefix"
        wineboot -i >/dev/null 2>&1 9>&- || { echo "wine-run.sh: cannot make the Wine prefix $prefix" >&2; exit 1; }
      fi
      touch "$prefix/.kl-ready"
    fi
  ) 9>"$prefix.lock"
fi
export WINEPATH="$winepath"
exec wine "$@"
