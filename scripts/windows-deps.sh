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
#   - libargon2 (static), for KDBX's Argon2d and Argon2id with several lanes: the
#     reference library from the source of Debian's argon2 package or, where a
#     mirror lacks that package's upstream tarball, the same reference library
#     as Debian's cryptsetup source carries it (lib/crypto_backend/argon2);
#     compiled as Debian builds it (SSE2 code on x86_64, portable code on i686);
#   - zlib (static), for KDBX's gzip payload: the source of Debian's zlib package;
#   - expat (static), for KDBX's XML: the source of Debian's expat package,
#     cross-built with its CMake;
#   - utf8proc (static), for Unicode normalisation: the source of Debian's
#     utf8proc package, cross-built with its CMake;
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

. scripts/debian-sources.sh

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
  rm -f "$deps/.argon2-apart-done" # a fresh archive has its Argon2 under the shared names again
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

if [ ! -f "$deps/.argon2-done" ]; then
  add_deb_src
  echo "== libargon2 from Debian's source package, for $triplet"
  rm -rf "$work/argon2-src" "$work/argon2-build" && mkdir -p "$work/argon2-src" "$work/argon2-build"
  if (cd "$work/argon2-src" && apt-get source -qq argon2 >/dev/null 2>&1); then
    a2=$(find "$work/argon2-src" -mindepth 1 -maxdepth 1 -type d -name 'argon2-*' | head -n 1)
    a2src=$a2/src
    a2inc=$a2/include
  else
    echo "   (argon2's upstream tarball is not on the mirror: the copy in cryptsetup's source)"
    rm -rf "$work/argon2-src" && mkdir -p "$work/argon2-src"
    (cd "$work/argon2-src" && apt-get source -qq cryptsetup >/dev/null)
    a2=$(find "$work/argon2-src" -mindepth 1 -maxdepth 1 -type d -name 'cryptsetup-*' | head -n 1)
    a2src=$a2/lib/crypto_backend/argon2
    a2inc=$a2src
  fi
  if [ "$arch" = x86_64 ]; then a2core=opt.c; else a2core=ref.c; fi
  objs=()
  for c in argon2.c core.c blake2/blake2b.c thread.c encoding.c "$a2core"; do
    o="$work/argon2-build/$(basename "$c" .c).o"
    $triplet-gcc-posix -O3 -std=c89 -c "$a2src/$c" -o "$o" -I"$a2inc" -I"$a2src" -I"$a2src/blake2"
    objs+=("$o")
  done
  mkdir -p "$deps/lib/pkgconfig" "$deps/include"
  rm -f "$deps/lib/libargon2.a"
  $triplet-ar rcs "$deps/lib/libargon2.a" "${objs[@]}"
  cp "$a2inc/argon2.h" "$deps/include/"
  cat >"$deps/lib/pkgconfig/libargon2.pc" <<PC
