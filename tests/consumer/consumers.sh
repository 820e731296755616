#!/usr/bin/env bash
# Builds and runs the consumer projects against an installed library, as its
# users would: a C++ project through find_package(KLPassword), the same
# program through pkg-config's klpassword, a C program through klpassword-c,
# the Python package (built against the installed library for a prefix, or
# the one installed with it for the system), and klpass with its manual page
# and bash completion. Each checks what it computed, not only that it built.
# Usage: consumers.sh PREFIX  (PREFIX /usr: what the Debian packages installed)
set -euo pipefail
prefix=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python=/usr/bin/python3 # Debian's, which sees Debian's pip and setuptools

if [ "$prefix" = /usr ]; then
  libdir=$(pkg-config --variable=libdir klpassword)
  run_env=()
else
  libdir=$(find "$prefix" -name 'libklpassword.so' -printf '%h\n' | head -n 1)
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  run_env=(env "LD_LIBRARY_PATH=$libdir")
fi

cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"${run_env[@]}" "$work/cmake-build/consumer"
# shellcheck disable=SC2046
c++ "$here/main.cpp" -o "$work/pc-consumer" $(pkg-config --cflags --libs klpassword)
"${run_env[@]}" "$work/pc-consumer"
# shellcheck disable=SC2046
cc -std=c99 -pedantic -Wall -Werror "$here/main.c" -o "$work/c-consumer" $(pkg-config --cflags --libs klpassword-c)
"${run_env[@]}" "$work/c-consumer"

# Python: for a prefix, the package is built from python/ against the
# installed library (found through pkg-config's klpassword-c) into a virtual
# environment; it must load the prefix's library and no other copy.
if [ "$prefix" = /usr ]; then
  loaded=$(cd "$work" && "$python" "$here/probe.py")
  [ "$loaded" = "$(realpath "$libdir/libklpassword.so.1")" ] || { echo "python loaded $loaded" >&2; exit 1; }
else
  cp -r "$root/python" "$work/python-src"
  rm -rf "$work/python-src/build" "$work/python-src/tests"
  "$python" -m venv --system-site-packages --without-pip "$work/venv"
  (cd "$work" && KLPASSWORD_USE_INSTALLED=1 "$work/venv/bin/python" -m pip install --quiet --no-build-isolation \
    --no-index --no-deps "$work/python-src" >/dev/null)
  loaded=$(cd "$work" && "$work/venv/bin/python" "$here/probe.py")
  [ "$loaded" = "$(realpath "$libdir/libklpassword.so.1")" ] || { echo "python loaded $loaded" >&2; exit 1; }
fi
echo "Python consumer: verified a hash, refused 'password', loaded $loaded"

# klpass as installed: an action's help, the manual page, and the completion
# bash loads by the command's name.
klpass=$prefix/bin/klpass
if [ ! -x "$klpass" ]; then
  echo "consumers passed against $prefix (klpass not installed)"
  exit 0
fi
"${run_env[@]}" "$klpass" vault show --help | grep -qF "vault show FILE RECORD" || { echo "klpass help" >&2; exit 1; }
[ "$("${run_env[@]}" "$klpass" generate --length 24 | tr -d '\n' | wc -c)" -eq 24 ] || { echo "klpass generate" >&2; exit 1; }
# (a package installs it compressed)
page=$(find "$prefix/share/man/man1" -name 'klpass.1*' | head -n 1)
[ -n "$page" ] || { echo "no manual page" >&2; exit 1; }
zcat -f "$page" | grep -q '^\.SS vault' || { echo "the manual page lacks the vault command" >&2; exit 1; }
if command -v groff >/dev/null; then
  zcat -f "$page" | groff -man -Tutf8 -ww -z 2>&1 | { ! grep .; } || { echo "man page warns" >&2; exit 1; }
fi
completion=$prefix/share/bash-completion/completions/klpass
offered=$(bash -c 'source "$1"; COMP_WORDS=(klpass vault show f --); COMP_CWORD=4; _klpass; echo "${COMPREPLY[*]}"' _ "$completion")
[ "$offered" = "--group --reveal --json --field --help" ] || { echo "completion offers: $offered" >&2; exit 1; }
echo "klpass: help, manual page and completion as installed"
echo "consumers passed against $prefix"
