#!/usr/bin/env bash
# Installs the built library into a scratch prefix, checks that it declares
# every library it links, then runs the consumer projects against it
# (consumers.sh: CMake, pkg-config for C++ and C, Python, klpass).
set -euo pipefail
build_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
libdir=$(find "$work/prefix" -name 'libklpassword.so' -printf '%h\n' | head -n 1)

# Every library the installed one links is declared: in klpassword.pc (so that
# pkg-config --static names it) and, module for module, in the CMake package.
requires=$(sed -n 's/^Requires.private: *//p' "$libdir/pkgconfig/klpassword.pc")
declared=" $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --static --libs-only-l klpassword) "
for needed in $(readelf -d "$libdir/libklpassword.so" | sed -n 's/.*Shared library: \[lib\([^.]*\)\.so.*/\1/p'); do
  case $needed in c | m | stdc++ | gcc_s | pthread | dl | rt) continue ;; esac
  [[ "$declared" == *" -l$needed "* ]] || { echo "linked but not in klpassword.pc: lib$needed" >&2; exit 1; }
done
config=$(find "$work/prefix" -name 'KLPasswordConfig.cmake' | head -n 1)
for module in $requires; do
  grep -q "IMPORTED_TARGET $module)" "$config" || { echo "not in the CMake package: $module" >&2; exit 1; }
done
# klpass is installed with its completion scripts and manual page, where built.
if [ -e "$build_dir/examples/klpass" ]; then
  for file in bin/klpass share/man/man1/klpass.1 share/bash-completion/completions/klpass \
    share/zsh/vendor-completions/_klpass share/fish/vendor_completions.d/klpass.fish; do
    [ -e "$work/prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
  done
fi

"$here/consumers.sh" "$work/prefix"