prefix=$deps
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libargon2
Description: Argon2 reference library (static, from Debian's source)
Version: 20171227
Libs: -L\${libdir} -largon2
Cflags: -I\${includedir}
PC
  touch "$deps/.argon2-done"
fi

# libsodium carries its own copy of Argon2 (Argon2i and Argon2id only) under
# the reference library's names: argon2_ctx, fill_memory_blocks and sixteen
# more. Shared libraries keep that copy private; two static archives do not,
# and the linker takes whichever it meets first, so that KDBX's Argon2d went to
# libsodium's argon2_ctx (which knows no Argon2d) with the reference library's
# context. libsodium's copy is renamed, definitions and calls alike, and no
# symbol may be defined by both archives afterwards.
if [ ! -f "$deps/.argon2-apart-done" ]; then
  echo "== libsodium's own Argon2 renamed apart from libargon2's, for $triplet"
  defined() { $triplet-nm --defined-only -g "$1" | awk 'NF == 3 {print $3}' | sort -u; }
  comm -12 <(defined "$deps/lib/libsodium.a") <(defined "$deps/lib/libargon2.a") |
    awk '{print $1, "kl_sodium_" $1}' >"$work/sodium-renames.txt"
  if [ -s "$work/sodium-renames.txt" ]; then
    $triplet-objcopy --redefine-syms="$work/sodium-renames.txt" "$deps/lib/libsodium.a"
  fi
  clashes=$(comm -12 <(defined "$deps/lib/libsodium.a") <(defined "$deps/lib/libargon2.a"))
  if [ -n "$clashes" ]; then
    echo "windows-deps: libsodium and libargon2 still both define: $clashes" >&2
    exit 1
  fi
  touch "$deps/.argon2-apart-done"
fi

if [ ! -f "$deps/.zlib-done" ]; then
  add_deb_src
  echo "== zlib from Debian's source package, for $triplet"
  rm -rf "$work/zlib-src" "$work/zlib-build" && mkdir -p "$work/zlib-src" "$work/zlib-build"
  (cd "$work/zlib-src" && apt-get source -qq zlib >/dev/null)
  src=$(find "$work/zlib-src" -mindepth 1 -maxdepth 1 -type d -name 'zlib-*' | head -n 1)
  # Debian's source drops the Windows makefiles; the library is its fifteen C files.
  objs=()
  for c in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees \
           uncompr zutil; do
    $triplet-gcc-posix -O2 -c "$src/$c.c" -o "$work/zlib-build/$c.o" -I"$src"
    objs+=("$work/zlib-build/$c.o")
  done
  mkdir -p "$deps/lib/pkgconfig" "$deps/include"
  rm -f "$deps/lib/libz.a"
  $triplet-ar rcs "$deps/lib/libz.a" "${objs[@]}"
  cp "$src/zlib.h" "$src/zconf.h" "$deps/include/"
  version=$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' "$src/zlib.h")
  cat >"$deps/lib/pkgconfig/zlib.pc" <<PC
prefix=$deps
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: zlib
Description: zlib compression library (static, from Debian's source)
Version: $version
Libs: -L\${libdir} -lz
Cflags: -I\${includedir}
PC
  touch "$deps/.zlib-done"
fi

if [ ! -f "$deps/.expat-done" ]; then
  add_deb_src
  echo "== expat from Debian's source package, for $triplet"
  rm -rf "$work/expat-src" "$work/expat-build" && mkdir -p "$work/expat-src"
  (cd "$work/expat-src" && apt-get source -qq expat >/dev/null)
  src=$(find "$work/expat-src" -mindepth 1 -maxdepth 1 -type d -name 'expat-*' | head -n 1)
  cmake -S "$src/expat" -B "$work/expat-build" "${cross[@]}" -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF \
    -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_FUZZERS=OFF \
    -DEXPAT_BUILD_PKGCONFIG=ON >/dev/null
  # Debian's patches test "#if XML_DTD == 1", as its autotools build defines it;
  # the CMake build defines the macro empty.
  sed -i 's|^#define XML_DTD *$|#define XML_DTD 1|' "$work/expat-build/expat_config.h"
  grep -qx '#define XML_DTD 1' "$work/expat-build/expat_config.h"
  cmake --build "$work/expat-build" -j "$jobs"
  cmake --install "$work/expat-build" >/dev/null
  # Consumers of the static library must not declare its functions as DLL imports.
  sed -i 's|^Cflags: -I${includedir} *$|Cflags: -I${includedir} -DXML_STATIC|' "$deps/lib/pkgconfig/expat.pc"
  touch "$deps/.expat-done"
fi

if [ ! -f "$deps/.utf8proc-done" ]; then
  add_deb_src
  echo "== utf8proc from Debian's source package, for $triplet"
  rm -rf "$work/utf8proc-src" "$work/utf8proc-build" && mkdir -p "$work/utf8proc-src"
  (cd "$work/utf8proc-src" && apt-get source -qq utf8proc >/dev/null)
  src=$(find "$work/utf8proc-src" -mindepth 1 -maxdepth 1 -type d -name 'utf8proc-*' | head -n 1)
  cmake -S "$src" -B "$work/utf8proc-build" "${cross[@]}" -DBUILD_SHARED_LIBS=OFF -DUTF8PROC_ENABLE_TESTING=OFF >/dev/null
  cmake --build "$work/utf8proc-build" -j "$jobs"
  cmake --install "$work/utf8proc-build" >/dev/null
  # Consumers of the static library must not declare its functions as DLL imports or exports.
  sed -i 's|^Cflags: -I${includedir} .*$|Cflags: -I${includedir} -DUTF8PROC_STATIC|' "$deps/lib/pkgconfig/libutf8proc.pc"
  touch "$deps/.utf8proc-done"
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
