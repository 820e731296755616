#!/usr/bin/env bash
# Installs what building, testing and benchmarking need (Debian 12). Safe to
# run again; it skips apt when everything is already there.
set -euo pipefail

packages=(build-essential ccache cmake ninja-build pkg-config libpcre2-dev googletest libgtest-dev
          libbenchmark-dev libssl-dev clang lld libclang-rt-14-dev
          libsodium-dev argon2 python3-argon2 gdb abigail-tools
          python3-pytest python3-django python3-pip python3-setuptools python3-venv python3-zxcvbn)
# The user databases on SQLite and PostgreSQL, and the server their tests start.
packages+=(libsqlite3-dev libpq-dev postgresql)
# The peer the KeePassXC exchange tests run.
packages+=(keepassxc)
# The WebAssembly edition (scripts/build-web.sh) and its browser test.
packages+=(emscripten chromium)
# KDBX: Argon2d and lanes, gzip, XML; pykeepass as the second peer program.
packages+=(libargon2-dev zlib1g-dev libexpat1-dev python3-pykeepass)
# Unicode normalisation of passwords and user names.
packages+=(libutf8proc-dev)
# The C interface's reference (scripts/docs.sh).
packages+=(doxygen)
# The Debian packages (scripts/test-packages.sh): their build, its checker,
# and the completion the klpass package's script is sourced with.
packages+=(debhelper devscripts lintian dh-python python3-all fakeroot bash-completion groff-base)

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

# The reference strength estimator that the tests compare with: node and the
# zxcvbn 4.4.2 npm package in build/oracle (KL_ORACLE_DIR). Optional: without a
# network or a registry this step is skipped and so is that test.
oracle_dir="${KL_ORACLE_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/oracle}"
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq nodejs npm >/dev/null; } ||
    echo "setup: node and npm not installed; the strength comparison with the reference will be skipped" >&2
fi
if command -v npm >/dev/null && [ ! -f "$oracle_dir/node_modules/zxcvbn/package.json" ]; then
  mkdir -p "$oracle_dir"
  npm install --prefix "$oracle_dir" --no-audit --no-fund --no-save zxcvbn@4.4.2 >/dev/null 2>&1 ||
    echo "setup: the zxcvbn package could not be installed; the strength comparison with the reference will be skipped" >&2
fi

# The browser test's driver and the peers of the web benchmark (bench/web), in
# build/web-node (KL_WEB_NODE_DIR). Optional like the oracle: without them the
# browser test is skipped.
web_node_dir="${KL_WEB_NODE_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/web-node}"
if command -v npm >/dev/null && { [ ! -f "$web_node_dir/node_modules/@zxcvbn-ts/language-en/package.json" ] ||
  [ ! -f "$web_node_dir/node_modules/terser/package.json" ]; }; then
  mkdir -p "$web_node_dir"
  npm install --prefix "$web_node_dir" --no-audit --no-fund --no-save playwright-core@1 zxcvbn@4.4.2 \
    @zxcvbn-ts/core@4.2.0 @zxcvbn-ts/language-common@4 @zxcvbn-ts/language-en@4 terser@5 >/dev/null 2>&1 ||
    echo "setup: the browser test's node packages could not be installed; that test will be skipped" >&2
fi

# zxcvbn-ts and its language packs, the oracle of the estimator's zxcvbn-ts
# profile, in build/ts-oracle (KL_TS_ORACLE_DIR; tests/CMakeLists.txt's
# KL_ZXCVBN_TS_ORACLE_DIR). Optional like the other oracle: without them the
# agreement test is skipped. The versions are those third_party/zxcvbn-ts holds.
ts_oracle_dir="${KL_TS_ORACLE_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/ts-oracle}"
if command -v npm >/dev/null && [ ! -f "$ts_oracle_dir/node_modules/@zxcvbn-ts/language-pt-br/package.json" ]; then
  mkdir -p "$ts_oracle_dir"
  npm install --prefix "$ts_oracle_dir" --no-audit --no-fund --no-save @zxcvbn-ts/core@4.2.0 \
    @zxcvbn-ts/language-common@4.1.3 @zxcvbn-ts/language-en@4.1.1 @zxcvbn-ts/language-de@4.1.1 \
    @zxcvbn-ts/language-fr@4.1.2 @zxcvbn-ts/language-es-es@4.1.2 @zxcvbn-ts/language-it@3.0.2 \
    @zxcvbn-ts/language-nl-be@3.0.2 @zxcvbn-ts/language-pl@3.0.2 @zxcvbn-ts/language-pt-br@4.1.1 >/dev/null 2>&1 ||
    echo "setup: the zxcvbn-ts packages could not be installed; the zxcvbn-ts profile's agreement test will be skipped" >&2
fi
