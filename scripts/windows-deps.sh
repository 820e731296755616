#!/usr/bin/env bash
# Builds the test and runtime dependencies for a Windows target from Debian's
# own packages, into build/windows-deps/<triplet> (or $KL_WINDOWS_DEPS):
#   - PCRE2 (16-bit library only, static): the source of Debian's pcre2
#     package (apt-get source, through a deb-src entry added when missing),
#     cross-built with its CMake;
#   - libsodium (static), for Argon2id: the source of Debian's libsodium package,
#     cross-built with its configure script;
#   - SQLite (static), for the SQLite user database: the amalgamation (one
#     sqlite3.c) generated from the source of Debian's sqlite3 package on this
#     machine (its build needs tclsh), then cross-compiled;
#   - GoogleTest: Debian's googletest sources in /usr/src/googletest.
# Usage: scripts/windows-deps.sh [x86_64|i686]. Skips what is already built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=${1:-x86_64}
triplet=$arch-w64-mingw32
deps=${KL_WINDOWS_DEPS:-$root/build/windows-deps/$triplet}
work=$root/build/windows-deps/work-$triplet
toolchain=$root/cmake/toolchain-mingw-w64-$arch.cmake
jobs=$(nproc)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKL_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release
       -DCMAKE_INSTALL_PREFIX="$deps")
mkdir -p "$work" "$deps"

# Source packages need a deb-src entry; add one beside the binary entries.
add_deb_src() {
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
}

if [ ! -f "$deps/.pcre2-done" ]; then
  add_deb_src
  echo "== PCRE2 from Debian's source package, for $triplet"
  rm -rf "$work/pcre2-src" && mkdir -p "$work/pcre2-src"
  (cd "$work/pcre2-src" && apt-get source -qq pcre2 >/dev/null)
  src=$(find "$work/pcre2-src" -mindepth 1 -maxdepth 1 -type d -name 'pcre2-*' | head -n 1)
  cmake -S "$src" -B "$work/pcre2-build" "${cross[@]}" -DBUILD_SHARED_LIBS=OFF \
    -DPCRE2_BUILD_PCRE2_8=OFF -DPCRE2_BUILD_PCRE2_16=ON -DPCRE2_BUILD_PCRE2_32=OFF -DPCRE2_SUPPORT_JIT=ON \
    -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SUPPORT_LIBBZ2=OFF -DPCRE2_SUPPORT_LIBZ=OFF \
    -DPCRE2_SUPPORT_LIBEDIT=OFF -DPCRE2_SUPPORT_LIBREADLINE=OFF >/dev/null
  cmake --build "$work/pcre2-build" -j "$jobs"
  cmake --install "$work/pcre2-build" >/dev/null
  # Consumers of the static library must not declare its functions as DLL imports.
  sed -i 's|^Cflags: -I${includedir} *$|Cflags: -I${includedir} -DPCRE2_STATIC|' "$deps/lib/pkgconfig/libpcre2-16.pc"
  touch "$deps/.pcre2-done"
fi

if [ ! -f "$deps/.sodium-done" ]; then
  add_deb_src
  echo "== libsodium from Debian's source package, for $triplet"
  rm -rf "$work/sodium-src" && mkdir -p "$work/sodium-src"
  (cd "$work/sodium-src" && apt-get source -qq libsodium >/dev/null)
  src=$(find "$work/sodium-src" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-*' | head -n 1)
  # The source package ships no configure script: Debian's build makes it.
  (cd "$src" && autoreconf -fi >/dev/null 2>&1)
  # Out of the source tree; the posix-thread compiler as the rest of the build.
  mkdir -p "$work/sodium-build"
  (cd "$work/sodium-build" &&
    CC=$triplet-gcc-posix "$src/configure" --host="$triplet" --prefix="$deps" --disable-shared --enable-static \
      --disable-dependency-tracking --quiet >/dev/null &&
    make -s -j "$jobs" >/dev/null && make -s install >/dev/null)
  # Consumers of the static library must not declare its functions as DLL imports.
  sed -i 's|^Cflags: -I${includedir} *$|Cflags: -I${includedir} -DSODIUM_STATIC|' "$deps/lib/pkgconfig/libsodium.pc"
  touch "$deps/.sodium-done"
fi

if [ ! -f "$deps/.sqlite-done" ]; then
  add_deb_src
  echo "== SQLite from Debian's source package, for $triplet"
  rm -rf "$work/sqlite-src" "$work/sqlite-build" && mkdir -p "$work/sqlite-src" "$work/sqlite-build"
  (cd "$work/sqlite-src" && apt-get source -qq sqlite3 >/dev/null)
  src=$(find "$work/sqlite-src" -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
  (cd "$work/sqlite-build" && "$src/configure" --quiet >/dev/null && make -s sqlite3.c >/dev/null)
  # As Debian builds it, less what a user database never needs (extensions
  # loaded at run time, double-quoted string literals).
  $triplet-gcc-posix -O2 -c "$work/sqlite-build/sqlite3.c" -o "$work/sqlite-build/sqlite3.o" \
    -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DQS=0 -DSQLITE_ENABLE_COLUMN_METADATA
  mkdir -p "$deps/lib/pkgconfig" "$deps/include"
  rm -f "$deps/lib/libsqlite3.a"
  $triplet-ar rcs "$deps/lib/libsqlite3.a" "$work/sqlite-build/sqlite3.o"
  cp "$work/sqlite-build/sqlite3.h" "$src/src/sqlite3ext.h" "$deps/include/" 2>/dev/null ||
    cp "$work/sqlite-build/sqlite3.h" "$deps/include/"
  version=$(cat "$src/VERSION")
  cat >"$deps/lib/pkgconfig/sqlite3.pc" <<PC
prefix=$deps
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: SQLite
Description: SQL database engine (static, from Debian's source)
Version: $version
Libs: -L\${libdir} -lsqlite3
Cflags: -I\${includedir}
PC
  touch "$deps/.sqlite-done"
fi

if [ ! -f "$deps/.googletest-done" ]; then
  echo "== GoogleTest from /usr/src/googletest, for $triplet"
  cmake -S /usr/src/googletest -B "$work/googletest-build" "${cross[@]}" -DBUILD_GMOCK=OFF \
    -DBUILD_SHARED_LIBS=OFF >/dev/null
  cmake --build "$work/googletest-build" -j "$jobs"
  cmake --install "$work/googletest-build" >/dev/null
  touch "$deps/.googletest-done"
fi
echo "== dependencies for $triplet in $deps"
